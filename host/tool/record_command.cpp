// record: a counted sequence into a multi-page OME-TIFF, with progress and
// optional per-frame metadata.
//
// Threads: the sinks run on the session's thread (see acquisition.h).
#include <sys/statvfs.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "host/tool/acquisition.h"
#include "host/tool/command_line.h"
#include "host/tool/commands.h"
#include "host/tool/frame.h"
#include "host/tool/frame_metadata.h"
#include "host/tool/interrupt.h"
#include "host/tool/ome_xml.h"
#include "host/tool/option_checks.h"
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

// What the files say about the camera and its settings, read before the start.
struct CameraFacts {
  std::string name;
  std::vector<PropertyInfo> properties;
  unsigned samplesPerPixel = 1;
  unsigned bitsPerSample = 8;
  unsigned significantBits = 0;
  double pixelSizeUm = 0;

  std::string layout() const { return DescribeLayout(samplesPerPixel, bitsPerSample); }
};

CameraFacts ReadFacts(CameraContext& context, unsigned bytesPerPixel) {
  CameraFacts facts;
  facts.name = context.camera().name();
  facts.properties = ReadProperties(context.camera().access());
  facts.significantBits = context.device().GetBitDepth();
  facts.pixelSizeUm =
      CameraPixelSizeUm(context.device().GetPixelSizeUm(), context.device().GetBinning());
  if (!FileLayoutFor(bytesPerPixel, &facts.samplesPerPixel, &facts.bitsPerSample)) {
    throw ToolError(kExitFailure, "the camera delivers " + std::to_string(bytesPerPixel) +
                                      " bytes per pixel, a layout the tool cannot store");
  }
  return facts;
}

// The progress on stderr, and its final state.
class ProgressSink : public FrameSink {
 public:
  ProgressSink(const RecordOptions& options, const CameraFacts& facts)
      : options_(options), facts_(facts), display_(!options.quiet) {}

  void begin(AcquisitionSession& session) override {
    if (options_.quiet) return;
    std::fprintf(stderr, "Recording %llu frames of %u x %u (%s) from %s to %s (Ctrl-C stops)\n",
                 static_cast<unsigned long long>(options_.count), session.width(), session.height(),
                 facts_.layout().c_str(), ValidUtf8(facts_.name).c_str(), options_.output.c_str());
  }
  void tick(AcquisitionSession& session, Clock::time_point now) override {
    display_.update(ProgressAt(session, now), now);
  }
  void end(AcquisitionSession& session) override { display_.finish(FinalProgress(session)); }

  static Progress ProgressAt(AcquisitionSession& session, Clock::time_point now) {
    Progress progress;
    progress.frames = session.frames();
    progress.target = session.plan().target;
    progress.seconds = Seconds(now - session.start());
    progress.framesPerSecond = session.rate().framesPerSecond(now);
    progress.mibPerSecond = session.rate().bytesPerSecond(now) / kMiB;
    progress.dropped = session.stamps().dropped();
    progress.outOfOrder = session.stamps().outOfOrder();
    progress.overflows = session.overflows();
    return progress;
  }
  // The figures of the summary: averages from the first to the last frame.
  static Progress FinalProgress(AcquisitionSession& session) {
    Progress final = ProgressAt(session, Clock::now());
    final.seconds = session.frames() == 0 ? 0.0 : std::max(session.lastFrameSeconds(), 1e-9);
    const double seconds = final.seconds;
    final.framesPerSecond = seconds > 0 ? double(session.frames()) / seconds : 0.0;
    final.mibPerSecond = seconds > 0 ? double(session.rate().totalBytes()) / kMiB / seconds : 0.0;
    return final;
  }

 private:
  const RecordOptions& options_;
  const CameraFacts& facts_;
  ProgressDisplay display_;
};

// The frames as pages of an OME-TIFF. A failed page write (a full disk) ends
// the recording; the pages before it stay, and the file is finished with them.
class OmeTiffSink : public FrameSink {
 public:
  OmeTiffSink(const std::string& temporary, const RecordOptions& options, const CameraFacts& facts,
              unsigned width, unsigned height)
      : temporary_(temporary), options_(options), facts_(facts), width_(width), height_(height) {
    // Classic TIFF cannot address more than 4 GiB: decide before the first byte.
    const bool bigTiff = options.bigTiff || NeedsBigTiff(width, height, facts.samplesPerPixel,
                                                         facts.bitsPerSample, options.count);
    tiff_ = std::make_unique<TiffWriter>(temporary, bigTiff, options.output);
  }

