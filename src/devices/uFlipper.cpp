// The Flipper Zero driver: connection, the command exchange and the storage operations over the
// device's command line. The answers are taken apart by the pure parsers of uFlipperParse.
#include "devices/uFlipper.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "devices/uDeviceLog.h"
#include "devices/uFlipperParse.h"
#include "platform/LocalFile.h"
#include "platform/Platform.h"
#include "util/uChecksum.h"
#include "util/uDebugLog.h"
#include "util/uStrUtils.h"

namespace {

// The command line ignores the line coding (it is USB CDC); this is what the port is opened with.
constexpr uint32_t kBaudRate = 230400;
constexpr uint32_t kPortReadTimeoutMs = 3000;

// The new session greets within this time after the port opens: the one fixed wait, once per
// connection. The prompt that the wake-up CR brings ends its own wait.
constexpr uint32_t kOpenDrainMs = 500;
constexpr uint32_t kWakePromptWaitMs = 300;
constexpr uint32_t kLateAnswerDrainMs = 150;

constexpr uint32_t kListWaitMs = 8000;
constexpr uint32_t kStatWaitMs = 3000;
constexpr uint32_t kChangeWaitMs = 3000;
constexpr uint32_t kRenameWaitMs = 5000;
// A rename copies on the card, so its wait grows with the file; a folder (recursive copy) gets a
// long wait.
constexpr uint32_t kFolderRenameWaitMs = 120000;

// The device allocates each chunk on its heap (an allocation failure reboots it); its vendor's
// own tool reads 8192 bytes per "Ready?", and so does this driver.
constexpr uint32_t kDownloadChunk = 8192;
constexpr uint32_t kChunkDeadlineMs = 15000;
constexpr uint32_t kChunkReadWaitMs = 3000;
constexpr uint32_t kReadyWaitMs = 8000;
constexpr uint32_t kLineWaitMs = 3000;
constexpr uint32_t kChunkPromptWaitMs = 5000;
constexpr uint32_t kEmptyFilePromptWaitMs = 3000;

constexpr int64_t kUploadChunk = 32768;

// After the port is reopened to end a read_chunks, the old session first reads the rest of the
// file into nowhere; only then does the new session print its greeting and prompt.
constexpr uint32_t kNewSessionPromptMs = 15000;
// After a time-out that brought nothing at all no command is known to be at work.
constexpr uint32_t kSilentNewSessionPromptMs = 3000;

const std::vector<std::string> kPromptMarkers = {"\r\n>: ", "\r\n>:", "\r>: ", "\r>:", ">: ", ">:"};
const std::vector<std::string> kBarePromptMarkers = {">: ", ">:"};
// The whole line before a download chunk: a late LF must not pass for the chunk's first byte.
const std::vector<std::string> kReadyMarker = {"Ready?\r\n"};
// What the device sends between the size line or a chunk and the next chunk.
const std::string kReadyLine = "\r\nReady?\r\n";

const char* const kNotConnected = "Not connected";

std::string Decimal(int64_t Value) {
  return std::to_string(Value);
}

int32_t LogCount(size_t Size) {
  return static_cast<int32_t>(std::min<size_t>(Size, 0x7FFFFFFF));
}

std::string NoAnswer(uint32_t WaitMs) {
  return "No answer from the device (no prompt within " + Decimal(WaitMs) + " ms)";
}

}  // namespace

