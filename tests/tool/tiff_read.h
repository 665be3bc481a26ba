// Reading TIFF files back with libtiff for assertions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tooltest {

struct TiffPage {
  uint32_t width = 0;
  uint32_t height = 0;
  uint16_t bitsPerSample = 0;
  uint16_t samplesPerPixel = 0;
  uint16_t photometric = 0;
  std::string description;
  std::vector<uint8_t> pixels;  // all strips, in order
};

struct TiffFile {
  bool bigTiff = false;
  std::vector<TiffPage> pages;
};

// Null when libtiff cannot open or read the file.
std::optional<TiffFile> ReadTiff(const std::string& path);

// The little-endian 64-bit word at the start of a page's pixels.
uint64_t FirstWord(const TiffPage& page);

}  // namespace tooltest
