// pyxon: drives the cameras of the device module from the command line, the
// way the instrument-control host does.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <iostream>

#include "host/tool/command_line.h"
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
  CommandLine line(app, common);
  RegisterCommands(line);

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
    return line.runParsed();
  } catch (const ToolError& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "pyxon: %s\n", ValidUtf8(e.what()).c_str());
    return e.exitCode();
  } catch (const std::exception& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "pyxon: unexpected failure: %s\n", ValidUtf8(e.what()).c_str());
    return kExitFailure;
  }
}
