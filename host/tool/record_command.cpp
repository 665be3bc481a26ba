// record: a counted sequence into a multi-page OME-TIFF, with progress and
// optional per-frame metadata.
//
// Threads: the device's sequence thread inserts frames into the RecordingHost's
// ring; this (the main) thread takes them as they arrive and writes them. The
// ring is the only thing the two share, and it has its own lock.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "host/tool/commands.h"
#include "host/tool/frame.h"
#include "host/tool/frame_metadata.h"
#include "host/tool/interrupt.h"
#include "host/tool/ome_xml.h"
#include "host/tool/output_files.h"
#include "host/tool/progress_display.h"
#include "host/tool/property_table.h"
#include "host/tool/stream_stats.h"
#include "host/tool/text_safety.h"
#include "host/tool/tiff_writer.h"
#include "host/tool/tool_error.h"

namespace pyxtool {

namespace {

// Frames may wait in the host's ring while the disk catches up; allow about
// 512 MiB of them, but never fewer than 16 or more than the recording needs.
size_t RingCapacity(size_t frameBytes, uint64_t count) {
  const size_t byMemory =
      std::clamp<size_t>((size_t{512} << 20) / std::max<size_t>(frameBytes, 1), 16, 4096);
  return static_cast<size_t>(std::min<uint64_t>(byMemory, count + 1));
}

constexpr size_t kMaxOmePlanes = 10000;

double ExposureOf(const std::vector<PropertyInfo>& properties) {
  for (const PropertyInfo& property : properties)
    if (property.name == "Exposure" && property.readError == 0)
      return std::strtod(property.value.c_str(), nullptr);
  return -1;
}

std::string ValueOf(const std::vector<PropertyInfo>& properties, const std::string& name) {
  for (const PropertyInfo& property : properties)
    if (property.name == name && property.readError == 0) return property.value;
  return std::string();
}

// Everything a recording keeps track of while frames arrive.
class Recording {
 public:
  Recording(CameraContext& context, const RecordOptions& options);
  // Runs the acquisition to its end (count reached, camera stopped, Ctrl-C).
  void run();
  // Closes the file, finishes its OME-XML and writes the metadata file.
  // Returns the exit code.
  int finish();

 private:
  void take(pyxhost::HostImage&& image);
  Progress progress(Clock::time_point now);
  // The figures of the summary: averages from the first to the last frame.
  double recordedSeconds() const;
  Progress finalProgress();
  OmeStack omeStack(size_t planes) const;

