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
#include "util/uChecksum.h"
#include "util/uDebugLog.h"
#include "util/uStrUtils.h"

namespace {

constexpr uint32_t kBaudRate = 115200;
constexpr uint32_t kReadTimeoutMs = 3000;
// The banner of a first open after boot comes within this time: the one fixed wait, once per
// connection. The prompt that the wake-up line brings ends its own wait.
constexpr uint32_t kOpenDrainMs = 400;
constexpr uint32_t kWakePromptWaitMs = 300;
constexpr uint32_t kLateAnswerDrainMs = 150;

constexpr uint32_t kListTimeoutMs = 5000;
constexpr uint32_t kCommandTimeoutMs = 3000;
constexpr uint32_t kCloseTimeoutMs = 2000;
constexpr uint32_t kUploadSeekTimeoutMs = 2000;

constexpr uint32_t kBlockSize = 32768;
constexpr uint32_t kBlockDataTimeoutMs = 10000;
constexpr uint32_t kBlockPromptTimeoutMs = 2000;
constexpr uint32_t kSendLineTimeoutMs = 2000;
constexpr uint32_t kSecondLineTimeoutMs = 500;
constexpr uint32_t kUploadAckTimeoutMs = 5000;

// Getting back in step: how long a late prompt may take (after a time-out that brought part of an
// answer, or after one that brought nothing), the quiet that ends its leftovers, and the wait for
// the fresh prompt a bare CR brings.
constexpr uint32_t kLatePromptWaitMs = 5000;
constexpr uint32_t kSilentLatePromptWaitMs = 500;
constexpr uint32_t kLeftoverQuietMs = 100;
constexpr uint32_t kFreshPromptWaitMs = 1000;

constexpr char kCR = 13;
constexpr char kLF = 10;

std::string Files(size_t Count) {
  return std::to_string(Count) + (Count == 1 ? " file" : " files");
}

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
  NoCrc32_ = false;
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
  // An empty line makes the shell print a fresh prompt, which ends the wait; the LF is dropped at
  // the prompt.
  SerialPort.WriteStr("\r\n");
  int32_t index = -1;
  SerialPort.ReadUntil({"\r\nch> "}, kWakePromptWaitMs, pending, index);
  DeviceLog("portapack post-CR drain: " + std::to_string(pending.size()) + " bytes");
  if (!pending.empty()) LogData("portapack post-CR", pending);
  Connected = true;
  MarkInStep();
  // A file an earlier session left open (a host that ended mid-transfer) would make every fopen
  // answer "file already open" until the device reboots.
  CloseRemoteFile();
  DeviceLog("portapack connect OK");
  return true;
}

std::string TPortapackDevice::LineProblem(const std::string& Cmd) {
  std::string problem = UnsafePathReason(Cmd);
  if (problem.empty()) problem = portapack::CommandLineProblem(Cmd);
  return problem;
}

bool TPortapackDevice::PathCommand(const std::string& Command, const std::string& Path,
                                   std::string& Line) {
  std::string problem = UnsafePathReason(Path);
  if (problem.empty()) problem = portapack::CardNameProblem(Path);
  // The existence test's "filesize " is the longest command a path goes into.
  if (problem.empty()) problem = portapack::CommandLineProblem("filesize " + Path);
  if (problem.empty()) problem = portapack::CommandLineProblem(Command + " " + Path);
  if (!problem.empty()) {
    LastError = problem;
    DeviceLog("portapack refused: " + problem);
    return false;
  }
  Line = Command + " " + Path;
  return true;
}

