// OME-XML text for recorded stacks.
#include "host/tool/ome_xml.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "host/tool/text_safety.h"

namespace pyxtool {

namespace {

std::string Number(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.9g", value);
  return text;
}

// Twelve digits are more than any camera's figure holds, and few enough to
// hide the last bit a product of decimals (3 x 3.76) rounds off.
std::string Length(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.12g", value);
  return text;
}

std::string Attribute(const char* name, const std::string& value) {
  return std::string(" ") + name + "=\"" + XmlEscape(value) + "\"";
}

}  // namespace

double CameraPixelSizeUm(double reportedUm, int binning) {
  const float reported = static_cast<float>(reportedUm);
  double shortest = reportedUm;
  for (int digits = 1; digits <= 9; ++digits) {
    char text[32];
    std::snprintf(text, sizeof text, "%.*g", digits, static_cast<double>(reported));
    if (std::strtof(text, nullptr) == reported) {
      shortest = std::strtod(text, nullptr);
      break;
    }
  }
  return shortest * std::max(binning, 1);
}

std::string XmlEscape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : ValidUtf8(text)) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        // Control characters other than tab, line feed and carriage return are
        // not allowed in XML 1.0, not even as references.
        if (byte < 0x20 && c != '\t' && c != '\n' && c != '\r') break;
        out += c;
    }
  }
  return out;
}

std::string BuildOmeXml(const OmeStack& stack) {
  static const char* kNamespace = "http://www.openmicroscopy.org/Schemas/OME/2016-06";
  std::ostringstream xml;
  xml << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  xml << "<OME xmlns=\"" << kNamespace << "\""
      << " xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\""
      << " xsi:schemaLocation=\"" << kNamespace << " " << kNamespace << "/ome.xsd\""
      << Attribute("Creator", stack.creator) << ">\n";

  const bool hasDetector = !stack.detectorModel.empty();
  if (hasDetector) {
    xml << "  <Instrument ID=\"Instrument:0\">\n"
        << "    <Detector ID=\"Detector:0:0\"" << Attribute("Model", stack.detectorModel);
    if (!stack.detectorManufacturer.empty())
      xml << Attribute("Manufacturer", stack.detectorManufacturer);
    xml << "/>\n  </Instrument>\n";
  }

  xml << "  <Image ID=\"Image:0\"" << Attribute("Name", stack.imageName) << ">\n";
  if (!stack.acquisitionDate.empty())
    xml << "    <AcquisitionDate>" << XmlEscape(stack.acquisitionDate) << "</AcquisitionDate>\n";
  if (hasDetector) xml << "    <InstrumentRef ID=\"Instrument:0\"/>\n";

  const bool rgb = stack.samplesPerPixel == 3;
  xml << "    <Pixels ID=\"Pixels:0\" DimensionOrder=\"XYCZT\""
      << " Type=\"" << (stack.bitsPerSample == 16 ? "uint16" : "uint8") << "\""
      << " SignificantBits=\""
      << (stack.significantBits > 0 && stack.significantBits <= stack.bitsPerSample
              ? stack.significantBits
              : stack.bitsPerSample)
      << "\""
      << " SizeX=\"" << stack.width << "\" SizeY=\"" << stack.height << "\""
      << " SizeC=\"" << (rgb ? 3 : 1) << "\" SizeZ=\"1\" SizeT=\"" << stack.planeCount << "\""
      << " BigEndian=\"false\" Interleaved=\"" << (rgb ? "true" : "false") << "\"";
  if (stack.pixelSizeUm > 0) {
    xml << " PhysicalSizeX=\"" << Length(stack.pixelSizeUm) << "\" PhysicalSizeXUnit=\"\xC2\xB5m\""
        << " PhysicalSizeY=\"" << Length(stack.pixelSizeUm) << "\" PhysicalSizeYUnit=\"\xC2\xB5m\"";
  }
  xml << ">\n";
  xml << "      <Channel ID=\"Channel:0:0\" SamplesPerPixel=\"" << stack.samplesPerPixel << "\"";
  if (hasDetector)
    xml << ">\n        <DetectorSettings ID=\"Detector:0:0\"/>\n      </Channel>\n";
  else
    xml << "/>\n";
  xml << "      <TiffData IFD=\"0\" PlaneCount=\"" << stack.planeCount << "\"/>\n";
  for (size_t t = 0; t < stack.planeSeconds.size() && t < stack.planeCount; ++t) {
    xml << "      <Plane TheC=\"0\" TheZ=\"0\" TheT=\"" << t << "\""
        << " DeltaT=\"" << Number(stack.planeSeconds[t]) << "\" DeltaTUnit=\"s\"";
    if (stack.exposureMs >= 0)
      xml << " ExposureTime=\"" << Number(stack.exposureMs) << "\" ExposureTimeUnit=\"ms\"";
    xml << "/>\n";
  }
  xml << "    </Pixels>\n";
  if (!stack.settings.empty()) xml << "    <AnnotationRef ID=\"Annotation:Settings\"/>\n";
  xml << "  </Image>\n";

  if (!stack.settings.empty()) {
    xml << "  <StructuredAnnotations>\n"
        << "    <MapAnnotation ID=\"Annotation:Settings\" Namespace=\"pyxon/camera-settings\">\n"
        << "      <Value>\n";
    for (const auto& [key, value] : stack.settings)
      xml << "        <M" << Attribute("K", key) << ">" << XmlEscape(value) << "</M>\n";
    xml << "      </Value>\n    </MapAnnotation>\n  </StructuredAnnotations>\n";
  }
  xml << "</OME>\n";
  return xml.str();
}

}  // namespace pyxtool
