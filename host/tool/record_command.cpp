// record: a counted sequence into a multi-page OME-TIFF, with progress and
// optional per-frame metadata.
//
// Threads: the device's sequence thread inserts frames into the RecordingHost's
// ring; this (the main) thread takes them as they arrive and writes them. The
// ring is the only thing the two share, and it has its own lock.
#include <sys/statvfs.h>

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
// 512 MiB of them, but never fewer than 16 or more than the recording needs,
// unless the user chose the size.
size_t RingCapacity(size_t frameBytes, uint64_t count, unsigned chosen) {
  if (chosen > 0) return chosen;
  const size_t byMemory =
      std::clamp<size_t>((size_t{512} << 20) / std::max<size_t>(frameBytes, 1), 16, 4096);
  return static_cast<size_t>(std::min<uint64_t>(byMemory, count + 1));
}

constexpr size_t kMaxOmePlanes = 10000;

// The widest plane time the OME-XML can show ("%.9g" of any double in seconds).
constexpr double kWidestPlaneSeconds = 1.23456789e+100;

// A sequence's image count travels as a long, 32 bits wide on some hosts.
constexpr uint64_t kMaxRecordFrames = 2147483647;

std::string FolderOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// A message about a temporary file, naming the file the user gave instead.
std::string ShownAs(std::string message, const std::string& temporary, const std::string& target) {
  for (size_t at = message.find(temporary); at != std::string::npos;
       at = message.find(temporary, at + target.size()))
    message.replace(at, temporary.size(), target);
  return message;
}

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
  // The OME-XML of the first page while recording: room is kept for the plane
  // times of the final text, which is written over it without needing space.
  std::string firstDescription() const;
  void warnWhenTheDiskIsTooSmall(const std::string& folder) const;
  void writeMetadataFile(size_t pages, double seconds);

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
  std::string tiffTemporary_;
  std::string metadataTemporary_;
  std::unique_ptr<TiffWriter> tiff_;
  Clock::time_point start_;
  std::chrono::system_clock::time_point wallStart_;
  RateWindow rate_;
  StampTracker stamps_;
  std::vector<FrameRecord> frames_;
  bool interrupted_ = false;
  std::string writeFailure_;  // the message of a failed page write
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
  tiffTemporary_ = outputs_.add(options.output, "-o");
  if (!options.metadata.empty()) metadataTemporary_ = outputs_.add(options.metadata, "--metadata");
  tiff_ = std::make_unique<TiffWriter>(tiffTemporary_, bigTiff, options.output);
  host_.setRingCapacity(RingCapacity(size_t{width_} * height_ * bytesPerPixel_, options.count,
                                     options.hostBufferFrames));
  warnWhenTheDiskIsTooSmall(FolderOf(tiffTemporary_));
}

void Recording::warnWhenTheDiskIsTooSmall(const std::string& folder) const {
  struct statvfs disk {};
  if (statvfs(folder.c_str(), &disk) != 0) return;
  const double available = double(disk.f_bavail) * double(disk.f_frsize);
  const double pageBytes = double(width_) * height_ * samplesPerPixel_ * (bitsPerSample_ / 8);
  const double needed = pageBytes * double(options_.count);
  if (needed <= available) return;
  std::fprintf(stderr,
               "pyxon: warning: %llu frames need about %.1f GiB but %s has %.1f GiB free; the "
               "recording will end when the disk is full, keeping the frames written\n",
               static_cast<unsigned long long>(options_.count), needed / kMiB / 1024,
               folder.c_str(), available / kMiB / 1024);
}