bool TFlipperDevice::Connect() {
  Connected = false;
  Title = "Flipper Zero on " + PortName;
  Version = "Flipper Zero";
  DeviceLog("flipper connect " + PortName + " baud=" + Decimal(kBaudRate));
  // Set before Open, which installs it: a later reopen (StartFreshSession) uses it as well.
  SerialPort.SetReadTimeoutMs(kPortReadTimeoutMs);
  if (!SerialPort.Open(PortName, kBaudRate)) {
    DeviceLog("flipper Open FAILED");
    // The cause for the host's log window: a DTR that stays low would otherwise pass for a silent
    // device.
    DeviceLog("flipper " + SerialPort.OpenError());
    LastError = "Cannot open " + PortName;
    return false;
  }
  std::string banner;
  SerialPort.Drain(banner, kOpenDrainMs);
  DeviceLog("flipper initial drain: " + Decimal(LogCount(banner.size())) + " bytes");
  if (!banner.empty()) DebugLogData("flipper banner", banner.data(), LogCount(banner.size()));
  // An empty command line makes the command line print a fresh prompt, which ends the wait.
  SerialPort.WriteStr("\r");
  std::string afterWake;
  int32_t index = -1;
  SerialPort.ReadUntil(kBarePromptMarkers, kWakePromptWaitMs, afterWake, index);
  DeviceLog("flipper post-CR drain: " + Decimal(LogCount(afterWake.size())) + " bytes");
  if (!afterWake.empty())
    DebugLogData("flipper post-CR", afterWake.data(), LogCount(afterWake.size()));
  Connected = true;
  MarkInStep();
  DeviceLog("flipper connect OK");
  return true;
}

void TFlipperDevice::Disconnect() {
  Connected = false;
  TShellDevice::Disconnect();
}

bool TFlipperDevice::EnsureInStep() {
  if (IsInStep()) return true;
  if (!Connected) {
    ExchangeError_ = kNotConnected;
    return false;
  }
  StartFreshSession(LateAnswerPending_ ? kNewSessionPromptMs : kSilentNewSessionPromptMs);
  if (Connected) return true;
  ExchangeError_ =
      "The device is out of step and did not start a fresh session; it is connected afresh at the "
      "next use";
  return false;
}

bool TFlipperDevice::SendCmd(std::string& Response, const std::string& Cmd, uint32_t TimeoutMs) {
  Response.clear();
  if (!SerialPort.IsOpen()) {
    DeviceLog("flipper SendCmd: not open");
    ExchangeError_ = kNotConnected;
    return false;
  }
  if (!EnsureInStep()) return false;
  DeviceLog("flipper SendCmd: [" + Cmd + "] timeout=" + Decimal(TimeoutMs));
  const std::string line = Cmd + "\r";
  if (TypeCommand(Cmd) != static_cast<int32_t>(line.size())) {
    DeviceLog("flipper SendCmd: WARNING WriteStr returned unexpected length");
  } else {
    DeviceLog("flipper SendCmd: wrote " + Decimal(LogCount(line.size())) + " bytes");
  }
  int32_t index = -1;
  // Only a prompt behind this command's echo ends its answer.
  const bool prompt =
      SerialPort.ReadUntil(kPromptMarkers, TimeoutMs, Response, index, Cmd + "\r\n");
  if (prompt) {
    DeviceLog("flipper SendCmd: got prompt idx=" + Decimal(index) +
              " bytes=" + Decimal(LogCount(Response.size())));
  } else {
    DeviceLog("flipper SendCmd: no prompt, timeout. bytes=" + Decimal(LogCount(Response.size())));
    std::string late;
    SerialPort.Drain(late, kLateAnswerDrainMs);
    Response += late;
    ExchangeError_ = NoAnswer(TimeoutMs);
    LateAnswerPending_ = !Response.empty();
    MarkOutOfStep("no prompt within " + Decimal(TimeoutMs) + " ms after " + Cmd);
  }
  if (!Response.empty())
    DebugLogData("flipper SendCmd resp", Response.data(), LogCount(Response.size()));
  return prompt;
}

int32_t TFlipperDevice::TypeCommand(const std::string& Cmd) {
  return TypeLine(Cmd + "\r");
}

bool TFlipperDevice::IsKnownAbsent(const std::string& Path) const {
  return IsFresh(KnownAbsentAt_) && KnownAbsent_ == Path;
}

std::string TFlipperDevice::CleanResponse(const std::string& Response, const std::string& Cmd) {
  return flipper::CleanResponse(Response, Cmd);
}

bool TFlipperDevice::AcceptPath(const std::string& Path) {
  std::string problem = flipper::PathProblem(Path);
  if (problem.empty()) return true;
  LastError = problem;
  DeviceLog("flipper refused path: " + problem);
  return false;
}