  CameraContext& context_;
  const RecordOptions& options_;
  pyxhost::RecordingHost& host_;
  unsigned width_;
  unsigned height_;
  unsigned bytesPerPixel_;
  unsigned samplesPerPixel_ = 1;
  unsigned bitsPerSample_ = 8;
  bool useStamps_;
  std::vector<PropertyInfo> properties_;
  unsigned significantBits_;
  double pixelSizeUm_;
  OutputFiles outputs_;
  std::unique_ptr<TiffWriter> tiff_;
  Clock::time_point start_;
  std::chrono::system_clock::time_point wallStart_;
  RateWindow rate_;
  StampTracker stamps_;
  std::vector<FrameRecord> frames_;
  bool interrupted_ = false;
};

Recording::Recording(CameraContext& context, const RecordOptions& options)
    : context_(context),
      options_(options),
      host_(context.host()),
      width_(context.device().GetImageWidth()),
      height_(context.device().GetImageHeight()),
      bytesPerPixel_(context.device().GetImageBytesPerPixel()),
      useStamps_(context.framesCarryStamps()),
      properties_(ReadProperties(context.camera().access())),
      significantBits_(context.device().GetBitDepth()),
      pixelSizeUm_(
          CameraPixelSizeUm(context.device().GetPixelSizeUm(), context.device().GetBinning())),
      start_(Clock::now()),
      rate_(start_) {
  if (!FileLayoutFor(bytesPerPixel_, &samplesPerPixel_, &bitsPerSample_)) {
    throw ToolError(kExitFailure, "the camera delivers " + std::to_string(bytesPerPixel_) +
                                      " bytes per pixel, a layout the tool cannot store");
  }
  // Classic TIFF cannot address more than 4 GiB: decide before the first byte.
  const bool bigTiff = options.bigTiff || NeedsBigTiff(width_, height_, samplesPerPixel_,
                                                       bitsPerSample_, options.count);
  tiff_ = std::make_unique<TiffWriter>(options.output, bigTiff);
  outputs_.add(options.output);
  if (!options.metadata.empty()) {
    EnsureWritable(options.metadata);
    outputs_.add(options.metadata);
  }
  host_.setRingCapacity(RingCapacity(size_t{width_} * height_ * bytesPerPixel_, options.count));
}

OmeStack Recording::omeStack(size_t planes) const {
  OmeStack stack;
  stack.creator = ToolVersion();
  stack.imageName = context_.camera().name();
  stack.acquisitionDate = IsoUtc(wallStart_);
  stack.detectorModel = ValueOf(properties_, "Model");
  stack.detectorManufacturer = ValueOf(properties_, "Description");
  stack.width = width_;
  stack.height = height_;
  stack.samplesPerPixel = samplesPerPixel_;
  stack.bitsPerSample = bitsPerSample_;
  stack.significantBits = significantBits_;
  stack.planeCount = planes;
  stack.pixelSizeUm = pixelSizeUm_;
  stack.exposureMs = ExposureOf(properties_);
  // Plane timing for the first kMaxOmePlanes frames keeps the XML small; the
  // metadata file has every frame's time.
  for (size_t i = 0; i < frames_.size() && i < planes && i < kMaxOmePlanes; ++i)
    stack.planeSeconds.push_back(frames_[i].seconds);
  stack.settings = SettingsOf(properties_);
  return stack;
}

void Recording::take(pyxhost::HostImage&& image) {
  if (frames_.size() >= options_.count) return;  // a frame taken while stopping
  if (image.width != width_ || image.height != height_ || image.bytesPerPixel != bytesPerPixel_) {
    throw ToolError(kExitFailure, "the camera changed its image size during the recording");
  }
  FrameRecord record;
  record.index = frames_.size();
  if (useStamps_) {
    record.stamp = StampOf(image);
    if (record.stamp)
      stamps_.add(*record.stamp);
    else
      stamps_.addUnreadable();
  }
  record.seconds = Seconds(image.received - start_);
  record.timestamp =
      IsoUtc(wallStart_ + std::chrono::duration_cast<std::chrono::system_clock::duration>(
                              image.received - start_));
  record.metadata = std::move(image.metadata);
  rate_.add(image.received, image.pixels.size());

  const Frame frame = FrameFromDevice(std::move(image.pixels), width_, height_, bytesPerPixel_);
  PageTags tags;
  if (frames_.empty()) {
    tags.description = BuildOmeXml(omeStack(options_.count));
    tags.software = ToolVersion();
    tags.dateTime = TiffDateTime(wallStart_);
  }
  tags.pixelSizeUm = pixelSizeUm_;
  tiff_->writePage(frame, tags);
  frames_.push_back(std::move(record));
}

Progress Recording::progress(Clock::time_point now) {
  Progress progress;
  progress.frames = frames_.size();
  progress.target = options_.count;
  progress.seconds = Seconds(now - start_);
  progress.framesPerSecond = rate_.framesPerSecond(now);
  progress.mibPerSecond = rate_.bytesPerSecond(now) / kMiB;
  progress.dropped = stamps_.dropped();
  progress.outOfOrder = stamps_.outOfOrder();
  progress.overflows = host_.rejectedCount();
  return progress;
}

double Recording::recordedSeconds() const {
  return frames_.empty() ? 0.0 : std::max(frames_.back().seconds, 1e-9);
}

Progress Recording::finalProgress() {
  Progress final = progress(Clock::now());
  final.seconds = recordedSeconds();
  final.framesPerSecond = final.seconds > 0 ? double(frames_.size()) / final.seconds : 0.0;
  final.mibPerSecond = final.seconds > 0 ? double(rate_.totalBytes()) / kMiB / final.seconds : 0.0;
  return final;
}

void Recording::run() {
  MM::Camera& device = context_.device();
  InterruptGuard interrupt;
  ProgressDisplay display(!options_.quiet);
  if (!options_.quiet) {
    std::fprintf(stderr, "Recording %llu frames of %u x %u (%s) from %s to %s (Ctrl-C stops)\n",
                 static_cast<unsigned long long>(options_.count), width_, height_,
                 DescribeLayout(samplesPerPixel_, bitsPerSample_).c_str(),
                 ValidUtf8(context_.camera().name()).c_str(), options_.output.c_str());
  }
  start_ = Clock::now();
  rate_ = RateWindow(start_);
  wallStart_ = std::chrono::system_clock::now();
  const long count = static_cast<long>(
      std::min<uint64_t>(options_.count, static_cast<uint64_t>(std::numeric_limits<long>::max())));
  const int result = device.StartSequenceAcquisition(count, 0.0, options_.stopOnOverflow);
  if (result != 0) {
    throw ToolError(kExitFailure, "cannot start the acquisition: " + context_.errorText(result));
  }
  bool finished = false;
  while (!finished) {
    host_.waitForImages(1, std::chrono::milliseconds(100));
    // Read "finished" before taking: every image inserted before the end is then
    // in this take.
    finished = host_.finishedCount() > 0;
    for (pyxhost::HostImage& image : host_.takeImages()) take(std::move(image));
    if (InterruptGuard::requested() && !interrupted_) {
      interrupted_ = true;
      device.StopSequenceAcquisition();  // returns once the sequence thread has ended
    }
    display.update(progress(Clock::now()), Clock::now());
  }
  display.finish(finalProgress());
}

int Recording::finish() {
  const size_t pages = tiff_->pageCount();
  tiff_->close();
  const Progress final = finalProgress();
  if (pages == 0) {
    throw ToolError(interrupted_ ? kExitInterrupted : kExitFailure,
                    std::string(interrupted_ ? "interrupted" : "the camera delivered no frame") +
                        "; nothing was written");
  }
  // The first page now describes what the file really holds, with plane times.
  TiffWriter::RewriteFirstDescription(options_.output, BuildOmeXml(omeStack(pages)));

  const double seconds = final.seconds;
  if (!options_.metadata.empty()) {
    nlohmann::ordered_json json;
    json["software"] = ToolVersion();
    json["camera"] = context_.camera().name();
    json["file"] = options_.output;
    json["started"] = IsoUtc(wallStart_);
    json["width"] = width_;
    json["height"] = height_;
    json["bytesPerPixel"] = bytesPerPixel_;
    json["layout"] = DescribeLayout(samplesPerPixel_, bitsPerSample_);
    json["requested"] = options_.count;
    json["recorded"] = pages;
    json["interrupted"] = interrupted_;
    nlohmann::ordered_json statistics;
    statistics["seconds"] = seconds;
    statistics["framesPerSecond"] = double(pages) / seconds;
    statistics["mibPerSecond"] = double(rate_.totalBytes()) / kMiB / seconds;
    if (useStamps_) {
      statistics["dropped"] = stamps_.dropped();
      statistics["outOfOrder"] = stamps_.outOfOrder();
      statistics["unreadableStamps"] = stamps_.unreadable();
    }
    statistics["hostBufferOverflows"] = host_.rejectedCount();
    json["statistics"] = statistics;
    nlohmann::ordered_json settings = nlohmann::ordered_json::object();
    for (const auto& [name, value] : SettingsOf(properties_)) settings[name] = value;
    json["settings"] = settings;
    nlohmann::json frames = nlohmann::json::array();
    for (const FrameRecord& frame : frames_) frames.push_back(FrameRecordJson(frame));
    json["frames"] = frames;
    WriteJsonFile(options_.metadata, nlohmann::json(json));
  }
  outputs_.keep();

  std::printf("%s: %zu frames of %u x %u, %s, %.1f MiB%s\n", options_.output.c_str(), pages, width_,
              height_, DescribeLayout(samplesPerPixel_, bitsPerSample_).c_str(),
              double(rate_.totalBytes()) / kMiB, tiff_->bigTiff() ? " (BigTIFF)" : "");
  std::printf("%.2f s, %.1f frames/s, %.1f MiB/s", seconds, double(pages) / seconds,
              double(rate_.totalBytes()) / kMiB / seconds);
  if (useStamps_) {
    std::printf(", %llu dropped, %llu out of order", static_cast<unsigned long long>(final.dropped),
                static_cast<unsigned long long>(final.outOfOrder));
  }
  std::printf(", %llu host-buffer overflows\n", static_cast<unsigned long long>(final.overflows));
  if (!options_.metadata.empty())
    std::printf("%s: per-frame metadata\n", options_.metadata.c_str());
  std::fflush(stdout);

  if (interrupted_) {
    std::fprintf(stderr, "pyxon: interrupted after %zu of %llu frames; %s is complete and valid\n",
                 pages, static_cast<unsigned long long>(options_.count), options_.output.c_str());
    return kExitInterrupted;
  }
  if (pages < options_.count) {
    std::fprintf(stderr, "pyxon: the camera ended the acquisition after %zu of %llu frames\n",
                 pages, static_cast<unsigned long long>(options_.count));
    return kExitFailure;
  }
  return kExitOk;
}

}  // namespace

int RunRecord(const CommonOptions& options, const RecordOptions& record) {
  CameraContext context(options);
  context.preferFreeRunning();
  Recording recording(context, record);
  recording.run();
  return recording.finish();
}

}  // namespace pyxtool
