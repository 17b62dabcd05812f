// The PortaPack driver: connection, the command exchange with the Mayhem shell, and the file
// operations built on its open-file commands (fopen, fseek, frb, fwb, ftruncate, fclose).
#include "devices/uPortapack.h"

#include <algorithm>
#include <vector>

#include "devices/uDeviceLog.h"
#include "devices/uPortapackParse.h"
#include "platform/LocalFile.h"
#include "platform/Platform.h"
#include "platform/SerialLine.h"
#include "util/uDebugLog.h"
#include "util/uStrUtils.h"

namespace {

constexpr uint32_t kBaudRate = 115200;
constexpr uint32_t kReadTimeoutMs = 3000;
constexpr uint32_t kOpenDrainMs = 400;
constexpr uint32_t kWakeDrainMs = 300;
// A late prompt space or other leftovers of the previous exchange are dropped before each
// command, so that every answer is read from a quiet line.
constexpr uint32_t kCommandDrainMs = 30;
constexpr uint32_t kLateAnswerDrainMs = 150;

constexpr uint32_t kListTimeoutMs = 5000;
constexpr uint32_t kCommandTimeoutMs = 3000;
constexpr uint32_t kCloseTimeoutMs = 2000;
constexpr uint32_t kUploadSeekTimeoutMs = 2000;

constexpr uint32_t kBlockSize = 32768;
constexpr uint32_t kBlockDrainMs = 10;
constexpr uint32_t kBlockDataTimeoutMs = 10000;
constexpr uint32_t kBlockPromptTimeoutMs = 2000;
constexpr uint32_t kSendLineTimeoutMs = 2000;
constexpr uint32_t kSecondLineTimeoutMs = 500;
constexpr uint32_t kUploadAckTimeoutMs = 5000;

// Pause after a read that failed outright.
constexpr uint32_t kFailedReadPauseMs = 5;

constexpr char kCR = 13;
constexpr char kLF = 10;

std::string FirstChars(const std::string& Text, size_t Count) {
  return Text.substr(0, std::min(Text.size(), Count));
}

void LogData(const std::string& Label, const std::string& Bytes) {
  DebugLogData(Label, Bytes.data(),
               static_cast<int32_t>(std::min<size_t>(Bytes.size(), 0x7FFFFFFF)));
}

// The file a rename keeps the data in between download and upload: a new file of its own in TEMP,
// else TMP, else the system's temporary folder, created exclusively (never an existing file or a
// link someone placed there) and readable by the user only. Empty when none could be created.
std::string CreateRenameTempFile() {
  std::string dir = platform::GetEnv("TEMP");
  if (dir.empty()) dir = platform::GetEnv("TMP");
  if (dir.empty()) dir = platform::TempDirectory();
  if (dir.empty()) dir = "C:\\";
  return platform::CreateUniqueLocalFile(dir, "quarnel_", ".bin", true);
}

}  // namespace

bool TPortapackDevice::Connect() {
  Connected = false;
  Title = "PortaPack on " + PortName;
  Version = "PortaPack/Mayhem";
  DeviceLog("portapack connect " + PortName + " baud=" + std::to_string(kBaudRate));
  // Open installs the base read time-out that the block transfers' raw reads rely on.
  SerialPort.SetReadTimeoutMs(kReadTimeoutMs);
  if (!SerialPort.Open(PortName, kBaudRate)) {
    DeviceLog("portapack Open FAILED");
    DeviceLog("portapack " + SerialPort.OpenError());  // the cause, for the host's log window
    LastError = "Cannot open " + PortName;
    return false;
  }
  std::string pending;
  // The shell prints its banner only at the first open after boot; a later open hears nothing.
  SerialPort.Drain(pending, kOpenDrainMs);
  DeviceLog("portapack initial drain: " + std::to_string(pending.size()) + " bytes");
  if (!pending.empty()) LogData("portapack banner", pending);
  // An empty line makes the shell print a fresh prompt; the LF is dropped at the prompt.
  SerialPort.WriteStr("\r\n");
  SerialPort.Drain(pending, kWakeDrainMs);
  DeviceLog("portapack post-CR drain: " + std::to_string(pending.size()) + " bytes");
  if (!pending.empty()) LogData("portapack post-CR", pending);
  Connected = true;
  DeviceLog("portapack connect OK");
  return true;
}

std::string TPortapackDevice::LineProblem(const std::string& Cmd) {
  std::string problem = UnsafePathReason(Cmd);
  if (problem.empty()) problem = portapack::CommandLineProblem(Cmd);
  return problem;
}

