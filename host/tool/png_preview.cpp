// PNG previews through libpng's simplified write interface.
#include "host/tool/png_preview.h"

#include <png.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "host/tool/tool_error.h"

namespace pyxtool {

namespace {

unsigned SampleAt(const Frame& frame, size_t index) {
  if (frame.bitsPerSample == 8) return frame.data[index];
  uint16_t word;
  std::memcpy(&word, frame.data.data() + 2 * index, sizeof word);
  return word;
}

// Linear map of 16-bit samples onto 0..255 between the 0.1 % and 99.9 %
// points of their histogram.
struct Stretch {
  unsigned low = 0;
  unsigned high = 255;
  uint8_t apply(unsigned value) const {
    if (value <= low) return 0;
    if (value >= high) return 255;
    return static_cast<uint8_t>((value - low) * 255u / (high - low));
  }
};

Stretch StretchFor(const Frame& frame) {
  Stretch stretch;
  if (frame.bitsPerSample == 8) return stretch;
  std::vector<size_t> histogram(65536, 0);
  const size_t samples = size_t{frame.width} * frame.height * frame.samplesPerPixel;
  for (size_t i = 0; i < samples; ++i) ++histogram[SampleAt(frame, i)];
  const size_t clip = samples / 1000;
  size_t seen = 0;
  unsigned low = 0;
  while (low < 65535 && seen + histogram[low] <= clip) seen += histogram[low++];
  seen = 0;
  unsigned high = 65535;
  while (high > 0 && seen + histogram[high] <= clip) seen += histogram[high--];
  stretch.low = low;
  stretch.high = std::max(high, low + 1);
  return stretch;
}

}  // namespace

Frame MakePreview(const Frame& frame, unsigned maxEdge) {
  const unsigned longest = std::max(frame.width, frame.height);
  const unsigned factor =
      maxEdge == 0 || longest <= maxEdge ? 1 : (longest + maxEdge - 1) / maxEdge;
  const Stretch stretch = StretchFor(frame);
  const unsigned spp = frame.samplesPerPixel;

  Frame preview;
  preview.width = std::max(1u, frame.width / factor);
  preview.height = std::max(1u, frame.height / factor);
  preview.samplesPerPixel = spp;
  preview.bitsPerSample = 8;
  preview.data.resize(preview.byteCount());
  for (unsigned y = 0; y < preview.height; ++y) {
    for (unsigned x = 0; x < preview.width; ++x) {
      for (unsigned s = 0; s < spp; ++s) {
        unsigned sum = 0;
        unsigned count = 0;
        for (unsigned dy = 0; dy < factor && y * factor + dy < frame.height; ++dy) {
          for (unsigned dx = 0; dx < factor && x * factor + dx < frame.width; ++dx) {
            const size_t pixel = size_t{y * factor + dy} * frame.width + (x * factor + dx);
            sum += stretch.apply(SampleAt(frame, pixel * spp + s));
            ++count;
          }
        }
        preview.data[(size_t{y} * preview.width + x) * spp + s] =
            static_cast<uint8_t>(sum / std::max(count, 1u));
      }
    }
  }
  return preview;
}

PngPreview::PngPreview(const std::string& path, unsigned maxEdge) : path_(path), maxEdge_(maxEdge) {
  file_ = std::fopen(path.c_str(), "wb");
  if (file_ == nullptr) {
    throw ToolError(kExitFailure, "cannot write " + path + ": " + std::strerror(errno));
  }
}

PngPreview::~PngPreview() {
  if (file_ != nullptr) std::fclose(file_);
}

void PngPreview::write(const Frame& frame, unsigned* width, unsigned* height) {
  if (file_ == nullptr) throw ToolError(kExitFailure, path_ + " is already written");
  const Frame preview = MakePreview(frame, maxEdge_);
  if (width != nullptr) *width = preview.width;
  if (height != nullptr) *height = preview.height;
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  image.width = preview.width;
  image.height = preview.height;
  image.format = preview.samplesPerPixel == 3 ? PNG_FORMAT_RGB : PNG_FORMAT_GRAY;
  const bool written =
      png_image_write_to_stdio(&image, file_, 0, preview.data.data(),
                               static_cast<png_int_32>(preview.bytesPerRow()), nullptr) != 0;
  const std::string message = image.message;
  png_image_free(&image);
  const bool closed = std::fclose(file_) == 0;
  file_ = nullptr;
  if (!written || !closed) {
    throw ToolError(kExitFailure, "cannot write " + path_ + ": " +
                                      (written ? std::string(std::strerror(errno)) : message));
  }
}

}  // namespace pyxtool
