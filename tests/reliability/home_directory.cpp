// The device takes the home directory from the password database. This program
// stands in for that database so that the tests never touch the real home: the
// entry of any user id has HOME as its home directory, and before any test runs
// HOME points to a fresh temporary directory (removed at exit). The program
// exports its symbols, so the module binds this definition.
#include <gtest/gtest.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/types.h>

#include <cstdlib>
#include <filesystem>
#include <string>

extern "C" struct passwd* getpwuid(uid_t uid) {
  static passwd entry;
  static char name[] = "tester";
  static char empty[] = "";
  char* home = std::getenv("HOME");
  if (home == nullptr) return nullptr;
  entry.pw_name = name;
  entry.pw_passwd = empty;
  entry.pw_uid = uid;
  entry.pw_gid = static_cast<gid_t>(uid);
  entry.pw_gecos = empty;
  entry.pw_dir = home;
  entry.pw_shell = empty;
  return &entry;
}

namespace {

class TemporaryHome : public ::testing::Environment {
 public:
  void SetUp() override {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "reliability-home-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) FAIL() << "cannot create a temporary home directory";
    home_ = pattern;
    setenv("HOME", home_.c_str(), 1);
  }
  void TearDown() override {
    std::error_code ignored;
    if (!home_.empty()) std::filesystem::remove_all(home_, ignored);
  }

 private:
  std::string home_;
};

[[maybe_unused]] ::testing::Environment* const kHome =
    ::testing::AddGlobalTestEnvironment(new TemporaryHome);

}  // namespace
