// Module discovery over arbitrary directory contents: names of any bytes and
// case, regular files, directories, symbolic links (to files, to directories,
// dangling, looping), pipes and sockets; the wanted name with and without a
// version suffix. The library search must pick exactly the first entry, in
// directory order, that a loader could open and whose name matches ignoring
// ASCII case (or, failing that, the unversioned name), and nothing else.
#include <dirent.h>
#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "module/discovery.h"

namespace {

// Never destroyed: the directory is removed by an exit-time destructor that
// may run after other statics are gone.
const std::string& Root() {
  static const std::string* root = [] {
    std::string pattern =
        std::filesystem::temp_directory_path().string() + "/discovery-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    return new std::string(pattern);
  }();
  return *root;
}

struct RemoveRootAtExit {
  ~RemoveRootAtExit() {
    std::error_code ignored;
    std::filesystem::remove_all(Root(), ignored);
  }
} removeRootAtExit;

// A file name: no '/' and no zero byte, not "." or "..", at most 255 bytes.
std::string EntryName(FuzzedDataProvider& data, const std::string& wanted) {
  std::string name;
  switch (data.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
      name = data.ConsumeRandomLengthString(64);
      break;
    default: {
      // The wanted name, its unversioned form or a near miss, in any letter case.
      name = wanted;
      if (data.ConsumeBool()) {
        const size_t so = name.find(".so");
        if (so != std::string::npos) name.resize(so + 3);
      }
      for (char& c : name) {
        if (data.ConsumeBool()) c = static_cast<char>(c ^ 0x20);
      }
      if (data.ConsumeBool() && !name.empty()) name.pop_back();
      break;
    }
  }
  std::string clean;
  for (char c : name) {
    if (c != '/' && c != '\0') clean.push_back(c);
  }
  if (clean.size() > 255) clean.resize(255);
  if (clean.empty() || clean == "." || clean == "..") clean = "x";
  return clean;
}

void MakeSocket(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return;
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0) return;
  path.copy(address.sun_path, path.size());
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  close(fd);
}

void MakeEntry(FuzzedDataProvider& data, const std::string& directory, const std::string& name) {
  const std::string path = directory + "/" + name;
  std::error_code ignored;
  switch (data.ConsumeIntegralInRange<int>(0, 7)) {
    case 0: {
      // Never opens an existing entry: a pipe of the same name would block.
      const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NONBLOCK, 0644);
      if (fd >= 0) close(fd);
      break;
    }
    case 1:
      std::filesystem::create_directory(path, ignored);
      break;
    case 2:
      symlink("/etc/hostname", path.c_str());
      break;
    case 3:
      symlink("/nonexistent/target", path.c_str());
      break;
    case 4:
      symlink(directory.c_str(), path.c_str());
      break;
    case 5:
      symlink(path.c_str(), path.c_str());
      break;  // loops on itself
    case 6:
      mkfifo(path.c_str(), 0644);
      break;
    default:
      MakeSocket(path);
      break;
  }
}

bool EqualsIgnoringAsciiCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// What the search must find: an independent reading of the same directory.
std::string ExpectedMatch(const std::string& directory, const std::string& wanted) {
  DIR* dir = opendir(directory.c_str());
  if (dir == nullptr) return "";
  std::string found;
  while (const dirent* entry = readdir(dir)) {
    const unsigned char type = entry->d_type;
    const bool loadable = type == DT_REG || type == DT_LNK || type == DT_SOCK;
    if (loadable && EqualsIgnoringAsciiCase(entry->d_name, wanted)) {
      found = directory + "/" + entry->d_name;
      break;
    }
  }
  closedir(dir);
  return found;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  FuzzedDataProvider data(bytes, size);
  static unsigned serial = 0;
  const std::string directory = Root() + "/d" + std::to_string(serial++ % 4);
  std::error_code ignored;
  std::filesystem::remove_all(directory, ignored);
  std::filesystem::create_directory(directory, ignored);

  std::string wanted = "lib" + data.ConsumeRandomLengthString(32);
  if (data.ConsumeBool()) wanted = data.ConsumeBool() ? "libPyxon.so" : "libPyxon.so.1.2.3";
  const int entries = data.ConsumeIntegralInRange<int>(0, 10);
  for (int i = 0; i < entries && data.remaining_bytes() > 0; ++i) {
    MakeEntry(data, directory, EntryName(data, wanted));
  }

  const std::string found = FindVendorLibrary(directory, wanted);
  std::string expected = ExpectedMatch(directory, wanted);
  if (expected.empty()) {
    const size_t so = wanted.find(".so");
    if (so != std::string::npos && so + 3 < wanted.size() && wanted[so + 3] == '.') {
      expected = ExpectedMatch(directory, wanted.substr(0, so + 3));
    }
  }
  if (found != expected) {
    std::fprintf(stderr, "wanted \"%s\": found \"%s\", expected \"%s\"\n", wanted.c_str(),
                 found.c_str(), expected.c_str());
    std::abort();
  }

  // The split of the module's own path, for any path text.
  const std::string path = data.ConsumeRemainingBytesAsString();
  std::string splitDirectory;
  std::string splitName;
  if (SplitModulePath(path, &splitDirectory, &splitName)) {
    if (splitName.rfind("lib", 0) != 0 || splitName.find('/') != std::string::npos) std::abort();
    if (path.rfind(splitDirectory, 0) != 0) std::abort();
  }
  std::filesystem::remove_all(directory, ignored);
  return 0;
}
