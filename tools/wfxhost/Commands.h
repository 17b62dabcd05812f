// The command language of the command-line host: command words, their arguments and options, and
// the splitting of script lines into words.
#pragma once

#include <string>
#include <vector>

namespace wfxhost {

// Options that may differ from one command to the next (given before the plug-in file they apply
// to every command; given inside a command they apply to that command only).
struct CommandOptions {
  bool overwrite = false;  // FS_COPYFLAGS_OVERWRITE for get/put; OverWrite=TRUE for mv
  bool resume = false;     // FS_COPYFLAGS_RESUME for get/put
  bool move = false;       // FS_COPYFLAGS_MOVE for get/put
  bool copy = false;       // mv passes Move=FALSE
  int abortAt = -1;       // ProgressProc answers "abort" from the first call with PercentDone >= it
  bool answerYes = true;  // what RequestProc returns
  bool hasReply = false;  // text RequestProc writes into ReturnedText for input requests
  std::string reply;
  bool background = false;  // get/put: on a thread of their own while the script goes on
  int withinMs = -1;        // the command fails when it takes longer (-1: no bound)
};

enum class CommandKind {
  List,
  Get,
  Put,
  Rename,
  Delete,
  MakeDir,
  RemoveDir,
  Disconnect,
  Exec,
  Flags,
  Wait,
  Sleep,
  Join,
  Run
};

struct Command {
  CommandKind kind = CommandKind::List;
  std::string word;               // as typed: "ls", "get", ...
  std::vector<std::string> args;  // positional arguments, options removed
  CommandOptions options;
};

// Splits a script line into words at blanks and tabs; double quotes group a word that holds
// blanks ("\PortaPack (COM5)\APPS") and are removed. Backslashes have no special meaning.
// Returns false (with Error set) for an unterminated quote.
bool SplitWords(const std::string& line, std::vector<std::string>& words, std::string& error);

// True when Word is one of the per-command options (with or without "=VALUE").
bool IsCommandOption(const std::string& word);
// Applies the option at Words[Index] (taking its value from the next word when needed and
// advancing Index past it). Returns false with Error set for an unknown option or a bad value.
bool ApplyCommandOption(const std::vector<std::string>& words, size_t& index,
                        CommandOptions& options, std::string& error);

// Words[0] is the command word; options may appear anywhere after it ("--" ends them).
// Checks the number of arguments. Run is accepted only when AllowRun is set.
bool ParseCommand(const std::vector<std::string>& words, const CommandOptions& defaults,
                  bool allowRun, Command& command, std::string& error);

// The command as it would be typed, for the "> ..." line printed before it runs.
std::string CommandText(const Command& command);

}  // namespace wfxhost
