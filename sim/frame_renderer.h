// Test-pattern frames for the simulated cameras.
//
// The scene (colour bars, a vertical ramp, a bright disc and a little fixed
// noise) repeats every kPeriod columns. It is rendered once per change of the
// parameters into rows kScroll pixels wider than the frame; a pull then copies
// every row with one memcpy from a column offset (0 to kScroll - 1) that
// changes with the frame number, so the scene moves sideways from frame to
// frame. The margin stays narrow on purpose: when the rows a pull reads lie
// more than a few hundred bytes apart, the processor's prefetching loses the
// stream at every row and the pull takes up to twice as long as a plain copy
// of the frame. The frame number is stamped over the first and last 8 bytes.
//
// Not thread-safe: the owning camera serialises pulls with its render lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace pyxsim {

struct RenderParams {
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t bits = 8;          // output layout: 8, 16 grey; 24, 32, 48, 64 colour
  uint32_t formatBits = 8;    // sample depth of the camera's pixel format
  bool colour = false;        // colour sensor (mono sensors give grey in colour layouts)
  uint32_t signal = 65536;    // exposure x gain x binning, 65536 = nominal
  int32_t wb[3] = {0, 0, 0};  // white-balance gains, -127..127 each (R, G, B)
  int32_t brightness = 0;     // -255..255
  bool hflip = false;
  bool negative = false;

  bool operator==(const RenderParams& o) const;
  bool operator!=(const RenderParams& o) const { return !(*this == o); }
};

// Bytes per pixel of an output layout; 0 for an unsupported bits value.
uint32_t BytesPerPixel(uint32_t bits);

class FrameRenderer {
 public:
  static constexpr uint32_t kPeriod = 256;
  static constexpr uint32_t kScroll = 32;

  // Writes frame `number` with the given parameters into dst. rowPitch 0 means
  // rows packed without padding; otherwise it is the distance between rows and
  // must be at least width x bytes per pixel (the caller checks). vflip writes
  // the rows bottom-up. The stamp goes into the first 8 bytes of the first row
  // and the last 8 bytes of the last row's pixels.
  void Write(const RenderParams& params, uint64_t number, bool vflip, uint8_t* dst,
             size_t rowPitch);

 private:
  void Render(const RenderParams& params);

  RenderParams cached_;
  bool valid_ = false;
  size_t sourceRowBytes_ = 0;
  std::vector<uint8_t> source_;
};

}  // namespace pyxsim
