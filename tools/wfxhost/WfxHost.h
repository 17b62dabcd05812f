// The command-line host's core: holds a loaded plug-in's exports, hands it the three callbacks,
// starts it as Total Commander does and runs commands against it, printing what happens.
#pragma once

#include <string>

#include "Commands.h"
#include "HostSystem.h"

namespace wfxhost {

enum class ProgressStyle { Auto, Bar, Lines, None };
// Which functions the host calls: the wide form of each where the plug-in exports it (Auto, as
// Total Commander and Double Commander do), the wide ones only, or the ANSI ones only.
enum class InterfaceChoice { Auto, Wide, Ansi };

struct RunOptions {
  std::string iniName;  // DefaultIniName for FsSetDefaultParams
  int pluginNr = 0;
  ProgressStyle progress = ProgressStyle::Auto;
  std::string detailsPath;  // when set, details log lines go to this file, not to the output
  InterfaceChoice interfaceChoice = InterfaceChoice::Auto;
  bool checkStack = false;  // 32-bit Windows: measure the stack pointer around every export call
};

// Loads the plug-in at Path, resolves its exports, calls FsInit and FsInitW (as the interface
// choice allows, each where exported), FsSetDefaultParams and FsGetDefRootName and prints
// "root: NAME". Returns false (after printing the reason to standard error) when the file cannot
// be loaded or has neither start function the choice allows.
bool StartPlugin(const std::string& path, const RunOptions& options);
// Runs one command (not "run"), printing "> COMMAND", the callbacks' lines and the result.
// Returns true when the command succeeded.
bool RunCommand(const Command& command);
// Prints a line of the host's own (for script errors found while running) through the same
// serialised output as the callbacks.
void PrintLine(const std::string& line);
// Prints the stack check's verdict (with --check-stack) and unloads the plug-in. Returns false
// when an export did not pop its arguments.
bool StopPlugin();

}  // namespace wfxhost