bool TPortapackDevice::EnsureInStep() {
  if (IsInStep()) return true;
  if (!Connected) {
    ExchangeError_ = "Not connected";
    return false;
  }
  // The command that ran out of time may still be at work: its answer and prompt come late.
  std::string late;
  int32_t index = -1;
  SerialPort.ReadUntil(portapack::PromptMarkers(),
                       LateAnswerPending_ ? kLatePromptWaitMs : kSilentLatePromptWaitMs, late,
                       index);
  // Then whatever else is on its way (a prompt's last blank, answers to typed-in payload), until
  // the line is quiet, within the same bound.
  const uint64_t start = platform::TickCountMs();
  for (std::string more; platform::TickCountMs() - start < kLatePromptWaitMs;) {
    SerialPort.Drain(more, kLeftoverQuietMs);
    if (more.empty()) break;
    late += more;
  }
  if (!late.empty()) LogData("portapack late answer", late);
  std::string fresh;
  if (!portapack::WaitsForPayload(late)) {
    // An empty line: the shell answers it with a line end and its prompt, nothing else.
    SerialPort.WriteStr("\r");
    if (SerialPort.ReadUntil({"\r\nch> "}, kFreshPromptWaitMs, fresh, index)) {
      DeviceLog("portapack back in step");
      MarkInStep();
      return true;
    }
  }
  // Never type into a shell that reads payload, and never take its answers for another's.
  Connected = false;
  if (portapack::WaitsForPayload(late))
    ExchangeError_ =
        "The device is still waiting for upload data and cannot take commands; it is connected "
        "afresh at the next use (restart it if that fails)";
  else if (late.empty() && fresh.empty())
    ExchangeError_ = "No answer from device";  // not even to an empty line
  else
    ExchangeError_ =
        "The device is out of step and did not answer with a fresh prompt; it is connected "
        "afresh at the next use";
  DeviceLog("portapack " + ExchangeError_);
  return false;
}

bool TPortapackDevice::SendCmd(std::string& Response, const std::string& Cmd, uint32_t TimeoutMs) {
  Response.clear();
  if (!SerialPort.IsOpen()) {
    DeviceLog("portapack SendCmd: not open");
    ExchangeError_ = "Not connected";
    return false;
  }
  if (std::string problem = LineProblem(Cmd); !problem.empty()) {
    // The shell would cut the line or split it into another command: it acts on something else.
    DeviceLog("portapack SendCmd: refused: " + problem);
    ExchangeError_ = problem;
    return false;
  }
  if (!EnsureInStep()) return false;
  DeviceLog("portapack SendCmd: [" + Cmd + "] timeout=" + std::to_string(TimeoutMs));
  const size_t lineLength = Cmd.size() + 2;
  if (static_cast<size_t>(TypeLine(Cmd + "\r\n")) != lineLength)
    DeviceLog("portapack SendCmd: WARNING WriteStr returned unexpected length");
  else
    DeviceLog("portapack SendCmd: wrote " + std::to_string(lineLength) + " bytes");
  int32_t index = -1;
  // Only a prompt behind this command's echo ends its answer: one that came before it closes an
  // answer that came late.
  const bool prompt =
      SerialPort.ReadUntil(portapack::PromptMarkers(), TimeoutMs, Response, index, Cmd + "\r\n");
  if (prompt) {
    DeviceLog("portapack SendCmd: got prompt idx=" + std::to_string(index) +
              " bytes=" + std::to_string(Response.size()));
  } else {
    DeviceLog("portapack SendCmd: no prompt, timeout. bytes=" + std::to_string(Response.size()));
    std::string late;
    SerialPort.Drain(late, kLateAnswerDrainMs);
    Response += late;
    LateAnswerPending_ = !Response.empty();
    ExchangeError_ = Response.empty() ? "No answer from device"
                                      : "No complete answer from the device within " +
                                            std::to_string(TimeoutMs) + " ms to: " + Cmd;
    MarkOutOfStep("no prompt within " + std::to_string(TimeoutMs) + " ms after " + Cmd);
  }
  if (!Response.empty()) LogData("portapack SendCmd resp", Response);
  return prompt;
}

std::string TPortapackDevice::ExtractBody(const std::string& Response, const std::string& Cmd) {
  return portapack::ExtractBody(Response, Cmd);
}

bool TPortapackDevice::ExecCmd(const std::string& Cmd, uint32_t TimeoutMs) {
  std::string response;
  if (!SendCmd(response, Cmd, TimeoutMs)) {
    // A command that did not finish in time may yet act: it is no success.
    LastError = ExchangeError_;
    return false;
  }
  std::string body = ExtractBody(response, Cmd);
  if (portapack::HasErrorWord(body) || portapack::IsRefusal(body, Cmd)) {
    LastError = body;
    return false;
  }
  return true;
}

