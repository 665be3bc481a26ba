// End to end: the pyxon executable's commands, messages and exit codes.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "tool_process.h"

namespace {

using tooltest::RunTool;
using tooltest::TempDir;
using tooltest::ToolRun;

class ToolCommands : public ::testing::Test {
 protected:
  void SetUp() override { unsetenv("PYXSIM_CAMERAS"); }  // the simulator's default cameras
};

::testing::AssertionResult Contains(const std::string& text, const std::string& part) {
  if (text.find(part) != std::string::npos) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "\"" << part << "\" not in:\n" << text;
}

TEST_F(ToolCommands, HelpForTheToolAndEachCommand) {
  const ToolRun help = RunTool({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  for (const char* command :
       {"devices", "props", "get", "set", "snap", "record", "live", "reference"}) {
    EXPECT_TRUE(Contains(help.out, command));
  }
  const ToolRun recordHelp = RunTool({"record", "--help"});
  EXPECT_EQ(recordHelp.exitCode, 0);
  EXPECT_TRUE(Contains(recordHelp.out, "--metadata"));
  EXPECT_TRUE(Contains(recordHelp.out, "--set"));
}

TEST_F(ToolCommands, CommandLineMistakesExitWithTwo) {
  const ToolRun unknown = RunTool({"frobnicate"});
  EXPECT_EQ(unknown.exitCode, 2);
  EXPECT_TRUE(Contains(unknown.err, "unknown command \"frobnicate\""));
  EXPECT_TRUE(Contains(unknown.err, "snap"));

  const ToolRun none = RunTool({});
  EXPECT_EQ(none.exitCode, 2);

  const ToolRun noOutput = RunTool({"snap"});
  EXPECT_EQ(noOutput.exitCode, 2);
  EXPECT_TRUE(Contains(noOutput.err, "--output"));

  const ToolRun zeroFrames = RunTool({"record", "-n", "0", "-o", "x.tif"});
  EXPECT_EQ(zeroFrames.exitCode, 2);

  const ToolRun badAssignment = RunTool({"set", "Exposure"});
  EXPECT_EQ(badAssignment.exitCode, 2);
  EXPECT_TRUE(Contains(badAssignment.err, "expected NAME=VALUE"));
}

TEST_F(ToolCommands, ImpossibleFrameCountsAreRefusedBeforeRecording) {
  TempDir dir;
  for (const char* count : {"99999999999999999999", "2147483648"}) {
    const ToolRun run = RunTool({"record", "-n", count, "-o", dir.file("never.tif")});
    EXPECT_EQ(run.exitCode, 2) << count;
    EXPECT_TRUE(Contains(run.err, "out of range: a recording holds at most 2147483647 frames"));
    EXPECT_FALSE(std::filesystem::exists(dir.file("never.tif")));
  }
}

TEST_F(ToolCommands, DevicesListsTheSimulatedCameras) {
  const ToolRun text = RunTool({"devices"});
  ASSERT_EQ(text.exitCode, 0) << text.err;
  EXPECT_TRUE(Contains(text.out, "PX-120M"));
  EXPECT_TRUE(Contains(text.out, "camera"));

  const ToolRun json = RunTool({"devices", "--json"});
  ASSERT_EQ(json.exitCode, 0) << json.err;
  const auto list = nlohmann::json::parse(json.out);
  ASSERT_EQ(list.size(), 4u);
  EXPECT_EQ(list[0]["name"], "PX-120M");
  EXPECT_EQ(list[3]["name"], "PX-FULL");
  EXPECT_EQ(list[1]["type"], "camera");
  EXPECT_EQ(list[2]["description"], "Pyxon");
}

TEST_F(ToolCommands, ModelAndCameraChooseTheCamera) {
  const ToolRun model = RunTool({"--model", "PX-285M-GIGE", "devices", "--json"});
  ASSERT_EQ(model.exitCode, 0) << model.err;
  const auto list = nlohmann::json::parse(model.out);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0]["name"], "PX-285M-GIGE");

  const ToolRun viaCamera = RunTool({"get", "Model", "--camera", "PX-2600M-COOL"});
  ASSERT_EQ(viaCamera.exitCode, 0) << viaCamera.err;
  EXPECT_EQ(viaCamera.out, "PX-2600M-COOL\n");

  const ToolRun badModel = RunTool({"--model", "PX-999", "devices"});
  EXPECT_EQ(badModel.exitCode, 2);
  EXPECT_TRUE(Contains(badModel.err, "unknown model \"PX-999\""));
  EXPECT_TRUE(Contains(badModel.err, "PX-OEM-CL"));

  const ToolRun badCamera = RunTool({"props", "--camera", "px-120m"});
  EXPECT_EQ(badCamera.exitCode, 2);
  EXPECT_TRUE(Contains(badCamera.err, "unknown camera \"px-120m\" (did you mean \"PX-120M\"?)"));
  EXPECT_TRUE(Contains(badCamera.err, "PX-FULL"));
}

TEST_F(ToolCommands, MissingModuleOrLibraryExitWithThree) {
  const ToolRun missing = RunTool({"--module", "/nonexistent/vuzezod_dal_Pyxon.so", "devices"});
  EXPECT_EQ(missing.exitCode, 3);
  EXPECT_TRUE(Contains(missing.err, "no module at /nonexistent/vuzezod_dal_Pyxon.so"));

  // The module alone, without the camera library beside it.
  TempDir dir;
  const std::string lonely = dir.file("vuzezod_dal_Pyxon.so");
  std::filesystem::copy_file(PYXON_MODULE_PATH, lonely);
  const ToolRun noLibrary = RunTool({"--module", lonely, "devices"});
  EXPECT_EQ(noLibrary.exitCode, 3);
  EXPECT_TRUE(Contains(noLibrary.err, "libPyxon.so is missing from " + dir.path()));

  // A file that is no module at all.
  const std::string bogus = dir.file("bogus.so");
  std::filesystem::copy_file(__FILE__, bogus);
  const ToolRun notAModule = RunTool({"--module", bogus, "devices"});
  EXPECT_EQ(notAModule.exitCode, 3);
  EXPECT_TRUE(Contains(notAModule.err, "cannot load the module " + bogus));

  // A module cut short (it used to end the tool with SIGBUS inside the loader).
  TempDir cutDir;
  const std::string cut = cutDir.file("vuzezod_dal_Pyxon.so");
  const std::string whole = tooltest::ReadFile(PYXON_MODULE_PATH);
  std::FILE* file = std::fopen(cut.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  std::fwrite(whole.data(), 1, 30000, file);
  std::fclose(file);
  const ToolRun truncated = RunTool({"--module", cut, "devices"});
  EXPECT_EQ(truncated.exitCode, 3);
  EXPECT_TRUE(Contains(truncated.err, "cannot load the module " + cut + ": truncated"));
}

// A camera library the loader would choke on is named with the reason, and the
// module is never loaded over it (a truncated library used to kill the tool
// with SIGBUS inside the dynamic loader).
TEST_F(ToolCommands, UnloadableCameraLibraryExitsWithThree) {
  const std::string real = tooltest::ReadFile(
      std::filesystem::path(PYXON_MODULE_PATH).parent_path().string() + "/libPyxon.so");
  ASSERT_GT(real.size(), 100000u);
  std::string otherClass = real;
  otherClass[4] = otherClass[4] == 1 ? 2 : 1;  // EI_CLASS: 32-bit against 64-bit
  std::string otherMachine = real;
  otherMachine[18] = static_cast<char>(otherMachine[18] ^ 0x7f);  // e_machine
  const std::pair<std::string, std::string> cases[] = {
      {otherClass, "built for "},
      {otherMachine, "built for another processor"},
      {std::string(), "the file is empty"},
      {real.substr(0, 50000), "truncated"},
      {real.substr(0, 2000), "truncated"},
      {"#!/bin/sh\necho not a library\n", "not an ELF shared object"},
  };
  for (const auto& [content, reason] : cases) {
    TempDir dir;
    std::filesystem::copy_file(PYXON_MODULE_PATH, dir.file("vuzezod_dal_Pyxon.so"));
    std::FILE* file = std::fopen(dir.file("libPyxon.so").c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fwrite(content.data(), 1, content.size(), file);
    std::fclose(file);
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"devices"}, {"--model", "PX-120M", "devices"}}) {
      std::vector<std::string> full = {"--module", dir.file("vuzezod_dal_Pyxon.so")};
      full.insert(full.end(), args.begin(), args.end());
      const ToolRun run = RunTool(full);
      EXPECT_EQ(run.exitCode, 3) << content.size() << " bytes: " << run.err;
      EXPECT_TRUE(Contains(
          run.err, "cannot load the camera library " + dir.file("libPyxon.so") + ": " + reason));
    }
  }
}