bool TPortapackDevice::RefusePath(const std::string& Command, const std::string& Path) {
  std::string problem = LineProblem(Command + Path);
  if (problem.empty()) return false;
  LastError = problem;
  DeviceLog("portapack refused: " + problem);
  return true;
}

void TPortapackDevice::SetSilenceError() {
  LastError = SerialPort.IsOpen() ? "No answer from device" : "Not connected";
}

void TPortapackDevice::SendCmd(std::string& Response, const std::string& Cmd, uint32_t TimeoutMs) {
  Response.clear();
  if (!SerialPort.IsOpen()) {
    DeviceLog("portapack SendCmd: not open");
    return;
  }
  if (std::string problem = LineProblem(Cmd); !problem.empty()) {
    // The shell would cut the line or split it into another command: it acts on something else.
    DeviceLog("portapack SendCmd: refused: " + problem);
    return;
  }
  std::string leftover;
  SerialPort.Drain(leftover, kCommandDrainMs);
  DeviceLog("portapack SendCmd: [" + Cmd + "] timeout=" + std::to_string(TimeoutMs));
  const size_t lineLength = Cmd.size() + 2;
  if (static_cast<size_t>(SerialPort.WriteStr(Cmd + "\r\n")) != lineLength)
    DeviceLog("portapack SendCmd: WARNING WriteStr returned unexpected length");
  else
    DeviceLog("portapack SendCmd: wrote " + std::to_string(lineLength) + " bytes");
  int32_t index = -1;
  if (ReadUntilPrompt(portapack::PromptMarkers(), TimeoutMs, Response, index)) {
    DeviceLog("portapack SendCmd: got prompt idx=" + std::to_string(index) +
              " bytes=" + std::to_string(Response.size()));
  } else {
    DeviceLog("portapack SendCmd: no prompt, timeout. bytes=" + std::to_string(Response.size()));
    std::string late;
    SerialPort.Drain(late, kLateAnswerDrainMs);
    Response += late;
  }
  if (!Response.empty()) LogData("portapack SendCmd resp", Response);
}

std::string TPortapackDevice::ExtractBody(const std::string& Response, const std::string& Cmd) {
  return portapack::ExtractBody(Response, Cmd);
}

bool TPortapackDevice::ExecCmd(const std::string& Cmd, uint32_t TimeoutMs) {
  if (RefusePath(Cmd, "")) return false;
  std::string response;
  SendCmd(response, Cmd, TimeoutMs);
  if (response.empty()) {
    // Every live shell echoes the line: nothing at all means no shell heard it.
    SetSilenceError();
    return false;
  }
  std::string body = ExtractBody(response, Cmd);
  if (portapack::HasErrorWord(body) || portapack::IsRefusal(body, Cmd)) {
    LastError = body;
    return false;
  }
  return true;
}

bool TPortapackDevice::ListDir(const std::string& Path, TShellFileEntries& Entries) {
  Entries.clear();
  if (!Connected) return false;
  const std::string path = NormalizeRemotePath(Path);
  if (RefusePath("ls ", path)) return false;
  const std::string cmd = "ls " + path;
  DeviceLog("portapack> " + cmd);
  std::string response;
  SendCmd(response, cmd, kListTimeoutMs);
  DeviceLog("portapack raw resp (" + std::to_string(response.size()) +
            " bytes): " + FirstChars(response, 200));
  if (response.empty()) {
    // The shell answers even an empty folder with its echo and prompt; silence is no listing.
    SetSilenceError();
    return false;
  }
  std::string body = ExtractBody(response, cmd);
  DeviceLog("portapack body: " + FirstChars(body, 200));
  TAnsiStringArray lines = SplitLines(body, true);
  DeviceLog("portapack lines: " + std::to_string(lines.size()));
  Entries.reserve(lines.size());
  for (const std::string& raw : lines) {
    portapack::TListLine parsed = portapack::ParseListLine(raw);
    switch (parsed.Kind) {
      case portapack::TListLineKind::Blank:
        continue;
      case portapack::TListLineKind::Error:
        LastError = parsed.Line;
        DeviceLog("portapack ls error: " + parsed.Line);
        Entries.clear();
        return false;
      case portapack::TListLineKind::Usage:
        DeviceLog("portapack ls usage-line ignored: " + parsed.Line);
        continue;
      case portapack::TListLineKind::Dropped:
      case portapack::TListLineKind::Entry:
        break;
    }
    DeviceLog("portapack parse line: [" + parsed.Line + "]");
    if (parsed.Kind == portapack::TListLineKind::Dropped) continue;
    const TShellFileEntry& entry = parsed.Entry;
    if (entry.IsDir)
      DeviceLog("portapack -> name=" + entry.Name + " isdir=1");
    else
      DeviceLog("portapack -> name=" + entry.Name + " isdir=0" +
                " size=" + std::to_string(entry.Size));
    Entries.push_back(entry);
  }
  Entries.shrink_to_fit();
  DeviceLog("portapack ls done, " + std::to_string(Entries.size()) + " entries");
  return true;
}

