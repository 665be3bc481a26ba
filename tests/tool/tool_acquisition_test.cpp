// End to end: files written by snap and record, the live statistics, and
// Ctrl-C during a recording. Files are read back with libtiff, libpng and
// nlohmann-json.
#include <gtest/gtest.h>
#include <png.h>
#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <thread>

#include "host/tool/acquisition.h"
#include "tiff_read.h"
#include "tool_process.h"

namespace {

using tooltest::FirstWord;
using tooltest::ReadFile;
using tooltest::ReadTiff;
using tooltest::RunTool;
using tooltest::TempDir;
using tooltest::ToolProcess;
using tooltest::ToolRun;

// Small frames keep the suite fast.
const std::vector<std::string> kSmallMono = {
    "--camera", "PX-120M", "--set", "Resolution=640 x 480", "--set", "Exposure=2"};

std::vector<std::string> With(std::vector<std::string> args, const std::vector<std::string>& more) {
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

class ToolAcquisition : public ::testing::Test {
 protected:
  void SetUp() override { unsetenv("PYXSIM_CAMERAS"); }
  // A file holding "old", which a failed or interrupted command must leave so.
  std::string oldFile(const std::string& name) {
    std::ofstream(dir_.file(name)) << "old";
    return dir_.file(name);
  }
  // The names in the test's folder, so that left-over temporaries show.
  std::string listing() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path()))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    std::string text;
    for (const std::string& name : names) text += name + " ";
    return text;
  }
  TempDir dir_;
};

// Waits until the progress display shows frames written into a recording of `count`.
void WaitForFramesWritten(ToolProcess& tool, const std::string& count) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  const std::regex written(R"(\] [1-9][0-9]*/)" + count);
  while (!std::regex_search(tool.currentStderr(), written) &&
         std::chrono::steady_clock::now() < deadline) {
    ASSERT_TRUE(tool.waitForStderr("Recording", std::chrono::seconds(60))) << tool.currentStderr();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_TRUE(std::regex_search(tool.currentStderr(), written)) << tool.currentStderr();
}

TEST_F(ToolAcquisition, SnapWritesGreyTiffWithSettingsAndAPreview) {
  const std::string tif = dir_.file("snap.tif");
  const std::string png = dir_.file("snap.png");
  const ToolRun run = RunTool(With({"snap", "-o", tif, "--preview", png, "--preview-size", "200"},
                                   {"--camera", "PX-120M", "--set", "Exposure=3.5"}));
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NE(run.out.find("1280 x 960, 8-bit grey from PX-120M"), std::string::npos) << run.out;

  const auto file = ReadTiff(tif);
  ASSERT_TRUE(file);
  ASSERT_EQ(file->pages.size(), 1u);
  const auto& page = file->pages[0];
  EXPECT_EQ(page.width, 1280u);
  EXPECT_EQ(page.height, 960u);
  EXPECT_EQ(page.bitsPerSample, 8);
  EXPECT_EQ(page.samplesPerPixel, 1);
  ASSERT_EQ(page.pixels.size(), 1280u * 960u);

  const auto description = nlohmann::json::parse(page.description);
  EXPECT_EQ(description["camera"], "PX-120M");
  EXPECT_EQ(description["properties"]["Exposure"], "3.5000");
  EXPECT_EQ(description["properties"]["Model"], "PX-120M");
  // Grey pixels are stored as delivered: the frame number sits in the first 8 bytes.
  EXPECT_EQ(description["frame"].get<uint64_t>(), FirstWord(page));

  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  ASSERT_TRUE(png_image_begin_read_from_file(&image, png.c_str()));
  EXPECT_EQ(image.width, 1280u / 7);  // reduced by 7 to fit 200 pixels
  EXPECT_EQ(image.height, 960u / 7);
  png_image_free(&image);
}