bool TFlipperDevice::WaitPrompt(uint32_t TimeoutMs, std::string& Text) {
  int32_t index = -1;
  if (SerialPort.ReadMoreUntil(kBarePromptMarkers, TimeoutMs, Text, index)) return true;
  LateAnswerPending_ = true;
  MarkOutOfStep("no prompt within " + Decimal(TimeoutMs) + " ms");
  return false;
}

bool TFlipperDevice::ListDir(const std::string& Path, TShellFileEntries& Entries) {
  Entries.clear();
  const std::string path = NormalizeRemotePath(Path);
  DeviceLog("flipper ListDir path=[" + path + "] connected=" + (Connected ? "1" : "0"));
  if (path == "/") {
    // The command line's own root also lists "any", an alias of ext; the plug-in shows the two
    // real volumes only, without asking the device.
    for (const char* name : {"int", "ext"}) {
      TShellFileEntry entry;
      entry.Name = name;
      entry.IsDir = true;
      Entries.push_back(entry);
    }
    DeviceLog("flipper ListDir root: synthetic int+ext");
    return true;
  }
  if (!Connected) {
    DeviceLog("flipper ListDir NOT CONNECTED, path=" + path);
    LastError = kNotConnected;
    return false;
  }
  if (!AcceptPath(path)) return false;
  const std::string cmd = "storage list " + flipper::QuotePath(path);
  DeviceLog("flipper> " + cmd);
  std::string response;
  const bool complete = SendCmd(response, cmd, kListWaitMs);
  DeviceLog("flipper raw resp (" + Decimal(LogCount(response.size())) +
            " bytes): " + response.substr(0, 200));
  // Without a prompt the answer is cut short or missing: an empty or partial folder would be
  // shown as if it were the whole one.
  if (!complete) {
    LastError = ExchangeError_;
    DeviceLog("flipper ListDir: " + LastError);
    return false;
  }
  const std::string body = CleanResponse(response, cmd);
  DeviceLog("flipper body: " + body.substr(0, 200));
  const TAnsiStringArray lines = SplitLines(body, true);
  DeviceLog("flipper lines: " + Decimal(LogCount(lines.size())));
  for (const std::string& line : lines) {
    flipper::TListLine parsed = flipper::ParseListLine(line);
    switch (parsed.Kind) {
      case flipper::TListLineKind::Blank:
        continue;
      case flipper::TListLineKind::StorageError:
        LastError = parsed.Text;
        DeviceLog("flipper storage error: " + parsed.Text);
        Entries.clear();
        return false;
      case flipper::TListLineKind::Error:
        LastError = parsed.Text;
        DeviceLog("flipper error: " + parsed.Text);
        Entries.clear();
        return false;
      case flipper::TListLineKind::NoMarker:
        DeviceLog("flipper parse line: [" + parsed.Text + "]");
        DeviceLog("flipper line skipped (no [X] prefix)");
        continue;
      case flipper::TListLineKind::NotDirOrFile:
        DeviceLog("flipper parse line: [" + parsed.Text + "]");
        DeviceLog("flipper line skipped (prefix not D/F)");
        continue;
      case flipper::TListLineKind::Entry:
        break;
    }
    DeviceLog("flipper parse line: [" + parsed.Text + "]");
    const TShellFileEntry& entry = parsed.Entry;
    if (entry.Name.empty() || entry.Name == "." || entry.Name == "..") continue;
    if (entry.IsDir) {
      DeviceLog("flipper -> name=" + entry.Name + " isdir=1");
    } else {
      DeviceLog("flipper -> name=" + entry.Name + " isdir=0" + " size=" + Decimal(entry.Size));
    }
    Entries.push_back(entry);
  }
  DeviceLog("flipper ls done, " + Decimal(LogCount(Entries.size())) + " entries");
  return true;
}

