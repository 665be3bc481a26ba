// ELF header checks of a library file (see library_check.h).
#include "host/tool/library_check.h"

#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace pyxtool {

namespace {

using Header = ElfW(Ehdr);
using ProgramHeader = ElfW(Phdr);

// Reads `size` bytes at `offset`; false on a short read.
bool ReadAt(int fd, void* buffer, size_t size, off_t offset) {
  auto* bytes = static_cast<char*>(buffer);
  size_t done = 0;
  while (done < size) {
    const ssize_t got = pread(fd, bytes + done, size - done, offset + static_cast<off_t>(done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    done += static_cast<size_t>(got);
  }
  return true;
}

// The architecture this process runs as: the one its own executable was built for.
int OwnMachine() {
  static const int machine = [] {
    const int fd = open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    Header header{};
    const bool read = ReadAt(fd, &header, sizeof header, 0);
    close(fd);
    return read ? int{header.e_machine} : -1;
  }();
  return machine;
}

constexpr unsigned char kOwnClass = sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32;

unsigned char OwnByteOrder() {
  const uint16_t probe = 1;
  unsigned char first = 0;
  std::memcpy(&first, &probe, 1);
  return first == 1 ? ELFDATA2LSB : ELFDATA2MSB;
}

std::string Check(int fd, uint64_t fileSize) {
  if (fileSize == 0) return "the file is empty";
  unsigned char ident[EI_NIDENT] = {};
  if (fileSize < SELFMAG || !ReadAt(fd, ident, SELFMAG, 0) ||
      std::memcmp(ident, ELFMAG, SELFMAG) != 0) {
    return "not an ELF shared object";
  }
  if (fileSize < sizeof(Header)) return "truncated: the file ends inside its ELF header";
  Header header{};
  if (!ReadAt(fd, &header, sizeof header, 0)) return "cannot read its ELF header";
  if (header.e_ident[EI_CLASS] != kOwnClass) {
    return std::string("built for ") + (header.e_ident[EI_CLASS] == ELFCLASS32 ? "32" : "64") +
           "-bit machines, this one is " + (kOwnClass == ELFCLASS64 ? "64" : "32") + "-bit";
  }
  if (header.e_ident[EI_DATA] != OwnByteOrder()) return "built for the other byte order";
  if (OwnMachine() >= 0 && header.e_machine != OwnMachine()) {
    return "built for another processor (ELF machine " + std::to_string(header.e_machine) +
           ", this one is " + std::to_string(OwnMachine()) + ")";
  }
  if (header.e_type != ET_DYN)
    return "not a shared object (ELF type " + std::to_string(header.e_type) + ")";
  if (header.e_phnum == 0 || header.e_phentsize != sizeof(ProgramHeader))
    return "no usable program headers";
  const uint64_t tableEnd =
      uint64_t{header.e_phoff} + uint64_t{header.e_phnum} * sizeof(ProgramHeader);
  if (header.e_phoff == 0 || tableEnd > fileSize)
    return "truncated: the program headers end past the file's " + std::to_string(fileSize) +
           " bytes";
  std::vector<ProgramHeader> segments(header.e_phnum);
  if (!ReadAt(fd, segments.data(), segments.size() * sizeof(ProgramHeader),
              static_cast<off_t>(header.e_phoff))) {
    return "cannot read its program headers";
  }
  bool loadable = false;
  for (const ProgramHeader& segment : segments) {
    if (segment.p_type != PT_LOAD) continue;
    loadable = true;
    const uint64_t end = uint64_t{segment.p_offset} + segment.p_filesz;
    if (end < segment.p_offset || end > fileSize) {
      return "truncated: a loadable segment ends at byte " + std::to_string(end) + " of a " +
             std::to_string(fileSize) + "-byte file";
    }
    if (segment.p_filesz > segment.p_memsz)
      return "a loadable segment is larger on file than in memory";
  }
  if (!loadable) return "no loadable segment";
  return std::string();
}

}  // namespace

std::string SharedObjectProblem(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::strerror(errno);
  struct stat status {};
  std::string problem;
  if (fstat(fd, &status) != 0) {
    problem = std::strerror(errno);
  } else if (!S_ISREG(status.st_mode)) {
    problem = "not a regular file";
  } else {
    problem = Check(fd, static_cast<uint64_t>(status.st_size));
  }
  close(fd);
  return problem;
}

}  // namespace pyxtool