TEST_F(ToolCommands, BadValuesGetPlainMessages) {
  const ToolRun nan = RunTool({"live", "--seconds", "nan"});
  EXPECT_EQ(nan.exitCode, 2);
  EXPECT_TRUE(Contains(nan.err, "--seconds: must be a finite number of seconds"));
  const ToolRun zero = RunTool({"record", "-n", "0", "-o", "x.tif"});
  EXPECT_EQ(zero.exitCode, 2);
  EXPECT_TRUE(Contains(zero.err, "--count: must be at least 1"));
  EXPECT_LT(zero.err.size(), 200u);
  const ToolRun fraction = RunTool({"--sim-drop", "5.5", "devices"});
  EXPECT_EQ(fraction.exitCode, 2);
  EXPECT_TRUE(Contains(fraction.err, "--sim-drop: must be an integer from 0 to 100"));
  for (const char* option : {"--camera", "--model"}) {
    const ToolRun empty = RunTool({option, "", "devices"});
    EXPECT_EQ(empty.exitCode, 2) << option;
    EXPECT_TRUE(Contains(empty.err, std::string(option) + ": must not be empty"));
  }
  TempDir dir;
  const ToolRun jpeg = RunTool({"snap", "-o", dir.file("a.tif"), "--preview", dir.file("a.jpg")});
  EXPECT_EQ(jpeg.exitCode, 2);
  EXPECT_TRUE(Contains(jpeg.err, "--preview: the preview is written as PNG"));
  EXPECT_FALSE(tooltest::FileExists(dir.file("a.jpg")));
  EXPECT_FALSE(tooltest::FileExists(dir.file("a.tif")));

  // The device's texts travel in 1024-byte buffers: a text that filled one is
  // marked as cut, while the tool's own echo keeps the whole argument.
  const std::string longName(1100, 'x');
  const ToolRun cut = RunTool({"get", longName});
  EXPECT_EQ(cut.exitCode, 1);
  EXPECT_TRUE(Contains(cut.err, "cannot read " + longName + ": "));
  EXPECT_TRUE(Contains(cut.err, "... (cut at 1023 characters)"));
}

