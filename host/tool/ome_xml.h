// The OME-XML block that makes a multi-page TIFF an OME-TIFF: it sits in the
// first page's ImageDescription and describes the whole stack.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace pyxtool {

struct OmeStack {
  std::string creator;          // e.g. "pyxon 59.31112"
  std::string imageName;        // shown by viewers
  std::string acquisitionDate;  // ISO 8601, e.g. "2026-04-01T12:00:00"
  std::string detectorModel;    // camera model, optional
  std::string detectorManufacturer;
  unsigned width = 0;
  unsigned height = 0;
  unsigned samplesPerPixel = 1;      // 1 grey, 3 RGB (one interleaved channel)
  unsigned bitsPerSample = 8;        // 8 or 16
  unsigned significantBits = 0;      // bits the camera fills (10, 12, ...); 0: bitsPerSample
  size_t planeCount = 0;             // pages in the file, one time point each
  double pixelSizeUm = 0;            // physical pixel size; omitted when 0
  double exposureMs = -1;            // per-plane exposure; omitted when negative
  std::vector<double> planeSeconds;  // per-plane time since the first plane; optional
  std::vector<std::pair<std::string, std::string>> settings;  // camera settings, as key/value
};

// A complete OME-XML document (2016-06 schema) for a stack of single-plane pages
// stored in the same file, one IFD per time point.
std::string BuildOmeXml(const OmeStack& stack);

// The pixel size to store for a camera that reports `reportedUm` (a float
// widened to double) at `binning`: the float's shortest decimal times the
// binning, so that 2.4 um binned by 12 is 28.8 and not 28.8000011.
double CameraPixelSizeUm(double reportedUm, int binning);

// Escapes &, <, >, " and ', drops characters XML 1.0 forbids and replaces
// bytes that are not UTF-8 by U+FFFD.
std::string XmlEscape(const std::string& text);

}  // namespace pyxtool
