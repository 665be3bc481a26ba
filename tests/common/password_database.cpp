// The module takes the home directory from the password database. Test
// programs stand in for that database so that the tests never touch the real
// home: the entry of any user id has HOME as its home directory, and there is
// no entry when HOME is unset. The programs export their symbols, so the
// module binds this definition.
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
