// A small 8-bit PNG to look at a snapped image quickly.
#pragma once

#include <cstdio>
#include <string>

#include "host/tool/frame.h"

namespace pyxtool {

// The 8-bit image a preview shows: `frame` reduced by whole-number box
// averaging until neither edge exceeds `maxEdge` (0 = keep the size). 8-bit
// data keeps its values; wider data is stretched linearly so that the darkest
// 0.1 % of samples become 0 and the brightest 0.1 % become 255.
Frame MakePreview(const Frame& frame, unsigned maxEdge);

class PngPreview {
 public:
  // Creates the file at once, so an unwritable path fails before anything is
  // acquired. Throws ToolError (kExitFailure).
  PngPreview(const std::string& path, unsigned maxEdge);
  ~PngPreview();
  PngPreview(const PngPreview&) = delete;
  PngPreview& operator=(const PngPreview&) = delete;

  // Writes the preview of `frame` and closes the file; returns the preview's
  // size in *width and *height when given. Throws ToolError.
  void write(const Frame& frame, unsigned* width = nullptr, unsigned* height = nullptr);

 private:
  std::string path_;
  unsigned maxEdge_;
  std::FILE* file_ = nullptr;
};

}  // namespace pyxtool