  void begin(AcquisitionSession& session) override { session_ = &session; }
  bool frame(pyxhost::HostImage& image, const FrameRecord& record) override {
    try {
      const Frame frame =
          FrameFromDevice(std::move(image.pixels), width_, height_, image.bytesPerPixel);
      PageTags tags;
      if (record.index == 0) {
        tags.description = firstDescription();
        tags.software = ToolVersion();
        tags.dateTime = TiffDateTime(session_->wallStart());
      }
      tags.pixelSizeUm = facts_.pixelSizeUm;
      tiff_->writePage(frame, tags);
    } catch (const ToolError& e) {
      if (!tiff_->failed()) throw;
      failure_ = e.what();
      return false;
    }
    if (planeSeconds_.size() < kMaxOmePlanes) planeSeconds_.push_back(record.seconds);
    return true;
  }
  void end(AcquisitionSession& /*session*/) override { tiff_->close(); }

  size_t pages() const { return tiff_->pageCount(); }
  bool bigTiff() const { return tiff_->bigTiff(); }
  // The message of the failed page write; empty when none failed.
  const std::string& failure() const { return failure_; }
  // The first page now describes what the file really holds, with plane times.
  void describeWhatIsWritten() const {
    TiffWriter::RewriteFirstDescription(temporary_, BuildOmeXml(omeStack(pages())),
                                        options_.output);
  }

 private:
  OmeStack omeStack(size_t planes) const {
    OmeStack stack;
    stack.creator = ToolVersion();
    stack.imageName = facts_.name;
    stack.acquisitionDate = IsoUtc(session_->wallStart());
    stack.detectorModel = ValueOf(facts_.properties, "Model");
    stack.detectorManufacturer = ValueOf(facts_.properties, "Description");
    stack.width = width_;
    stack.height = height_;
    stack.samplesPerPixel = facts_.samplesPerPixel;
    stack.bitsPerSample = facts_.bitsPerSample;
    stack.significantBits = facts_.significantBits;
    stack.planeCount = planes;
    stack.pixelSizeUm = facts_.pixelSizeUm;
    stack.exposureMs = ExposureOf(facts_.properties);
    // Plane timing for the first kMaxOmePlanes frames keeps the XML small; the
    // metadata file has every frame's time.
    for (size_t i = 0; i < planeSeconds_.size() && i < planes; ++i)
      stack.planeSeconds.push_back(planeSeconds_[i]);
    stack.settings = SettingsOf(facts_.properties);
    return stack;
  }
  // The OME-XML of the first page while recording: room is kept for the plane
  // times of the final text, which is written over it without needing space.
  std::string firstDescription() const {
    const size_t planes = static_cast<size_t>(std::min<uint64_t>(options_.count, kMaxOmePlanes));
    OmeStack widest = omeStack(options_.count);
    widest.planeSeconds.assign(planes, kWidestPlaneSeconds);
    const size_t room = BuildOmeXml(widest).size();
    std::string description = BuildOmeXml(omeStack(options_.count));
    if (description.size() < room) description.resize(room, ' ');
    return description;
  }

  std::string temporary_;
  const RecordOptions& options_;
  const CameraFacts& facts_;
  unsigned width_;
  unsigned height_;
  AcquisitionSession* session_ = nullptr;
  std::unique_ptr<TiffWriter> tiff_;
  std::vector<double> planeSeconds_;
  std::string failure_;
};

// The recording's metadata as JSON: camera, geometry, statistics, settings and
// every frame's record.
class MetadataSink : public FrameSink {
 public:
  MetadataSink(const std::string& temporary, const RecordOptions& options, const CameraFacts& facts)
      : temporary_(temporary), options_(options), facts_(facts) {}

  bool frame(pyxhost::HostImage& /*image*/, const FrameRecord& record) override {
    frames_.push_back(record);
    return true;
  }