TEST_F(ToolAcquisition, SnapStoresWideGreyAndColourLayouts) {
  const std::string wide = dir_.file("wide.tif");
  ToolRun run = RunTool(With({"snap", "-o", wide}, With(kSmallMono, {"--set", "PixelType=RAW12"})));
  ASSERT_EQ(run.exitCode, 0) << run.err;
  auto file = ReadTiff(wide);
  ASSERT_TRUE(file);
  EXPECT_EQ(file->pages[0].bitsPerSample, 16);
  EXPECT_EQ(file->pages[0].samplesPerPixel, 1);
  EXPECT_EQ(file->pages[0].pixels.size(), 640u * 480u * 2u);

  const std::vector<std::string> colour = {
      "--camera", "PX-678C", "--set", "Resolution=1280 x 720", "--set", "Exposure=2"};
  const std::string rgb = dir_.file("rgb.tif");
  run = RunTool(With({"snap", "-o", rgb}, colour));
  ASSERT_EQ(run.exitCode, 0) << run.err;
  file = ReadTiff(rgb);
  ASSERT_TRUE(file);
  EXPECT_EQ(file->pages[0].samplesPerPixel, 3);
  EXPECT_EQ(file->pages[0].bitsPerSample, 8);
  EXPECT_EQ(file->pages[0].photometric, 2);  // RGB
  EXPECT_EQ(file->pages[0].pixels.size(), 1280u * 720u * 3u);

  const std::string rgb16 = dir_.file("rgb16.tif");
  run = RunTool(With({"snap", "-o", rgb16}, With(colour, {"--set", "PixelType=RAW12"})));
  ASSERT_EQ(run.exitCode, 0) << run.err;
  file = ReadTiff(rgb16);
  ASSERT_TRUE(file);
  EXPECT_EQ(file->pages[0].samplesPerPixel, 3);
  EXPECT_EQ(file->pages[0].bitsPerSample, 16);
  EXPECT_EQ(file->pages[0].pixels.size(), 1280u * 720u * 6u);
}