TPathState TFlipperDevice::Stat(const std::string& Path, int64_t& Size, bool& IsDir) {
  Size = 0;
  IsDir = false;
  if (!Connected) {
    LastError = kNotConnected;
    return TPathState::Unknown;
  }
  const std::string path = NormalizeRemotePath(Path);
  if (!AcceptPath(path)) return TPathState::Unknown;
  const std::string cmd = "storage stat " + flipper::QuotePath(path);
  std::string response;
  if (!SendCmd(response, cmd, kStatWaitMs)) {
    LastError = ExchangeError_;
    return TPathState::Unknown;
  }
  const std::string body = CleanResponse(response, cmd);
  std::string errorLine;
  switch (flipper::ParseStatAnswer(body, Size, errorLine)) {
    case flipper::TStatKind::Size:
      return TPathState::Exists;
    case flipper::TStatKind::Error:
      LastError = errorLine;
      // Only the device's own "does not exist" says that nothing of that name is there.
      if (!flipper::SaysNotExist(errorLine)) return TPathState::Unknown;
      KnownAbsent_ = path;
      KnownAbsentAt_ = MarkAnswer();
      return TPathState::Absent;
    case flipper::TStatKind::NoSize:
      break;
  }
  Size = 0;
  IsDir = flipper::SaysDirectory(body);
  if (IsDir) return TPathState::Exists;
  LastError = "Unexpected answer to \"" + cmd + "\": " + body.substr(0, 200);
  return TPathState::Unknown;
}

TPathState TFlipperDevice::ProbePath(const std::string& Path, int64_t& Size) {
  bool isDir = false;
  return Stat(Path, Size, isDir);
}

bool TFlipperDevice::GetFileSize(const std::string& Path, int64_t& Size) {
  if (!Connected) {
    Size = 0;
    return false;
  }
  bool isDir = false;
  return Stat(Path, Size, isDir) == TPathState::Exists && !isDir;
}

bool TFlipperDevice::IsDirectory(const std::string& Path) {
  int64_t size = 0;
  bool isDir = false;
  const std::string saved = LastError;
  Stat(Path, size, isDir);
  LastError = saved;
  return isDir;
}

uint32_t TFlipperDevice::ReadChunkBytes(char* Buffer, uint32_t Needed, uint32_t Count) {
  // Each read asks for everything still missing and returns once it has come (or after 3 s), so a
  // chunk and the line behind it take as few reads as the line delivers them in. Bytes beyond
  // Needed are not waited out: a read that comes back short after them ends the wait. The chunk
  // as a whole has its own deadline, so a trickle of bytes cannot stretch it without limit.
  const uint64_t start = platform::TickCountMs();
  uint32_t got = 0;
  while (got < Count && platform::TickCountMs() - start < kChunkDeadlineMs) {
    uint32_t piece = 0;
    // A failed read (the device went away) ends the chunk; a quiet one just waited its time.
    if (!SerialPort.ReadRaw(Buffer + got, Count - got, piece)) break;
    got += piece;
    if (got >= Needed && got < Count && piece == 0) break;
  }
  return got;
}

bool TFlipperDevice::AwaitReady(std::string& Behind) {
  // Normally the bytes behind the last chunk are the whole "Ready?" line; anything else (stray
  // bytes, a line end still on its way, nothing yet before the first chunk) is read on until the
  // line has come. The device sends nothing after it before it has its answer byte.
  const std::string& marker = kReadyMarker.front();
  if (Behind.size() >= marker.size() &&
      Behind.compare(Behind.size() - marker.size(), marker.size(), marker) == 0)
    return true;
  int32_t index = -1;
  return SerialPort.ReadMoreUntil(kReadyMarker, kReadyWaitMs, Behind, index);
}

