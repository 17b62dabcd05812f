// TFlipperDevice: the shell device for a Flipper Zero on a USB serial port. It types "storage"
// commands into the device's command line (CR-ended, prompt ">: ") and moves file contents in
// the command line's chunk handshakes: read_chunks for downloads, write_chunk for uploads.
#pragma once

#include <cstdint>
#include <string>

#include "devices/uDeviceBase.h"

namespace platform {
class TLocalFile;
}
class TMd5;

class TFlipperDevice : public TShellDevice {
 public:
  using TShellDevice::TShellDevice;

  bool Connect() override;
  void Disconnect() override;
  bool ListDir(const std::string& Path, TShellFileEntries& Entries) override;
  bool GetFileSize(const std::string& Path, int64_t& Size) override;
  TPathState ProbePath(const std::string& Path, int64_t& Size) override;
  bool GetFile(const std::string& RemotePath, const std::string& LocalPath,
               const TTransferProgress& OnProgress, void* ProgressData) override;
  bool PutFile(const std::string& LocalPath, const std::string& RemotePath,
               const TTransferProgress& OnProgress, void* ProgressData) override;
  bool DeleteFile(const std::string& Path) override;
  bool MakeDir(const std::string& Path) override;
  bool RemoveDir(const std::string& Path) override;
  bool RenameFile(const std::string& OldPath, const std::string& NewPath) override;
  TDeviceKind GetKind() const override { return dkFlipper; }
  bool IsConnected() const override { return Connected; }

  // One command exchange: writes Cmd and CR, and returns in Response the raw text up to and
  // including the prompt that follows the command's echo, or whatever arrived until TimeoutMs
  // (plus a short drain) ran out. True when that prompt came; false otherwise, with the reason in
  // ExchangeError() (a time-out also puts the device out of step). A device out of step gets a
  // fresh session first.
  bool SendCmd(std::string& Response, const std::string& Cmd, uint32_t TimeoutMs);
  const std::string& ExchangeError() const { return ExchangeError_; }
  // The answer to Cmd without its echo, bare prompts, blank lines and colour-code lines.
  static std::string CleanResponse(const std::string& Response, const std::string& Cmd);

  // True from a successful Connect until Disconnect, or until an upload breaks the chunk
  // protocol (the stalled state: port open, device no longer trusted to be at its prompt).
  bool Connected = false;

 private:
  // Refuses a path the command line cannot take (LastError set); true when it can be sent.
  bool AcceptPath(const std::string& Path);
  // DeleteFile, MakeDir, RemoveDir and RenameFile: refuses without a connection or for a path
  // the command line cannot take (LastError set); Path becomes the normalised path.
  bool PrepareChange(std::string& Path);
  // DeleteFile, MakeDir and RenameFile: one command whose cleaned answer must hold no error.
  bool RunChangeCommand(const std::string& Cmd, uint32_t TimeoutMs);
  // Reopens the port: on current firmware that ends the session and whatever command it runs (a
  // read_chunks that stopped early, a command that outlasted its wait, upload payload typed into
  // the shell), and the next session greets with a fresh prompt. Without that prompt the
  // connection is given up (Connected false).
  // PromptWaitMs bounds the wait for the new session's prompt (the old one may first finish a
  // long command).
  void StartFreshSession(uint32_t PromptWaitMs);
  // A device out of step gets a fresh session before the next command; false (ExchangeError_
  // set) when that failed.
  bool EnsureInStep();
  // Reads the device's text up to its next prompt, appended to what Text holds (the beginning of
  // that text may have come already); false when none came in TimeoutMs (the device is then out
  // of step).
  bool WaitPrompt(uint32_t TimeoutMs, std::string& Text);
  // TypeLine for one command: Cmd and its CR.
  int32_t TypeCommand(const std::string& Cmd);
  // The existence test has just found Path absent (the answer is fresh).
  bool IsKnownAbsent(const std::string& Path) const;
  // How long a rename may take: the device copies the file, so the wait grows with its size.
  uint32_t RenameWaitMs(const std::string& Path);
  // The download's chunk loop: Local receives the data and Md5 takes it, Done counts it, Behind
  // gets what came after the last chunk (the beginning of the prompt). False with LastError set.
  bool ReceiveChunks(platform::TLocalFile& Local, const std::string& LocalPath, int64_t Size,
                     TMd5& Md5, int64_t& Done, std::string& Behind,
                     const TTransferProgress& OnProgress, void* ProgressData);
  // After a transfer of Path (Size bytes) that ended OK: the device's "storage md5" of it against
  // Md5, the digest of the bytes that crossed. True when they agree or the check is off
  // (Settings.Verify); otherwise false with LastError naming the file and both digests.
  bool VerifyCopy(const std::string& Path, int64_t Size, const TMd5& Md5, TCopyDirection Direction);
  // Waits until Behind (what came after the size line or the last chunk) ends with the whole
  // "Ready?" line; false when it did not come in time.
  bool AwaitReady(std::string& Behind);
  // After a "Ready?" has been answered: the chunk's Needed bytes and up to Count in all (the line
  // behind the chunk); the number read.
  uint32_t ReadChunkBytes(char* Buffer, uint32_t Needed, uint32_t Count);
  // "storage stat" of Path: its state, its size (0 for a folder) and whether it is a folder.
  TPathState Stat(const std::string& Path, int64_t& Size, bool& IsDir);
  // True when "storage stat" calls Path a directory.
  bool IsDirectory(const std::string& Path);

  // Why the last SendCmd brought no complete answer.
  std::string ExchangeError_;
  // The path the existence test last found absent, and when.
  std::string KnownAbsent_;
  TAnswerMark KnownAbsentAt_;
  // The device went out of step while working (part of an answer came, a transfer broke off)
  // rather than after a time-out that brought nothing at all.
  bool LateAnswerPending_ = false;
};
