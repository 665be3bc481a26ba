#include "sim/frame_renderer.h"

#include <algorithm>
#include <cstring>

namespace pyxsim {
namespace {

constexpr int32_t kFullScale = 1023;  // scene reflectance scale

struct Rgb {
  int32_t r, g, b;
};

// Fixed noise, the same for every frame: xorshift values in -16..16. Built at
// compile time so that no static needs construction or destruction.
struct NoiseTable {
  int8_t values[1024];
};

constexpr NoiseTable MakeNoise() {
  NoiseTable table{};
  uint32_t state = 0x9E3779B9u;
  for (int8_t& v : table.values) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    v = static_cast<int8_t>(static_cast<int32_t>(state % 33) - 16);
  }
  return table;
}

constexpr NoiseTable kNoise = MakeNoise();

// Reflectance of the scene at column px (0..kPeriod-1) of row y, 0..1023 each.
Rgb Scene(uint32_t px, uint32_t y, uint32_t height) {
  static constexpr Rgb kBars[8] = {{870, 870, 870}, {870, 870, 60}, {60, 870, 870}, {60, 870, 60},
                                   {870, 60, 870},  {870, 60, 60},  {60, 60, 870},  {60, 60, 60}};
  const uint32_t band = std::max<uint32_t>(1, height / 4);
  Rgb c;
  if (y < band) {
    c = kBars[(px / 32) % 8];
  } else {
    const uint32_t span = std::max<uint32_t>(1, height - band);
    int32_t level = 120 + static_cast<int32_t>(760ull * (y - band) / span);
    if (px % 64 < 2) level -= 100;  // thin grid lines
    c = {level, level, level};
    const int64_t cx = FrameRenderer::kPeriod / 2;
    const int64_t cy = band + span / 2;
    const int64_t radius =
        std::max<int64_t>(2, std::min<int64_t>(FrameRenderer::kPeriod * 3 / 8, span * 3 / 8));
    const int64_t dx = static_cast<int64_t>(px) - cx;
    const int64_t dy = static_cast<int64_t>(y) - cy;
    if (dx * dx + dy * dy <= radius * radius) c = {980, 700, 260};
  }
  const int32_t noise = kNoise.values[(px * 31u + y * 17u) & 1023u];
  return {c.r + noise, c.g + noise, c.b + noise};
}

uint32_t MaxValue(const RenderParams& p) {
  if (p.bits == 8 || p.bits == 24 || p.bits == 32) return 255;
  const uint32_t depth = std::min<uint32_t>(16, std::max<uint32_t>(8, p.formatBits));
  return (1u << depth) - 1;
}

bool Wide(uint32_t bits) {
  return bits == 16 || bits == 48 || bits == 64;
}

void Put(uint8_t* out, bool wide, uint32_t value) {
  if (wide) {
    const uint16_t v = static_cast<uint16_t>(value);
    std::memcpy(out, &v, 2);
  } else {
    *out = static_cast<uint8_t>(value);
  }
}

}  // namespace

bool RenderParams::operator==(const RenderParams& o) const {
  return width == o.width && height == o.height && bits == o.bits && formatBits == o.formatBits &&
         colour == o.colour && signal == o.signal && wb[0] == o.wb[0] && wb[1] == o.wb[1] &&
         wb[2] == o.wb[2] && brightness == o.brightness && hflip == o.hflip &&
         negative == o.negative;
}

uint32_t BytesPerPixel(uint32_t bits) {
  switch (bits) {
    case 8:
      return 1;
    case 16:
      return 2;
    case 24:
      return 3;
    case 32:
      return 4;
    case 48:
      return 6;
    case 64:
      return 8;
    default:
      return 0;
  }
}