std::string Recording::firstDescription() const {
  const size_t planes = static_cast<size_t>(std::min<uint64_t>(options_.count, kMaxOmePlanes));
  OmeStack widest = omeStack(options_.count);
  widest.planeSeconds.assign(planes, kWidestPlaneSeconds);
  const size_t room = BuildOmeXml(widest).size();
  std::string description = BuildOmeXml(omeStack(options_.count));
  if (description.size() < room) description.resize(room, ' ');
  return description;
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
  if (useStamps_) record.stamp = StampOf(image);
  record.seconds = Seconds(image.received - start_);
  record.timestamp =
      IsoUtc(wallStart_ + std::chrono::duration_cast<std::chrono::system_clock::duration>(
                              image.received - start_));
  record.metadata = std::move(image.metadata);
  const size_t bytes = image.pixels.size();

  const Frame frame = FrameFromDevice(std::move(image.pixels), width_, height_, bytesPerPixel_);
  PageTags tags;
  if (frames_.empty()) {
    tags.description = firstDescription();
    tags.software = ToolVersion();
    tags.dateTime = TiffDateTime(wallStart_);
  }
  tags.pixelSizeUm = pixelSizeUm_;
  tiff_->writePage(frame, tags);
  // Only frames in the file count.
  if (useStamps_) {
    if (record.stamp)
      stamps_.add(*record.stamp);
    else
      stamps_.addUnreadable();
  }
  rate_.add(image.received, bytes);
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
  if (InterruptGuard::requested())
    throw ToolError(kExitInterrupted, "interrupted; nothing was written");
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
  // The device counts the images it inserted, also those a host-buffer overflow
  // cleared again: the sequence runs until the file holds the count, and the
  // tool stops it then.
  const int result = device.StartSequenceAcquisition(std::numeric_limits<long>::max(), 0.0,
                                                     options_.stopOnOverflow);
  if (result != 0) {
    throw ToolError(kExitFailure, "cannot start the acquisition: " + context_.errorText(result));
  }
  bool finished = false;
  bool stopped = false;
  while (!finished) {
    host_.waitForImages(1, std::chrono::milliseconds(100));
    // Read "finished" before taking: every image inserted before the end is then
    // in this take.
    finished = host_.finishedCount() > 0;
    for (pyxhost::HostImage& image : host_.takeImages()) {
      if (!writeFailure_.empty()) break;
      try {
        take(std::move(image));
      } catch (const ToolError& e) {
        if (!tiff_->failed()) throw;
        writeFailure_ = e.what();  // the pages before stay: the file is finished with them
      }
    }
    if (InterruptGuard::requested() && !interrupted_ && writeFailure_.empty()) interrupted_ = true;
    const bool done = frames_.size() >= options_.count;
    if (!stopped && (done || interrupted_ || !writeFailure_.empty())) {
      stopped = true;
      device.StopSequenceAcquisition();  // returns once the sequence thread has ended
      if (done) interrupted_ = false;
      if (done || !writeFailure_.empty()) finished = true;
    }
    display.update(progress(Clock::now()), Clock::now());
  }
  display.finish(finalProgress());
}

void Recording::writeMetadataFile(size_t pages, double seconds) {
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
  try {
    WriteJsonFile(metadataTemporary_, nlohmann::json(json));
  } catch (const ToolError& e) {
    throw ToolError(e.exitCode(), ShownAs(e.what(), metadataTemporary_, options_.metadata));
  }
}

int Recording::finish() {
  const size_t pages = tiff_->pageCount();
  tiff_->close();
  if (pages >= options_.count) interrupted_ = false;  // a signal that came as the count was reached
  const Progress final = finalProgress();
  if (pages == 0) {
    if (!writeFailure_.empty())
      throw ToolError(kExitFailure, writeFailure_ + "; nothing was written");
    throw ToolError(interrupted_ ? kExitInterrupted : kExitFailure,
                    std::string(interrupted_ ? "interrupted" : "the camera delivered no frame") +
                        "; nothing was written");
  }
  // The first page now describes what the file really holds, with plane times.
  TiffWriter::RewriteFirstDescription(tiffTemporary_, BuildOmeXml(omeStack(pages)),
                                      options_.output);

  const double seconds = final.seconds;
  std::string metadataFailure;
  if (!options_.metadata.empty()) {
    try {
      writeMetadataFile(pages, seconds);
    } catch (const ToolError& e) {
      // After a failed page write the disk may be full: the frames come first.
      if (writeFailure_.empty()) throw;
      metadataFailure = e.what();
      outputs_.drop(metadataTemporary_);
    }
  }
  outputs_.commit();

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
  if (!options_.metadata.empty() && metadataFailure.empty())
    std::printf("%s: per-frame metadata\n", options_.metadata.c_str());
  std::fflush(stdout);

  const unsigned long long requested = options_.count;
  if (!writeFailure_.empty()) {
    std::fprintf(stderr,
                 "pyxon: %s; %s holds the %zu of %llu frames written before, complete and valid\n",
                 writeFailure_.c_str(), options_.output.c_str(), pages, requested);
    if (!metadataFailure.empty()) std::fprintf(stderr, "pyxon: %s\n", metadataFailure.c_str());
    return kExitFailure;
  }
  if (interrupted_) {
    std::fprintf(stderr, "pyxon: interrupted after %zu of %llu frames; %s is complete and valid\n",
                 pages, requested, options_.output.c_str());
    return kExitInterrupted;
  }
  if (pages < options_.count) {
    if (options_.stopOnOverflow && final.overflows > 0) {
      std::fprintf(stderr,
                   "pyxon: a host-buffer overflow stopped the acquisition after %zu of %llu frames "
                   "(--stop-on-overflow)\n",
                   pages, requested);
    } else {
      std::fprintf(stderr, "pyxon: the camera ended the acquisition after %zu of %llu frames\n",
                   pages, requested);
    }
    return kExitFailure;
  }
  return kExitOk;
}

}  // namespace

int RunRecord(const CommonOptions& options, const RecordOptions& record) {
  if (record.count > kMaxRecordFrames) {
    throw ToolError(kExitUsage,
                    "the count given with -n is out of range: a recording holds at most " +
                        std::to_string(kMaxRecordFrames) + " frames");
  }
  // From here on a signal lets the command finish or drop its files.
  InterruptGuard interrupt;
  CameraContext context(options);
  context.preferFreeRunning();
  Recording recording(context, record);
  recording.run();
  return recording.finish();
}

}  // namespace pyxtool
