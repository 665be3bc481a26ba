// TIFF output through libtiff.
#include "host/tool/tiff_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "host/tool/tool_error.h"

namespace pyxtool {

namespace {

std::mutex gLastErrorMutex;
std::string gLastError;  // guarded by gLastErrorMutex
int gLastErrno = 0;      // guarded by gLastErrorMutex: errno when libtiff reported

void RecordTiffError(const char* module, const char* format, va_list args) {
  const int error = errno;
  char text[512];
  std::vsnprintf(text, sizeof text, format, args);
  std::lock_guard<std::mutex> lock(gLastErrorMutex);
  gLastError = module != nullptr && *module != '\0' ? std::string(module) + ": " + text : text;
  gLastErrno = error;
}

// Warnings (unknown tags and the like) mean nothing to a user of this tool.
void IgnoreTiffWarning(const char*, const char*, va_list) {}

void InstallHandlersOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    TIFFSetErrorHandler(RecordTiffError);
    TIFFSetWarningHandler(IgnoreTiffWarning);
  });
}

std::string TakeLastError() {
  std::lock_guard<std::mutex> lock(gLastErrorMutex);
  std::string text = gLastError.empty() ? "unknown libtiff error" : gLastError;
  gLastError.clear();
  return text;
}

int TakeLastErrno() {
  std::lock_guard<std::mutex> lock(gLastErrorMutex);
  const int error = gLastErrno;
  gLastErrno = 0;
  return error;
}

void ClearLastError() {
  std::lock_guard<std::mutex> lock(gLastErrorMutex);
  gLastError.clear();
  gLastErrno = 0;
}

long long FileSize(int fd) {
  struct stat info {};
  return fstat(fd, &info) == 0 ? static_cast<long long>(info.st_size) : -1;
}

// Byte order and offset size of a TIFF file, read with pread.
class TiffFileReader {
 public:
  explicit TiffFileReader(int fd) : fd_(fd) {}
  bool readHeader(uint64_t* firstIfd) {
    unsigned char header[16];
    if (pread(fd_, header, sizeof header, 0) < 8) return false;
    if (header[0] == 'I' && header[1] == 'I')
      little_ = true;
    else if (header[0] == 'M' && header[1] == 'M')
      little_ = false;
    else
      return false;
    const uint64_t magic = decode(header + 2, 2);
    if (magic == 42) {
      big_ = false;
      *firstIfd = decode(header + 4, 4);
      return true;
    }
    if (magic != 43 || decode(header + 4, 2) != 8) return false;
    big_ = true;
    *firstIfd = decode(header + 8, 8);
    return true;
  }
  bool read(uint64_t offset, size_t bytes, uint64_t* value) {
    unsigned char data[8];
    if (pread(fd_, data, bytes, static_cast<off_t>(offset)) != static_cast<ssize_t>(bytes))
      return false;
    *value = decode(data, bytes);
    return true;
  }
  bool big() const { return big_; }

 private:
  uint64_t decode(const unsigned char* data, size_t bytes) const {
    uint64_t value = 0;
    for (size_t i = 0; i < bytes; ++i)
      value |= uint64_t{data[little_ ? i : bytes - 1 - i]} << (8 * i);
    return value;
  }
  int fd_;
  bool little_ = true;
  bool big_ = false;
};

// Writes `description` over the first page's ImageDescription when the space
// it had holds it. False when it does not fit or the file is not as expected.
bool OverwriteFirstDescription(const std::string& path, const std::string& description) {
  const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  TiffFileReader file(fd);
  uint64_t ifd = 0;
  uint64_t entries = 0;
  bool written = false;
  if (file.readHeader(&ifd) && file.read(ifd, file.big() ? 8 : 2, &entries)) {
    const uint64_t entrySize = file.big() ? 20 : 12;
    const uint64_t first = ifd + (file.big() ? 8 : 2);
    for (uint64_t i = 0; i < entries && i < 1000; ++i) {
      const uint64_t entry = first + i * entrySize;
      uint64_t tag = 0;
      uint64_t type = 0;
      uint64_t count = 0;
      uint64_t offset = 0;
      if (!file.read(entry, 2, &tag) || !file.read(entry + 2, 2, &type)) break;
      if (tag != TIFFTAG_IMAGEDESCRIPTION) continue;
      const size_t width = file.big() ? 8 : 4;
      if (type != TIFF_ASCII || !file.read(entry + 4, width, &count) ||
          !file.read(entry + 4 + width, width, &offset) || count <= width ||
          description.size() + 1 > count) {
        break;
      }
      std::string text = description;
      text.resize(count - 1, ' ');
      text.push_back('\0');
      written = pwrite(fd, text.data(), text.size(), static_cast<off_t>(offset)) ==
                static_cast<ssize_t>(text.size());
      break;
    }
  }
  written = close(fd) == 0 && written;
  return written;
}

// Strips of about 256 KiB keep readers' memory use low without many tiny writes.
uint32_t RowsPerStrip(const Frame& frame) {
  const size_t rows = (256 * 1024) / std::max<size_t>(frame.bytesPerRow(), 1);
  return static_cast<uint32_t>(std::clamp<size_t>(rows, 1, frame.height));
}

}  // namespace

std::string WriteFailureText(int error, const std::string& fallback) {
  if (error == 0) return fallback;
  std::string text = std::strerror(error);
  if (!text.empty()) text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
  return text;
}

TiffWriter::TiffWriter(const std::string& path, bool bigTiff, const std::string& shownAs)
    : path_(path), name_(shownAs.empty() ? path : shownAs), bigTiff_(bigTiff) {
  InstallHandlersOnce();
  ClearLastError();
  errno = 0;
  tiff_ = TIFFOpen(path.c_str(), bigTiff ? "w8" : "w");
  if (tiff_ == nullptr) {
    const std::string cause = errno != 0 ? std::strerror(errno) : TakeLastError();
    throw ToolError(kExitFailure, "cannot write " + name_ + ": " + cause);
  }
  completeBytes_ = FileSize(TIFFFileno(tiff_));
}

