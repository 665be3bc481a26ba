// libtiff-based reader for the tests.
#include "tiff_read.h"

#include <tiffio.h>

#include <cstdarg>
#include <memory>

namespace tooltest {

namespace {

void Quiet(const char*, const char*, va_list) {}

struct Closer {
  void operator()(TIFF* tiff) const { TIFFClose(tiff); }
};

}  // namespace

std::optional<TiffFile> ReadTiff(const std::string& path) {
  TIFFSetWarningHandler(Quiet);
  std::unique_ptr<TIFF, Closer> tiff(TIFFOpen(path.c_str(), "r"));
  if (tiff == nullptr) return std::nullopt;
  TiffFile file;
  file.bigTiff = TIFFIsBigTIFF(tiff.get()) != 0;
  do {
    TIFF* t = tiff.get();
    TiffPage page;
    TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &page.width);
    TIFFGetField(t, TIFFTAG_IMAGELENGTH, &page.height);
    TIFFGetFieldDefaulted(t, TIFFTAG_BITSPERSAMPLE, &page.bitsPerSample);
    TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLESPERPIXEL, &page.samplesPerPixel);
    TIFFGetField(t, TIFFTAG_PHOTOMETRIC, &page.photometric);
    const char* description = nullptr;
    if (TIFFGetField(t, TIFFTAG_IMAGEDESCRIPTION, &description) && description != nullptr)
      page.description = description;
    const tstrip_t strips = TIFFNumberOfStrips(t);
    for (tstrip_t s = 0; s < strips; ++s) {
      std::vector<uint8_t> strip(static_cast<size_t>(TIFFStripSize(t)));
      const tmsize_t got = TIFFReadEncodedStrip(t, s, strip.data(), -1);
      if (got < 0) return std::nullopt;
      page.pixels.insert(page.pixels.end(), strip.begin(), strip.begin() + got);
    }
    file.pages.push_back(std::move(page));
  } while (TIFFReadDirectory(tiff.get()));
  return file;
}

uint64_t FirstWord(const TiffPage& page) {
  uint64_t word = 0;
  for (int i = 7; i >= 0 && page.pixels.size() >= 8; --i) word = (word << 8) | page.pixels[i];
  return word;
}

}  // namespace tooltest