bool TPortapackDevice::GetFileSize(const std::string& Path, int64_t& Size) {
  Size = 0;
  if (!Connected) return false;
  const std::string path = NormalizeRemotePath(Path);
  if (RefusePath("filesize ", path)) return false;
  const std::string cmd = "filesize " + path;
  std::string response;
  SendCmd(response, cmd, kCommandTimeoutMs);
  portapack::TSizeAnswer answer = portapack::ParseSizeAnswer(ExtractBody(response, cmd));
  if (answer.Kind == portapack::TSizeAnswerKind::Error) LastError = answer.ErrorLine;
  if (answer.Kind != portapack::TSizeAnswerKind::Size) return false;
  Size = answer.Size;
  return true;
}

bool TPortapackDevice::ReadUntilPrompt(const std::vector<std::string>& Markers, uint32_t TimeoutMs,
                                       std::string& Data, int32_t& MatchIndex) {
  // The port's ReadUntil lets each read wait 20 ms after the last byte of a burst before it looks
  // for a marker: once per block that costs more than the block's own drain. Here every read
  // returns right after a burst (or after the time left), and the first marker ends it.
  Data.clear();
  MatchIndex = -1;
  if (!SerialPort.IsOpen()) return false;
  const uint64_t deadline = platform::TickCountMs() + TimeoutMs;
  char buffer[1024];
  for (uint64_t now = platform::TickCountMs(); MatchIndex < 0 && now <= deadline;
       now = platform::TickCountMs()) {
    const auto left = static_cast<uint32_t>(std::max<uint64_t>(deadline - now, 1));
    uint32_t got = 0;
    if (!SerialPort.ReadBurst(buffer, sizeof(buffer), left, got)) {
      platform::SleepMs(kFailedReadPauseMs);  // a line that is gone fails every read at once
      continue;
    }
    const size_t before = Data.size();
    Data.append(buffer, got);
    MatchIndex = portapack::FindMarker(Data, Markers, before);
  }
  return MatchIndex >= 0;
}

bool TPortapackDevice::ReadToBlockPrompt(uint32_t TimeoutMs, std::string& Text) {
  int32_t index = -1;
  if (!ReadUntilPrompt(portapack::BlockPromptMarkers(), TimeoutMs, Text, index)) return false;
  Text.resize(Text.rfind(portapack::BlockPromptMarkers()[index]));
  return true;
}

void TPortapackDevice::CloseRemoteFile() {
  std::string ignored;
  SendCmd(ignored, "fclose", kCloseTimeoutMs);
}

bool TPortapackDevice::GetFile(const std::string& RemotePath, const std::string& LocalPath,
                               const TTransferProgress& OnProgress, void* ProgressData) {
  if (!Connected) return false;
  const std::string path = NormalizeRemotePath(RemotePath);
  if (RefusePath("filesize ", path) || RefusePath("fopen ", path)) return false;
  int64_t total = 0;
  if (!GetFileSize(RemotePath, total)) {
    LastError = "File not found: " + RemotePath;
    return false;
  }
  if (!ExecCmd("fopen " + path, kCommandTimeoutMs)) {
    LastError = "fopen failed";
    return false;
  }
  platform::TLocalFile local;
  bool created = false;
  bool ok = DownloadOpenFile(total, LocalPath, local, created, OnProgress, ProgressData);
  local.Close();
  // Only a file this download created (or emptied) is removed; one that could not be created
  // may be someone else's.
  if (!ok && created) platform::DeleteLocalFile(LocalPath);
  CloseRemoteFile();
  return ok;
}

bool TPortapackDevice::DownloadOpenFile(int64_t Total, const std::string& LocalPath,
                                        platform::TLocalFile& Local, bool& Created,
                                        const TTransferProgress& OnProgress, void* ProgressData) {
  if (!ExecCmd("fseek 0", kCommandTimeoutMs)) return false;
  if (!Local.Create(LocalPath)) {
    LastError = "Cannot create local file: " + LocalPath;
    return false;
  }
  Created = true;
  if (Total == 0) return true;
  if (!ReportProgress(OnProgress, ProgressData, 0, Total)) {
    LastError = "User abort";
    return false;
  }
  std::string block;
  for (int64_t done = 0; done < Total;) {
    const auto n = static_cast<uint32_t>(std::min<int64_t>(kBlockSize, Total - done));
    if (!ReceiveBlock(n, block)) return false;
    if (!Local.Write(block.data(), n)) {
      LastError = "Cannot write local file: " + LocalPath;
      return false;
    }
    done += n;
    if (!ReportProgress(OnProgress, ProgressData, done, Total)) {
      LastError = "User abort";
      return false;
    }
  }
  return true;
}

