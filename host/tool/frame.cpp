// Conversion from the device's pixel layouts to the layouts files store.
#include "host/tool/frame.h"

#include <cstring>

#include "host/tool/tool_error.h"

namespace pyxtool {

namespace {

// Colour pixels arrive as B,G,R,A samples of `sampleBytes` each; files want
// R,G,B. Walking forwards in place is safe: the write position (3 samples per
// pixel) never passes the read position (4 samples per pixel).
void BgraToRgbInPlace(std::vector<uint8_t>& data, size_t pixelCount, size_t sampleBytes) {
  uint8_t* bytes = data.data();
  for (size_t i = 0; i < pixelCount; ++i) {
    const uint8_t* in = bytes + i * 4 * sampleBytes;
    uint8_t blue[2], green[2], red[2];
    std::memcpy(blue, in, sampleBytes);
    std::memcpy(green, in + sampleBytes, sampleBytes);
    std::memcpy(red, in + 2 * sampleBytes, sampleBytes);
    uint8_t* out = bytes + i * 3 * sampleBytes;
    std::memcpy(out, red, sampleBytes);
    std::memcpy(out + sampleBytes, green, sampleBytes);
    std::memcpy(out + 2 * sampleBytes, blue, sampleBytes);
  }
  data.resize(pixelCount * 3 * sampleBytes);
}

}  // namespace

bool FileLayoutFor(unsigned deviceBytesPerPixel, unsigned* samplesPerPixel,
                   unsigned* bitsPerSample) {
  switch (deviceBytesPerPixel) {
    case 1:
      *samplesPerPixel = 1, *bitsPerSample = 8;
      return true;
    case 2:
      *samplesPerPixel = 1, *bitsPerSample = 16;
      return true;
    case 4:
      *samplesPerPixel = 3, *bitsPerSample = 8;
      return true;
    case 8:
      *samplesPerPixel = 3, *bitsPerSample = 16;
      return true;
    default:
      return false;
  }
}

std::string DescribeLayout(unsigned samplesPerPixel, unsigned bitsPerSample) {
  return std::to_string(bitsPerSample) + "-bit " + (samplesPerPixel == 3 ? "RGB" : "grey");
}

Frame FrameFromDevice(std::vector<uint8_t>&& pixels, unsigned width, unsigned height,
                      unsigned bytesPerPixel) {
  Frame frame;
  if (!FileLayoutFor(bytesPerPixel, &frame.samplesPerPixel, &frame.bitsPerSample)) {
    throw ToolError(kExitFailure, "the camera delivered " + std::to_string(bytesPerPixel) +
                                      " bytes per pixel, a layout the tool cannot store");
  }
  const size_t pixelCount = size_t{width} * height;
  if (pixels.size() != pixelCount * bytesPerPixel || pixelCount == 0) {
    throw ToolError(kExitFailure, "the camera delivered " + std::to_string(pixels.size()) +
                                      " bytes for a " + std::to_string(width) + " x " +
                                      std::to_string(height) + " image of " +
                                      std::to_string(bytesPerPixel) + " bytes per pixel");
  }
  frame.width = width;
  frame.height = height;
  frame.data = std::move(pixels);
  if (frame.samplesPerPixel == 3) BgraToRgbInPlace(frame.data, pixelCount, bytesPerPixel / 4);
  return frame;
}

}  // namespace pyxtool
