// The simulated Flipper command line (see FlipperShell.h). Answers follow the firmware's
// storage_cli.c and filesystem_api.c texts; /ext and /any map to ROOT/ext, /int to ROOT/int.
#include "FlipperShell.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <vector>

#include "util/uChecksum.h"
#include "util/uUnicode.h"

namespace devsim {

namespace {

// FS_Error numbers of the storage layer.
constexpr int kExist = 2;
constexpr int kNotExist = 3;
constexpr int kDenied = 5;
constexpr int kInvalidName = 6;
constexpr int kInternal = 7;
constexpr int kNotImplemented = 8;

struct TSubcommand {
  const char* Name;
  const char* Help;
};

// In the order the firmware registers them (the usage block lists them so).
constexpr TSubcommand kSubcommands[] = {
    {"write_chunk",
     "read data from cli and append it to file, <args> should contain how many "
     "bytes you want to write"},
    {"read_chunks",
     "read data from file and print file size and content to cli, <args> should "
     "contain how many bytes you want to read in block"},
    {"list", "list files and dirs"},
    {"md5", "md5 hash of the file"},
    {"stat", "info about file or dir"},
    {"info", "get FS info"},
    {"tree", "list files and dirs, recursive"},
    {"read", "read text from file and print file size and content to cli"},
    {"write", "read text from cli and append it to file, stops by ctrl+c"},
    {"copy", "copy file to new file, <args> must contain new path"},
    {"remove", "delete the file or directory"},
    {"rename", "move file to new file, <args> must contain new path"},
    {"mkdir", "creates a new directory"},
    {"timestamp", "last modification timestamp"},
    {"extract", "extract tar archive to destination"},
    {"format", "format filesystem"},
};

const char* const kOrange = "\x1b[38;2;255;130;0m";
const char* const kWhite = "\x1b[97m";
const char* const kReset = "\x1b[0m";

// The firmware's strict unsigned parser: digits first (text after them is allowed), 32 bits.
bool ParseUnsigned(const std::string& Text, uint32_t& Value) {
  if (Text.empty() || Text[0] < '0' || Text[0] > '9') return false;
  uint64_t Number = 0;
  for (char C : Text) {
    if (C < '0' || C > '9') break;
    Number = Number * 10 + static_cast<uint64_t>(C - '0');
    if (Number > 0xFFFFFFFFull) return false;
  }
  Value = static_cast<uint32_t>(Number);
  return true;
}

bool IsNameChar(unsigned char C) {
  if (C < 0x20 || C == 0x7F) return false;
  return std::strchr("\"*:<>?|", C) == nullptr;
}

int ErrnoToFs(int Error) {
  switch (Error) {
    case ENOENT:
    case ENOTDIR:
      return kNotExist;
    case EEXIST:
      return kExist;
    case EACCES:
    case EPERM:
    case EISDIR:
    case ENOTEMPTY:
    case EROFS:
      return kDenied;
    case ENAMETOOLONG:
      return kInvalidName;
    default:
      return kInternal;
  }
}

void KibOf(const std::string& Path, uint64_t& Total, uint64_t& Free) {
  struct statvfs Info {};
  Total = Free = 0;
  if (statvfs(Path.c_str(), &Info) != 0) return;
  Total = static_cast<uint64_t>(Info.f_blocks) * Info.f_frsize / 1024;
  Free = static_cast<uint64_t>(Info.f_bavail) * Info.f_frsize / 1024;
}

}  // namespace

TFlipperShell::TFlipperShell(TLine& Line, TFaults& Faults, std::string Root, std::string Name,
                             TFlipperVolumes& Volumes)
    : TShellBase(Line, Faults, std::move(Root)), Name_(std::move(Name)), Volumes_(Volumes) {}

std::string TFlipperShell::ErrorText(int Code) {
  switch (Code) {
    case 0:
      return "OK";
    case 1:
      return "filesystem not ready";
    case 2:
      return "file/dir already exist";
    case 3:
      return "file/dir not exist";
    case 4:
      return "invalid parameter";
    case 5:
      return "access denied";
    case 6:
      return "invalid name/path";
    case 7:
      return "internal error";
    case 8:
      return "function not implemented";
    case 9:
      return "file is already open";
    default:
      return "unknown error";
  }
}

void TFlipperShell::PrintError(int Code) {
  Send("Storage error: " + ErrorText(Code) + "\r\n");
}

std::string TFlipperShell::Greeting() const {
  // A dolphin and the logo, 15 lines, in the new command line's colours. Never contains ">:".
  static const char* const Art[] = {
      "              _.-~~~~-._                                        ",
      "          _.-~          ~-.                                     ",
      "        .~    .-.          ~.        ___ _    ___ ___ ___ ___   ",
      "       /     ( o )           \\      | __| |  |_ _| _ \\ _ \\ __|  ",
      "      |       `-'             |     | _|| |__ | ||  _/  _/ _|   ",
      "      |   ___                 |     |_| |____|___|_| |_| |___|  ",
      "       \\ (___)               /      | _ \\                       ",
      "        `.               _.-'       |   /                       ",
      "     _____`-._______.--~~           |_|_\\                       ",
      "    /_____/   \\_\\                      ___ _    ___            ",
      "                \\_\\                   / __| |  |_ _|           ",
      "                                     | (__| |__ | |            ",
      "                                      \\___|____|___|           ",
      "                                                               ",
      "                                                               ",
  };
  std::string Text = "\r\n";
  Text += kOrange;
  for (const char* Line : Art) Text += std::string(Line) + "\r\n";
  Text += "\r\n";
  Text += kWhite;
  Text += "Welcome to Flipper Zero Command Line Interface!\r\n";
  Text += "Read the manual: https://docs.flipper.net/development/cli\r\n";
  Text += "Run `help` or `?` to list available commands\r\n";
  Text += kReset;
  Text += "\r\n";
  Text += "Firmware version: release 1.3.4 (d3v51m00 built on 01-07-2025)\r\n";
  return Text;
}

void TFlipperShell::RunSession() {
  Send(Greeting());
  Send("\r\n>: ");
  std::string Line;
  bool LineStart = true;
  for (;;) {
    uint8_t C = 0;
    if (!Line_.ReadByte(C)) return;
    if (LineStart) {
      LineStart = false;
      Send(Faults_.NextNoise());
    }
    if (C == '\r') {
      LineStart = true;
      if (Line.empty()) {
        Send("\r\n>: ");
        continue;
      }
      Send("\r\n");
      std::string Command;
      Command.swap(Line);
      if (!Execute(Command)) return;
      Send("\r\n>: ");
    } else if (C == 0x03) {
      Line.clear();
      LineStart = true;
      Send("^C\r\n>: ");
    } else if (C == 0x08 || C == 0x7F) {
      if (!Line.empty()) {
        Line.pop_back();
        Send("\b \b");
      }
    } else if (C >= 0x20 && C < 0x7F) {
      Line += static_cast<char>(C);
      Send(std::string(1, static_cast<char>(C)));
    }
    // LF, Tab, ESC and bytes from 0x80 up are not taken into the line.
  }
}

bool TFlipperShell::Execute(const std::string& Line) {
  size_t Begin = Line.find_first_not_of(' ');
  if (Begin == std::string::npos) return true;
  size_t Space = Line.find(' ', Begin);
  std::string Name =
      Line.substr(Begin, Space == std::string::npos ? std::string::npos : Space - Begin);
  std::string Args;
  if (Space != std::string::npos) {
    size_t ArgsBegin = Line.find_first_not_of(' ', Space);
    if (ArgsBegin != std::string::npos) Args = Line.substr(ArgsBegin);
  }
  if (Name == "storage") return Storage(Args);
  if (Name == "device_info") {
    auto Row = [](const std::string& Key, const std::string& Value) {
      std::string Padded = Key;
      Padded.resize(std::max<size_t>(Key.size(), 30), ' ');
      return Padded + " : " + Value + "\r\n";
    };
    Send(Row("device_info_major", "2") + Row("device_info_minor", "4") +
         Row("hardware_model", "Flipper Zero") + Row("hardware_name", Name_) +
         Row("hardware_ver", "12") + Row("firmware_branch", "release") +
         Row("firmware_version", "1.3.4") + Row("firmware_commit", "d3v51m00"));
    return true;
  }
  if (Name == "help" || Name == "?") {
    Send("Commands we have:\r\n  ?  device_info  help  storage\r\n");
    return true;
  }
  Send(std::string("\x1b[31mcould not find command `") + Name + "`, try `help`" + kReset);
  return true;
}

void TFlipperShell::Usage() {
  std::string Text =
      "Usage:\r\nstorage <cmd> <path> <args>\r\nThe path must start with /int or /ext\r\n"
      "Cmd list:\r\n";
  for (const TSubcommand& Sub : kSubcommands) {
    Text += std::string("\t") + Sub.Name + (std::strlen(Sub.Name) > 8 ? "\t" : "\t\t") + " - " +
            Sub.Help + "\r\n";
  }
  Send(Text);
}

bool TFlipperShell::ReadPath(const std::string& Args, std::string& Path, std::string& Rest) {
  size_t End;
  if (!Args.empty() && Args[0] == '"') {
    // Everything up to the next quote; there is no escape for a quote inside a name.
    End = Args.find('"', 1);
    if (End == std::string::npos) return false;
    Path = Args.substr(1, End - 1);
    ++End;
  } else {
    End = Args.find(' ');
    if (End == std::string::npos) End = Args.size();
    Path = Args.substr(0, End);
    if (Path.empty()) return false;
  }
  size_t RestBegin = Args.find_first_not_of(' ', End);
  Rest = RestBegin == std::string::npos ? std::string() : Args.substr(RestBegin);
  return true;
}

int TFlipperShell::Resolve(const std::string& Path, TPath& Result) const {
  if (Path.empty() || Path[0] != '/') return kInvalidName;
  std::vector<std::string> Parts;
  size_t I = 0;
  while (I <= Path.size()) {
    size_t End = Path.find_first_of("/\\", I);
    if (End == std::string::npos) End = Path.size();
    if (End > I) Parts.push_back(Path.substr(I, End - I));
    I = End + 1;
  }
  Result = TPath();
  if (Parts.empty()) {
    Result.Kind = TPath::Root;
    return 0;
  }
  if (Parts[0] == "ext" || Parts[0] == "any") {
    Result.Host = Root_ + "/ext";
  } else if (Parts[0] == "int") {
    Result.Host = Root_ + "/int";
    Result.Internal = true;
  } else {
    return kInvalidName;
  }
  Result.Kind = Parts.size() == 1 ? TPath::Volume : TPath::Entry;
  for (size_t Index = 1; Index < Parts.size(); ++Index) {
    const std::string& Part = Parts[Index];
    // No relative components: nothing may reach above the volume's folder.
    if (Part == "." || Part == ".." || Part.size() > 255) return kInvalidName;
    for (unsigned char C : Part) {
      if (!IsNameChar(C)) return kInvalidName;
    }
    Result.Host += "/" + Part;
  }
  return 0;
}

void TFlipperShell::Touch(const TPath& Path) {
  uint64_t Now = static_cast<uint64_t>(std::time(nullptr));
  (Path.Internal ? Volumes_.IntStamp : Volumes_.ExtStamp) = Now;
}

bool TFlipperShell::Storage(const std::string& Args) {
  size_t Space = Args.find(' ');
  std::string Sub = Args.substr(0, Space);
  std::string Rest;
  if (Space != std::string::npos) {
    size_t RestBegin = Args.find_first_not_of(' ', Space);
    if (RestBegin != std::string::npos) Rest = Args.substr(RestBegin);
  }
  bool Known = false;
  for (const TSubcommand& Entry : kSubcommands) Known = Known || Sub == Entry.Name;
  std::string PathText;
  std::string More;
  if (!Known || !ReadPath(Rest, PathText, More)) {
    Usage();
    return true;
  }
  if (uint32_t Ms = Faults_.DelayFor(Sub); Ms > 0 && !Line_.Pause(Ms)) return false;
  if (Sub == "info") return Info(PathText);
  if (auto Code = Faults_.ErrorFor(Sub, kInternal)) {
    PrintError(*Code);
    return true;
  }
  TPath Path;
  if (int Code = Resolve(PathText, Path)) {
    PrintError(Code);
    return true;
  }
  if (Sub == "list") return List(Path);
  if (Sub == "stat") return Stat(Path);
  if (Sub == "remove") return Remove(Path);
  if (Sub == "mkdir") return Mkdir(Path);
  if (Sub == "rename") return Rename(Path, More);
  if (Sub == "read_chunks") return ReadChunks(Path, More);
  if (Sub == "write_chunk") return WriteChunk(Path, More);
  if (Sub == "md5") return Md5(Path);
  if (Sub == "timestamp") {
    if (Path.Kind == TPath::Root) {
      Send("Invalid arguments\r\n");
    } else {
      Send("Timestamp " + std::to_string(Path.Internal ? Volumes_.IntStamp : Volumes_.ExtStamp) +
           "\r\n");
    }
    return true;
  }
  // tree, read, write, copy, extract and format are not simulated.
  PrintError(kNotImplemented);
  return true;
}

bool TFlipperShell::List(const TPath& Path) {
  if (Path.Kind == TPath::Root) {
    Send("\t[D] int\r\n\t[D] ext\r\n\t[D] any\r\n");
    return true;
  }
  DIR* Dir = opendir(Path.Host.c_str());
  if (Dir == nullptr) {
    PrintError(kNotExist);
    return true;
  }
  std::string Text;
  while (dirent* Entry = readdir(Dir)) {
    const std::string HostName = Entry->d_name;
    if (HostName == "." || HostName == "..") continue;
    struct stat Info {};
    if (stat((Path.Host + "/" + HostName).c_str(), &Info) != 0) continue;
    // The card driver is not Unicode: it lists names in code page 850, with "?" for what that
    // lacks. The storage folder holds the names in UTF-8, as the card's long names are Unicode.
    const std::string Name = Utf8ToCp850(HostName);
    if (S_ISDIR(Info.st_mode)) {
      Text += "\t[D] " + Name + "\r\n";
    } else {
      // The size is printed as 32 bits: files of 4 GiB and more wrap.
      Text += "\t[F] " + Name + " " + std::to_string(static_cast<uint32_t>(Info.st_size)) + "b\r\n";
    }
  }
  closedir(Dir);
  Send(Text.empty() ? "\tEmpty\r\n" : Text);
  return true;
}

bool TFlipperShell::Stat(const TPath& Path) {
  if (Path.Kind == TPath::Root) {
    Send("Storage\r\n");
    return true;
  }
  if (Path.Kind == TPath::Volume) {
    uint64_t Total = 0;
    uint64_t Free = 0;
    KibOf(Path.Host, Total, Free);
    Send("Storage, " + std::to_string(Total) + "KiB total, " + std::to_string(Free) +
         "KiB free\r\n");
    return true;
  }
  struct stat Info {};
  if (stat(Path.Host.c_str(), &Info) != 0) {
    PrintError(ErrnoToFs(errno));
  } else if (S_ISDIR(Info.st_mode)) {
    Send("Directory\r\n");
  } else {
    uint64_t Size = static_cast<uint64_t>(Info.st_size);
    Size -= std::min(Size, Faults_.StatShort());
    Send("File, size: " + std::to_string(static_cast<uint32_t>(Size)) + "b\r\n");
  }
  return true;
}

bool TFlipperShell::Remove(const TPath& Path) {
  if (Path.Kind != TPath::Entry) {
    PrintError(Path.Kind == TPath::Root ? kInvalidName : kDenied);
    return true;
  }
  struct stat Info {};
  if (stat(Path.Host.c_str(), &Info) != 0) {
    PrintError(ErrnoToFs(errno));
    return true;
  }
  // Not recursive: a folder must be empty.
  int Result = S_ISDIR(Info.st_mode) ? rmdir(Path.Host.c_str()) : unlink(Path.Host.c_str());
  if (Result != 0) {
    PrintError(ErrnoToFs(errno));
    return true;
  }
  Touch(Path);
  return true;
}

bool TFlipperShell::Mkdir(const TPath& Path) {
  if (Path.Kind != TPath::Entry) {
    PrintError(Path.Kind == TPath::Root ? kInvalidName : kExist);
    return true;
  }
  if (mkdir(Path.Host.c_str(), 0755) != 0) {
    PrintError(ErrnoToFs(errno));
    return true;
  }
  Touch(Path);
  return true;
}

bool TFlipperShell::Rename(const TPath& From, const std::string& ToText) {
  std::string ToPathText;
  std::string Ignored;
  if (!ReadPath(ToText, ToPathText, Ignored)) {
    Usage();
    return true;
  }
  TPath To;
  if (int Code = Resolve(ToPathText, To)) {
    PrintError(Code);
    return true;
  }
  struct stat Source {};
  if (From.Kind != TPath::Entry || To.Kind != TPath::Entry ||
      stat(From.Host.c_str(), &Source) != 0) {
    PrintError(kInvalidName);
    return true;
  }
  if (From.Host == To.Host) return true;  // renaming a file to itself changes nothing
  struct stat Target {};
  bool TargetExists = stat(To.Host.c_str(), &Target) == 0;
  if (S_ISDIR(Source.st_mode)) {
    // A folder cannot go onto a file or into itself.
    if ((TargetExists && !S_ISDIR(Target.st_mode)) || To.Host.rfind(From.Host + "/", 0) == 0) {
      PrintError(kInvalidName);
      return true;
    }
  }
  if (TargetExists && S_ISDIR(Target.st_mode)) {
    PrintError(kExist);
    return true;
  }
  // The device copies and then deletes; an existing target file is deleted first.
  if (TargetExists && unlink(To.Host.c_str()) != 0) {
    PrintError(ErrnoToFs(errno));
    return true;
  }
  if (rename(From.Host.c_str(), To.Host.c_str()) != 0) {
    if (errno != EXDEV) {
      PrintError(ErrnoToFs(errno));
      return true;
    }
    std::error_code Error;
    std::filesystem::copy(From.Host, To.Host, std::filesystem::copy_options::recursive, Error);
    if (!Error) std::filesystem::remove_all(From.Host, Error);
    if (Error) {
      PrintError(kInternal);
      return true;
    }
  }
  Touch(From);
  Touch(To);
  return true;
}

int TFlipperShell::OpenForReading(const TPath& Path, uint64_t& Size) {
  if (Path.Kind != TPath::Entry) {
    PrintError(kInvalidName);
    return -1;
  }
  int Fd = open(Path.Host.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat Info {};
  if (Fd < 0 || fstat(Fd, &Info) != 0 || S_ISDIR(Info.st_mode)) {
    // Opening a folder as a file reads as "no file".
    PrintError(Fd < 0 ? ErrnoToFs(errno) : kNotExist);
    if (Fd >= 0) close(Fd);
    return -1;
  }
  Size = static_cast<uint64_t>(Info.st_size);
  return Fd;
}

bool TFlipperShell::ReadChunks(const TPath& Path, const std::string& ChunkText) {
  uint32_t Chunk = 0;
  if (!ParseUnsigned(ChunkText, Chunk)) {
    Usage();
    return true;
  }
  uint64_t Size = 0;
  int Fd = OpenForReading(Path, Size);
  if (Fd < 0) return true;
  Send("Size: " + std::to_string(Size) + "\r\n");
  uint64_t Offset = 0;
  std::string Buffer;
  bool SessionGoesOn = true;
  while (Chunk > 0 && Offset < Size && SessionGoesOn) {
    if (uint32_t Ms = Faults_.SplitReadyMs()) {
      // The LF in a USB packet of its own, late.
      Send("\r\nReady?\r");
      if (!Line_.Pause(Ms)) return false;
      Send("\n");
    } else {
      Send("\r\nReady?\r\n");
    }
    // Any one byte is the go-ahead; nothing is special, and there is no time-out.
    uint8_t Go = 0;
    if (!Line_.ReadByte(Go)) {
      // Port closed: the device reads the rest of the file into nowhere and the shell ends.
      SessionGoesOn = false;
      break;
    }
    uint64_t ChunkLeft = std::min<uint64_t>(Chunk, Size - Offset);
    while (ChunkLeft > 0) {
      size_t Want = static_cast<size_t>(std::min<uint64_t>(ChunkLeft, 65536));
      Buffer.resize(Want);
      ssize_t Got = pread(Fd, Buffer.data(), Want, static_cast<off_t>(Offset));
      if (Got <= 0) {
        // The file shrank under the command; end it rather than loop on "Ready?" for ever.
        Size = Offset;
        break;
      }
      Offset += static_cast<uint64_t>(Got);
      ChunkLeft -= static_cast<uint64_t>(Got);
      if (!SendPayload(std::string_view(Buffer.data(), static_cast<size_t>(Got)))) {
        SessionGoesOn = false;
        break;
      }
    }
  }
  close(Fd);
  if (!SessionGoesOn) return false;
  Send("\r\n");
  return true;
}

bool TFlipperShell::WriteChunk(const TPath& Path, const std::string& SizeText) {
  uint32_t Size = 0;
  if (!ParseUnsigned(SizeText, Size)) {
    Usage();
    return true;
  }
  if (Path.Kind != TPath::Entry) {
    PrintError(Path.Kind == TPath::Root ? kInvalidName : kDenied);
    return true;
  }
  // Write + append, created if missing: an upload must remove the old file first.
  int Fd = open(Path.Host.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (Fd < 0) {
    PrintError(ErrnoToFs(errno));
    return true;
  }
  Send("Ready\r\n");
  TReceive Result = ReceivePayload(Size, 1024, [&](std::string_view Piece) {
    size_t Fits = Faults_.CardWrite(Piece.size());
    if (write(Fd, Piece.data(), Fits) == static_cast<ssize_t>(Piece.size())) return true;
    // The rest of the payload is not consumed: it reaches the command line as typed input.
    PrintError(Fits < Piece.size() ? kInternal : ErrnoToFs(errno));
    return false;
  });
  close(Fd);
  Touch(Path);
  return Result != TReceive::Ended;
}

bool TFlipperShell::Md5(const TPath& Path) {
  uint64_t Size = 0;
  int Fd = OpenForReading(Path, Size);
  if (Fd < 0) return true;
  TMd5 Digest;
  char Buffer[65536];
  ssize_t Got;
  while ((Got = read(Fd, Buffer, sizeof(Buffer))) > 0) {
    Digest.Update(std::string_view(Buffer, static_cast<size_t>(Got)));
  }
  close(Fd);
  Send(Digest.HexDigest() + "\r\n");
  return true;
}

bool TFlipperShell::Info(const std::string& Path) {
  if (Path != "/int" && Path != "/ext") {
    Usage();
    return true;
  }
  if (auto Code = Faults_.ErrorFor("info", kInternal)) {
    PrintError(*Code);
    return true;
  }
  bool Internal = Path == "/int";
  uint64_t Total = 0;
  uint64_t Free = 0;
  KibOf(Root_ + (Internal ? "/int" : "/ext"), Total, Free);
  std::string Sizes =
      std::to_string(Total) + "KiB total\r\n" + std::to_string(Free) + "KiB free\r\n";
  if (Internal) {
    Send("Label: " + Name_ + "\r\nType: Virtual\r\n" + Sizes);
  } else {
    Send("Label: FLIPPER SD\r\nType: FAT32\r\n" + Sizes +
         "1BSM SD32G v1.0\r\nSN:5EC0A1D2 06/2024\r\n");
  }
  return true;
}

}  // namespace devsim
