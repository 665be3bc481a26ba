// pyxon: drives the cameras of the device module from the command line, the
// way the instrument-control host does.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <iostream>

#include "host/tool/commands.h"
#include "host/tool/option_checks.h"
#include "host/tool/text_safety.h"
#include "host/tool/tool_error.h"

namespace {

using namespace pyxtool;

constexpr const char* kExamples = R"(
Examples:
  pyxon devices
  pyxon props --camera PX-678C
  pyxon get Exposure PixelType
  pyxon set Exposure=20 Binning=2
  pyxon snap -o image.tif --preview image.png --set Exposure=5
  pyxon record -n 100 -o stack.ome.tif --metadata stack.json --camera PX-2600M-COOL
  pyxon live --seconds 10
  pyxon reference --markdown

Settings last for one run: give them with --set to the command that needs them.
Exit codes: 0 success, 1 the camera or a file failed, 2 bad command line,
3 module or camera library missing or unloadable, 130 snap or recording interrupted
(a recording keeps its frames in a valid file).)";

void AddSettingsOption(CLI::App* command, CommonOptions& common, const char* when) {
  command
      ->add_option(
          "--set", common.settings,
          std::string("apply NAME=VALUE ") + when + " (repeat for several; applied in order)")
      ->type_name("NAME=VALUE")
      ->allow_extra_args(false);
}

// Subcommand help ends with its own examples and a reminder of the options
// every command accepts (they may stand before or after the command name).
void AddExamples(CLI::App* command, const std::string& examples) {
  command->footer("\nExamples:\n" + examples +
                  "\nAlso accepted: --camera NAME, --model MODEL, --module PATH, -v, --sim-drop,\n"
                  "--sim-frame-interval (see 'pyxon --help').\n");
}

