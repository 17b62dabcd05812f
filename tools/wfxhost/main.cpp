// wfxhost: a file manager without windows. Loads a file-system plug-in, starts it as Total
// Commander does and runs commands against it; for tests, the demo and scripted copies.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "Commands.h"
#include "HostSystem.h"
#include "StackCheck.h"
#include "WfxHost.h"

namespace {

using namespace wfxhost;

const char kUsage[] =
    "usage: wfxhost [OPTIONS] PLUGIN COMMAND [ARGS...]\n"
    "       wfxhost [OPTIONS] PLUGIN run SCRIPT\n"
    "\n"
    "Loads the file-system plug-in PLUGIN (a .wfx/.wfx64 file), calls FsInit, FsSetDefaultParams\n"
    "and FsGetDefRootName as Total Commander does, and runs commands. Paths inside the plug-in "
    "are\n"
    "written as the host writes them, with backslashes: \"\\PortaPack (COM5)\\APPS\".\n"
    "\n"
    "Commands:\n"
    "  ls [PATH]            list a folder (default \\) with FsFindFirst/FsFindNext/FsFindClose\n"
    "  get REMOTE LOCAL     download with FsGetFile\n"
    "  put LOCAL REMOTE     upload with FsPutFile\n"
    "  mv OLD NEW           rename or move with FsRenMovFile (Move=TRUE unless --copy)\n"
    "  rm PATH              FsDeleteFile\n"
    "  mkdir PATH           FsMkDir\n"
    "  rmdir PATH           FsRemoveDir\n"
    "  disconnect ROOT      FsDisconnect (\"\\PortaPack (COM5)\")\n"
    "  wait PATH [SECONDS]  wait until the local file PATH exists (at most SECONDS, default\n"
    "                       120), so that a test can act between two commands of a script\n"
    "  run SCRIPT           run the commands in SCRIPT (\"-\" = standard input) in one process,\n"
    "                       so that connections persist between them; one command per line,\n"
    "                       # starts a comment line, blank lines are ignored, double quotes\n"
    "                       group words with blanks; a line may carry its own command options\n"
    "\n"
    "Command options (before PLUGIN: for every command; after a command word: for it alone):\n"
    "  --overwrite          get/put: FS_COPYFLAGS_OVERWRITE; mv: OverWrite=TRUE\n"
    "  --resume             get/put: FS_COPYFLAGS_RESUME\n"
    "  --move               get/put: FS_COPYFLAGS_MOVE\n"
    "  --copy               mv: Move=FALSE\n"
    "  --abort-at PERCENT   ProgressProc answers abort (1) from the first call whose\n"
    "                       PercentDone >= PERCENT until the command ends\n"
    "  --answer yes|no      what RequestProc returns (default yes)\n"
    "  --reply TEXT         text RequestProc returns for input requests (user name, ...)\n"
    "Run options (before PLUGIN only):\n"
    "  --ini PATH           DefaultIniName for FsSetDefaultParams (default: wfxhost.ini in the\n"
    "                       temporary folder)\n"
    "  --plugin-nr N        PluginNr for FsInit (default 0)\n"
    "  --progress MODE      auto (bar on a terminal, else lines), bar, lines or none\n"
    "  --details FILE       details log lines (type 3) go to FILE instead of the output\n"
    "  --interface MODE     auto (default): the wide (UTF-16) form of each function where the\n"
    "                       plug-in exports it, else the ANSI one, as the file managers do\n"
    "                       (FsInit, then FsInitW); wide: the wide forms only; ansi: the ANSI\n"
    "                       forms only (on Windows in the ANSI code page, on Linux UTF-8)\n"
    "  --codepage CP        Windows: write the output in code page CP (65001 = UTF-8) instead\n"
    "                       of the console's (the OEM code page when there is no console)\n"
    "  --check-stack        32-bit Windows host only: measure the stack pointer around every\n"
    "                       export call; a function that does not pop its arguments (not\n"
    "                       __stdcall) is reported and makes the exit status 1\n"
    "  --help               this text\n"
    "\n"
    "Output (standard output, one line each, flushed per line):\n"
    "  root: NAME                       FsGetDefRootName, once after start-up\n"
    "  > COMMAND ARGS                   before each command\n"
    "  d|- SIZE TIME NAME               ls entry: d = directory; SIZE 64-bit decimal; TIME the\n"
    "                                   last write as 2024-01-02T03:04:05Z (UTC) or - for none\n"
    "  ls: N entries                    end of a listing (\"ls: path not found\" on failure)\n"
    "  FsFindFirst: INVALID_HANDLE_VALUE, last error N (NAME)\n"
    "  FsGetFile: FS_FILE_OK            result of get/put/mv by constant name\n"
    "  FsMkDir: TRUE                    result of rm/mkdir/rmdir/disconnect\n"
    "  FsGetFile: export missing in plugin\n"
    "  wait: PATH exists                result of wait (\"wait: gave up after N s\")\n"
    "  log[3 DETAILS]: TEXT             LogProc\n"
    "  request[8 MsgOK] TITLE: TEXT => TRUE        RequestProc (input requests add [TEXT IN]\n"
    "                                              before and [TEXT OUT] after the answer)\n"
    "  progress 45% SOURCE -> TARGET [=> abort]    ProgressProc\n"
    "  stack: N exports checked in N calls: ...     --check-stack verdict, at the end\n"
    "Control characters in plug-in texts print as \\r, \\n, \\t, \\xNN. Results print under\n"
    "the ANSI name of the function also when its wide form ran; a callback line that comes\n"
    "through an ANSI callback after FsInitW ends in \"[ANSI callback after FsInitW]\".\n"
    "Texts: names on the command line and in scripts are UTF-8 (on Windows the command line is\n"
    "read as Unicode); the output is UTF-8 on Linux and in the console's code page on Windows.\n"
    "\n"
    "Exit status: 0 when every command succeeded (FS_FILE_OK, TRUE, a listing or an empty\n"
    "folder), 1 when any failed, 2 for a usage error or a plug-in that cannot be loaded.\n";

int UsageError(const std::string& message) {
  std::fprintf(stderr, "wfxhost: %s\n(wfxhost --help shows the usage)\n", message.c_str());
  return 2;
}

bool ParseProgressStyle(const std::string& text, ProgressStyle& style) {
  if (text == "auto") {
    style = ProgressStyle::Auto;
  } else if (text == "bar") {
    style = ProgressStyle::Bar;
  } else if (text == "lines") {
    style = ProgressStyle::Lines;
  } else if (text == "none") {
    style = ProgressStyle::None;
  } else {
    return false;
  }
  return true;
}

// Reads SCRIPT and parses every line before the plug-in is loaded, so that a typo does not
// leave a half-run script behind.
bool ReadScript(const std::string& path, const CommandOptions& defaults,
                std::vector<Command>& commands, std::string& error) {
  std::ifstream file;
  std::istream* input = &std::cin;
  if (path != "-") {
    file.open(path, std::ios::binary);
    if (!file) {
      error = "cannot read script " + path;
      return false;
    }
    input = &file;
  }
  std::string line;
  int lineNumber = 0;
  while (std::getline(*input, line)) {
    ++lineNumber;
    const size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos || line[first] == '#') continue;
    std::vector<std::string> words;
    Command command;
    if (!SplitWords(line, words, error) ||
        !ParseCommand(words, defaults, /*allowRun=*/false, command, error)) {
      error = path + ":" + std::to_string(lineNumber) + ": " + error;
      return false;
    }
    commands.push_back(command);
  }
  return true;
}

