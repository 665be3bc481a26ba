// snap: one image to a TIFF, with the camera's settings in its description.
#include <algorithm>
#include <chrono>
#include <cstdio>

#include "framework/error_codes.h"
#include "host/tool/command_line.h"
#include "host/tool/commands.h"
#include "host/tool/frame.h"
#include "host/tool/frame_metadata.h"
#include "host/tool/interrupt.h"
#include "host/tool/ome_xml.h"
#include "host/tool/option_checks.h"
#include "host/tool/output_files.h"
#include "host/tool/png_preview.h"
#include "host/tool/property_table.h"
#include "host/tool/text_safety.h"
#include "host/tool/tiff_writer.h"
#include "host/tool/tool_error.h"
#include "sim/sim_control.h"

namespace pyxtool {

namespace {

// The device waits for a snapped frame for the exposure plus four seconds.
constexpr std::chrono::milliseconds kSnapDeadlineFloor{4000};

// The ImageDescription of a snapped image: JSON, so that any reader can parse it.
std::string SnapDescription(const std::string& camera, std::chrono::system_clock::time_point time,
                            const std::optional<uint64_t>& stamp,
                            const std::vector<PropertyInfo>& properties) {
  nlohmann::ordered_json description;
  description["software"] = ToolVersion();
  description["camera"] = camera;
  description["time"] = IsoUtc(time);
  if (stamp) description["frame"] = *stamp;
  nlohmann::ordered_json settings = nlohmann::ordered_json::object();
  for (const auto& [name, value] : SettingsOf(properties)) settings[name] = value;
  description["properties"] = settings;
  return DumpJson(description);
}

}  // namespace

int RunSnap(const CommonOptions& options, const SnapOptions& snap) {
  // From here on a signal lets the command drop its files.
  InterruptGuard interrupt;
  CameraContext context(options);
  MM::Camera& device = context.device();

  // Open the outputs before acquiring, so an unwritable path fails at once.
  OutputFiles outputs;
  const std::string tiffTemporary = outputs.add(snap.output, "-o");
  const std::string previewTemporary =
      snap.preview.empty() ? std::string() : outputs.add(snap.preview, "--preview");
  TiffWriter tiff(tiffTemporary, false, snap.output);
  std::unique_ptr<PngPreview> preview;
  if (!snap.preview.empty())
    preview = std::make_unique<PngPreview>(previewTemporary, snap.previewSize);

  if (InterruptGuard::requested())
    throw ToolError(kExitInterrupted, "interrupted; nothing was written");
  const auto time = std::chrono::system_clock::now();
  const auto started = std::chrono::steady_clock::now();
  const int result = device.SnapImage();
  // An exposure cannot be cut short: a signal during it takes effect here.
  if (InterruptGuard::requested())
    throw ToolError(kExitInterrupted, "interrupted; nothing was written");
  if (result != 0) {
    // The device gives the same unknown-error code for a snap whose frame never
    // came as for any other failure; only a failure after the whole wait is a
    // missed frame.
    const std::chrono::duration<double> waited = std::chrono::steady_clock::now() - started;
    if (result == MM::Err::Unknown && waited >= kSnapDeadlineFloor) {
      char text[160];
      std::snprintf(text, sizeof text,
                    "snap failed: no frame came within the deadline (waited %.1f s)",
                    waited.count());
      throw ToolError(kExitFailure, text);
    }
    throw ToolError(kExitFailure, "snap failed: " + context.errorText(result));
  }
  const unsigned width = device.GetImageWidth();
  const unsigned height = device.GetImageHeight();
  const unsigned bytesPerPixel = device.GetImageBytesPerPixel();
  const unsigned char* buffer = device.GetImageBuffer();
  if (buffer == nullptr) throw ToolError(kExitFailure, "the camera returned no image buffer");
  std::vector<uint8_t> pixels(buffer, buffer + size_t{width} * height * bytesPerPixel);

  std::optional<uint64_t> stamp;
  uint64_t number = 0;
  if (context.framesCarryStamps() && pyxsim_read_stamp(pixels.data(), pixels.size(), &number))
    stamp = number;
  const std::vector<PropertyInfo> properties = ReadProperties(context.camera().access());
  const Frame frame = FrameFromDevice(std::move(pixels), width, height, bytesPerPixel);

  PageTags tags;
  tags.description = SnapDescription(context.camera().name(), time, stamp, properties);
  tags.software = ToolVersion();
  tags.dateTime = TiffDateTime(time);
  tags.pixelSizeUm = CameraPixelSizeUm(device.GetPixelSizeUm(), device.GetBinning());
  tiff.writePage(frame, tags);
  tiff.close();
  unsigned shownWidth = 0;
  unsigned shownHeight = 0;
  if (preview != nullptr) {
    try {
      preview->write(frame, &shownWidth, &shownHeight);
    } catch (const ToolError& e) {
      std::string message = e.what();
      const size_t at = message.find(previewTemporary);
      if (at != std::string::npos) message.replace(at, previewTemporary.size(), snap.preview);
      throw ToolError(e.exitCode(), message);
    }
  }
  outputs.commit();
  std::printf("%s: %u x %u, %s from %s\n", snap.output.c_str(), width, height,
              DescribeLayout(frame.samplesPerPixel, frame.bitsPerSample).c_str(),
              ValidUtf8(context.camera().name()).c_str());
  if (preview != nullptr)
    std::printf("%s: %u x %u preview\n", snap.preview.c_str(), shownWidth, shownHeight);
  return kExitOk;
}

void RegisterSnap(CommandLine& line) {
  auto options = std::make_shared<SnapOptions>();
  CommonOptions& common = line.common();
  CLI::App* snap = line.add("snap", "take one image and save it as TIFF",
                            [options, &common] { return RunSnap(common, *options); });
  snap->add_option("-o,--output", options->output, "TIFF file to write")
      ->required()
      ->type_name("FILE");
  snap->add_option("--preview", options->preview, "also write an 8-bit PNG preview")
      ->check(PngFileName())
      ->type_name("FILE.png");
  snap->add_option("--preview-size", options->previewSize,
                   "longest edge of the preview in pixels; 0 keeps the size")
      ->capture_default_str();
  AddSettingsOption(snap, common, "before the snap");
  AddExamples(snap,
              "  pyxon snap -o image.tif\n  pyxon snap -o image.tif --preview image.png --camera "
              "PX-678C --set Exposure=5\n");
}

}  // namespace pyxtool