bool TFlipperDevice::ReceiveChunks(platform::TLocalFile& Local, const std::string& LocalPath,
                                   int64_t Size, TMd5& Md5, int64_t& Done, std::string& Behind,
                                   const TTransferProgress& OnProgress, void* ProgressData) {
  // One set of read time-outs for every chunk: a read waits up to 3 s for what it asks for.
  TSerialPort::TReadTimeoutScope chunkReads(SerialPort,
                                            TSerialReadTimeouts{0, 0, kChunkReadWaitMs});
  std::vector<char> buffer(kDownloadChunk + kReadyLine.size());
  while (Done < Size) {
    // The whole "Ready?" line, LF included: a late LF must not become the chunk's first byte.
    if (!AwaitReady(Behind)) {
      LastError = "read_chunks: timeout waiting for Ready?";
      DeviceLog("flipper GetFile: " + LastError);
      return false;
    }
    Behind.clear();
    const uint32_t count = static_cast<uint32_t>(std::min<int64_t>(kDownloadChunk, Size - Done));
    // Any one byte asks for the next chunk. Behind the chunk comes the next "Ready?" line, which
    // is read with it; behind the last one the prompt, which the caller waits for.
    SerialPort.WriteStr("\r");
    const bool last = Done + count >= Size;
    const uint32_t got = ReadChunkBytes(
        buffer.data(), count, count + static_cast<uint32_t>(last ? 0 : kReadyLine.size()));
    if (got < count) {
      LastError = "read_chunks: expected " + Decimal(count) + " got " + Decimal(got);
      DeviceLog("flipper GetFile: " + LastError);
      return false;
    }
    Behind.assign(buffer.data() + count, got - count);
    if (!Local.Write(buffer.data(), count)) {
      LastError = "Cannot write local file: " + LocalPath;
      DeviceLog("flipper GetFile: " + LastError);
      return false;
    }
    Md5.Update(std::string_view(buffer.data(), count));
    Done += count;
    DeviceLog("flipper GetFile: done=" + Decimal(Done) + "/" + Decimal(Size));
    if (!ReportProgress(OnProgress, ProgressData, Done, Size)) {
      LastError = "User abort";
      return false;
    }
  }
  return true;
}

void TFlipperDevice::StartFreshSession(uint32_t PromptWaitMs) {
  // read_chunks has no abort: it takes every byte from the host as "send the next chunk" until
  // the file ends, and a command that outlasted its wait answers late. Closing the port drops DTR,
  // which ends the device's session (after its running command) and greets the next session
  // with a fresh prompt.
  DeviceLog("flipper reopening the port for a fresh session");
  SerialPort.Close();
  if (!SerialPort.Open(PortName, kBaudRate)) {
    Connected = false;
    DeviceLog("flipper reopen FAILED");
    DeviceLog("flipper " + SerialPort.OpenError());
    return;
  }
  std::string greeting;
  int32_t index = -1;
  if (!SerialPort.ReadUntil(kBarePromptMarkers, PromptWaitMs, greeting, index)) {
    // Still busy or gone: a later command could be taken as chunk requests, so stop talking.
    Connected = false;
    DeviceLog("flipper reopen: no prompt from the new session");
    return;
  }
  MarkInStep();
  DeviceLog("flipper reopen: new session at its prompt");
}

