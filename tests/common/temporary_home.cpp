// Before any test of the program runs, HOME points to a fresh temporary
// directory, removed at exit; with the password-database stand-in beside it,
// the module's settings directory lands there.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

namespace {

class TemporaryHome : public ::testing::Environment {
 public:
  void SetUp() override {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "pyxon-tests-home-XXXXXX").string();
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
