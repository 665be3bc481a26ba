// The tool's building blocks without a camera: pixel conversion, statistics,
// TIFF and PNG writing, OME-XML and metadata parsing.
#include <gtest/gtest.h>
#include <png.h>

#include <cerrno>
#include <cstring>

#include "host/tool/frame.h"
#include "host/tool/frame_metadata.h"
#include "host/tool/ome_xml.h"
#include "host/tool/png_preview.h"
#include "host/tool/stream_stats.h"
#include "host/tool/text_safety.h"
#include "host/tool/tiff_writer.h"
#include "host/tool/tool_error.h"
#include "tiff_read.h"
#include "tool_process.h"

namespace {

using namespace pyxtool;
using tooltest::ReadTiff;
using tooltest::TempDir;

Frame GreyFrame(unsigned width, unsigned height, uint8_t seed) {
  Frame frame;
  frame.width = width;
  frame.height = height;
  frame.data.resize(size_t{width} * height);
  for (size_t i = 0; i < frame.data.size(); ++i) frame.data[i] = static_cast<uint8_t>(seed + i);
  return frame;
}

TEST(FrameConversion, ColourPixelsBecomeRgbWithoutAlpha) {
  // Two 8-bit pixels B,G,R,A.
  Frame rgb8 = FrameFromDevice({1, 2, 3, 255, 4, 5, 6, 255}, 2, 1, 4);
  EXPECT_EQ(rgb8.samplesPerPixel, 3u);
  EXPECT_EQ(rgb8.bitsPerSample, 8u);
  EXPECT_EQ(rgb8.data, (std::vector<uint8_t>{3, 2, 1, 6, 5, 4}));

  // One 16-bit pixel: B=0x0102, G=0x0304, R=0x0506, A=0xFFFF, little endian.
  Frame rgb16 = FrameFromDevice({0x02, 0x01, 0x04, 0x03, 0x06, 0x05, 0xFF, 0xFF}, 1, 1, 8);
  EXPECT_EQ(rgb16.bitsPerSample, 16u);
  EXPECT_EQ(rgb16.data, (std::vector<uint8_t>{0x06, 0x05, 0x04, 0x03, 0x02, 0x01}));

  // Grey keeps its bytes exactly (stamps included).
  Frame grey16 = FrameFromDevice({1, 2, 3, 4}, 2, 1, 2);
  EXPECT_EQ(grey16.bitsPerSample, 16u);
  EXPECT_EQ(grey16.data, (std::vector<uint8_t>{1, 2, 3, 4}));
}

TEST(FrameConversion, RefusesMismatchedSizesAndUnknownLayouts) {
  EXPECT_THROW(FrameFromDevice(std::vector<uint8_t>(5), 2, 1, 2), ToolError);
  EXPECT_THROW(FrameFromDevice(std::vector<uint8_t>(6), 2, 1, 3), ToolError);
  EXPECT_THROW(FrameFromDevice({}, 0, 0, 1), ToolError);
}

TEST(StampTracker, CountsGapsAsDroppedAndRepeatsAsOutOfOrder) {
  StampTracker tracker;
  for (uint64_t stamp : {10, 11, 14, 13, 14, 15, 20}) tracker.add(stamp);
  tracker.addUnreadable();
  EXPECT_EQ(tracker.dropped(), 2u + 4u);  // 12, 13 (before 13 came late) and 16..19
  EXPECT_EQ(tracker.outOfOrder(), 2u);    // the late 13 and the repeated 14
  EXPECT_EQ(tracker.unreadable(), 1u);
  EXPECT_EQ(tracker.highest(), 20u);
}

TEST(RateWindow, RatesCoverTheWindowAndFallToZeroWhenFramesStop) {
  const Clock::time_point start{};
  RateWindow rate(start, std::chrono::seconds(1));
  for (int i = 1; i <= 30; ++i) rate.add(start + std::chrono::milliseconds(100 * i), 1000);
  const Clock::time_point now = start + std::chrono::seconds(3);
  EXPECT_DOUBLE_EQ(rate.framesPerSecond(now), 10.0);  // arrivals in (2 s, 3 s]
  EXPECT_DOUBLE_EQ(rate.bytesPerSecond(now), 10000.0);
  EXPECT_EQ(rate.totalFrames(), 30u);
  EXPECT_EQ(rate.framesPerSecond(start + std::chrono::seconds(10)), 0.0);
}

TEST(Progress, TextsShowCountsRatesAndErrors) {
  Progress progress;
  progress.frames = 5;
  progress.target = 10;
  progress.framesPerSecond = 2.5;
  progress.dropped = 3;
  const std::string bar = FormatProgressBar(progress, 10);
  EXPECT_NE(bar.find("[#####-----] 5/10"), std::string::npos) << bar;
  EXPECT_NE(bar.find("2.5 frames/s"), std::string::npos);
  EXPECT_NE(bar.find("3 dropped"), std::string::npos);
  EXPECT_EQ(bar.find("overflows"), std::string::npos);
  EXPECT_NE(FormatRateLine(2, 30, 1.5, 4).find("30.0 frames/s -     1.5 MiB/s - 4 errors"),
            std::string::npos);
}

TEST(TiffWriter, WritesPagesAndRewritesTheFirstDescriptionKeepingOrder) {
  TempDir dir;
  const std::string path = dir.file("stack.tif");
  {
    TiffWriter writer(path, false);
    PageTags first;
    first.description = "preliminary";
    for (uint8_t page = 0; page < 3; ++page) {
      writer.writePage(GreyFrame(300, 700, page), page == 0 ? first : PageTags{});
    }
    writer.close();
  }
  TiffWriter::RewriteFirstDescription(path, "final description");
  const auto file = ReadTiff(path);
  ASSERT_TRUE(file);
  EXPECT_FALSE(file->bigTiff);
  ASSERT_EQ(file->pages.size(), 3u);
  EXPECT_EQ(file->pages[0].description, "final description");
  EXPECT_EQ(file->pages[1].description, "");
  for (uint8_t page = 0; page < 3; ++page) {
    EXPECT_EQ(file->pages[page].width, 300u);
    EXPECT_EQ(file->pages[page].height, 700u);
    EXPECT_EQ(file->pages[page].pixels, GreyFrame(300, 700, page).data) << "page " << int(page);
  }
}

TEST(TiffWriter, BigTiffAndRgbSixteen) {
  TempDir dir;
  Frame frame;
  frame.width = 2;
  frame.height = 2;
  frame.samplesPerPixel = 3;
  frame.bitsPerSample = 16;
  frame.data.assign(frame.byteCount(), 0x5A);
  {
    TiffWriter writer(dir.file("big.tif"), true);
    writer.writePage(frame, {});
    writer.close();
  }
  const auto file = ReadTiff(dir.file("big.tif"));
  ASSERT_TRUE(file);
  EXPECT_TRUE(file->bigTiff);
  ASSERT_EQ(file->pages.size(), 1u);
  EXPECT_EQ(file->pages[0].samplesPerPixel, 3);
  EXPECT_EQ(file->pages[0].bitsPerSample, 16);
  EXPECT_EQ(file->pages[0].pixels, frame.data);
}

TEST(TiffWriter, UnwritablePathNamesTheCause) {
  try {
    TiffWriter writer("/nonexistent-dir/x.tif", false);
    FAIL() << "opened an impossible path";
  } catch (const ToolError& e) {
    EXPECT_EQ(e.exitCode(), kExitFailure);
    EXPECT_NE(std::string(e.what()).find("/nonexistent-dir/x.tif"), std::string::npos);
    EXPECT_NE(std::string(e.what()).find("No such file"), std::string::npos) << e.what();
  }
}

TEST(TiffWriter, AFailedWriteIsReportedInPlainWords) {
  // /dev/full refuses every write as a full disk does.
  try {
    TiffWriter writer("/dev/full", false, "stack.tif");
    writer.writePage(GreyFrame(64, 64, 0), {});
    FAIL() << "wrote to a full device";
  } catch (const ToolError& e) {
    EXPECT_NE(std::string(e.what()).find("stack.tif: "), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("o space left on device"), std::string::npos) << e.what();
  }
  EXPECT_EQ(WriteFailureText(ENOSPC, "TIFFAppendToStrip: Write error"), "no space left on device");
  EXPECT_EQ(WriteFailureText(0, "libtiff's text"), "libtiff's text");
}

TEST(TiffWriter, BigTiffIsChosenAboveTheClassicLimit) {
  EXPECT_FALSE(NeedsBigTiff(4096, 3000, 1, 16, 158));  // 3.88 GB
  EXPECT_TRUE(NeedsBigTiff(4096, 3000, 1, 16, 159));   // 3.91 GB
  EXPECT_TRUE(NeedsBigTiff(2048, 2048, 3, 16, 200));   // 64-bit colour stored as 48-bit RGB
  EXPECT_FALSE(NeedsBigTiff(640, 480, 1, 8, 1000));
}

TEST(OmeXml, DescribesTheStackAndEscapesTexts) {
  OmeStack stack;
  stack.creator = "pyxon";
  stack.imageName = "cam <1> & \"co\"";
  stack.width = 64;
  stack.height = 32;
  stack.samplesPerPixel = 3;
  stack.bitsPerSample = 16;
  stack.planeCount = 2;
  stack.planeSeconds = {0.0, 0.5};
  stack.exposureMs = 10;
  stack.settings = {{"IO:Trigger Source", "GPIO0"}, {"Weird\x01Key", "a<b"}};
  const std::string xml = BuildOmeXml(stack);
  EXPECT_EQ(xml.rfind("<?xml", 0), 0u);
  EXPECT_NE(xml.find("Name=\"cam &lt;1&gt; &amp; &quot;co&quot;\""), std::string::npos);
  EXPECT_NE(xml.find("Type=\"uint16\""), std::string::npos);
  EXPECT_NE(xml.find("SizeC=\"3\""), std::string::npos);
  EXPECT_NE(xml.find("SamplesPerPixel=\"3\""), std::string::npos);
  EXPECT_NE(xml.find("SizeT=\"2\""), std::string::npos);
  EXPECT_NE(xml.find("<TiffData IFD=\"0\" PlaneCount=\"2\"/>"), std::string::npos);
  EXPECT_NE(xml.find("TheT=\"1\" DeltaT=\"0.5\""), std::string::npos);
  EXPECT_NE(xml.find("<M K=\"WeirdKey\">a&lt;b</M>"), std::string::npos);
  EXPECT_EQ(xml.find('\x01'), std::string::npos);
  // Planes follow TiffData, annotations follow the image: the schema's order.
  EXPECT_LT(xml.find("<TiffData"), xml.find("<Plane"));
  EXPECT_LT(xml.find("</Image>"), xml.find("<StructuredAnnotations>"));
}

TEST(OmeXml, SignificantBitsAndPixelSizesAsTheCameraReportsThem) {
  OmeStack stack;
  stack.width = 8;
  stack.height = 8;
  stack.bitsPerSample = 16;
  stack.significantBits = 10;
  stack.planeCount = 1;
  // The camera reports 2.4 um as a float; binned by 12 that widened to 28.8000011.
  stack.pixelSizeUm = CameraPixelSizeUm(static_cast<double>(2.4f), 12);
  const std::string xml = BuildOmeXml(stack);
  EXPECT_NE(xml.find("SignificantBits=\"10\""), std::string::npos) << xml;
  EXPECT_NE(xml.find("PhysicalSizeX=\"28.8\""), std::string::npos) << xml;
  EXPECT_EQ(CameraPixelSizeUm(static_cast<double>(8.6f), 1), 8.6);
  EXPECT_EQ(CameraPixelSizeUm(static_cast<double>(3.76f), 3), 3.76 * 3);
  stack.significantBits = 0;  // unknown: every bit of the sample
  EXPECT_NE(BuildOmeXml(stack).find("SignificantBits=\"16\""), std::string::npos);
}

TEST(TextSafety, BytesThatAreNotUtf8BecomeReplacementCharacters) {
  const std::string mark = "\xEF\xBF\xBD";
  EXPECT_EQ(ValidUtf8("plain \xC2\xB5m \xF0\x9F\x93\xB7"), "plain \xC2\xB5m \xF0\x9F\x93\xB7");
  EXPECT_EQ(ValidUtf8("cam\xff"), "cam" + mark);
  EXPECT_EQ(ValidUtf8("\xC0\xAF"), mark + mark);                        // overlong '/'
  EXPECT_EQ(ValidUtf8("\xED\xA0\x80"), mark + mark + mark);             // a surrogate
  EXPECT_EQ(ValidUtf8("\xF4\x90\x80\x80"), mark + mark + mark + mark);  // past U+10FFFF
  EXPECT_EQ(ValidUtf8("cut \xE2\x82"), "cut " + mark + mark);
  EXPECT_EQ(DumpJson(nlohmann::json{{"name", "cam\xff"}}, -1), "{\"name\":\"cam" + mark + "\"}");
  EXPECT_EQ(XmlEscape("a\xff<"), "a" + mark + "&lt;");
}

TEST(FrameMetadata, ParsesTheDeviceTagTextIntoQualifiedKeys) {
  const auto tags = ParseDeviceMetadata("2\ns\nCamera\n_\n1\nCam1\ns\nExposure\nCam1\n0\n10\n");
  EXPECT_EQ(tags, nlohmann::json({{"Camera", "Cam1"}, {"Cam1-Exposure", "10"}}));
  // A truncated record keeps what came before it.
  EXPECT_EQ(ParseDeviceMetadata("2\ns\nCamera\n_\n1\nCam1\ns\nX\n"),
            nlohmann::json({{"Camera", "Cam1"}}));
  EXPECT_EQ(ParseDeviceMetadata("garbage"), nlohmann::json::object());
}

TEST(PngPreview, ScalesLargeImagesDownAndStretchesWideData) {
  Frame wide;
  wide.width = 2000;
  wide.height = 1000;
  wide.bitsPerSample = 16;
  wide.data.resize(wide.byteCount());
  for (size_t i = 0; i < size_t{wide.width} * wide.height; ++i) {
    const uint16_t value = static_cast<uint16_t>(1000 + (i % wide.width));  // 1000..2999
    std::memcpy(wide.data.data() + 2 * i, &value, 2);
  }
  const Frame preview = MakePreview(wide, 500);
  EXPECT_EQ(preview.width, 500u);
  EXPECT_EQ(preview.height, 250u);
  EXPECT_EQ(preview.bitsPerSample, 8u);
  EXPECT_LE(preview.data.front(), 2);  // the dark end maps to black
  EXPECT_GE(preview.data[preview.width - 1], 253);

  TempDir dir;
  PngPreview png(dir.file("p.png"), 500);
  png.write(wide);
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  ASSERT_TRUE(png_image_begin_read_from_file(&image, dir.file("p.png").c_str()));
  EXPECT_EQ(image.width, 500u);
  EXPECT_EQ(image.height, 250u);
  png_image_free(&image);

  EXPECT_THROW(PngPreview("/nonexistent-dir/p.png", 100), ToolError);
}

}  // namespace