bool TFlipperDevice::GetFile(const std::string& RemotePath, const std::string& LocalPath,
                             const TTransferProgress& OnProgress, void* ProgressData) {
  if (!Connected) return false;
  const std::string path = NormalizeRemotePath(RemotePath);
  if (!AcceptPath(path)) return false;
  if (!EnsureInStep()) {
    LastError = ExchangeError_;
    return false;
  }
  DeviceLog("flipper GetFile: " + RemotePath);
  // read_chunks opens the file and announces its size itself: no stat is needed before it. (Its
  // count also rules over stat's, which prints 32 bits, and the file may change meanwhile.)
  TypeCommand("storage read_chunks " + flipper::QuotePath(path) + " " + Decimal(kDownloadChunk));
  std::string line;
  std::string tail;
  SerialPort.ReadLine(kLineWaitMs, line);
  DeviceLog("flipper GetFile: echo=[" + line + "]");
  SerialPort.ReadLine(kLineWaitMs, line);
  DeviceLog("flipper GetFile: size-line=[" + line + "]");
  const int64_t size = flipper::ParseSizeLine(line);
  std::string errorLine;
  if (flipper::FindStorageError(line, errorLine)) {
    // The file could not be opened (it is missing or a folder, or an app holds it): the command
    // has ended.
    LastError = flipper::SaysNotExist(errorLine) ? "File not found: " + RemotePath : errorLine;
    DeviceLog("flipper GetFile: " + errorLine);
    WaitPrompt(kEmptyFilePromptWaitMs, tail);
    return false;
  }
  if (size < 0) {
    LastError = "read_chunks: no size line: " + line;
    DeviceLog("flipper GetFile: " + LastError);
    LateAnswerPending_ = true;
    MarkOutOfStep("read_chunks gave no size line");
    return false;
  }
  DeviceLog("flipper GetFile: " + RemotePath + " size=" + Decimal(size));
  // Created only once the device has opened its file, so that a download of a file the device
  // does not have leaves a local file of that name alone.
  platform::TLocalFile local;
  if (!local.Create(LocalPath)) {
    LastError = "Cannot create local file: " + LocalPath;
    DeviceLog("flipper GetFile: " + LastError);
    // The device waits for chunk requests now, unless the file is empty.
    if (size > 0) {
      StartFreshSession(kNewSessionPromptMs);
    } else {
      WaitPrompt(kEmptyFilePromptWaitMs, tail);
    }
    return false;
  }
  if (size > 0) ReportProgress(OnProgress, ProgressData, 0, size);
  int64_t done = 0;
  TMd5 md5;
  bool ok = ReceiveChunks(local, LocalPath, size, md5, done, tail, OnProgress, ProgressData);
  if (ok || done >= size) {
    // Done only when the command has ended at its prompt (part of which may have come already).
    if (!WaitPrompt(kChunkPromptWaitMs, tail) && ok) {
      ok = false;
      LastError = "read_chunks: no prompt after the last chunk";
      DeviceLog("flipper GetFile: " + LastError);
    }
    if (ok) DeviceLog("flipper GetFile: done, " + Decimal(done) + " bytes");
    if (ok) ok = VerifyCopy(path, size, md5, TCopyDirection::Download);
  } else {
    StartFreshSession(kNewSessionPromptMs);
  }
  local.Close();
  if (!ok) platform::DeleteLocalFile(LocalPath);
  return ok;
}

