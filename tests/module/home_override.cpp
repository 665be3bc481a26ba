// The module takes its home directory from the password database. This test
// program stands in for that database so that every test gets its own home:
// the entry of any user id has HOME as its home directory, and there is no
// entry when HOME is unset. The program exports this definition (it is built
// with exported symbols), and the dynamic linker prefers it for the module.
#include <pwd.h>
#include <sys/types.h>

#include <cstdlib>

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

// The vendor stand-ins define this too: the one they reach tells how the module
// bound them.
extern "C" __attribute__((visibility("default"))) const char* pyxon_probe_owner() {
  return "host";
}