bool ParseInterfaceChoice(const std::string& text, InterfaceChoice& choice) {
  if (text == "auto") {
    choice = InterfaceChoice::Auto;
  } else if (text == "wide") {
    choice = InterfaceChoice::Wide;
  } else if (text == "ansi") {
    choice = InterfaceChoice::Ansi;
  } else {
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> words = CommandLineWords(argc, argv);
  RunOptions run;
  run.iniName = TempDirectory() + "wfxhost.ini";
  CommandOptions defaults;
  size_t index = 0;
  for (; index < words.size(); ++index) {
    const std::string& word = words[index];
    if (word == "--help" || word == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (word == "--") {
      ++index;
      break;
    }
    if (word == "--check-stack") {
      if (!WFXHOST_STACK_CHECK) {
        return UsageError(
            "--check-stack: only the 32-bit Windows host has a calling convention "
            "to check");
      }
      run.checkStack = true;
      continue;
    }
    if (word.size() < 2 || word.compare(0, 2, "--") != 0) break;
    std::string error;
    const size_t equals = word.find('=');
    const std::string name = word.substr(0, equals);
    if (name == "--ini" || name == "--plugin-nr" || name == "--progress" || name == "--details" ||
        name == "--interface" || name == "--codepage") {
      std::string value;
      if (equals != std::string::npos) {
        value = word.substr(equals + 1);
      } else if (index + 1 < words.size()) {
        value = words[++index];
      } else {
        return UsageError("option " + name + " needs a value");
      }
      if (name == "--ini") {
        run.iniName = value;
      } else if (name == "--details") {
        run.detailsPath = value;
      } else if (name == "--plugin-nr") {
        char* end = nullptr;
        const long number = std::strtol(value.c_str(), &end, 10);
        if (value.empty() || *end != '\0' || number < -2147483647L || number > 2147483647L) {
          return UsageError("--plugin-nr needs a number, not \"" + value + "\"");
        }
        run.pluginNr = static_cast<int>(number);
      } else if (name == "--interface") {
        if (!ParseInterfaceChoice(value, run.interfaceChoice))
          return UsageError("--interface takes auto, wide or ansi, not \"" + value + "\"");
      } else if (name == "--codepage") {
        char* end = nullptr;
        const unsigned long number = std::strtoul(value.c_str(), &end, 10);
        if (value.empty() || *end != '\0' || number == 0 || number > 65535 ||
            !SetOutputCodePage(static_cast<uint32_t>(number)))
          return UsageError("--codepage: no code page \"" + value + "\" to write the output in" +
                            " here (Linux writes UTF-8, 65001)");
      } else if (!ParseProgressStyle(value, run.progress)) {
        return UsageError("--progress takes auto, bar, lines or none, not \"" + value + "\"");
      }
    } else if (!ApplyCommandOption(words, index, defaults, error)) {
      return UsageError(error);
    }
  }
  if (index >= words.size()) return UsageError("no plug-in file given");
  const std::string pluginPath = words[index++];
  if (index >= words.size()) return UsageError("no command given");

  std::vector<Command> commands;
  std::string error;
  Command command;
  const std::vector<std::string> commandWords(words.begin() + static_cast<long>(index),
                                              words.end());
  if (!ParseCommand(commandWords, defaults, /*allowRun=*/true, command, error)) {
    return UsageError(error);
  }
  if (command.kind == CommandKind::Run) {
    if (!ReadScript(command.args[0], command.options, commands, error)) return UsageError(error);
  } else {
    commands.push_back(command);
  }

  UseBinaryStdout();
  if (!StartPlugin(pluginPath, run)) return 2;
  bool allOk = true;
  for (const Command& each : commands) {
    if (!RunCommand(each)) allOk = false;
  }
  if (!StopPlugin()) allOk = false;
  return allOk ? 0 : 1;
}