bool TFlipperDevice::PutFile(const std::string& LocalPath, const std::string& RemotePath,
                             const TTransferProgress& OnProgress, void* ProgressData) {
  if (!Connected) return false;
  // Others may read the file meanwhile but not change it, so one consistent content is sent.
  platform::TLocalFile local;
  if (!local.OpenRead(LocalPath)) {
    LastError = "Local file not found: " + LocalPath;
    return false;
  }
  const std::string path = NormalizeRemotePath(RemotePath);
  if (!AcceptPath(path)) return false;
  const int64_t size = local.Size();
  if (size < 0) {
    LastError = "Cannot read local file: " + LocalPath;
    return false;
  }
  const std::string target = flipper::QuotePath(path);
  DeviceLog("flipper PutFile: " + RemotePath + " size=" + Decimal(size));

  // What a failure leaves: the device at its prompt, out of step (it may answer late or read
  // payload as typed lines: a fresh session before the next command), or not to be trusted at all.
  enum class TAfter { AtPrompt, OutOfStep, Lost };
  auto fail = [&](const std::string& Text, TAfter After) {
    LastError = Text;
    DeviceLog("flipper PutFile: " + LastError);
    if (After == TAfter::OutOfStep) {
      LateAnswerPending_ = true;
      MarkOutOfStep(Text);
    }
    if (After == TAfter::Lost) Connected = false;
    return false;
  };

  // write_chunk appends, so the old content must go first. Only "no such file" lets the upload
  // go on: after any other refusal the chunks would be added to the old content. A file that the
  // existence test has just found absent, with no command since, needs no remove.
  std::string errorLine;
  if (IsKnownAbsent(path)) {
    DeviceLog("flipper PutFile: " + path + " was just found absent, nothing to remove");
  } else {
    const std::string removeCmd = "storage remove " + target;
    std::string response;
    if (!SendCmd(response, removeCmd, kChangeWaitMs)) return fail(ExchangeError_, TAfter::AtPrompt);
    if (flipper::FindStorageError(CleanResponse(response, removeCmd), errorLine) &&
        !flipper::SaysNotExist(errorLine))
      return fail(errorLine, TAfter::AtPrompt);
  }
  ReportProgress(OnProgress, ProgressData, 0, size);

  std::string echo;
  std::string signal;
  if (size == 0) {
    // Checked as every other chunk: a device that does not answer has not made the file.
    std::string tail;
    TypeCommand("storage write_chunk " + target + " 0");
    if (!SerialPort.ReadLine(kLineWaitMs, echo))
      return fail("write_chunk: no echo", TAfter::OutOfStep);
    if (!SerialPort.ReadLine(kLineWaitMs, signal))
      return fail("write_chunk: no ready-signal", TAfter::OutOfStep);
    if (flipper::FindStorageError(signal, errorLine)) {
      // The file could not be created; the device is back at its prompt.
      WaitPrompt(kEmptyFilePromptWaitMs, tail);
      return fail("write_chunk: " + errorLine, TAfter::AtPrompt);
    }
    if (!Contains(signal, "Ready"))
      return fail("write_chunk: unexpected response: " + signal, TAfter::OutOfStep);
    if (!WaitPrompt(kEmptyFilePromptWaitMs, tail))
      return fail("write_chunk: no prompt after the empty file", TAfter::OutOfStep);
    DeviceLog("flipper PutFile: done, 0 bytes");
    return VerifyCopy(path, 0, TMd5(), TCopyDirection::Upload);
  }

  TMd5 md5;
  std::vector<char> buffer(static_cast<size_t>(kUploadChunk));
  int64_t done = 0;
  while (done < size) {
    const int64_t count = std::min(kUploadChunk, size - done);
    // Read before the command: once the device has said "Ready" it waits for exactly this many
    // bytes and takes whatever comes as file content.
    uint32_t got = 0;
    if (!local.Read(buffer.data(), static_cast<uint32_t>(count), got) || got != count)
      return fail("Cannot read local file: " + LocalPath, TAfter::AtPrompt);
    md5.Update(std::string_view(buffer.data(), static_cast<size_t>(count)));
    std::string tail;
    TypeCommand("storage write_chunk " + target + " " + Decimal(count));
    if (!SerialPort.ReadLine(kLineWaitMs, echo)) return fail("write_chunk: no echo", TAfter::Lost);
    if (!SerialPort.ReadLine(kLineWaitMs, signal))
      return fail("write_chunk: no ready-signal", TAfter::Lost);
    if (!Contains(signal, "Waiting") && !Contains(signal, "Ready")) {
      if (flipper::FindStorageError(signal, errorLine)) {
        // A refusal to open the file ends the command cleanly: the device is at its prompt
        // and still follows the protocol.
        WaitPrompt(kChunkPromptWaitMs, tail);
        return fail("write_chunk: unexpected response: " + signal, TAfter::AtPrompt);
      }
      return fail("write_chunk: unexpected response: " + signal, TAfter::Lost);
    }
    if (SerialPort.Write(buffer.data(), static_cast<int32_t>(count)) != count)
      return fail("write_chunk: write failed at " + Decimal(done), TAfter::Lost);
    if (!WaitPrompt(kChunkPromptWaitMs, tail))
      return fail("write_chunk: no prompt after chunk " + Decimal(done), TAfter::Lost);
    // A write that failed ends the command early: the rest of the chunk reaches the command line
    // as typed input, and its answers follow.
    if (Contains(UpperAscii(tail), "ERROR"))
      return fail("write_chunk: " + TrimWS(tail), TAfter::OutOfStep);
    done += count;
    if (!ReportProgress(OnProgress, ProgressData, done, size)) {
      LastError = "User abort";
      return false;
    }
  }
  DeviceLog("flipper PutFile: done, " + Decimal(size) + " bytes");
  return VerifyCopy(path, size, md5, TCopyDirection::Upload);
}