bool TPortapackDevice::Describe(std::vector<std::string>& Lines) {
  Lines.clear();
  if (!Connected) {
    LastError = "Not connected";
    return false;
  }
  const std::string cmd = "info";
  std::string response;
  if (!SendCmd(response, cmd, kCommandTimeoutMs)) {
    LastError = ExchangeError_;
    return false;
  }
  const std::string body = ExtractBody(response, cmd);
  if (portapack::IsRefusal(body, cmd)) {
    LastError = TrimWS(body);
    return false;
  }
  for (const std::string& line : SplitLines(body, true))
    if (std::string text = TrimWS(line); !text.empty()) Lines.push_back(text);
  if (!Lines.empty()) return true;
  LastError = "The device answered \"info\" with nothing";
  return false;
}

bool TPortapackDevice::NameExists(const std::string& Folder, const std::string& Name,
                                  int64_t& Size) {
  std::string cmd;
  const std::string saved = LastError;
  int result = -1;
  bool exists = PathCommand("filesize", NormalizeRemotePath(Folder + "/" + Name), cmd) &&
                ProbeLine(cmd, Size, result) == TPathState::Exists;
  LastError = saved;  // a name that is not there is no failure of the listing
  return exists;
}

bool TPortapackDevice::ListDir(const std::string& Path, TShellFileEntries& Entries) {
  std::vector<bool> sized;
  if (!ListFolder(Path, Entries, sized)) return false;
  AddFileSizes(NormalizeRemotePath(Path), Entries, sized);
  return true;
}

