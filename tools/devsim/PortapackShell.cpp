// The simulated PortaPack shell (see PortapackShell.h). The wire behaviour follows Mayhem's
// shell.cpp and usb_serial_shell_filesystem.cpp; paths are resolved below the card directory
// the way FatFs resolves them (no relative components: "." and ".." are invalid names).
#include "PortapackShell.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "util/uChecksum.h"

namespace devsim {

namespace {

// ChibiOS shell limits: a 64-byte line buffer and six arguments after the command name.
constexpr size_t kMaxLineLength = 63;
constexpr size_t kMaxArguments = 6;

// FatFs results used here.
constexpr int kDiskError = 1;
constexpr int kNoFile = 4;
constexpr int kNoPath = 5;
constexpr int kInvalidName = 6;
constexpr int kDenied = 7;
constexpr int kExists = 8;
constexpr int kInvalidObject = 9;
constexpr int kInvalidParameter = 19;

// atoi() as the firmware parses numbers: optional sign, then digits up to the first non-digit;
// the value is kept as a 64-bit number so the caller can judge its range.
int64_t ParseLeadingInt(const std::string& Text) {
  size_t I = 0;
  while (I < Text.size() && (Text[I] == ' ' || Text[I] == '\t')) ++I;
  bool Negative = false;
  if (I < Text.size() && (Text[I] == '-' || Text[I] == '+')) Negative = Text[I++] == '-';
  int64_t Value = 0;
  while (I < Text.size() && Text[I] >= '0' && Text[I] <= '9') {
    Value = Value * 10 + (Text[I++] - '0');
    if (Value > 0xFFFFFFFFll) Value = 0xFFFFFFFFll + 1;  // beyond any 32-bit reading
  }
  return Negative ? -Value : Value;
}

std::string JoinWords(const std::vector<std::string>& Words, size_t From) {
  std::string Text;
  for (size_t I = From; I < Words.size(); ++I) {
    if (I > From) Text += ' ';
    Text += Words[I];
  }
  return Text;
}

// The key under which FAT finds a long name: letters folded to upper case, for ASCII and for the
// Latin, Greek and Cyrillic letters of UTF-8 names (the up-case table FatFs uses with Unicode
// names covers these).
std::string FatKey(const std::string& Name) {
  std::string Key;
  for (size_t I = 0; I < Name.size();) {
    unsigned char C = static_cast<unsigned char>(Name[I]);
    uint32_t Code = C;
    size_t Length = 1;
    if (C >= 0xC0 && C < 0xE0 && I + 1 < Name.size()) {
      Code = ((C & 0x1Fu) << 6) | (static_cast<unsigned char>(Name[I + 1]) & 0x3Fu);
      Length = 2;
    }
    if (Code >= 'a' && Code <= 'z') {
      Code -= 32;
    } else if ((Code >= 0xE0 && Code <= 0xFE && Code != 0xF7) ||
               (Code >= 0x3B1 && Code <= 0x3C9 && Code != 0x3C2) ||
               (Code >= 0x430 && Code <= 0x44F)) {
      Code -= 0x20;
    } else if (Code >= 0x450 && Code <= 0x45F) {
      Code -= 0x50;
    } else if (Code >= 0x100 && Code <= 0x17F) {
      bool OddIsLower = (Code >= 0x139 && Code <= 0x148) || (Code >= 0x179 && Code <= 0x17E);
      bool Lower = OddIsLower ? (Code & 1) == 0 : (Code & 1) == 1;
      if (Lower && Code != 0x131 && Code != 0x138 && Code != 0x149 && Code != 0x17F) --Code;
    }
    Key += std::to_string(Code) + ',';
    I += Length;
  }
  return Key;
}

// The name under which Dir holds Part, when it holds it in another letter case: FAT does not
// tell cases apart. Part itself when there is no such entry.
std::string StoredName(const std::string& Dir, const std::string& Part) {
  struct stat Info {};
  if (lstat((Dir + "/" + Part).c_str(), &Info) == 0) return Part;
  DIR* Handle = opendir(Dir.c_str());
  if (Handle == nullptr) return Part;
  std::string Found = Part;
  const std::string Key = FatKey(Part);
  while (dirent* Entry = readdir(Handle)) {
    if (FatKey(Entry->d_name) == Key) {
      Found = Entry->d_name;
      break;
    }
  }
  closedir(Handle);
  return Found;
}

bool IsFatNameChar(unsigned char C) {
  if (C < 0x20 || C == 0x7F) return false;
  return std::strchr("\"*:<>?|", C) == nullptr;
}

}  // namespace

TPortapackShell::~TPortapackShell() {
  if (File_ >= 0) close(File_);
}

std::string TPortapackShell::ResultText(int Code) {
  switch (Code) {
    case 1:
      return "disk error";
    case 2:
      return "insanity detected";
    case 3:
      return "SD card not ready";
    case 4:
      return "no file";
    case 5:
      return "no path";
    case 6:
      return "invalid name";
    case 7:
      return "denied";
    case 8:
      return "exists";
    case 9:
      return "invalid object";
    case 10:
      return "write protected";
    case 11:
      return "invalid drive";
    case 12:
      return "not enabled";
    case 13:
      return "no filesystem";
    case 14:
      return "mkfs aborted";
    case 15:
      return "timeout";
    case 16:
      return "locked";
    case 17:
      return "not enough core";
    case 18:
      return "too many open files";
    case 19:
      return "invalid parameter";
    case 256:
      return "disk full";
    case 257:
      return "end of file";
    case 258:
      return "bad seek";
    case 259:
      return "unexpected";
    default:
      return "unknown";
  }
}

void TPortapackShell::PrintError(int Code) {
  // Every file command uses the same (misleading) prefix in the firmware.
  Send("Error calling delete_file: " + std::to_string(Code) + " " + ResultText(Code) + "\r\n");
}

void TPortapackShell::Run() {
  Send("\r\nChibiOS/RT Shell\r\n");
  for (;;) {
    Send("ch> ");
    std::string Line;
    TLineResult Result = GetLine(Line);
    if (Result == TLineResult::Ended) return;
    bool Logout = Result == TLineResult::Logout;
    if (!Logout) {
      std::vector<std::string> Words;
      size_t I = 0;
      bool TooMany = false;
      while (I < Line.size()) {
        while (I < Line.size() && (Line[I] == ' ' || Line[I] == '\t')) ++I;
        if (I >= Line.size()) break;
        size_t End = Line.find_first_of(" \t", I);
        if (End == std::string::npos) End = Line.size();
        if (Words.size() == kMaxArguments + 1) {
          TooMany = true;
          break;
        }
        Words.push_back(Line.substr(I, End - I));
        I = End;
      }
      if (TooMany) {
        Send("too many arguments\r\n");
        continue;
      }
      if (Words.empty()) continue;
      if (Words[0] == "exit") {
        if (Words.size() > 1) {
          Send("Usage: exit\r\n");
          continue;
        }
        Logout = true;
      } else if (!Execute(Words)) {
        return;
      }
    }
    if (Logout) {
      // Mayhem never restarts its USB shell: from here on nothing answers until a reboot.
      Send("\r\nlogout");
      char Sink[4096];
      while (Line_.Read(Sink, sizeof(Sink)) > 0) {
      }
      return;
    }
  }
}

TPortapackShell::TLineResult TPortapackShell::GetLine(std::string& Line) {
  bool First = true;
  for (;;) {
    uint8_t C = 0;
    if (!Line_.ReadByte(C)) return TLineResult::Ended;
    if (First) {
      First = false;
      Send(Faults_.NextNoise());
    }
    if (C == 0x04) {
      Send("^D");
      return TLineResult::Logout;
    }
    if (C == 0x08 || C == 0x7F) {
      if (!Line.empty()) {
        Line.pop_back();
        Send("\b \b");
      }
      continue;
    }
    if (C == '\r') {
      Send("\r\n");
      return TLineResult::Line;
    }
    // LF and other control bytes are dropped while a line is read (so CR LF works at the
    // prompt, but the LF is still there for a command that reads data).
    if (C < 0x20) continue;
    // Beyond the buffer, characters are dropped without echo: the command runs cut short.
    if (Line.size() < kMaxLineLength) {
      Line += static_cast<char>(C);
      Send(std::string(1, static_cast<char>(C)));
    }
  }
}

bool TPortapackShell::Execute(const std::vector<std::string>& Words) {
  const std::string& Name = Words[0];
  // A slow card: the command has been echoed and works; typed input waits meanwhile.
  if (uint32_t Ms = Faults_.DelayFor(Name); Ms > 0 && !Line_.Pause(Ms)) return false;
  std::string Rest = JoinWords(Words, 1);
  size_t ArgCount = Words.size() - 1;
  if (Faults_.Lacks(Name)) {
    Send(Name + " ?\r\n");
  } else if (Name == "help") {
    Send(
        "Commands: help exit info systime ls filesize fopen fclose fseek frb fread fwb ftruncate "
        "fsync ftell unlink mkdir crc32 asyncmsg\r\n");
  } else if (Name == "info") {
    Send(
        "Kernel:       6.1.x\r\nCompiler:     GCC\r\nArchitecture: ARMv7-ME\r\n"
        "Board:        PortaPack (simulated)\r\nBuild time:   devsim\r\n");
  } else if (Name == "systime") {
    auto Ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now().time_since_epoch())
                  .count();
    Send(std::to_string(static_cast<uint32_t>(Ms)) + "\r\n");
  } else if (Name == "asyncmsg") {
    Send("ok\r\n");
  } else if (Name == "ls") {
    if (ArgCount == 0) {
      Send("usage: ls /\r\n");
      return true;
    }
    return CommandLs(Rest);
  } else if (Name == "filesize" || Name == "fopen" || Name == "unlink" || Name == "mkdir" ||
             Name == "crc32") {
    if (ArgCount == 0) {
      Send("usage: " + Name + " <path>\r\n");
      return true;
    }
    if (Name == "filesize") return CommandFilesize(Rest);
    if (Name == "fopen") return CommandFopen(Rest);
    if (Name == "unlink") return CommandUnlink(Rest);
    if (Name == "mkdir") return CommandMkdir(Rest);
    return CommandCrc32(Rest);
  } else if (Name == "fseek" || Name == "frb" || Name == "fread") {
    if (ArgCount != 1) {
      Send(Name == "fseek" ? "usage: fseek <offset>\r\n" : "usage: " + Name + " <bytes>\r\n");
      return true;
    }
    if (Name == "fseek") return CommandFseek(Words[1]);
    if (Name == "frb") return CommandFrb(Words[1]);
    return CommandFread(Words[1]);
  } else if (Name == "fwb") {
    if (ArgCount != 1 || ParseLeadingInt(Words[1]) < 0) {
      // The firmware's usage text has no line end of its own.
      Send("usage: fwb <number of bytes>\r\nfollowed by <number of bytes> of data");
      return true;
    }
    return CommandFwb(Words[1]);
  } else if (Name == "fclose" || Name == "ftruncate" || Name == "fsync" || Name == "ftell") {
    return CommandFileOp(Name);
  } else {
    Send(Name + " ?\r\n");
  }
  return true;
}