void FrameRenderer::Render(const RenderParams& p) {
  const uint32_t bpp = BytesPerPixel(p.bits);
  const bool wide = Wide(p.bits);
  const uint32_t channels =
      p.bits == 8 || p.bits == 16 ? 1 : (p.bits == 24 || p.bits == 48 ? 3 : 4);
  const uint32_t maxValue = MaxValue(p);
  const size_t rowPixels = static_cast<size_t>(p.width) + kScroll;
  sourceRowBytes_ = rowPixels * bpp;
  source_.resize(sourceRowBytes_ * p.height);

  // Per-channel gain from reflectance to output value. Colour sensors see a
  // warm illuminant (red weak, blue strong) that white balance corrects.
  const double base = static_cast<double>(p.signal) / 65536.0 * 0.9 * maxValue / kFullScale;
  const double tint[3] = {0.88, 1.0, 1.12};
  double gain[3];
  for (int c = 0; c < 3; ++c) {
    gain[c] = p.colour ? base * tint[c] * (1.0 + p.wb[c] / 128.0) : base;
  }
  const int64_t offset = static_cast<int64_t>(p.brightness) * maxValue / 512;
  auto toValue = [&](int32_t reflectance, int c) -> uint32_t {
    int64_t v = static_cast<int64_t>(reflectance * gain[c]) + offset;
    v = std::min<int64_t>(maxValue, std::max<int64_t>(0, v));
    return static_cast<uint32_t>(p.negative ? maxValue - v : v);
  };

  // One period of a row, mirrored for horizontal flip so that the row is the
  // tile repeated: column c of the row shows the scene at column (c mod period)
  // or, flipped, at (rowPixels - 1 - c) mod period.
  std::vector<uint8_t> tile(static_cast<size_t>(kPeriod) * bpp);
  const uint32_t mirrorBase = static_cast<uint32_t>((rowPixels - 1) % kPeriod);
  for (uint32_t y = 0; y < p.height; ++y) {
    for (uint32_t k = 0; k < kPeriod; ++k) {
      const uint32_t px = p.hflip ? (mirrorBase + kPeriod - k) % kPeriod : k;
      const Rgb s = Scene(px, y, p.height);
      uint32_t rgb[3];
      if (p.colour) {
        rgb[0] = toValue(s.r, 0);
        rgb[1] = toValue(s.g, 1);
        rgb[2] = toValue(s.b, 2);
      } else {
        const uint32_t grey = toValue((s.r * 2 + s.g * 5 + s.b) / 8, 0);
        rgb[0] = rgb[1] = rgb[2] = grey;
      }
      uint8_t* out = tile.data() + static_cast<size_t>(k) * bpp;
      const size_t step = wide ? 2 : 1;
      if (channels == 1) {
        Put(out, wide, (rgb[0] + 2 * rgb[1] + rgb[2]) / 4);
      } else {
        Put(out, wide, rgb[2]);  // blue first
        Put(out + step, wide, rgb[1]);
        Put(out + 2 * step, wide, rgb[0]);
        if (channels == 4) Put(out + 3 * step, wide, maxValue);
      }
    }
    uint8_t* row = source_.data() + sourceRowBytes_ * y;
    for (size_t done = 0; done < sourceRowBytes_;) {
      const size_t n = std::min(tile.size(), sourceRowBytes_ - done);
      std::memcpy(row + done, tile.data(), n);
      done += n;
    }
  }
  cached_ = p;
  valid_ = true;
}

void FrameRenderer::Write(const RenderParams& params, uint64_t number, bool vflip, uint8_t* dst,
                          size_t rowPitch) {
  const uint32_t bpp = BytesPerPixel(params.bits);
  if (bpp == 0 || params.width == 0 || params.height == 0 || dst == nullptr) return;
  if (!valid_ || params != cached_) Render(params);
  const size_t rowBytes = static_cast<size_t>(params.width) * bpp;
  const size_t pitch = rowPitch == 0 ? rowBytes : rowPitch;
  const size_t shift = static_cast<size_t>((number * 3) % kScroll) * bpp;
  for (uint32_t y = 0; y < params.height; ++y) {
    const uint32_t sourceRow = vflip ? params.height - 1 - y : y;
    std::memcpy(dst + pitch * y, source_.data() + sourceRowBytes_ * sourceRow + shift, rowBytes);
  }
  const size_t end = pitch * (params.height - 1) + rowBytes;
  if (end < 16) return;
  uint8_t stamp[8];
  for (int i = 0; i < 8; ++i) stamp[i] = static_cast<uint8_t>(number >> (8 * i));
  std::memcpy(dst, stamp, 8);
  std::memcpy(dst + end - 8, stamp, 8);
}

}  // namespace pyxsim