bool TPortapackDevice::ListFolder(const std::string& Path, TShellFileEntries& Entries,
                                  std::vector<bool>& Sized) {
  Entries.clear();
  Sized.clear();
  if (!Connected) return false;
  const std::string path = NormalizeRemotePath(Path);
  std::string cmd;
  if (!PathCommand("ls", path, cmd)) return false;
  DeviceLog("portapack> " + cmd);
  std::string response;
  const bool complete = SendCmd(response, cmd, kListTimeoutMs);
  DeviceLog("portapack raw resp (" + std::to_string(response.size()) +
            " bytes): " + FirstChars(response, 200));
  if (!complete) {
    // Without its prompt a listing is cut short or missing: a part would pass for the whole.
    LastError = ExchangeError_;
    return false;
  }
  std::string body = ExtractBody(response, cmd);
  DeviceLog("portapack body: " + FirstChars(body, 200));
  TAnsiStringArray lines = SplitLines(body, true);
  DeviceLog("portapack lines: " + std::to_string(lines.size()));
  Entries.reserve(lines.size());
  for (const std::string& raw : lines) {
    portapack::TListLine parsed = portapack::ParseListLine(raw);
    // A size the line itself carries ("name 1234") is known, and so is one the name check asked.
    bool sized = parsed.Kind == portapack::TListLineKind::Entry && !parsed.Entry.IsDir &&
                 parsed.Entry.Name != parsed.Line;
    if (portapack::NeedsNameCheck(parsed)) {
      // The shell writes only "name" and "name/": a line that reads otherwise may still be a
      // real name, which the device knows.
      TShellFileEntry plain = portapack::PlainEntry(parsed.Line);
      if (NameExists(path, plain.Name, plain.Size)) {
        if (plain.IsDir) plain.Size = 0;
        parsed.Kind = portapack::TListLineKind::Entry;
        parsed.Entry = plain;
        sized = true;
      }
    }
    switch (parsed.Kind) {
      case portapack::TListLineKind::Blank:
        continue;
      case portapack::TListLineKind::Error:
        LastError = parsed.Line;
        DeviceLog("portapack ls error: " + parsed.Line);
        Entries.clear();
        Sized.clear();
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
    Sized.push_back(sized);
  }
  if (!Connected) {
    // A name check lost the device: the names it could not check are unknown, and a part of the
    // listing would pass for the whole.
    LastError = ExchangeError_;
    Entries.clear();
    Sized.clear();
    return false;
  }
  Entries.shrink_to_fit();
  DeviceLog("portapack ls done, " + std::to_string(Entries.size()) + " entries");
  return true;
}

void TPortapackDevice::AddFileSizes(const std::string& Folder, TShellFileEntries& Entries,
                                    const std::vector<bool>& Sized) {
  const auto files = static_cast<size_t>(std::count_if(
      Entries.begin(), Entries.end(), [](const TShellFileEntry& Entry) { return !Entry.IsDir; }));
  if (files == 0) return;
  const uint32_t limit = Settings.PortapackSizes;
  if (limit == 0 || files > limit) {
    // One round trip per file: a large folder would keep the host's panel waiting for minutes.
    DeviceLog("portapack sizes: " + Files(files) + " in " + Folder +
              (limit == 0 ? std::string(", sizes are off (PortapackSizes=0)")
                          : ", more than the " + std::to_string(limit) +
                                " whose sizes are asked (PortapackSizes)") +
              "; they show 0 bytes");
    return;
  }
  const std::string saved = LastError;  // a size that cannot be had is no failure of the listing
  size_t unsized = 0;
  for (size_t i = 0; i < Entries.size(); ++i) unsized += !Entries[i].IsDir && !Sized[i];
  for (size_t i = 0; i < Entries.size(); ++i) {
    TShellFileEntry& entry = Entries[i];
    if (entry.IsDir || Sized[i]) continue;
    if (!IsInStep() || !Connected) {
      // The device stopped answering: asking on would wait out a time-out for every file.
      DeviceLog("portapack sizes: the device does not answer; " + Files(unsized) + " show 0 bytes");
      break;
    }
    --unsized;
    std::string cmd;
    int64_t size = 0;
    int result = -1;
    if (PathCommand("filesize", NormalizeRemotePath(Folder + "/" + entry.Name), cmd) &&
        ProbeLine(cmd, size, result) == TPathState::Exists) {
      entry.Size = size;
      DeviceLog("portapack size: name=" + entry.Name + " size=" + std::to_string(size));
    } else {
      DeviceLog("portapack size of " + entry.Name + " unknown, shown as 0: " + LastError);
    }
  }
  LastError = saved;
}

TPathState TPortapackDevice::ProbeLine(const std::string& Cmd, int64_t& Size, int& Result) {
  Size = 0;
  Result = -1;
  if (IsFresh(LastProbe_.At) && LastProbe_.Cmd == Cmd) {
    // The same question was answered just now (the existence test before an upload).
    Size = LastProbe_.Size;
    return LastProbe_.State;
  }
  const TPathState state = AskProbe(Cmd, Size, Result);
  // Only clear answers are kept: after an unclear one the caller gives up, and a new question
  // should ask the device again.
  if (state != TPathState::Unknown) LastProbe_ = {Cmd, state, Size, MarkAnswer()};
  return state;
}

TPathState TPortapackDevice::AskProbe(const std::string& Cmd, int64_t& Size, int& Result) {
  std::string response;
  if (!SendCmd(response, Cmd, kCommandTimeoutMs)) {
    LastError = ExchangeError_;
    return TPathState::Unknown;
  }
  const std::string body = ExtractBody(response, Cmd);
  portapack::TSizeAnswer answer = portapack::ParseSizeAnswer(body);
  switch (answer.Kind) {
    case portapack::TSizeAnswerKind::Size:
      Size = answer.Size;
      return TPathState::Exists;
    case portapack::TSizeAnswerKind::Error:
      LastError = answer.ErrorLine;
      Result = portapack::ErrorResult(answer.ErrorLine);
      // Only the device's own "no file" says that nothing of that name is there.
      return Result == portapack::kNoFile ? TPathState::Absent : TPathState::Unknown;
    case portapack::TSizeAnswerKind::None:
      break;
  }
  LastError = "Unexpected answer to \"" + Cmd + "\": " + FirstChars(body, 200);
  return TPathState::Unknown;
}

TPathState TPortapackDevice::ProbePath(const std::string& Path, int64_t& Size) {
  Size = 0;
  if (!Connected) {
    LastError = "Not connected";
    return TPathState::Unknown;
  }
  std::string cmd;
  if (!PathCommand("filesize", NormalizeRemotePath(Path), cmd)) return TPathState::Unknown;
  int result = -1;
  return ProbeLine(cmd, Size, result);
}

bool TPortapackDevice::GetFileSize(const std::string& Path, int64_t& Size) {
  return ProbePath(Path, Size) == TPathState::Exists;
}

bool TPortapackDevice::CheckNotFolder(const std::string& Path, const std::string& Action) {
  bool listFailed = false;
  if (IsListedFolder(Path, listFailed)) {
    LastError = "Cannot " + Action + " " + Path +
                ": it is a folder; the PortaPack can only copy and rename files";
    DeviceLog("portapack refused: " + LastError);
    return false;
  }
  return !listFailed;
}

bool TPortapackDevice::CheckWritableTarget(const std::string& Path, bool& Empty) {
  Empty = false;
  std::string cmd;
  if (!PathCommand("filesize", Path, cmd)) return false;
  int64_t size = 0;
  int result = -1;
  switch (ProbeLine(cmd, size, result)) {
    case TPathState::Absent:
      Empty = true;
      return true;
    case TPathState::Exists:
      Empty = size == 0;
      return size > 0 || CheckNotFolder(Path, "write");
    case TPathState::Unknown:
      break;
  }
  if (result == portapack::kNoPath) {
    LastError = "Cannot write " + Path + ": its folder does not exist on the device";
    DeviceLog("portapack refused: " + LastError);
  }
  return false;
}

bool TPortapackDevice::ReadToBlockPrompt(uint32_t TimeoutMs, std::string& Text) {
  int32_t index = -1;
  if (!SerialPort.ReadUntil(portapack::BlockPromptMarkers(), TimeoutMs, Text, index)) {
    LateAnswerPending_ = true;
    MarkOutOfStep("no prompt after a block within " + std::to_string(TimeoutMs) + " ms");
    return false;
  }
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
  std::string openCmd;
  if (!PathCommand("fopen", path, openCmd)) return false;
  int64_t total = 0;
  if (!GetFileSize(RemotePath, total)) {
    LastError = "File not found: " + RemotePath;
    return false;
  }
  // A folder sizes like an empty file, and an fopen of it would keep the file slot busy.
  if (total == 0 && !CheckNotFolder(path, "copy")) return false;
  if (!ExecCmd(openCmd, kCommandTimeoutMs)) {
    LastError = "fopen failed";
    return false;
  }
  platform::TLocalFile local;
  bool created = false;
  TCrc32Bzip2 crc;
  bool ok = DownloadOpenFile(total, LocalPath, local, created, crc, OnProgress, ProgressData);
  local.Close();
  CloseRemoteFile();
  if (ok) ok = VerifyCopy(path, total, crc, TCopyDirection::Download);
  // Only a file this download created (or emptied) is removed; one that could not be created
  // may be someone else's.
  if (!ok && created) platform::DeleteLocalFile(LocalPath);
  return ok;
}

bool TPortapackDevice::DownloadOpenFile(int64_t Total, const std::string& LocalPath,
                                        platform::TLocalFile& Local, bool& Created,
                                        TCrc32Bzip2& Crc, const TTransferProgress& OnProgress,
                                        void* ProgressData) {
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
    // The device is at its prompt with the file open: another dialogue may take its turn.
    if (done > 0 && !PauseBetweenBlocks()) return false;
    const auto n = static_cast<uint32_t>(std::min<int64_t>(kBlockSize, Total - done));
    if (!ReceiveBlock(n, block)) return false;
    if (!Local.Write(block.data(), n)) {
      LastError = "Cannot write local file: " + LocalPath;
      return false;
    }
    Crc.Update(std::string_view(block.data(), n));
    done += n;
    if (!ReportProgress(OnProgress, ProgressData, done, Total)) {
      LastError = "User abort";
      return false;
    }
  }
  return true;
}