bool TPortapackShell::Resolve(const std::string& Path, std::vector<std::string>& Parts) const {
  Parts.clear();
  size_t I = 0;
  while (I <= Path.size()) {
    size_t End = Path.find_first_of("/\\", I);
    if (End == std::string::npos) End = Path.size();
    std::string Part = Path.substr(I, End - I);
    I = End + 1;
    if (Part.empty()) continue;  // "/x" and "x" both start at the card root; "//" is one "/"
    // FatFs drops trailing blanks and dots of a long name; what is left must not be empty, so
    // "." and ".." are invalid names (no relative paths) and cannot climb above the card.
    while (!Part.empty() && (Part.back() == ' ' || Part.back() == '.')) Part.pop_back();
    if (Part.empty()) return false;
    for (unsigned char C : Part) {
      if (!IsFatNameChar(C)) return false;
    }
    Parts.push_back(Part);
  }
  std::string Dir = Root_;
  for (std::string& Part : Parts) {
    Part = StoredName(Dir, Part);
    Dir += "/" + Part;
  }
  return true;
}

std::string TPortapackShell::HostPath(const std::vector<std::string>& Parts) const {
  std::string Path = Root_;
  for (const std::string& Part : Parts) Path += "/" + Part;
  return Path;
}

int TPortapackShell::Lookup(const std::vector<std::string>& Parts, bool& IsDir,
                            uint64_t& Size) const {
  std::string Path = Root_;
  struct stat Info {};
  for (size_t I = 0; I + 1 < Parts.size(); ++I) {
    Path += "/" + Parts[I];
    if (stat(Path.c_str(), &Info) != 0 || !S_ISDIR(Info.st_mode)) return kNoPath;
  }
  if (!Parts.empty()) Path += "/" + Parts.back();
  if (stat(Path.c_str(), &Info) != 0) return kNoFile;
  IsDir = S_ISDIR(Info.st_mode);
  Size = IsDir ? 0 : static_cast<uint64_t>(Info.st_size);
  return 0;
}

