// TIFF output through libtiff.
#include "host/tool/tiff_writer.h"

#include <tiffio.h>

#include <algorithm>
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

void RecordTiffError(const char* module, const char* format, va_list args) {
  char text[512];
  std::vsnprintf(text, sizeof text, format, args);
  std::lock_guard<std::mutex> lock(gLastErrorMutex);
  gLastError = module != nullptr && *module != '\0' ? std::string(module) + ": " + text : text;
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

void ClearLastError() {
  std::lock_guard<std::mutex> lock(gLastErrorMutex);
  gLastError.clear();
}

// Strips of about 256 KiB keep readers' memory use low without many tiny writes.
uint32_t RowsPerStrip(const Frame& frame) {
  const size_t rows = (256 * 1024) / std::max<size_t>(frame.bytesPerRow(), 1);
  return static_cast<uint32_t>(std::clamp<size_t>(rows, 1, frame.height));
}

}  // namespace

TiffWriter::TiffWriter(const std::string& path, bool bigTiff) : path_(path), bigTiff_(bigTiff) {
  InstallHandlersOnce();
  ClearLastError();
  errno = 0;
  tiff_ = TIFFOpen(path.c_str(), bigTiff ? "w8" : "w");
  if (tiff_ == nullptr) {
    const std::string cause = errno != 0 ? std::strerror(errno) : TakeLastError();
    throw ToolError(kExitFailure, "cannot write " + path + ": " + cause);
  }
}

TiffWriter::~TiffWriter() {
  if (tiff_ != nullptr) TIFFClose(tiff_);
}

void TiffWriter::writePage(const Frame& frame, const PageTags& tags) {
  if (tiff_ == nullptr) throw ToolError(kExitFailure, path_ + " is already closed");
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
      throw ToolError(kExitFailure, "cannot write " + path_ + ": " + TakeLastError());
    }
  }
  if (!TIFFWriteDirectory(t)) {
    throw ToolError(kExitFailure, "cannot write " + path_ + ": " + TakeLastError());
  }
  ++pages_;
}

void TiffWriter::close() {
  if (tiff_ == nullptr) return;
  const bool flushed = TIFFFlush(tiff_) == 1;
  TIFFClose(tiff_);
  tiff_ = nullptr;
  if (!flushed) throw ToolError(kExitFailure, "cannot finish " + path_ + ": " + TakeLastError());
}

bool NeedsBigTiff(unsigned width, unsigned height, unsigned samplesPerPixel, unsigned bitsPerSample,
                  uint64_t pages) {
  const double pageBytes = double(width) * height * samplesPerPixel * (bitsPerSample / 8);
  return pageBytes * double(pages) > kBigTiffThresholdBytes;
}

void TiffWriter::RewriteFirstDescription(const std::string& path, const std::string& description) {
  InstallHandlersOnce();
  ClearLastError();
  TIFF* t = TIFFOpen(path.c_str(), "r+");
  if (t == nullptr) throw ToolError(kExitFailure, "cannot update " + path + ": " + TakeLastError());
  const bool ok = TIFFSetDirectory(t, 0) == 1 &&
                  TIFFSetField(t, TIFFTAG_IMAGEDESCRIPTION, description.c_str()) == 1 &&
                  TIFFRewriteDirectory(t) == 1;
  const std::string cause = ok ? std::string() : TakeLastError();
  TIFFClose(t);
  if (!ok) throw ToolError(kExitFailure, "cannot update " + path + ": " + cause);
}

}  // namespace pyxtool