TiffWriter::~TiffWriter() {
  try {
    close();
  } catch (const ToolError&) {
    // A writer dropped on an error path: the error that dropped it is reported.
  }
}

bool TiffWriter::failedForRoom() const {
  return failed_ && (failure_ == ENOSPC || failure_ == EDQUOT || failure_ == EFBIG);
}

void TiffWriter::fail(const std::string& libtiffText, int error) {
  failed_ = true;
  failure_ = error;
  throw ToolError(kExitFailure,
                  "cannot write " + name_ + ": " + WriteFailureText(error, libtiffText));
}

void TiffWriter::writePage(const Frame& frame, const PageTags& tags) {
  if (tiff_ == nullptr) throw ToolError(kExitFailure, name_ + " is already closed");
  if (failed_) throw ToolError(kExitFailure, "cannot write " + name_ + " after a failed write");
  TIFF* t = tiff_;
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, frame.width);
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, frame.height);
  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, frame.samplesPerPixel);
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, frame.bitsPerSample);
  TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_UINT);
  TIFFSetField(t, TIFFTAG_PHOTOMETRIC,
               frame.samplesPerPixel == 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK);
  TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
  TIFFSetField(t, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
  const uint32_t rowsPerStrip = RowsPerStrip(frame);
  TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, rowsPerStrip);
  if (!tags.description.empty())
    TIFFSetField(t, TIFFTAG_IMAGEDESCRIPTION, tags.description.c_str());
  if (!tags.software.empty()) TIFFSetField(t, TIFFTAG_SOFTWARE, tags.software.c_str());
  if (!tags.dateTime.empty()) TIFFSetField(t, TIFFTAG_DATETIME, tags.dateTime.c_str());
  if (tags.pixelSizeUm > 0) {
    const float pixelsPerCm = static_cast<float>(1.0e4 / tags.pixelSizeUm);
    TIFFSetField(t, TIFFTAG_XRESOLUTION, pixelsPerCm);
    TIFFSetField(t, TIFFTAG_YRESOLUTION, pixelsPerCm);
    TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, RESUNIT_CENTIMETER);
  }

  const size_t rowBytes = frame.bytesPerRow();
  uint32_t strip = 0;
  for (uint32_t row = 0; row < frame.height; row += rowsPerStrip, ++strip) {
    const uint32_t rows = std::min(rowsPerStrip, frame.height - row);
    // libtiff takes a non-const buffer but does not modify it without compression.
    void* data = const_cast<uint8_t*>(frame.data.data() + size_t{row} * rowBytes);
    if (TIFFWriteEncodedStrip(t, strip, data, static_cast<tmsize_t>(rows * rowBytes)) < 0) {
      const int error = TakeLastErrno();
      fail(TakeLastError(), error);
    }
  }
  if (!TIFFWriteDirectory(t)) {
    const int error = TakeLastErrno();
    fail(TakeLastError(), error);
  }
  completeBytes_ = FileSize(TIFFFileno(t));
  ++pages_;
}

void TiffWriter::close() {
  if (tiff_ == nullptr) return;
  if (failed_) {
    // libtiff would finish the half-written page on closing, linking a
    // directory it may not manage to write. It gets a descriptor that refuses
    // writes instead; the file is cut after its last complete page.
    const int fd = TIFFFileno(tiff_);
    const int refusing = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (refusing >= 0) {
      TIFFSetClientdata(tiff_, reinterpret_cast<thandle_t>(static_cast<intptr_t>(refusing)));
      TIFFSetFileno(tiff_, refusing);
      TIFFClose(tiff_);  // closes `refusing`
    }
    tiff_ = nullptr;
    ClearLastError();
    const bool cut = completeBytes_ >= 0 && ftruncate(fd, completeBytes_) == 0;
    const int error = errno;
    ::close(fd);
    if (!cut) throw ToolError(kExitFailure, "cannot finish " + name_ + ": " + std::strerror(error));
    return;
  }
  const bool flushed = TIFFFlush(tiff_) == 1;
  TIFFClose(tiff_);
  tiff_ = nullptr;
  if (!flushed) throw ToolError(kExitFailure, "cannot finish " + name_ + ": " + TakeLastError());
}

bool NeedsBigTiff(unsigned width, unsigned height, unsigned samplesPerPixel, unsigned bitsPerSample,
                  uint64_t pages) {
  const double pageBytes = double(width) * height * samplesPerPixel * (bitsPerSample / 8);
  return pageBytes * double(pages) > kBigTiffThresholdBytes;
}

void TiffWriter::RewriteFirstDescription(const std::string& path, const std::string& description,
                                         const std::string& shownAs) {
  if (OverwriteFirstDescription(path, description)) return;
  const std::string& name = shownAs.empty() ? path : shownAs;
  InstallHandlersOnce();
  ClearLastError();
  TIFF* t = TIFFOpen(path.c_str(), "r+");
  if (t == nullptr) throw ToolError(kExitFailure, "cannot update " + name + ": " + TakeLastError());
  const bool ok = TIFFSetDirectory(t, 0) == 1 &&
                  TIFFSetField(t, TIFFTAG_IMAGEDESCRIPTION, description.c_str()) == 1 &&
                  TIFFRewriteDirectory(t) == 1;
  const std::string cause = ok ? std::string() : TakeLastError();
  TIFFClose(t);
  if (!ok) throw ToolError(kExitFailure, "cannot update " + name + ": " + cause);
}

}  // namespace pyxtool