  void write(AcquisitionSession& session, bool interrupted, double seconds) const {
    const size_t pages = frames_.size();
    nlohmann::ordered_json json;
    json["software"] = ToolVersion();
    json["camera"] = facts_.name;
    json["file"] = options_.output;
    json["started"] = IsoUtc(session.wallStart());
    json["width"] = session.width();
    json["height"] = session.height();
    json["bytesPerPixel"] = session.bytesPerPixel();
    json["layout"] = facts_.layout();
    json["requested"] = options_.count;
    json["recorded"] = pages;
    json["interrupted"] = interrupted;
    nlohmann::ordered_json statistics;
    statistics["seconds"] = seconds;
    statistics["framesPerSecond"] = double(pages) / seconds;
    statistics["mibPerSecond"] = double(session.rate().totalBytes()) / kMiB / seconds;
    if (session.usesStamps()) {
      statistics["dropped"] = session.stamps().dropped();
      statistics["outOfOrder"] = session.stamps().outOfOrder();
      statistics["unreadableStamps"] = session.stamps().unreadable();
    }
    statistics["hostBufferOverflows"] = session.overflows();
    json["statistics"] = statistics;
    nlohmann::ordered_json settings = nlohmann::ordered_json::object();
    for (const auto& [name, value] : SettingsOf(facts_.properties)) settings[name] = value;
    json["settings"] = settings;
    nlohmann::json frames = nlohmann::json::array();
    for (const FrameRecord& frame : frames_) frames.push_back(FrameRecordJson(frame));
    json["frames"] = frames;
    try {
      WriteJsonFile(temporary_, nlohmann::json(json));
    } catch (const ToolError& e) {
      throw ToolError(e.exitCode(), ShownAs(e.what(), temporary_, options_.metadata));
    }
  }

 private:
  std::string temporary_;
  const RecordOptions& options_;
  const CameraFacts& facts_;
  std::vector<FrameRecord> frames_;
};

void WarnWhenTheDiskIsTooSmall(const std::string& folder, size_t pageBytes, uint64_t count) {
  struct statvfs disk {};
  if (statvfs(folder.c_str(), &disk) != 0) return;
  const double available = double(disk.f_bavail) * double(disk.f_frsize);
  const double needed = double(pageBytes) * double(count);
  if (needed <= available) return;
  std::fprintf(stderr,
               "pyxon: warning: %llu frames need about %.1f GiB but %s has %.1f GiB free; the "
               "recording will end when the disk is full, keeping the frames written\n",
               static_cast<unsigned long long>(count), needed / kMiB / 1024, folder.c_str(),
               available / kMiB / 1024);
}

// A recording: the session feeding the progress display, the OME-TIFF and
// (with --metadata) the metadata file, then the files finished and committed.
class Recording {
 public:
  Recording(CameraContext& context, const RecordOptions& options);
  // Runs the acquisition to its end (count reached, camera stopped, Ctrl-C, a
  // failed write), finishes the files and prints the summary. Returns the exit
  // code.
  int run();

 private:
  int report(size_t pages, const Progress& final, const std::string& metadataFailure);

  const RecordOptions& options_;
  AcquisitionSession session_;
  CameraFacts facts_;
  OutputFiles outputs_;
  std::string tiffTemporary_;
  std::string metadataTemporary_;
  ProgressSink progress_;
  std::unique_ptr<OmeTiffSink> tiff_;
  std::unique_ptr<MetadataSink> metadata_;
  bool interrupted_ = false;
};

AcquisitionPlan RecordingPlan(const RecordOptions& options) {
  AcquisitionPlan plan;
  plan.stopOnOverflow = options.stopOnOverflow;
  plan.target = options.count;
  return plan;
}

Recording::Recording(CameraContext& context, const RecordOptions& options)
    : options_(options),
      session_(context, RecordingPlan(options)),
      facts_(ReadFacts(context, session_.bytesPerPixel())),
      progress_(options, facts_) {
  tiffTemporary_ = outputs_.add(options.output, "-o");
  if (!options.metadata.empty()) metadataTemporary_ = outputs_.add(options.metadata, "--metadata");
  tiff_ = std::make_unique<OmeTiffSink>(tiffTemporary_, options, facts_, session_.width(),
                                        session_.height());
  context.host().setRingCapacity(
      RingCapacity(session_.frameBytes(), options.count, options.hostBufferFrames));
  WarnWhenTheDiskIsTooSmall(FolderOf(tiffTemporary_),
                            size_t{session_.width()} * session_.height() * facts_.samplesPerPixel *
                                (facts_.bitsPerSample / 8),
                            options.count);
  session_.add(progress_);
  session_.add(*tiff_);
  if (!options.metadata.empty()) {
    metadata_ = std::make_unique<MetadataSink>(metadataTemporary_, options, facts_);
    session_.add(*metadata_);
  }
}

