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
  // which lifts the 4 GiB limit of classic TIFF. Messages name the file
  // `shownAs` (when given) instead of `path`, which may be a temporary.
  // Throws ToolError (kExitFailure) naming the file and the cause.
  TiffWriter(const std::string& path, bool bigTiff, const std::string& shownAs = std::string());
  ~TiffWriter();
  TiffWriter(const TiffWriter&) = delete;
  TiffWriter& operator=(const TiffWriter&) = delete;

  // Appends one page, uncompressed. Throws ToolError on a write failure,
  // after which the writer refuses further pages and close() keeps exactly
  // the pages written before (as a valid file).
  void writePage(const Frame& frame, const PageTags& tags);
  // Finishes the file. Further writes are refused. Safe to call twice.
  void close();
  // After a failed writePage: the errno of the failure (0 when libtiff gave
  // none), and whether the cause was that the file system has no room.
  bool failed() const { return failed_; }
  int failure() const { return failure_; }
  bool failedForRoom() const;

  size_t pageCount() const { return pages_; }
  const std::string& path() const { return path_; }
  bool bigTiff() const { return bigTiff_; }

  // Replaces the ImageDescription of the first page of a finished file; the
  // pages and their order stay. A description no longer than the one written
  // is written over it, padded with spaces, which needs no free space;
  // otherwise the page's directory is written anew at the end of the file.
  // Throws ToolError on failure, naming the file `shownAs` when given.
  static void RewriteFirstDescription(const std::string& path, const std::string& description,
                                      const std::string& shownAs = std::string());

 private:
  [[noreturn]] void fail(const std::string& libtiffText, int error);

  std::string path_;
  std::string name_;
  bool bigTiff_;
  TIFF* tiff_ = nullptr;
  size_t pages_ = 0;
  long long completeBytes_ = 0;  // the file's size after the last complete page
  bool failed_ = false;
  int failure_ = 0;
};

// The text for a write failure: the system's wording for errno, lower case
// (as in "no space left on device"), or `fallback` when errno is 0.
std::string WriteFailureText(int error, const std::string& fallback);

// Classic TIFF addresses at most 4 GiB; leave room for directories and the
// description so the decision is made before the first byte is written.
constexpr double kBigTiffThresholdBytes = 3.9e9;

// Whether `pages` pages of this layout need BigTIFF.
bool NeedsBigTiff(unsigned width, unsigned height, unsigned samplesPerPixel, unsigned bitsPerSample,
                  uint64_t pages);

}  // namespace pyxtool