std::string CommandNames(const CLI::App& app) {
  std::string names;
  for (const CLI::App* command : app.get_subcommands({}))
    names += (names.empty() ? "" : ", ") + command->get_name();
  return names;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app("pyxon: drive Pyxon cameras through the device module, as a host would.", "pyxon");
  app.footer(kExamples);
  app.set_version_flag("--version", ToolVersion());
  app.require_subcommand(1, 1);
  app.fallthrough();  // global options may follow the command name

  CommonOptions common;
  app.add_option("--module", common.module.modulePath,
                 "device module to load (default: ../lib/vuzezod_dal_Pyxon.so beside the tool, "
                 "else the build's)")
      ->type_name("PATH");
  app.add_option("--model", common.module.model,
                 "attach one simulated camera of this model (see 'pyxon reference')")
      ->check(NotEmpty())
      ->type_name("MODEL");
  app.add_option("--camera", common.camera,
                 "camera to use, by its device name (default: the first)")
      ->check(NotEmpty())
      ->type_name("NAME");
  app.add_flag("-v,--verbose", common.verbose,
               "name the module loaded; print the device's log messages at the end");
  app.add_option("--sim-drop", common.simDropPercent,
                 "simulator: drop this percentage of the camera's frames")
      ->check(IntegerFrom(0, 100))
      ->type_name("PERCENT")
      ->group("Simulator");
  app.add_option("--sim-frame-interval", common.simFrameIntervalUs,
                 "simulator: free-running frame interval in microseconds")
      ->check(CLI::PositiveNumber)
      ->type_name("US")
      ->group("Simulator");

  bool json = false;
  CLI::App* devices = app.add_subcommand("devices", "list the devices the module offers");
  devices->add_flag("--json", json, "print JSON");
  AddExamples(devices,
              "  pyxon devices\n  pyxon devices --json\n  pyxon --model PX-FULL devices\n");

  CLI::App* props = app.add_subcommand("props", "show every property of a camera");
  props->add_flag("--json", json, "print JSON");
  AddSettingsOption(props, common, "before listing");
  AddExamples(props, "  pyxon props --camera PX-678C\n  pyxon props --json --set Binning=2\n");

  std::vector<std::string> names;
  CLI::App* get = app.add_subcommand("get", "print property values");
  get->add_option("NAME", names, "property names")->required();
  AddSettingsOption(get, common, "before reading");
  AddExamples(get, "  pyxon get Exposure\n  pyxon get Exposure PixelType --camera PX-2600M-COOL\n");

  std::vector<std::string> assignments;
  CLI::App* set = app.add_subcommand("set", "set properties and print the values that result");
  set->add_option("NAME=VALUE", assignments, "properties to set, in order")->required();
  AddExamples(set,
              "  pyxon set Exposure=20\n  pyxon set \"Resolution=640 x 480\" PixelType=RAW12\n");

  SnapOptions snapOptions;
  CLI::App* snap = app.add_subcommand("snap", "take one image and save it as TIFF");
  snap->add_option("-o,--output", snapOptions.output, "TIFF file to write")
      ->required()
      ->type_name("FILE");
  snap->add_option("--preview", snapOptions.preview, "also write an 8-bit PNG preview")
      ->check(PngFileName())
      ->type_name("FILE.png");
  snap->add_option("--preview-size", snapOptions.previewSize,
                   "longest edge of the preview in pixels; 0 keeps the size")
      ->capture_default_str();
  AddSettingsOption(snap, common, "before the snap");
  AddExamples(snap,
              "  pyxon snap -o image.tif\n  pyxon snap -o image.tif --preview image.png --camera "
              "PX-678C --set Exposure=5\n");

  RecordOptions recordOptions;
  CLI::App* record =
      app.add_subcommand("record", "record a counted sequence into a multi-page OME-TIFF");
  record->add_option("-n,--count", recordOptions.count, "number of frames")
      ->required()
      ->check(AtLeastOne());
  record->add_option("-o,--output", recordOptions.output, "OME-TIFF file to write")
      ->required()
      ->type_name("FILE");
  record->add_option("--metadata", recordOptions.metadata, "write per-frame metadata as JSON")
      ->type_name("FILE.json");
  record->add_flag("--bigtiff", recordOptions.bigTiff,
                   "write BigTIFF even below 4 GB (chosen automatically above)");
  record->add_flag("--stop-on-overflow", recordOptions.stopOnOverflow,
                   "end the acquisition when the host buffer overflows");
  record->add_flag("-q,--quiet", recordOptions.quiet, "no progress display");
  record
      ->add_option("--host-buffer", recordOptions.hostBufferFrames,
                   "frames the host buffer holds (default: about 512 MiB of frames)")
      ->check(CLI::Range(1u, 4096u))
      ->type_name("FRAMES");
  AddSettingsOption(record, common, "before recording");
  AddExamples(record,
              "  pyxon record -n 100 -o stack.ome.tif\n  pyxon record -n 500 -o stack.ome.tif "
              "--metadata stack.json --set Binning=2\n");

  LiveOptions liveOptions;
  CLI::App* live = app.add_subcommand("live", "run a continuous acquisition and show its rates");
  live->add_option("--seconds", liveOptions.seconds, "how long to run; 0 runs until Ctrl-C")
      ->check(FiniteSeconds())
      ->capture_default_str();
  live->add_flag("-q,--quiet", liveOptions.quiet, "only the final statistics");
  AddSettingsOption(live, common, "before starting");
  AddExamples(live, "  pyxon live\n  pyxon live --seconds 0 --camera PX-678C   (until Ctrl-C)\n");

  bool markdown = false;
  CLI::App* reference = app.add_subcommand(
      "reference", "print the property reference of every simulated camera model");
  reference->add_flag("--markdown", markdown, "print Markdown tables");
  AddExamples(reference, "  pyxon reference\n  pyxon reference --markdown --model PX-120M\n");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    // A word that is no command is the commonest slip: name it plainly.
    const std::vector<std::string> extras = app.remaining();
    if (app.get_subcommands().empty() && !extras.empty()) {
      std::fprintf(stderr, "pyxon: unknown command \"%s\" (commands: %s)\n", extras.front().c_str(),
                   CommandNames(app).c_str());
    } else if (app.get_subcommands().empty()) {
      std::fprintf(stderr, "pyxon: no command given (commands: %s)\n", CommandNames(app).c_str());
    } else {
      std::fprintf(stderr, "pyxon: %s\n", e.what());
    }
    std::fprintf(stderr, "Run 'pyxon --help' or 'pyxon COMMAND --help' for usage.\n");
    return kExitUsage;
  }

  try {
    if (devices->parsed()) return RunDevices(common, json);
    if (props->parsed()) return RunProps(common, json);
    if (get->parsed()) return RunGet(common, names);
    if (set->parsed()) return RunSet(common, assignments);
    if (snap->parsed()) return RunSnap(common, snapOptions);
    if (record->parsed()) return RunRecord(common, recordOptions);
    if (live->parsed()) return RunLive(common, liveOptions);
    if (reference->parsed()) return RunReference(common, markdown);
  } catch (const ToolError& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "pyxon: %s\n", ValidUtf8(e.what()).c_str());
    return e.exitCode();
  } catch (const std::exception& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "pyxon: unexpected failure: %s\n", ValidUtf8(e.what()).c_str());
    return kExitFailure;
  }
  return kExitUsage;
}