bool TPortapackDevice::ReceiveBlock(uint32_t N, std::string& Block) {
  TypeLine("frb " + std::to_string(N) + "\r\n");
  DeviceLog("portapack GetFile: frb " + std::to_string(N));
  // The echo of the command line comes first; it is read a byte at a time under the port's base
  // time-outs so that no byte of the block behind it is taken, and within one deadline for the
  // whole line: a device that keeps sending without a line end must not hold the download.
  char c = 0;
  char last = 0;
  uint32_t got = 0;
  const uint64_t echoDeadline = platform::TickCountMs() + kReadTimeoutMs;
  while (platform::TickCountMs() < echoDeadline && SerialPort.ReadRaw(&c, 1, got) && got == 1) {
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
    LateAnswerPending_ = true;
    MarkOutOfStep("a download block came short");
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
  std::string openCmd;
  if (!PathCommand("fopen", path, openCmd)) return false;
  // Opened before the device's file is touched: a local file that cannot be read must not leave
  // the remote file truncated.
  platform::TLocalFile local;
  const int64_t total = local.OpenRead(LocalPath) ? local.Size() : -1;
  if (total < 0) {
    LastError = "Cannot open local file: " + LocalPath;
    return false;
  }
  bool empty = false;
  if (!CheckWritableTarget(path, empty)) return false;
  if (!ExecCmd(openCmd, kCommandTimeoutMs)) {
    LastError = "fopen failed";
    return false;
  }
  TCrc32Bzip2 crc;
  bool ok = UploadOpenFile(local, total, LocalPath, empty, crc, OnProgress, ProgressData);
  local.Close();
  // Closed first: the device writes the file's last data and its size to the card only then.
  CloseRemoteFile();
  return ok && VerifyCopy(path, total, crc, TCopyDirection::Upload);
}

bool TPortapackDevice::UploadOpenFile(platform::TLocalFile& Local, int64_t Total,
                                      const std::string& LocalPath, bool Empty, TCrc32Bzip2& Crc,
                                      const TTransferProgress& OnProgress, void* ProgressData) {
  // fopen puts the position at the end of the file: for a file it has just created, or one that
  // was empty, that is where the upload begins, and there is nothing to cut off.
  if (!Empty && !ExecCmd("fseek 0", kUploadSeekTimeoutMs)) {
    LastError = "fseek 0 failed";
    return false;
  }
  if (!Empty && !ExecCmd("ftruncate", kUploadSeekTimeoutMs)) {
    LastError = "ftruncate failed";
    return false;
  }
  if (!ReportProgress(OnProgress, ProgressData, 0, Total)) {
    LastError = "User abort";
    return false;
  }
  std::vector<char> buffer(kBlockSize);
  for (int64_t sent = 0; sent < Total;) {
    if (sent > 0 && !PauseBetweenBlocks()) return false;
    const auto n = static_cast<uint32_t>(std::min<int64_t>(kBlockSize, Total - sent));
    // Read before the block is announced: once the device waits for payload, every byte that
    // does not come is taken from the next command lines.
    uint32_t got = 0;
    if (!Local.Read(buffer.data(), n, got) || got != n) {
      LastError = "Cannot read local file: " + LocalPath;
      return false;
    }
    Crc.Update(std::string_view(buffer.data(), n));
    if (!SendBlock(buffer.data(), n)) return false;
    sent += n;
    if (!ReportProgress(OnProgress, ProgressData, sent, Total)) {
      LastError = "User abort";
      return false;
    }
  }
  return true;
}

bool TPortapackDevice::VerifyCopy(const std::string& Path, int64_t Size, const TCrc32Bzip2& Crc,
                                  TCopyDirection Direction) {
  if (!Settings.Verify || NoCrc32_) return true;
  std::string cmd;
  if (!PathCommand("crc32", Path, cmd)) return false;
  std::string response;
  // The device reads the whole file again: the wait grows with it, so that a device still at
  // work is not taken for a silent one.
  if (!SendCmd(response, cmd, CardPassWaitMs(kCommandTimeoutMs, Size)))
    return CopyNotVerified("portapack", Path, ExchangeError_);
  const std::string body = ExtractBody(response, cmd);
  uint32_t theirs = 0;
  switch (portapack::ParseCrcAnswer(body, theirs)) {
    case portapack::TCrcAnswerKind::UnknownCommand:
      NoCrc32_ = true;
      DeviceLog(
          "portapack: this firmware has no crc32 command (Mayhem 2.0.1 brought it); copies "
          "to and from this device are not verified");
      return true;
    case portapack::TCrcAnswerKind::Value:
      break;
    case portapack::TCrcAnswerKind::Other:
      return CopyNotVerified("portapack", Path,
                             body.empty() ? "no answer to " + cmd : FirstChars(body, 200));
  }
  return CopyVerified("portapack", Direction, Path, "CRC32", Crc32Text(theirs),
                      Crc32Text(Crc.Value()));
}

bool TPortapackDevice::SendBlock(const char* Data, uint32_t N) {
  // CR alone: fwb reads its payload from the same input as the command line, so an LF after the
  // CR would become the first payload byte and push the last one into the shell.
  TypeLine("fwb " + std::to_string(N) + "\r");
  std::string line;
  if (!SerialPort.ReadLine(kSendLineTimeoutMs, line)) {
    LastError = "fwb: no response";
    LateAnswerPending_ = !line.empty();
    MarkOutOfStep("no answer to fwb");
    return false;
  }
  if (!portapack::SaysSend(line)) {
    // The first line is normally the echo; "send <n> bytes" follows.
    std::string second;
    bool complete = SerialPort.ReadLine(kSecondLineTimeoutMs, second);
    if (!portapack::SaysSend(second)) {
      // Payload sent now would be typed into the shell as command lines.
      LastError = "fwb: device not ready: " + (second.empty() ? line : second);
      DeviceLog("portapack PutFile: " + LastError);
      if (!complete) {
        // The "send" line may yet come late: the shell would then read what is typed as payload.
        LateAnswerPending_ = true;
        MarkOutOfStep("fwb did not get its send line");
      }
      return false;
    }
  }
  if (SerialPort.Write(Data, static_cast<int32_t>(N)) < static_cast<int32_t>(N)) {
    LastError = "fwb: write failed";
    // The shell waits for the rest of the payload and would take any command as file content.
    Connected = false;
    MarkOutOfStep("an upload block was cut short");
    DeviceLog("portapack PutFile: " + LastError);
    return false;
  }
  std::string answer;
  if (!ReadToBlockPrompt(kUploadAckTimeoutMs, answer)) {
    LastError = "fwb: no ack";
    return false;
  }
  if (UpperAscii(answer).find("ERROR") != std::string::npos) {
    LastError = TrimWS(answer);
    // A failed write ends fwb early: the rest of the block reaches the shell as typed lines.
    LateAnswerPending_ = true;
    MarkOutOfStep("fwb failed in the middle of its block");
    return false;
  }
  if (!portapack::BlockConfirmed(answer)) {
    // Without its "ok" the block is not known to be written, nor the shell to be done with it.
    LastError = "fwb: block not confirmed by the device: " + TrimWS(answer);
    LateAnswerPending_ = true;
    MarkOutOfStep("fwb ended without its ok");
    return false;
  }
  return true;
}

bool TPortapackDevice::Unlink(const std::string& Path) {
  std::string cmd;
  return PathCommand("unlink", NormalizeRemotePath(Path), cmd) && ExecCmd(cmd, kCommandTimeoutMs);
}

bool TPortapackDevice::DeleteFile(const std::string& Path) {
  return Unlink(Path);
}

bool TPortapackDevice::MakeDir(const std::string& Path) {
  std::string cmd;
  return PathCommand("mkdir", NormalizeRemotePath(Path), cmd) && ExecCmd(cmd, kCommandTimeoutMs);
}

bool TPortapackDevice::RemoveDir(const std::string& Path) {
  return Unlink(Path);
}

bool TPortapackDevice::IsListedFolder(const std::string& Path, bool& Failed) {
  Failed = false;
  if (Path == "/") return true;
  TShellFileEntries entries;
  std::vector<bool> sized;
  // Only the names matter here: no sizes are asked.
  if (!ListFolder(portapack::ParentPath(Path), entries, sized)) {
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
  std::string oldCmd;
  std::string newCmd;
  if (!PathCommand("filesize", oldPath, oldCmd) || !PathCommand("fopen", newPath, newCmd))
    return false;
  if (portapack::SameNameOnCard(oldPath, newPath)) {
    // The copy would overwrite the file itself and the delete would then remove it.
    LastError = "Cannot rename " + OldPath + " to " + NewPath +
                ": the device's card sees the same file under both names";
    DeviceLog("portapack refused: " + LastError);
    return false;
  }
  // Both ends are checked before any fopen: the device sizes a folder like an empty file, and an
  // fopen of a folder or into a missing one keeps its only file slot busy until it reboots.
  if (oldPath == "/") {
    LastError = "Cannot rename /: it is a folder";
    return false;
  }
  int64_t size = 0;
  int result = -1;
  switch (ProbeLine(oldCmd, size, result)) {
    case TPathState::Absent:
      LastError = "File not found: " + OldPath;
      return false;
    case TPathState::Unknown:
      return false;
    case TPathState::Exists:
      if (size == 0 && !CheckNotFolder(oldPath, "rename")) return false;
      break;
  }
  bool empty = false;
  if (!CheckWritableTarget(newPath, empty)) return false;
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