bool TPortapackShell::AnsweredFault(const std::string& Command, const std::string& Path) {
  std::optional<int> Code = Faults_.ErrorFor(Command, kDiskError, Path);
  if (Code) PrintError(*Code);
  return Code.has_value();
}

bool TPortapackShell::OpenFileReady(const std::string& Command) {
  if (File_ < 0 && !Wedged_) {
    Send("no open file\r\n");
    return false;
  }
  if (Wedged_) {
    PrintError(kInvalidObject);
    return false;
  }
  return !AnsweredFault(Command);
}

bool TPortapackShell::FindEntry(const std::string& Command, const std::string& Path,
                                std::vector<std::string>& Parts, bool& IsDir, uint64_t& Size) {
  if (AnsweredFault(Command, Path)) return false;
  if (!Resolve(Path, Parts) || Parts.empty()) {
    PrintError(kInvalidName);
    return false;
  }
  if (int Code = Lookup(Parts, IsDir, Size)) {
    PrintError(Code);
    return false;
  }
  return true;
}

bool TPortapackShell::CommandLs(const std::string& Path) {
  // ls never reports an error: anything it cannot list reads as an empty folder.
  std::vector<std::string> Parts;
  if (Faults_.ErrorFor("ls", kDiskError) || !Resolve(Path, Parts)) return true;
  DIR* Dir = opendir(HostPath(Parts).c_str());
  if (Dir == nullptr) return true;
  std::string Listing;
  while (dirent* Entry = readdir(Dir)) {
    std::string Name = Entry->d_name;
    if (Name == "." || Name == "..") continue;
    struct stat Info {};
    bool IsDir = stat((HostPath(Parts) + "/" + Name).c_str(), &Info) == 0 && S_ISDIR(Info.st_mode);
    Listing += Name + (IsDir ? "/\r\n" : "\r\n");
  }
  closedir(Dir);
  Send(Listing);
  return true;
}