bool TPortapackDevice::ReceiveBlock(uint32_t N, std::string& Block) {
  std::string ignored;
  SerialPort.Drain(ignored, kBlockDrainMs);
  SerialPort.WriteStr("frb " + std::to_string(N) + "\r\n");
  DeviceLog("portapack GetFile: frb " + std::to_string(N));
  // The echo of the command line comes first; it is read a byte at a time under the port's base
  // time-outs so that no byte of the block behind it is taken.
  char c = 0;
  char last = 0;
  uint32_t got = 0;
  while (SerialPort.ReadRaw(&c, 1, got) && got == 1) {
    last = c;
    if (c == kCR || c == kLF) break;
  }
  std::string head;
  if (last == kCR && SerialPort.ReadRaw(&c, 1, got) && got == 1 && c != kLF) head.assign(1, c);
  std::string rest;
  if (!SerialPort.ReadExact(static_cast<int32_t>(N - head.size()), kBlockDataTimeoutMs, rest)) {
    LastError =
        "frb: expected " + std::to_string(N) + " got " + std::to_string(head.size() + rest.size());
    DeviceLog("portapack GetFile: " + LastError);
    return false;
  }
  Block = head.empty() ? std::move(rest) : head + rest;
  std::string tail;
  if (!ReadToBlockPrompt(kBlockPromptTimeoutMs, tail)) {
    LastError = "frb: no prompt after chunk";
    DeviceLog("portapack GetFile: " + LastError);
    return false;
  }
  if (!portapack::BlockConfirmed(tail)) {
    // A read error or a file that ended early: the device sent its error text or the prompt in
    // place of data, so the block holds something other than the file's bytes.
    LastError = "frb: block not confirmed by the device: " + TrimWS(tail);
    DeviceLog("portapack GetFile: " + LastError);
    return false;
  }
  return true;
}

bool TPortapackDevice::PutFile(const std::string& LocalPath, const std::string& RemotePath,
                               const TTransferProgress& OnProgress, void* ProgressData) {
  if (!Connected) return false;
  if (!platform::LocalFileExists(LocalPath)) return false;
  const std::string path = NormalizeRemotePath(RemotePath);
  if (RefusePath("fopen ", path)) return false;
  // Opened before the device's file is touched: a local file that cannot be read must not leave
  // the remote file truncated.
  platform::TLocalFile local;
  const int64_t total = local.OpenRead(LocalPath) ? local.Size() : -1;
  if (total < 0) {
    LastError = "Cannot open local file: " + LocalPath;
    return false;
  }
  if (!ExecCmd("fopen " + path, kCommandTimeoutMs)) {
    LastError = "fopen failed";
    return false;
  }
  bool ok = UploadOpenFile(local, total, LocalPath, OnProgress, ProgressData);
  local.Close();
  CloseRemoteFile();
  return ok;
}

bool TPortapackDevice::UploadOpenFile(platform::TLocalFile& Local, int64_t Total,
                                      const std::string& LocalPath,
                                      const TTransferProgress& OnProgress, void* ProgressData) {
  if (!ExecCmd("fseek 0", kUploadSeekTimeoutMs)) {
    LastError = "fseek 0 failed";
    return false;
  }
  if (!ExecCmd("ftruncate", kUploadSeekTimeoutMs)) {
    LastError = "ftruncate failed";
    return false;
  }
  if (!ReportProgress(OnProgress, ProgressData, 0, Total)) {
    LastError = "User abort";
    return false;
  }
  std::vector<char> buffer(kBlockSize);
  for (int64_t sent = 0; sent < Total;) {
    const auto n = static_cast<uint32_t>(std::min<int64_t>(kBlockSize, Total - sent));
    // Read before the block is announced: once the device waits for payload, every byte that
    // does not come is taken from the next command lines.
    uint32_t got = 0;
    if (!Local.Read(buffer.data(), n, got) || got != n) {
      LastError = "Cannot read local file: " + LocalPath;
      return false;
    }
    if (!SendBlock(buffer.data(), n)) return false;
    sent += n;
    if (!ReportProgress(OnProgress, ProgressData, sent, Total)) {
      LastError = "User abort";
      return false;
    }
  }
  return true;
}