TEST_F(ToolCommands, SetSaysWhenTheCameraKeptAnotherValue) {
  // Exposure has a resolution of a microsecond: the camera keeps 20.123 ms.
  const ToolRun run = RunTool({"set", "Exposure=20.123456", "Exposure=20"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out, "Exposure=20.1230\nExposure=20.0000\n");
  EXPECT_TRUE(
      Contains(run.err, "the camera kept Exposure at \"20.1230\" (asked for \"20.123456\")"));
  EXPECT_FALSE(Contains(run.err, "asked for \"20\""));  // the same number, written differently
}

TEST_F(ToolCommands, PropsShowsValuesTypesAccessAndRanges) {
  const ToolRun text = RunTool({"props", "--camera", "PX-120M"});
  ASSERT_EQ(text.exitCode, 0) << text.err;
  EXPECT_TRUE(Contains(text.out, "NAME"));
  EXPECT_TRUE(Contains(text.out, "read-only"));

  const ToolRun json = RunTool({"props", "--json", "--camera", "PX-120M", "--set", "Binning=2"});
  ASSERT_EQ(json.exitCode, 0) << json.err;
  const auto properties = nlohmann::json::parse(json.out);
  EXPECT_EQ(properties["Model"]["value"], "PX-120M");
  EXPECT_EQ(properties["Model"]["readOnly"], true);
  EXPECT_EQ(properties["Exposure"]["type"], "Float");
  ASSERT_EQ(properties["Exposure"]["limits"].size(), 2u);
  EXPECT_LT(properties["Exposure"]["limits"][0].get<double>(),
            properties["Exposure"]["limits"][1].get<double>());
  EXPECT_EQ(properties["Binning"]["value"], "2");  // --set applied before listing
  const auto pixelTypes = properties["PixelType"]["allowed"];
  EXPECT_NE(std::find(pixelTypes.begin(), pixelTypes.end(), "RAW12"), pixelTypes.end());
}

TEST_F(ToolCommands, GetAndSetReportTheDevicesOwnErrorTexts) {
  const ToolRun get = RunTool({"get", "Binning", "Model"});
  ASSERT_EQ(get.exitCode, 0) << get.err;
  EXPECT_EQ(get.out, "Binning=1\nModel=PX-120M\n");

  const ToolRun set = RunTool({"set", "Binning=2", "Exposure=12.5"});
  ASSERT_EQ(set.exitCode, 0) << set.err;
  EXPECT_EQ(set.out, "Binning=2\nExposure=12.5000\n");

  const ToolRun unknown = RunTool({"get", "Exposur"});
  EXPECT_EQ(unknown.exitCode, 1);
  EXPECT_TRUE(Contains(unknown.err, "Invalid property name encountered: Exposur"));
  EXPECT_TRUE(Contains(unknown.err, "(did you mean \"Exposure\"?)"));

  const ToolRun partOfNames = RunTool({"get", "trigger source", "--camera", "PX-FULL"});
  EXPECT_EQ(partOfNames.exitCode, 1);
  EXPECT_TRUE(Contains(partOfNames.err, "IO:Trigger Source"));

  // A failed set prints nothing on stdout, not even the properties set before.
  const ToolRun secondFails = RunTool({"set", "Binning=2", "Binning=10"});
  EXPECT_EQ(secondFails.exitCode, 1);
  EXPECT_EQ(secondFails.out, "Binning=2\n");

  const ToolRun badValue = RunTool({"set", "Binning=9"});
  EXPECT_EQ(badValue.exitCode, 1);
  EXPECT_TRUE(
      Contains(badValue.err, "cannot set Binning to \"9\": Invalid property value: Binning"));
  EXPECT_TRUE(Contains(badValue.err, "(allowed: 1, 2, 3, 4, 5, 6, 7, 8)"));

  const ToolRun outOfRange = RunTool({"set", "Exposure=1e12"});
  EXPECT_EQ(outOfRange.exitCode, 1);
  EXPECT_TRUE(Contains(outOfRange.err, "Invalid property value: Exposure (limits: "));

  // The device accepts writes of read-only properties silently; the tool says no.
  const ToolRun readOnly = RunTool({"set", "Model=Other"});
  EXPECT_EQ(readOnly.exitCode, 1);
  EXPECT_TRUE(Contains(readOnly.err, "Model is read-only (it reads \"PX-120M\")"));

  // A failing --set stops a command before it acquires anything.
  TempDir dir;
  const ToolRun snap = RunTool({"snap", "-o", dir.file("x.tif"), "--set", "Binning=0"});
  EXPECT_EQ(snap.exitCode, 1);
  EXPECT_FALSE(tooltest::FileExists(dir.file("x.tif")));
}

TEST_F(ToolCommands, ReferenceCoversEveryModel) {
  const ToolRun markdown = RunTool({"reference", "--markdown"});
  ASSERT_EQ(markdown.exitCode, 0) << markdown.err;
  for (const char* model : {"PX-120M", "PX-678C", "PX-2600M-COOL", "PX-FULL", "PX-285M-GIGE",
                            "PX-429C-IL", "PX-OEM-CL"}) {
    EXPECT_TRUE(Contains(markdown.out, std::string("### ") + model + "\n"));
  }
  EXPECT_TRUE(
      Contains(markdown.out, "| Property | Type | Read-only | Values or limits | Initial value |"));
  EXPECT_TRUE(Contains(markdown.out, "| Binning | String | no | 1, 2, 3, 4, 5, 6, 7, 8 | 1 |"));

  // The README's reference is generated from this: a second run must not differ.
  const ToolRun again = RunTool({"reference", "--markdown"});
  EXPECT_EQ(again.out, markdown.out);
  EXPECT_TRUE(Contains(markdown.out, "| Temperature | Float | yes |  | (live reading) |"));

  const ToolRun one = RunTool({"reference", "--model", "PX-120M"});
  ASSERT_EQ(one.exitCode, 0) << one.err;
  EXPECT_TRUE(Contains(one.out, "PX-120M ("));
  EXPECT_FALSE(Contains(one.out, "PX-678C"));
}

}  // namespace