bool TPortapackShell::CommandFilesize(const std::string& Path) {
  std::vector<std::string> Parts;
  bool IsDir = false;
  uint64_t Size = 0;
  if (!FindEntry("filesize", Path, Parts, IsDir, Size)) return true;
  // Printed with a 32-bit format: sizes of 4 GiB and more wrap, as on the device.
  Send(std::to_string(static_cast<uint32_t>(Size)) + "\r\nok\r\n");
  return true;
}

bool TPortapackShell::CommandFopen(const std::string& Path) {
  if (File_ >= 0 || Wedged_) {
    Send("file already open\r\n");
    return true;
  }
  // Any failure from here on leaves the firmware's file object allocated (a Mayhem bug): every
  // later fopen says "file already open" and fclose fails, until the device is rebooted.
  auto Fail = [&](int Code) {
    Wedged_ = true;
    PrintError(Code);
    return true;
  };
  if (auto Code = Faults_.ErrorFor("fopen", kDiskError)) return Fail(*Code);
  std::vector<std::string> Parts;
  if (!Resolve(Path, Parts) || Parts.empty()) return Fail(kInvalidName);
  bool IsDir = false;
  uint64_t Size = 0;
  int Found = Lookup(Parts, IsDir, Size);
  if (Found == kNoPath) return Fail(kNoPath);
  if (Found == 0 && IsDir) return Fail(kDenied);
  // Read and write, "open always": a missing file is created; the position starts at the end.
  int Fd = open(HostPath(Parts).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (Fd < 0) return Fail(errno == EACCES || errno == EROFS ? kDenied : kDiskError);
  struct stat Info {};
  fstat(Fd, &Info);
  File_ = Fd;
  Position_ = static_cast<uint64_t>(Info.st_size);
  Send("ok\r\n");
  return true;
}

bool TPortapackShell::CommandFseek(const std::string& OffsetText) {
  if (!OpenFileReady("fseek")) return true;
  int64_t Offset = ParseLeadingInt(OffsetText);
  // The firmware reads a signed 32-bit value and hands it to f_lseek as an unsigned size, so a
  // negative offset would try to grow the file to about 4 GiB. Refuse it instead.
  if (Offset < 0 || Offset > 0x7FFFFFFF) {
    PrintError(kInvalidParameter);
    return true;
  }
  struct stat Info {};
  fstat(File_, &Info);
  // The file is open for writing, so seeking past its end extends it.
  if (Offset > Info.st_size && ftruncate(File_, Offset) != 0) {
    PrintError(256);
    return true;
  }
  Position_ = static_cast<uint64_t>(Offset);
  Send("ok\r\n");
  return true;
}

bool TPortapackShell::CommandFrb(const std::string& CountText) {
  if (!OpenFileReady("frb")) return true;
  int64_t Count = ParseLeadingInt(CountText);
  if (Count < 0) Count = 0;
  uint64_t Left = static_cast<uint64_t>(Count);
  std::string Buffer;
  while (Left > 0) {
    size_t Want = static_cast<size_t>(std::min<uint64_t>(Left, 65536));
    Buffer.resize(Want);
    ssize_t Got = pread(File_, Buffer.data(), Want, static_cast<off_t>(Position_));
    if (Got < 0) {
      PrintError(kDiskError);
      return true;
    }
    if (Got > 0) {
      Position_ += static_cast<uint64_t>(Got);
      if (!SendPayload(std::string_view(Buffer.data(), static_cast<size_t>(Got)))) return false;
    }
    // A short read ends the answer without "ok": the prompt follows the data directly.
    if (static_cast<size_t>(Got) < Want) return true;
    Left -= static_cast<uint64_t>(Got);
  }
  Send("\r\nok\r\n");
  return true;
}

bool TPortapackShell::CommandFread(const std::string& CountText) {
  if (!OpenFileReady("fread")) return true;
  static const char Hex[] = "0123456789ABCDEF";
  int64_t Count = std::max<int64_t>(0, ParseLeadingInt(CountText));
  uint64_t Left = static_cast<uint64_t>(Count);
  char Piece[62];
  while (Left > 0) {
    size_t Want = static_cast<size_t>(std::min<uint64_t>(Left, sizeof(Piece)));
    ssize_t Got = pread(File_, Piece, Want, static_cast<off_t>(Position_));
    if (Got < 0) {
      PrintError(kDiskError);
      return true;
    }
    std::string Line;
    for (ssize_t I = 0; I < Got; ++I) {
      Line += Hex[static_cast<unsigned char>(Piece[I]) >> 4];
      Line += Hex[static_cast<unsigned char>(Piece[I]) & 15];
    }
    if (Got > 0) Send(Line + "\r\n");
    Position_ += static_cast<uint64_t>(Got);
    if (static_cast<size_t>(Got) < Want) return true;
    Left -= static_cast<uint64_t>(Got);
  }
  Send("ok\r\n");
  return true;
}

bool TPortapackShell::CommandFwb(const std::string& CountText) {
  if (File_ < 0 && !Wedged_) {
    Send("no open file\r\n");
    return true;
  }
  uint64_t Count = static_cast<uint64_t>(ParseLeadingInt(CountText));
  Send("send " + std::to_string(Count) + " bytes\r\n");
  std::optional<int> Failure;
  if (Wedged_) Failure = kInvalidObject;
  if (!Failure) Failure = Faults_.ErrorFor("fwb", kDiskError);
  // The device takes the payload in 64-byte pieces and writes each; a failed write ends the
  // command after its piece, and the rest of the payload is read as shell input.
  size_t PieceSize = Failure ? 64 : 65536;
  TReceive Result = ReceivePayload(Count, PieceSize, [&](std::string_view Piece) {
    if (!Failure) {
      size_t Fits = Faults_.CardWrite(Piece.size());
      ssize_t Written = pwrite(File_, Piece.data(), Fits, static_cast<off_t>(Position_));
      if (Fits < Piece.size()) errno = ENOSPC;
      if (Fits == Piece.size() && Written == static_cast<ssize_t>(Piece.size())) {
        Position_ += Piece.size();
        return true;
      }
      Failure = errno == ENOSPC ? 256 : kDiskError;
    }
    PrintError(*Failure);
    return false;
  });
  if (Result == TReceive::Ended) return false;
  if (Result == TReceive::Done) Send("ok\r\n");
  return true;
}

bool TPortapackShell::CommandFileOp(const std::string& Name) {
  if (!OpenFileReady(Name)) return true;
  if (Name == "fclose") {
    close(File_);
    File_ = -1;
    Send("ok\r\n");
  } else if (Name == "ftruncate") {
    if (ftruncate(File_, static_cast<off_t>(Position_)) != 0) {
      PrintError(kDiskError);
      return true;
    }
    Send("ok\r\n");
  } else if (Name == "fsync") {
    fsync(File_);
    Send("ok\r\n");
  } else {
    Send(std::to_string(Position_) + "\r\nok\r\n");
  }
  return true;
}

bool TPortapackShell::CommandUnlink(const std::string& Path) {
  std::vector<std::string> Parts;
  bool IsDir = false;
  uint64_t Size = 0;
  if (!FindEntry("unlink", Path, Parts, IsDir, Size)) return true;
  // f_unlink removes a file or an empty folder only. (No lock: the open file is not protected.)
  int Result = IsDir ? rmdir(HostPath(Parts).c_str()) : unlink(HostPath(Parts).c_str());
  if (Result != 0) {
    PrintError(errno == ENOTEMPTY || errno == EEXIST || errno == EACCES ? kDenied : kDiskError);
    return true;
  }
  Send("ok\r\n");
  return true;
}

bool TPortapackShell::CommandMkdir(const std::string& Path) {
  if (AnsweredFault("mkdir")) return true;
  std::vector<std::string> Parts;
  if (!Resolve(Path, Parts)) {
    PrintError(kInvalidName);
    return true;
  }
  bool IsDir = false;
  uint64_t Size = 0;
  int Found = Parts.empty() ? 0 : Lookup(Parts, IsDir, Size);
  if (Parts.empty() || (Found == 0 && IsDir)) {
    Send("directory already exists.\r\n");
    return true;
  }
  if (Found == 0) {
    PrintError(kExists);
    return true;
  }
  if (Found == kNoPath) {
    PrintError(kNoPath);
    return true;
  }
  if (mkdir(HostPath(Parts).c_str(), 0755) != 0) {
    PrintError(kDiskError);
    return true;
  }
  Send("ok\r\n");
  return true;
}

bool TPortapackShell::CommandCrc32(const std::string& Path) {
  std::vector<std::string> Parts;
  bool IsDir = false;
  uint64_t Size = 0;
  if (!FindEntry("crc32", Path, Parts, IsDir, Size)) return true;
  if (IsDir) {
    PrintError(kNoFile);
    return true;
  }
  int Fd = open(HostPath(Parts).c_str(), O_RDONLY | O_CLOEXEC);
  if (Fd < 0) {
    PrintError(kDenied);
    return true;
  }
  TCrc32Bzip2 Crc;
  char Buffer[65536];
  ssize_t Got;
  while ((Got = read(Fd, Buffer, sizeof(Buffer))) > 0) {
    Crc.Update(std::string_view(Buffer, static_cast<size_t>(Got)));
  }
  close(Fd);
  Send("CRC32: " + Crc32Text(Crc.Value()) + "\r\n");
  return true;
}

}  // namespace devsim