bool TFlipperDevice::VerifyCopy(const std::string& Path, int64_t Size, const TMd5& Md5,
                                TCopyDirection Direction) {
  if (!Settings.Verify) return true;
  const std::string cmd = "storage md5 " + flipper::QuotePath(Path);
  std::string response;
  // The device reads the whole file again: the wait grows with it, so that a device still at
  // work is not taken for a silent one.
  if (!SendCmd(response, cmd, CardPassWaitMs(kStatWaitMs, Size)))
    return CopyNotVerified("flipper", Path, ExchangeError_);
  const std::string body = CleanResponse(response, cmd);
  std::string errorLine;
  std::string theirs;
  if (flipper::FindStorageError(body, errorLine))
    return CopyNotVerified("flipper", Path, errorLine);
  if (!flipper::ParseMd5Answer(body, theirs))
    return CopyNotVerified("flipper", Path,
                           "unexpected answer to \"" + cmd + "\": " + body.substr(0, 200));
  return CopyVerified("flipper", Direction, Path, "MD5", theirs, Md5.HexDigest());
}

bool TFlipperDevice::RunChangeCommand(const std::string& Cmd, uint32_t TimeoutMs) {
  std::string response;
  // Silence is no success: the command may not have run, or may still be running.
  if (!SendCmd(response, Cmd, TimeoutMs)) {
    LastError = ExchangeError_;
    return false;
  }
  const std::string body = CleanResponse(response, Cmd);
  if (Contains(UpperAscii(body), "ERROR")) {
    LastError = body;
    return false;
  }
  return true;
}

bool TFlipperDevice::PrepareChange(std::string& Path) {
  // A stalled device may still wait for upload payload and would store the command as data; a
  // closed port answers nothing, which would read as success.
  if (!Connected) {
    LastError = kNotConnected;
    return false;
  }
  Path = NormalizeRemotePath(Path);
  return AcceptPath(Path);
}

bool TFlipperDevice::DeleteFile(const std::string& Path) {
  std::string path = Path;
  if (!PrepareChange(path)) return false;
  return RunChangeCommand("storage remove " + flipper::QuotePath(path), kChangeWaitMs);
}

bool TFlipperDevice::MakeDir(const std::string& Path) {
  std::string path = Path;
  if (!PrepareChange(path)) return false;
  if (RunChangeCommand("storage mkdir " + flipper::QuotePath(path), kChangeWaitMs)) return true;
  // Hosts skip a folder's whole content when making it fails, so a folder that is already there
  // must count as made.
  if (Contains(UpperAscii(LastError), "ALREADY EXIST") && IsDirectory(path)) {
    DeviceLog("flipper MakeDir: " + path + " exists as a directory");
    return true;
  }
  return false;
}

bool TFlipperDevice::RemoveDir(const std::string& Path) {
  // One remove command serves files and (empty) directories.
  return DeleteFile(Path);
}

uint32_t TFlipperDevice::RenameWaitMs(const std::string& Path) {
  int64_t size = 0;
  bool isDir = false;
  const std::string saved = LastError;
  const TPathState state = Stat(Path, size, isDir);
  LastError = saved;
  if (state != TPathState::Exists) return kRenameWaitMs;  // the device will say what is wrong
  if (isDir) return kFolderRenameWaitMs;
  return CardPassWaitMs(kRenameWaitMs, size);
}

bool TFlipperDevice::RenameFile(const std::string& OldPath, const std::string& NewPath) {
  std::string from = OldPath;
  std::string to = NewPath;
  if (!PrepareChange(from) || !PrepareChange(to)) return false;
  // The device copies and then deletes: a large file takes as long as a copy.
  const uint32_t waitMs = RenameWaitMs(from);
  return RunChangeCommand(
      "storage rename " + flipper::QuotePath(from) + " " + flipper::QuotePath(to), waitMs);
}
