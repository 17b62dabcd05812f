// Parsing of the command-line host's commands and script lines.
#include "Commands.h"

#include <cstdlib>

#include "HostFormat.h"

namespace wfxhost {

namespace {

constexpr int kMaxSleepMs = 600000;

struct CommandSpec {
  const char* word;
  CommandKind kind;
  size_t minArgs;
  size_t maxArgs;
  const char* usage;
};

const CommandSpec kCommands[] = {
    {"ls", CommandKind::List, 0, 1, "ls [PATH]"},
    {"get", CommandKind::Get, 2, 2, "get REMOTE LOCAL"},
    {"put", CommandKind::Put, 2, 2, "put LOCAL REMOTE"},
    {"mv", CommandKind::Rename, 2, 2, "mv OLD NEW"},
    {"rm", CommandKind::Delete, 1, 1, "rm PATH"},
    {"mkdir", CommandKind::MakeDir, 1, 1, "mkdir PATH"},
    {"rmdir", CommandKind::RemoveDir, 1, 1, "rmdir PATH"},
    {"disconnect", CommandKind::Disconnect, 1, 1, "disconnect ROOT"},
    {"exec", CommandKind::Exec, 2, 2, "exec VERB PATH"},
    {"flags", CommandKind::Flags, 0, 0, "flags"},
    {"wait", CommandKind::Wait, 1, 2, "wait PATH [SECONDS]"},
    {"sleep", CommandKind::Sleep, 1, 1, "sleep MILLISECONDS"},
    {"join", CommandKind::Join, 0, 1, "join [SECONDS]"},
    {"run", CommandKind::Run, 1, 1, "run SCRIPT"},
};

// Splits "--name=value" into name and value; Value is empty and HasValue false without "=".
void SplitOption(const std::string& word, std::string& name, std::string& value, bool& hasValue) {
  const size_t equals = word.find('=');
  hasValue = equals != std::string::npos;
  name = hasValue ? word.substr(0, equals) : word;
  value = hasValue ? word.substr(equals + 1) : std::string();
}

bool ParseDecimal(const std::string& text, int& value) {
  if (text.empty() || text.size() > 9) return false;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  value = std::atoi(text.c_str());
  return true;
}

}  // namespace

bool SplitWords(const std::string& line, std::vector<std::string>& words, std::string& error) {
  words.clear();
  size_t i = 0;
  while (i < line.size()) {
    if (line[i] == ' ' || line[i] == '\t' || line[i] == '\r' || line[i] == '\n') {
      ++i;
      continue;
    }
    std::string word;
    bool inQuotes = false;
    while (i < line.size()) {
      const char c = line[i];
      if (c == '"') {
        inQuotes = !inQuotes;
      } else if (!inQuotes && (c == ' ' || c == '\t' || c == '\r' || c == '\n')) {
        break;
      } else {
        word += c;
      }
      ++i;
    }
    if (inQuotes) {
      error = "unterminated double quote";
      return false;
    }
    words.push_back(word);
  }
  return true;
}

bool IsCommandOption(const std::string& word) {
  std::string name, value;
  bool hasValue = false;
  SplitOption(word, name, value, hasValue);
  return name == "--overwrite" || name == "--resume" || name == "--move" || name == "--copy" ||
         name == "--abort-at" || name == "--answer" || name == "--reply" ||
         name == "--background" || name == "--within";
}

bool ApplyCommandOption(const std::vector<std::string>& words, size_t& index,
                        CommandOptions& options, std::string& error) {
  std::string name, value;
  bool hasValue = false;
  SplitOption(words[index], name, value, hasValue);
  const bool takesValue =
      name == "--abort-at" || name == "--answer" || name == "--reply" || name == "--within";
  if (takesValue && !hasValue) {
    if (index + 1 >= words.size()) {
      error = "option " + name + " needs a value";
      return false;
    }
    value = words[++index];
  } else if (!takesValue && hasValue) {
    error = "option " + name + " takes no value";
    return false;
  }
  if (name == "--overwrite") {
    options.overwrite = true;
  } else if (name == "--resume") {
    options.resume = true;
  } else if (name == "--move") {
    options.move = true;
  } else if (name == "--copy") {
    options.copy = true;
  } else if (name == "--abort-at") {
    if (!ParseDecimal(value, options.abortAt)) {
      error = "--abort-at needs a percentage (a number from 0), not \"" + value + "\"";
      return false;
    }
  } else if (name == "--answer") {
    if (value != "yes" && value != "no") {
      error = "--answer takes yes or no, not \"" + value + "\"";
      return false;
    }
    options.answerYes = value == "yes";
  } else if (name == "--reply") {
    options.hasReply = true;
    options.reply = value;
  } else if (name == "--background") {
    options.background = true;
  } else if (name == "--within") {
    if (!ParseDecimal(value, options.withinMs)) {
      error = "--within needs milliseconds (a number from 0), not \"" + value + "\"";
      return false;
    }
  } else {
    error = "unknown option " + name;
    return false;
  }
  return true;
}

bool ParseCommand(const std::vector<std::string>& words, const CommandOptions& defaults,
                  bool allowRun, Command& command, std::string& error) {
  if (words.empty()) {
    error = "no command";
    return false;
  }
  const CommandSpec* spec = nullptr;
  for (const CommandSpec& candidate : kCommands) {
    if (words[0] == candidate.word) spec = &candidate;
  }
  if (spec == nullptr) {
    error = "unknown command \"" + words[0] + "\"";
    return false;
  }
  if (spec->kind == CommandKind::Run && !allowRun) {
    error = "run cannot be used inside a script";
    return false;
  }
  command = Command{};
  command.kind = spec->kind;
  command.word = spec->word;
  command.options = defaults;
  bool optionsEnded = false;
  for (size_t i = 1; i < words.size(); ++i) {
    const std::string& word = words[i];
    if (!optionsEnded && word == "--") {
      optionsEnded = true;
    } else if (!optionsEnded && word.size() > 2 && word.compare(0, 2, "--") == 0) {
      if (!ApplyCommandOption(words, i, command.options, error)) return false;
    } else {
      command.args.push_back(word);
    }
  }
  if (command.args.size() < spec->minArgs || command.args.size() > spec->maxArgs) {
    error = std::string("usage: ") + spec->usage;
    return false;
  }
  if (command.kind == CommandKind::List && command.args.empty()) command.args.push_back("\\");
  int number = 0;
  if (command.kind == CommandKind::Wait && command.args.size() == 2 &&
      (!ParseDecimal(command.args[1], number) || number < 1)) {
    error = "wait: SECONDS must be a whole number from 1, not \"" + command.args[1] + "\"";
    return false;
  }
  if (command.kind == CommandKind::Join && command.args.size() == 1 &&
      (!ParseDecimal(command.args[0], number) || number < 1)) {
    error = "join: SECONDS must be a whole number from 1, not \"" + command.args[0] + "\"";
    return false;
  }
  if (command.kind == CommandKind::Sleep &&
      (!ParseDecimal(command.args[0], number) || number > kMaxSleepMs)) {
    error = "sleep: MILLISECONDS must be a whole number from 0 to " + std::to_string(kMaxSleepMs) +
            ", not \"" + command.args[0] + "\"";
    return false;
  }
  if (command.options.background && command.kind != CommandKind::Get &&
      command.kind != CommandKind::Put) {
    error = "--background: only get and put run in the background";
    return false;
  }
  return true;
}

std::string CommandText(const Command& command) {
  std::string text = command.word;
  for (const std::string& argument : command.args) {
    text += ' ';
    text += QuoteArgument(argument);
  }
  return text;
}

}  // namespace wfxhost
