// The shared part of the command line.
#include "host/tool/command_line.h"

#include "host/tool/option_checks.h"
#include "host/tool/tool_error.h"

namespace pyxtool {

namespace {

void AddCommonOptions(CLI::App& app, CommonOptions& common) {
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
}

}  // namespace

CLI::App* CommandLine::add(const std::string& name, const std::string& description,
                           std::function<int()> run) {
  CLI::App* command = app_.add_subcommand(name, description);
  commands_.push_back({command, std::move(run)});
  return command;
}

int CommandLine::runParsed() const {
  for (const Command& command : commands_)
    if (command.app->parsed()) return command.run();
  return kExitUsage;
}

void AddSettingsOption(CLI::App* command, CommonOptions& common, const char* when) {
  command
      ->add_option(
          "--set", common.settings,
          std::string("apply NAME=VALUE ") + when + " (repeat for several; applied in order)")
      ->type_name("NAME=VALUE")
      ->allow_extra_args(false);
}

void AddExamples(CLI::App* command, const std::string& examples) {
  command->footer("\nExamples:\n" + examples +
                  "\nAlso accepted: --camera NAME, --model MODEL, --module PATH, -v, --sim-drop,\n"
                  "--sim-frame-interval (see 'pyxon --help').\n");
}

void RegisterCommands(CommandLine& line) {
  AddCommonOptions(line.app(), line.common());
  RegisterDevices(line);
  RegisterProps(line);
  RegisterGet(line);
  RegisterSet(line);
  RegisterSnap(line);
  RegisterRecord(line);
  RegisterLive(line);
  RegisterReference(line);
}

}  // namespace pyxtool
