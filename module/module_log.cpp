// The module's log file: "dero.log" in the home directory, truncated at
// discovery when it already exists and is writable. Nothing is written to it.
#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdio>

#include "module/discovery.h"

void OpenModuleLog(ModuleState& state) {
  // A discovery that did not find its library runs again on the next
  // InitializeModuleData and reopens the file; the old descriptor goes first.
  if (state.logFd >= 0) {
    close(state.logFd);
    state.logFd = -1;
  }
  const passwd* entry = getpwuid(getuid());
  if (entry == nullptr || entry->pw_dir == nullptr || entry->pw_dir[0] == '\0') return;
  char path[4096];
  const int length = std::snprintf(path, sizeof path, "%s/%s", entry->pw_dir, kModuleLogName);
  // A cut path would name some other file.
  if (length < 0 || static_cast<size_t>(length) >= sizeof path) return;
  if (access(path, W_OK) != 0) return;
  // Never created here: only an existing log is taken over. Not inherited by
  // programs the host starts.
  state.logFd = open(path, O_WRONLY | O_TRUNC | O_CLOEXEC, 0666);
}
