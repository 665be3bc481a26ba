// Pixel formats of the vendor library and the output layout the adapter asks
// for. Pure data and arithmetic: no vendor calls, usable from tests.
#pragma once

#include <cstddef>
#include <cstdint>

namespace camera {

struct PixelFormat {
  const char* name;
  uint32_t bits;  // bits per sample
};

// Indexed by the value of option 26. The order is the vendor's.
constexpr PixelFormat kPixelFormatTable[] = {
    {"RAW8", 8},       {"RAW10", 10},   {"RAW12", 12},     {"RAW14", 14},   {"RAW16", 16},
    {"YUV411", 8},     {"VUYY", 8},     {"YUV444", 8},     {"RGB888", 8},   {"GMCY8", 8},
    {"GMCY12", 12},    {"UYVY", 8},     {"RAW12PACK", 12}, {"RAW11", 11},   {"HDR8HL", 16},
    {"HDR10HL", 16},   {"HDR11HL", 16}, {"HDR12HL", 16},   {"HDR14HL", 16}, {"RAW10PACK", 10},
    {"RAW14PACK", 14},
};

constexpr size_t kPixelFormatCount = sizeof(kPixelFormatTable) / sizeof(kPixelFormatTable[0]);
static_assert(kPixelFormatCount == 21, "the vendor defines 21 pixel formats");

// The format at a vendor index, or null for an index outside the table.
constexpr const PixelFormat* FindPixelFormat(int32_t index) {
  return index >= 0 && static_cast<size_t>(index) < kPixelFormatCount ? &kPixelFormatTable[index]
                                                                      : nullptr;
}

// Samples wider than 8 bits are delivered as 16-bit words. An index outside the
// table is treated as 8-bit: the camera is not expected to report one, and the
// narrow layout keeps the pull within a buffer sized for it.
constexpr bool IsWideFormat(int32_t index) {
  const PixelFormat* format = FindPixelFormat(index);
  return format != nullptr && format->bits > 8;
}

// How frames of one camera and format are laid out in the adapter's buffer.
struct OutputLayout {
  uint32_t bytesPerPixel;  // 1, 2, 4 or 8
  int32_t outputFormat;    // value of option 12
};

constexpr OutputLayout LayoutFor(bool monochrome, bool wide) {
  if (monochrome) return wide ? OutputLayout{2, 4} : OutputLayout{1, 3};
  return wide ? OutputLayout{8, 1} : OutputLayout{4, 2};
}

// Largest buffer the adapter allocates: the host handles width, height and
// bytes per pixel as unsigned 32-bit values, so an image must fit 32 bits.
constexpr uint64_t kMaxImageBytes = UINT32_MAX;

// Bytes of a width x height image at bytesPerPixel, or 0 when the product
// overflows or exceeds kMaxImageBytes (such a geometry is unusable).
constexpr uint64_t ImageBytes(uint32_t width, uint32_t height, uint32_t bytesPerPixel) {
  const uint64_t pixels = static_cast<uint64_t>(width) * height;  // cannot overflow 64 bits
  if (bytesPerPixel != 0 && pixels > kMaxImageBytes / bytesPerPixel) return 0;
  return pixels * bytesPerPixel;
}

// How long a triggered snap waits for its frame, in milliseconds: the exposure
// in whole milliseconds plus 2 %, plus four seconds. Unsigned 32-bit arithmetic,
// each division truncating; it cannot overflow for any 32-bit exposure.
constexpr uint32_t SnapWaitMilliseconds(uint32_t exposureMicroseconds) {
  return ((exposureMicroseconds / 1000u) * 102u) / 100u + 4000u;
}

}  // namespace camera