bool TPortapackDevice::SendBlock(const char* Data, uint32_t N) {
  std::string ignored;
  SerialPort.Drain(ignored, kBlockDrainMs);
  // CR alone: fwb reads its payload from the same input as the command line, so an LF after the
  // CR would become the first payload byte and push the last one into the shell.
  SerialPort.WriteStr("fwb " + std::to_string(N) + "\r");
  std::string line;
  if (!SerialPort.ReadLine(kSendLineTimeoutMs, line)) {
    LastError = "fwb: no response";
    return false;
  }
  if (!portapack::SaysSend(line)) {
    // The first line is normally the echo; "send <n> bytes" follows.
    std::string second;
    SerialPort.ReadLine(kSecondLineTimeoutMs, second);
    if (!portapack::SaysSend(second)) {
      // Payload sent now would be typed into the shell as command lines.
      LastError = "fwb: device not ready: " + (second.empty() ? line : second);
      DeviceLog("portapack PutFile: " + LastError);
      return false;
    }
  }
  if (SerialPort.Write(Data, static_cast<int32_t>(N)) < static_cast<int32_t>(N)) {
    LastError = "fwb: write failed";
    return false;
  }
  std::string answer;
  if (!ReadToBlockPrompt(kUploadAckTimeoutMs, answer)) {
    LastError = "fwb: no ack";
    return false;
  }
  if (UpperAscii(answer).find("ERROR") != std::string::npos) {
    LastError = TrimWS(answer);
    return false;
  }
  return true;
}

bool TPortapackDevice::DeleteFile(const std::string& Path) {
  const std::string path = NormalizeRemotePath(Path);
  return !RefusePath("unlink ", path) && ExecCmd("unlink " + path, kCommandTimeoutMs);
}

bool TPortapackDevice::MakeDir(const std::string& Path) {
  const std::string path = NormalizeRemotePath(Path);
  return !RefusePath("mkdir ", path) && ExecCmd("mkdir " + path, kCommandTimeoutMs);
}

bool TPortapackDevice::RemoveDir(const std::string& Path) {
  const std::string path = NormalizeRemotePath(Path);
  return !RefusePath("unlink ", path) && ExecCmd("unlink " + path, kCommandTimeoutMs);
}

bool TPortapackDevice::IsListedFolder(const std::string& Path, bool& Failed) {
  Failed = false;
  if (Path == "/") return true;
  TShellFileEntries entries;
  if (!ListDir(portapack::ParentPath(Path), entries)) {
    Failed = true;
    return false;
  }
  const std::string name = portapack::BaseName(Path);
  return std::any_of(entries.begin(), entries.end(), [&](const TShellFileEntry& Entry) {
    return Entry.IsDir && portapack::SameNameOnCard(Entry.Name, name);
  });
}

bool TPortapackDevice::RenameFile(const std::string& OldPath, const std::string& NewPath) {
  const std::string oldPath = NormalizeRemotePath(OldPath);
  const std::string newPath = NormalizeRemotePath(NewPath);
  if (RefusePath("filesize ", oldPath) || RefusePath("fopen ", oldPath) ||
      RefusePath("unlink ", oldPath) || RefusePath("fopen ", newPath))
    return false;
  if (portapack::SameNameOnCard(oldPath, newPath)) {
    // The copy would overwrite the file itself and the delete would then remove it.
    LastError = "Cannot rename " + OldPath + " to " + NewPath +
                ": the device's card sees the same file under both names";
    DeviceLog("portapack refused: " + LastError);
    return false;
  }
  // The device sizes a folder like an empty file, and opening a folder wedges its only file slot
  // until it reboots: folders are told apart by the listing of their parent before any fopen.
  for (const std::string* path : {&oldPath, &newPath}) {
    bool listFailed = false;
    if (IsListedFolder(*path, listFailed)) {
      LastError = "Cannot rename: " + *path + " is a folder; the PortaPack can only rename files";
      DeviceLog("portapack refused: " + LastError);
      return false;
    }
    if (listFailed) return false;
  }
  const std::string tempPath = CreateRenameTempFile();
  if (tempPath.empty()) {
    LastError = "Cannot create a temporary file for the rename";
    DeviceLog("portapack " + LastError);
    return false;
  }
  bool ok = GetFile(OldPath, tempPath, nullptr, nullptr) &&
            PutFile(tempPath, NewPath, nullptr, nullptr) && DeleteFile(OldPath);
  platform::DeleteLocalFile(tempPath);
  return ok;
}
