// The tool's command line: the options every command shares, and the
// subcommands, each registered by the source that runs it.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>
#include <string>
#include <vector>

#include "host/tool/commands.h"

namespace pyxtool {

class CommandLine {
 public:
  CommandLine(CLI::App& app, CommonOptions& common) : app_(app), common_(common) {}

  CLI::App& app() { return app_; }
  // Filled in by parsing; outlives every command's run.
  CommonOptions& common() { return common_; }
  // Adds a subcommand; `run` returns the exit code once it was parsed.
  CLI::App* add(const std::string& name, const std::string& description, std::function<int()> run);
  // Runs the subcommand that was parsed; kExitUsage when none was.
  int runParsed() const;

 private:
  struct Command {
    CLI::App* app;
    std::function<int()> run;
  };
  CLI::App& app_;
  CommonOptions& common_;
  std::vector<Command> commands_;
};

// --set NAME=VALUE, applied `when` ("before recording").
void AddSettingsOption(CLI::App* command, CommonOptions& common, const char* when);
// Subcommand help ends with its own examples and a reminder of the options
// every command accepts (they may stand before or after the command name).
void AddExamples(CLI::App* command, const std::string& examples);

// The options every command understands, and every command in the order the
// help lists them.
void RegisterCommands(CommandLine& line);

void RegisterDevices(CommandLine& line);
void RegisterProps(CommandLine& line);
void RegisterGet(CommandLine& line);
void RegisterSet(CommandLine& line);
void RegisterSnap(CommandLine& line);
void RegisterRecord(CommandLine& line);
void RegisterLive(CommandLine& line);
void RegisterReference(CommandLine& line);

}  // namespace pyxtool
