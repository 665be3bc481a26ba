// Writing grey and RGB images, single or multi-page, classic TIFF or BigTIFF.
//
// Thread use: one thread per writer. libtiff reports errors through a
// process-wide handler, which this writer installs; it keeps the last message
// under a lock so that the error text of a failed call names the cause.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "host/tool/frame.h"

typedef struct tiff TIFF;

namespace pyxtool {

// Tags written with every page.
struct PageTags {
  std::string description;  // ImageDescription; omitted when empty
  std::string software;     // Software; omitted when empty
  std::string dateTime;     // DateTime, "YYYY:MM:DD HH:MM:SS"; omitted when empty
  double pixelSizeUm = 0;   // written as X/YResolution in pixels per cm when > 0
};

class TiffWriter {
 public:
  // Creates (or truncates) `path`. With `bigTiff` the file uses 64-bit offsets,
  // which lifts the 4 GiB limit of classic TIFF.
  // Throws ToolError (kExitFailure) naming the path and the cause.
  TiffWriter(const std::string& path, bool bigTiff);
  ~TiffWriter();
  TiffWriter(const TiffWriter&) = delete;
  TiffWriter& operator=(const TiffWriter&) = delete;

  // Appends one page, uncompressed. Throws ToolError on a write failure.
  void writePage(const Frame& frame, const PageTags& tags);
  // Finishes the file. Further writes are refused. Safe to call twice.
  void close();

  size_t pageCount() const { return pages_; }
  const std::string& path() const { return path_; }
  bool bigTiff() const { return bigTiff_; }

  // Replaces the ImageDescription of the first page of a finished file (the
  // page's directory is written anew at the end of the file; the pages and
  // their order stay). Throws ToolError on failure.
  static void RewriteFirstDescription(const std::string& path, const std::string& description);

 private:
  std::string path_;
  bool bigTiff_;
  TIFF* tiff_ = nullptr;
  size_t pages_ = 0;
};

// Classic TIFF addresses at most 4 GiB; leave room for directories and the
// description so the decision is made before the first byte is written.
constexpr double kBigTiffThresholdBytes = 3.9e9;

// Whether `pages` pages of this layout need BigTIFF.
bool NeedsBigTiff(unsigned width, unsigned height, unsigned samplesPerPixel, unsigned bitsPerSample,
                  uint64_t pages);

}  // namespace pyxtool
