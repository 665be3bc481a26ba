// Images as the tool stores them: grey or RGB, 8 or 16 bits per sample.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pyxtool {

// Samples interleaved, rows packed, 16-bit samples in host (little-endian) order.
struct Frame {
  unsigned width = 0;
  unsigned height = 0;
  unsigned samplesPerPixel = 1;  // 1 grey, 3 RGB
  unsigned bitsPerSample = 8;    // 8 or 16
  std::vector<uint8_t> data;

  size_t bytesPerPixel() const { return samplesPerPixel * bitsPerSample / 8; }
  size_t bytesPerRow() const { return bytesPerPixel() * width; }
  size_t byteCount() const { return bytesPerRow() * height; }
};

// The file layout that a device layout of `deviceBytesPerPixel` turns into:
// 1 -> 8-bit grey, 2 -> 16-bit grey, 4 (B,G,R,A bytes) -> 8-bit RGB,
// 8 (B,G,R,A 16-bit words) -> 16-bit RGB. Returns false for any other size.
bool FileLayoutFor(unsigned deviceBytesPerPixel, unsigned* samplesPerPixel,
                   unsigned* bitsPerSample);

// "8-bit grey", "16-bit RGB", ...
std::string DescribeLayout(unsigned samplesPerPixel, unsigned bitsPerSample);

// Turns the pixels a device handed over into a Frame, reusing `pixels` as the
// frame's storage (colour is reordered and the alpha sample dropped in place).
// Throws ToolError when the byte count does not match the geometry or the pixel
// size is not one the tool knows.
Frame FrameFromDevice(std::vector<uint8_t>&& pixels, unsigned width, unsigned height,
                      unsigned bytesPerPixel);

}  // namespace pyxtool
