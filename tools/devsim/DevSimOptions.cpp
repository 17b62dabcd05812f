// Parser of the simulator's command line.
#include "DevSimOptions.h"

#include <charconv>

namespace devsim {

namespace {

bool ParseUnsigned(const std::string& Text, uint64_t& Value) {
  if (Text.empty()) return false;
  auto [End, Ec] = std::from_chars(Text.data(), Text.data() + Text.size(), Value);
  return Ec == std::errc() && End == Text.data() + Text.size();
}

}  // namespace

std::string UsageText() {
  return "usage: devsim --device portapack|flipper --root DIR [options]\n"
         "  Serves the device's shell on a new pseudo-terminal; the first line printed is the\n"
         "  slave's path. DIR is the SD card (Flipper: DIR/int and DIR/ext).\n"
         "options:\n"
         "  --rate BYTES_PER_S   pace the line in each direction (default: as fast as possible)\n"
         "  --latency-ms MS      delay every byte the device sends by MS\n"
         "  --silent             never answer (input is read and thrown away)\n"
         "  --stall-after N      freeze after N transfer payload bytes (both directions, counted\n"
         "                       over the whole run)\n"
         "  --drop-after N       close the line after N transfer payload bytes\n"
         "  --error CMD[:CODE]   answer CMD (e.g. fopen, frb, list, read_chunks) with the "
         "device's\n"
         "                       error form; CODE: PortaPack FatFs result number (default 1),\n"
         "                       Flipper storage error number (default 7, internal error)\n"
         "  --error CMD@NAME[:CODE]  the same for CMD on the entry NAME only (PortaPack\n"
         "                       filesize, unlink, crc32)\n"
         "  --noise              send a few stray bytes before each answer\n"
         "  --slow CMD:MS        CMD answers MS after its echo (a slow card); input queues\n"
         "  --stat-short N       Flipper: storage stat reports N bytes less than the file has\n"
         "  --split-ready MS     Flipper: the LF after \"Ready?\\r\" comes MS later\n"
         "  --card-free N        the card takes N more bytes of uploads, then writes fail\n"
         "  --flip-byte N        invert transfer payload byte N (from 0, both directions, counted\n"
         "                       over the whole run) on the link; may be given more than once\n"
         "  --without CMD        PortaPack: the shell does not know CMD (answers \"CMD ?\"), as\n"
         "                       older firmware lacks crc32\n"
         "  --transcript FILE    record every byte in and out\n"
         "  --name NAME          the Flipper's name (default Devsim)\n";
}

bool ParseOptions(const std::vector<std::string>& Args, TOptions& Options, std::string& Error,
                  bool& HelpRequested) {
  HelpRequested = false;
  bool HaveDevice = false;
  for (size_t I = 0; I < Args.size(); ++I) {
    const std::string& Arg = Args[I];
    auto NeedValue = [&](std::string& Value) {
      if (I + 1 >= Args.size()) {
        Error = Arg + " needs a value";
        return false;
      }
      Value = Args[++I];
      return true;
    };
    auto NeedNumber = [&](uint64_t& Value) {
      std::string Text;
      if (!NeedValue(Text)) return false;
      if (!ParseUnsigned(Text, Value)) {
        Error = Arg + ": not a number: " + Text;
        return false;
      }
      return true;
    };
    std::string Value;
    uint64_t Number = 0;
    if (Arg == "--help" || Arg == "-h") {
      HelpRequested = true;
      Error = UsageText();
      return false;
    } else if (Arg == "--device") {
      if (!NeedValue(Value)) return false;
      if (Value == "portapack") {
        Options.Device = TDeviceKind::Portapack;
      } else if (Value == "flipper") {
        Options.Device = TDeviceKind::Flipper;
      } else {
        Error = "unknown device: " + Value;
        return false;
      }
      HaveDevice = true;
    } else if (Arg == "--root") {
      if (!NeedValue(Options.Root)) return false;
    } else if (Arg == "--rate") {
      if (!NeedNumber(Options.RateBytesPerSecond)) return false;
    } else if (Arg == "--latency-ms") {
      if (!NeedNumber(Number)) return false;
      if (Number > 600000) {
        Error = "--latency-ms: at most 600000";
        return false;
      }
      Options.LatencyMs = static_cast<uint32_t>(Number);
    } else if (Arg == "--silent") {
      Options.Silent = true;
    } else if (Arg == "--stall-after") {
      if (!NeedNumber(Number)) return false;
      Options.StallAfter = static_cast<int64_t>(Number);
    } else if (Arg == "--drop-after") {
      if (!NeedNumber(Number)) return false;
      Options.DropAfter = static_cast<int64_t>(Number);
    } else if (Arg == "--error") {
      if (!NeedValue(Value)) return false;
      int Code = -1;
      size_t Colon = Value.rfind(':');
      if (Colon != std::string::npos) {
        uint64_t CodeNumber = 0;
        if (!ParseUnsigned(Value.substr(Colon + 1), CodeNumber) || CodeNumber > 100000) {
          Error = "--error: bad code in " + Value;
          return false;
        }
        Code = static_cast<int>(CodeNumber);
        Value.resize(Colon);
      }
      // "storage list" and "list" name the same Flipper command.
      if (Value.rfind("storage ", 0) == 0) Value = Value.substr(8);
      if (Value.empty()) {
        Error = "--error needs a command name";
        return false;
      }
      Options.ErrorCommands[Value] = Code;
    } else if (Arg == "--slow") {
      if (!NeedValue(Value)) return false;
      size_t Colon = Value.find(':');
      uint64_t Ms = 0;
      if (Colon == std::string::npos || Colon == 0 || !ParseUnsigned(Value.substr(Colon + 1), Ms) ||
          Ms > 600000) {
        Error = "--slow: expected CMD:MS (MS at most 600000), got " + Value;
        return false;
      }
      std::string Command = Value.substr(0, Colon);
      if (Command.rfind("storage ", 0) == 0) Command = Command.substr(8);
      Options.SlowCommands[Command] = static_cast<uint32_t>(Ms);
    } else if (Arg == "--stat-short") {
      if (!NeedNumber(Options.StatShort)) return false;
    } else if (Arg == "--split-ready") {
      if (!NeedNumber(Number)) return false;
      if (Number > 600000) {
        Error = "--split-ready: at most 600000";
        return false;
      }
      Options.SplitReadyMs = static_cast<uint32_t>(Number);
    } else if (Arg == "--card-free") {
      if (!NeedNumber(Number)) return false;
      Options.CardFree = static_cast<int64_t>(Number);
    } else if (Arg == "--flip-byte") {
      if (!NeedNumber(Number)) return false;
      Options.FlipBytes.insert(Number);
    } else if (Arg == "--without") {
      if (!NeedValue(Value)) return false;
      Options.Without.insert(Value);
    } else if (Arg == "--noise") {
      Options.Noise = true;
    } else if (Arg == "--transcript") {
      if (!NeedValue(Options.TranscriptPath)) return false;
    } else if (Arg == "--name") {
      if (!NeedValue(Options.FlipperName)) return false;
      if (Options.FlipperName.size() > 8) {
        Error = "--name: at most 8 characters";
        return false;
      }
    } else {
      Error = "unknown option: " + Arg;
      return false;
    }
  }
  if (!HaveDevice) {
    Error = "--device is required";
    return false;
  }
  if (Options.Root.empty()) {
    Error = "--root is required";
    return false;
  }
  return true;
}

}  // namespace devsim