int Recording::run() {
  if (InterruptGuard::requested())
    throw ToolError(kExitInterrupted, "interrupted; nothing was written");
  const SessionEnd end = session_.run();
  const size_t pages = tiff_->pages();
  // A signal that came as the count was reached does not count.
  interrupted_ = end == SessionEnd::kInterrupted && pages < options_.count;
  const Progress final = ProgressSink::FinalProgress(session_);
  const std::string& writeFailure = tiff_->failure();
  if (pages == 0) {
    if (!writeFailure.empty())
      throw ToolError(kExitFailure, writeFailure + "; nothing was written");
    throw ToolError(interrupted_ ? kExitInterrupted : kExitFailure,
                    std::string(interrupted_ ? "interrupted" : "the camera delivered no frame") +
                        "; nothing was written");
  }
  tiff_->describeWhatIsWritten();

  std::string metadataFailure;
  if (metadata_) {
    try {
      metadata_->write(session_, interrupted_, final.seconds);
    } catch (const ToolError& e) {
      // After a failed page write the disk may be full: the frames come first.
      if (writeFailure.empty()) throw;
      metadataFailure = e.what();
      outputs_.drop(metadataTemporary_);
    }
  }
  outputs_.commit();
  return report(pages, final, metadataFailure);
}

int Recording::report(size_t pages, const Progress& final, const std::string& metadataFailure) {
  const double seconds = final.seconds;
  const double mib = double(session_.rate().totalBytes()) / kMiB;
  std::printf("%s: %zu frames of %u x %u, %s, %.1f MiB%s\n", options_.output.c_str(), pages,
              session_.width(), session_.height(), facts_.layout().c_str(), mib,
              tiff_->bigTiff() ? " (BigTIFF)" : "");
  std::printf("%.2f s, %.1f frames/s, %.1f MiB/s", seconds, double(pages) / seconds, mib / seconds);
  if (session_.usesStamps()) {
    std::printf(", %llu dropped, %llu out of order", static_cast<unsigned long long>(final.dropped),
                static_cast<unsigned long long>(final.outOfOrder));
  }
  std::printf(", %llu host-buffer overflows\n", static_cast<unsigned long long>(final.overflows));
  if (metadata_ && metadataFailure.empty())
    std::printf("%s: per-frame metadata\n", options_.metadata.c_str());
  std::fflush(stdout);

  const unsigned long long requested = options_.count;
  const std::string& writeFailure = tiff_->failure();
  if (!writeFailure.empty()) {
    std::fprintf(stderr,
                 "pyxon: %s; %s holds the %zu of %llu frames written before, complete and valid\n",
                 writeFailure.c_str(), options_.output.c_str(), pages, requested);
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
  return recording.run();
}

void RegisterRecord(CommandLine& line) {
  auto options = std::make_shared<RecordOptions>();
  CommonOptions& common = line.common();
  CLI::App* record = line.add("record", "record a counted sequence into a multi-page OME-TIFF",
                              [options, &common] { return RunRecord(common, *options); });
  record->add_option("-n,--count", options->count, "number of frames")
      ->required()
      ->check(AtLeastOne());
  record->add_option("-o,--output", options->output, "OME-TIFF file to write")
      ->required()
      ->type_name("FILE");
  record->add_option("--metadata", options->metadata, "write per-frame metadata as JSON")
      ->type_name("FILE.json");
  record->add_flag("--bigtiff", options->bigTiff,
                   "write BigTIFF even below 4 GB (chosen automatically above)");
  record->add_flag("--stop-on-overflow", options->stopOnOverflow,
                   "end the acquisition when the host buffer overflows");
  record->add_flag("-q,--quiet", options->quiet, "no progress display");
  record
      ->add_option("--host-buffer", options->hostBufferFrames,
                   "frames the host buffer holds (default: about 512 MiB of frames)")
      ->check(CLI::Range(1u, 4096u))
      ->type_name("FRAMES");
  AddSettingsOption(record, common, "before recording");
  AddExamples(record,
              "  pyxon record -n 100 -o stack.ome.tif\n  pyxon record -n 500 -o stack.ome.tif "
              "--metadata stack.json --set Binning=2\n");
}

}  // namespace pyxtool