TEST_F(ToolAcquisition, UnwritableOutputsFailBeforeAcquiring) {
  ToolRun run = RunTool({"snap", "-o", "/nonexistent-dir/x.tif"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.err.find("cannot write /nonexistent-dir/x.tif: No such file or directory"),
            std::string::npos)
      << run.err;

  const std::string tif = dir_.file("kept-out.tif");
  run = RunTool({"snap", "-o", tif, "--preview", "/nonexistent-dir/p.png"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.err.find("/nonexistent-dir/p.png"), std::string::npos) << run.err;
  EXPECT_FALSE(tooltest::FileExists(tif));  // nothing half-made left behind

  run = RunTool({"record", "-n", "2", "-o", tif, "--metadata", "/nonexistent-dir/m.json"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.err.find("/nonexistent-dir/m.json"), std::string::npos) << run.err;
  EXPECT_FALSE(tooltest::FileExists(tif));
}

// Checks the recorded stack against its metadata file; returns the stamps.
std::vector<uint64_t> CheckStack(const std::string& tif, const nlohmann::json& metadata,
                                 size_t pages) {
  const auto file = ReadTiff(tif);
  EXPECT_TRUE(file) << tif;
  if (!file) return {};
  EXPECT_EQ(file->pages.size(), pages);
  EXPECT_EQ(metadata["recorded"].get<size_t>(), pages);
  EXPECT_EQ(metadata["frames"].size(), pages);
  const std::string& xml = file->pages[0].description;
  EXPECT_EQ(xml.rfind("<?xml", 0), 0u);
  EXPECT_NE(xml.find("SizeT=\"" + std::to_string(pages) + "\""), std::string::npos);
  EXPECT_NE(xml.find("PlaneCount=\"" + std::to_string(pages) + "\""), std::string::npos);

  std::vector<uint64_t> stamps;
  uint64_t gaps = 0;
  for (size_t i = 0; i < file->pages.size() && i < metadata["frames"].size(); ++i) {
    const auto& page = file->pages[i];
    const auto& frame = metadata["frames"][i];
    EXPECT_EQ(page.width, 640u);
    EXPECT_EQ(page.height, 480u);
    EXPECT_EQ(frame["index"].get<size_t>(), i);
    EXPECT_EQ(frame["stamp"].get<uint64_t>(), FirstWord(page)) << "page " << i;
    EXPECT_EQ(frame["tags"]["Camera"], "PX-120M");
    if (i > 0) {
      EXPECT_GT(FirstWord(page), stamps.back()) << "page " << i << " out of order";
      EXPECT_GE(frame["time_s"].get<double>(), metadata["frames"][i - 1]["time_s"].get<double>());
      gaps += FirstWord(page) - stamps.back() - 1;
    }
    stamps.push_back(FirstWord(page));
  }
  EXPECT_EQ(metadata["statistics"]["dropped"].get<uint64_t>(), gaps);
  EXPECT_EQ(metadata["statistics"]["outOfOrder"].get<uint64_t>(), 0u);
  return stamps;
}

TEST_F(ToolAcquisition, RecordWritesAnOmeTiffStackWithMetadata) {
  const std::string tif = dir_.file("stack.ome.tif");
  const std::string json = dir_.file("stack.json");
  const ToolRun run =
      RunTool(With({"record", "-n", "6", "-o", tif, "--metadata", json}, kSmallMono));
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NE(run.out.find("6 frames of 640 x 480, 8-bit grey"), std::string::npos) << run.out;
  EXPECT_NE(run.err.find("6/6"), std::string::npos) << run.err;  // the final progress line

  const auto metadata = nlohmann::json::parse(ReadFile(json));
  EXPECT_EQ(metadata["requested"], 6);
  EXPECT_EQ(metadata["interrupted"], false);
  EXPECT_EQ(metadata["settings"]["Exposure"], "2.0000");
  CheckStack(tif, metadata, 6);
  EXPECT_FALSE(ReadTiff(tif)->bigTiff);
}

TEST_F(ToolAcquisition, RecordCountsTheFramesTheCameraDropped) {
  const std::string tif = dir_.file("drops.ome.tif");
  const std::string json = dir_.file("drops.json");
  const ToolRun run = RunTool(
      With({"record", "-n", "20", "-o", tif, "--metadata", json, "--sim-drop", "50", "--bigtiff"},
           kSmallMono));
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const auto metadata = nlohmann::json::parse(ReadFile(json));
  CheckStack(tif, metadata, 20);
  EXPECT_GT(metadata["statistics"]["dropped"].get<uint64_t>(), 0u);
  EXPECT_TRUE(ReadTiff(tif)->bigTiff);
}

TEST_F(ToolAcquisition, CtrlCEndsARecordingAndKeepsAValidFile) {
  const std::string tif = dir_.file("stopped.ome.tif");
  const std::string json = dir_.file("stopped.json");
  ToolProcess tool(With({"record", "-n", "1000000", "-o", tif, "--metadata", json}, kSmallMono));
  // Progress lines come once a second; wait for one that shows frames written.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  const std::regex written(R"(\] [1-9][0-9]*/1000000)");
  while (!std::regex_search(tool.currentStderr(), written) &&
         std::chrono::steady_clock::now() < deadline) {
    ASSERT_TRUE(tool.waitForStderr("Recording", std::chrono::seconds(60))) << tool.currentStderr();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_TRUE(std::regex_search(tool.currentStderr(), written)) << tool.currentStderr();
  tool.signal(SIGINT);
  const ToolRun run = tool.finish(std::chrono::seconds(60));
  EXPECT_EQ(run.exitCode, 130) << run.err;
  EXPECT_NE(run.err.find("interrupted after"), std::string::npos) << run.err;

  const auto metadata = nlohmann::json::parse(ReadFile(json));
  EXPECT_EQ(metadata["interrupted"], true);
  const size_t recorded = metadata["recorded"].get<size_t>();
  EXPECT_GE(recorded, 1u);
  CheckStack(tif, metadata, recorded);
}

TEST_F(ToolAcquisition, FailedOrInterruptedCommandsLeaveExistingFilesAlone) {
  const std::string tif = oldFile("p.tif");
  const std::string json = oldFile("p.json");
  ToolRun run =
      RunTool(With({"snap", "-o", tif, "--preview", "/nonexistent-dir/a.png"}, kSmallMono));
  EXPECT_EQ(run.exitCode, 1) << run.err;
  std::filesystem::create_directory(dir_.file("folder"));
  run = RunTool(
      With({"record", "-n", "2", "-o", tif, "--metadata", dir_.file("folder")}, kSmallMono));
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.err.find("Is a directory"), std::string::npos) << run.err;

  // A signal during a long exposure, and a record stopped before its first frame.
  ToolProcess snap({"snap", "-o", tif, "--camera", "PX-120M", "--set", "Exposure=2000"});
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  snap.signal(SIGTERM);
  run = snap.finish(std::chrono::seconds(60));
  EXPECT_NE(run.exitCode, 0) << run.err;
  ToolProcess record({"record", "-n", "3", "-o", tif, "--metadata", json, "--camera",
                      "PX-2600M-COOL", "--set", "IO:Trigger Source=GPIO0"});
  ASSERT_TRUE(record.waitForStderr("Recording", std::chrono::seconds(60)));
  record.signal(SIGINT);
  run = record.finish(std::chrono::seconds(60));
  EXPECT_EQ(run.exitCode, 130) << run.err;

  EXPECT_EQ(ReadFile(tif), "old");
  EXPECT_EQ(ReadFile(json), "old");
  EXPECT_EQ(listing(), "folder p.json p.tif ");
}

TEST_F(ToolAcquisition, OutputsNamingOneFileAreRefusedBeforeAcquiring) {
  const std::string tif = oldFile("same.tif");
  const std::string png = oldFile("both.png");  // a preview must be named .png
  std::filesystem::create_symlink(tif, dir_.file("link.png"));
  const std::vector<std::vector<std::string>> runs = {
      {"snap", "-o", png, "--preview", png},
      {"snap", "-o", tif, "--preview", dir_.file("link.png")},
      {"record", "-n", "2", "-o", tif, "--metadata", dir_.path() + "/./same.tif"}};
  for (const auto& args : runs) {
    const ToolRun run = RunTool(With(args, kSmallMono));
    EXPECT_EQ(run.exitCode, 2) << args[0] << ": " << run.err;
    EXPECT_NE(run.err.find("are the same file"), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
  }
  EXPECT_EQ(ReadFile(tif), "old");
  EXPECT_EQ(ReadFile(png), "old");
  EXPECT_TRUE(std::filesystem::is_symlink(dir_.file("link.png")));

  // Writing through a link replaces the file it points to and keeps the link.
  const ToolRun run = RunTool(With({"snap", "-o", dir_.file("link.png")}, kSmallMono));
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_TRUE(std::filesystem::is_symlink(dir_.file("link.png")));
  EXPECT_TRUE(ReadTiff(tif));
}

TEST_F(ToolAcquisition, AFullDiskEndsARecordingKeepingTheFramesWritten) {
  const std::string tif = oldFile("full.ome.tif");
  const std::string json = dir_.file("full.json");
  // Files may not grow beyond 3 MB: ten frames of 300 kB fit, 100 do not.
  ToolProcess tool(With({"record", "-n", "100", "-o", tif, "--metadata", json, "-q"}, kSmallMono),
                   3000000);
  const ToolRun run = tool.finish(std::chrono::seconds(60));
  EXPECT_EQ(run.exitCode, 1) << run.err;
  EXPECT_NE(run.err.find("cannot write " + tif + ": file too large; " + tif + " holds the "),
            std::string::npos)
      << run.err;
  EXPECT_EQ(run.err.find("TIFF"), std::string::npos) << run.err;  // no libtiff wording
  const auto metadata = nlohmann::json::parse(ReadFile(json));
  const size_t recorded = metadata["recorded"].get<size_t>();
  EXPECT_GE(recorded, 5u);
  EXPECT_LT(recorded, 10u);
  EXPECT_NE(run.err.find(std::to_string(recorded) + " of 100 frames"), std::string::npos);
  CheckStack(tif, metadata, recorded);
}

TEST_F(ToolAcquisition, EverySignalThatEndsARecordingLeavesValidFiles) {
  for (const int number : {SIGHUP, SIGQUIT, SIGINT}) {
    SCOPED_TRACE(strsignal(number));
    const std::string tif = dir_.file("signal.ome.tif");
    const std::string json = dir_.file("signal.json");
    // Far more than any disk holds: the tool warns and records until stopped.
    ToolProcess tool(
        With({"record", "-n", "2000000000", "-o", tif, "--metadata", json}, kSmallMono));
    WaitForFramesWritten(tool, "2000000000");
    tool.signal(number);
    if (number == SIGINT) tool.signal(SIGINT);  // an impatient second Ctrl-C
    const ToolRun run = tool.finish(std::chrono::seconds(60));
    EXPECT_EQ(run.exitCode, 130) << run.err;
    EXPECT_NE(run.err.find("warning: 2000000000 frames need about"), std::string::npos) << run.err;
    const auto metadata = nlohmann::json::parse(ReadFile(json));
    CheckStack(tif, metadata, metadata["recorded"].get<size_t>());
  }
  EXPECT_EQ(listing(), "signal.json signal.ome.tif ");
}

TEST_F(ToolAcquisition, HostBufferOverflowsClearTheBufferAndTheRecordingGoesOn) {
  // A one-frame host buffer and a fast camera overflow at almost every frame.
  const std::vector<std::string> fast = With(
      kSmallMono, {"--set", "Exposure=0.1", "--sim-frame-interval", "100", "--host-buffer", "1"});
  const std::string tif = dir_.file("fast.ome.tif");
  const std::string json = dir_.file("fast.json");
  ToolRun run = RunTool(With({"record", "-n", "60", "-o", tif, "--metadata", json, "-q"}, fast));
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const auto metadata = nlohmann::json::parse(ReadFile(json));
  if (metadata["statistics"]["hostBufferOverflows"].get<uint64_t>() == 0)
    GTEST_SKIP() << "the writer kept up: no overflow happened";
  CheckStack(tif, metadata, 60);

  run = RunTool(With({"record", "-n", "60", "-o", tif, "--stop-on-overflow", "-q"}, fast));
  if (run.exitCode == 0) GTEST_SKIP() << "the writer kept up: no overflow happened";
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.err.find("a host-buffer overflow stopped the acquisition after"), std::string::npos)
      << run.err;
}

TEST_F(ToolAcquisition, SequencesRunFreeUnlessAHardwareTriggerIsChosen) {
  // The cooled camera starts with a hardware trigger input selected; a recording
  // must not wait forever for pulses nobody sends.
  const std::string tif = dir_.file("cool.tif");
  const ToolRun run = RunTool({"record", "-n", "3", "-o", tif, "--camera", "PX-2600M-COOL", "--set",
                               "Resolution=1364 x 1000", "--set", "Exposure=2"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NE(run.err.find("trigger source was the hardware input \"Opto-isolated input\"; running "
                         "free"),
            std::string::npos)
      << run.err;
  const auto file = ReadTiff(tif);
  ASSERT_TRUE(file);
  EXPECT_EQ(file->pages.size(), 3u);

  // A hardware source chosen on purpose is kept: no frames come, Ctrl-C ends it.
  ToolProcess waiting({"record", "-n", "3", "-o", dir_.file("wait.tif"), "--camera",
                       "PX-2600M-COOL", "--set", "IO:Trigger Source=GPIO0"});
  ASSERT_TRUE(
      waiting.waitForStderr("waits for hardware triggers on GPIO0", std::chrono::seconds(60)));
  ASSERT_TRUE(waiting.waitForStderr("Recording", std::chrono::seconds(60)));
  waiting.signal(SIGINT);
  const ToolRun stopped = waiting.finish(std::chrono::seconds(60));
  EXPECT_EQ(stopped.exitCode, 130) << stopped.err;
  EXPECT_NE(stopped.err.find("nothing was written"), std::string::npos) << stopped.err;
  EXPECT_FALSE(tooltest::FileExists(dir_.file("wait.tif")));
}

TEST_F(ToolAcquisition, LivePrintsRatesEverySecondAndFinalStatistics) {
  const ToolRun run = RunTool(With({"live", "--seconds", "2.2"}, kSmallMono));
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const std::regex perSecond(R"([0-9.]+ frames/s - +[0-9.]+ MiB/s - [0-9]+ errors)");
  const auto lines = std::distance(std::sregex_iterator(run.out.begin(), run.out.end(), perSecond),
                                   std::sregex_iterator());
  EXPECT_EQ(lines, 2) << run.out;
  std::smatch completed;
  ASSERT_TRUE(std::regex_search(run.out, completed, std::regex(R"(completed frames +([0-9]+))")))
      << run.out;
  EXPECT_GT(std::stoul(completed[1]), 0u);
  for (const char* line :
       {"failed frames", "dropped frames", "out-of-order frames", "host-buffer overflows"}) {
    EXPECT_NE(run.out.find(line), std::string::npos) << run.out;
  }
}

}  // namespace

// A camera that hands over a name that is not UTF-8 gets it replaced (U+FFFD)
// in every file and listing; it used to end the tool with a JSON exception.
TEST_F(ToolAcquisition, DeviceTextsThatAreNotUtf8AreReplaced) {
  setenv("PYXSIM_CAMERAS", "PX-120M=cam\xff", 1);
  const std::string shown = "cam\xEF\xBF\xBD";
  const ToolRun devices = RunTool({"devices", "--json"});
  ASSERT_EQ(devices.exitCode, 0) << devices.err;
  EXPECT_EQ(nlohmann::json::parse(devices.out)[0]["name"], shown);

  const std::string tif = dir_.file("nu.tif");
  const ToolRun snap = RunTool({"snap", "-o", tif, "--set", "Resolution=640 x 480"});
  ASSERT_EQ(snap.exitCode, 0) << snap.err;
  EXPECT_NE(snap.out.find("from " + shown), std::string::npos) << snap.out;
  const auto file = ReadTiff(tif);
  ASSERT_TRUE(file);
  EXPECT_EQ(nlohmann::json::parse(file->pages[0].description)["camera"], shown);

  const std::string stack = dir_.file("nu.ome.tif");
  const std::string json = dir_.file("nu.json");
  const ToolRun record = RunTool({"record", "-n", "2", "-o", stack, "--metadata", json, "-q",
                                  "--set", "Resolution=640 x 480"});
  ASSERT_EQ(record.exitCode, 0) << record.err;
  const auto metadata = nlohmann::json::parse(ReadFile(json));
  EXPECT_EQ(metadata["camera"], shown);
  const auto stackFile = ReadTiff(stack);
  ASSERT_TRUE(stackFile);
  EXPECT_NE(stackFile->pages[0].description.find("Name=\"" + shown + "\""), std::string::npos);
  EXPECT_EQ(stackFile->pages[0].description.find('\xff'), std::string::npos);
}

// The snap deadline is four seconds past the exposure: a camera that sends no
// frame in that time is named as such, not as an unknown device error.
TEST_F(ToolAcquisition, SnapWithoutAFrameSaysTheDeadlinePassed) {
  const std::string tif = dir_.file("late.tif");
  const ToolRun run = RunTool({"snap", "-o", tif, "--sim-frame-interval", "30000000"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.err.find("snap failed: no frame came within the deadline"), std::string::npos)
      << run.err;
  EXPECT_FALSE(tooltest::FileExists(tif));
}

// OME metadata: SignificantBits is the camera's bit depth, pixel sizes are the
// decimal the camera reports; the last progress line agrees with the summary.
TEST_F(ToolAcquisition, RecordDescribesBitDepthPixelSizeAndAgreesWithItsProgress) {
  const std::string tif = dir_.file("deep.ome.tif");
  const ToolRun run = RunTool({"record", "-n", "3", "-o", tif, "--camera", "PX-FULL", "--set",
                               "PixelType=RAW12", "--set", "Exposure=2"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const auto file = ReadTiff(tif);
  ASSERT_TRUE(file);
  const std::string& xml = file->pages[0].description;
  EXPECT_NE(xml.find("Type=\"uint16\" SignificantBits=\"12\""), std::string::npos) << xml;
  EXPECT_NE(xml.find("PhysicalSizeX=\"2.4\""), std::string::npos) << xml;

  std::smatch last;
  std::smatch summary;
  // The display may have drawn 3/3 before: the final line is the last one.
  const size_t finalLine = run.err.rfind("] 3/3");
  ASSERT_NE(finalLine, std::string::npos) << run.err;
  const std::string err = run.err.substr(finalLine);
  const std::string out = run.out;
  ASSERT_TRUE(std::regex_search(
      err, last, std::regex(R"(3/3  ([0-9.]+) s  ([0-9.]+) frames/s  ([0-9.]+) MiB/s)")))
      << err;
  ASSERT_TRUE(std::regex_search(out, summary,
                                std::regex(R"(([0-9.]+) s, ([0-9.]+) frames/s, ([0-9.]+) MiB/s)")))
      << out;
  EXPECT_EQ(last[2], summary[2]);
  EXPECT_EQ(last[3], summary[3]);
  // Shown to 0.1 s against 0.01 s: half a tenth apart at most, and a hair for the rounding.
  EXPECT_NEAR(std::stod(last[1]), std::stod(summary[1]), 0.0501);
}

namespace {

// Keeps the records it sees; refuses the frame of index `refuseAt`.
class KeepingSink : public pyxtool::FrameSink {
 public:
  explicit KeepingSink(uint64_t refuseAt = UINT64_MAX) : refuseAt_(refuseAt) {}
  void begin(pyxtool::AcquisitionSession&) override { ++begun; }
  bool frame(pyxhost::HostImage&, const pyxtool::FrameRecord& record) override {
    records.push_back(record);
    return record.index != refuseAt_;
  }
  void end(pyxtool::AcquisitionSession&) override { ++ended; }

  int begun = 0;
  int ended = 0;
  std::vector<pyxtool::FrameRecord> records;

 private:
  uint64_t refuseAt_;
};

// Runs one session of the simulated camera into `sinks`; returns how it ended
// and how many frames it counted.
std::pair<pyxtool::SessionEnd, uint64_t> RunSession(uint64_t target,
                                                    const std::vector<KeepingSink*>& sinks) {
  pyxtool::CommonOptions options;
  options.module.modulePath = PYXON_MODULE_PATH;
  options.settings = {"Resolution=640 x 480", "Exposure=2"};
  pyxtool::CameraContext context(options);
  context.preferFreeRunning();
  pyxtool::AcquisitionPlan plan;
  plan.target = target;
  pyxtool::AcquisitionSession session(context, plan);
  for (KeepingSink* sink : sinks) session.add(*sink);
  const pyxtool::SessionEnd end = session.run();
  return {end, session.frames()};
}

}  // namespace

// The records follow the frames the session counts: consecutive indices and
// stamps, the count stops the camera, and a frame a sink refused ends the
// session uncounted and unseen by the sinks after it.
TEST_F(ToolAcquisition, ASessionFeedsItsSinksInOrderAndCountsWhatTheyTook) {
  KeepingSink counted;
  EXPECT_EQ(RunSession(4, {&counted}),
            std::make_pair(pyxtool::SessionEnd::kCountReached, uint64_t{4}));
  ASSERT_EQ(counted.records.size(), 4u);
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(counted.records[i].index, i);
    ASSERT_TRUE(counted.records[i].stamp);
    // A loaded machine may drop frames: stamps rise, not always by one.
    if (i > 0) {
      EXPECT_GT(*counted.records[i].stamp, *counted.records[i - 1].stamp);
    }
  }
  EXPECT_EQ(counted.begun + counted.ended, 2);

  KeepingSink first;
  KeepingSink refusing(2);
  KeepingSink last;
  EXPECT_EQ(RunSession(10, {&first, &refusing, &last}),
            std::make_pair(pyxtool::SessionEnd::kSinkEnded, uint64_t{2}));
  EXPECT_EQ(first.records.size(), 3u);
  EXPECT_EQ(refusing.records.size(), 3u);
  EXPECT_EQ(last.records.size(), 2u);
  EXPECT_EQ(last.ended, 1);
}
