// TPortapackDevice: a PortaPack running the Mayhem firmware, driven through its ChibiOS shell
// on a USB serial port. Every operation is a short dialogue of command lines and raw blocks;
// the answers are taken apart by the pure functions of uPortapackParse.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "devices/uDeviceBase.h"

namespace platform {
class TLocalFile;
}
class TCrc32Bzip2;

class TPortapackDevice : public TShellDevice {
 public:
  using TShellDevice::TShellDevice;

  bool Connect() override;
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
  TDeviceKind GetKind() const override { return dkPortapack; }
  bool IsConnected() const override { return Connected; }

  // Sends Cmd and a line end and returns in Response every byte received up to and including
  // the prompt that follows the command's echo, or whatever came before TimeoutMs ran out. True
  // when that prompt came; false otherwise, with the reason in ExchangeError() (a time-out also
  // puts the device out of step). A device out of step is brought back in step first; a line the
  // shell cannot take as typed (too long, too many words, a control character) is not sent.
  bool SendCmd(std::string& Response, const std::string& Cmd, uint32_t TimeoutMs);
  const std::string& ExchangeError() const { return ExchangeError_; }
  // The answer's body: see portapack::ExtractBody.
  static std::string ExtractBody(const std::string& Response, const std::string& Cmd);
  // SendCmd, then judges the body. False with LastError set when no complete answer came back
  // (nothing at all: "No answer from device"), the port is closed ("Not connected"), the body
  // holds an error word or is one of the shell's refusals (LastError: the body), or the line
  // cannot be sent.
  bool ExecCmd(const std::string& Cmd, uint32_t TimeoutMs);

  // False until Connect succeeds; the file operations refuse to talk to the device before.
  bool Connected = false;

 private:
  // The command line Command + " " + Path for a normalised Path, built and checked in one place:
  // false (LastError set and logged) when the card cannot hold a name of Path or when the longest
  // command line any operation sends for a path ("filesize ", the existence test) would not reach
  // the shell as typed. Every operation thus accepts the same paths.
  bool PathCommand(const std::string& Command, const std::string& Path, std::string& Line);
  // Why the command line Cmd cannot be typed into the shell as it stands, or empty.
  static std::string LineProblem(const std::string& Cmd);
  // Brings a device that is out of step back to a fresh prompt before the next command: waits
  // (bounded) for the late prompt, then confirms a fresh one with a bare CR. When that fails, or
  // the shell waits for upload payload, the connection is given up (Connected false) so that the
  // next use connects afresh. False then, with ExchangeError_ set.
  bool EnsureInStep();
  // "filesize" of a checked path: its state, and the FatFs result of an error answer (else -1).
  // A fresh clear answer to the same line (the existence test just before an upload) is not
  // asked again.
  TPathState ProbeLine(const std::string& Cmd, int64_t& Size, int& Result);
  // ProbeLine's question to the device.
  TPathState AskProbe(const std::string& Cmd, int64_t& Size, int& Result);
  // The path may be written as a file: false (LastError set) for a folder, a folder that does
  // not exist, or a path the device could not tell about. An fopen of any of them would fail and
  // keep the device's only file slot busy until it reboots. Empty: no file or an empty one is
  // there, so the upload has nothing to overwrite.
  bool CheckWritableTarget(const std::string& Path, bool& Empty);
  // Size-0 answers of "filesize" come from empty files and folders alike: false (LastError set)
  // when Path is a folder or the listing that tells them apart failed.
  bool CheckNotFolder(const std::string& Path, const std::string& Action);
  // Whether the plain name of a listing line names an entry of Folder (one "filesize", whose
  // answer is the entry's size).
  bool NameExists(const std::string& Folder, const std::string& Name, int64_t& Size);
  // The "ls" of Path parsed into Entries, names checked with the device; Sized tells for each
  // entry whether its size is known (from the line or the name check).
  bool ListFolder(const std::string& Path, TShellFileEntries& Entries, std::vector<bool>& Sized);
  // The shell's "ls" prints names only: asks "filesize" for each file of Folder whose size is not
  // known yet, unless the folder has more files than Settings.PortapackSizes (then one detail
  // line says so). A size the device does not give leaves that file at 0, and the listing goes
  // on; a device that stops answering ends the asking.
  void AddFileSizes(const std::string& Folder, TShellFileEntries& Entries,
                    const std::vector<bool>& Sized);
  // Removes a file or an empty folder: the one command serves both.
  bool Unlink(const std::string& Path);

  // The steps of a transfer between "fopen" and "fclose"; Crc takes every byte that crosses.
  bool DownloadOpenFile(int64_t Total, const std::string& LocalPath, platform::TLocalFile& Local,
                        bool& Created, TCrc32Bzip2& Crc, const TTransferProgress& OnProgress,
                        void* ProgressData);
  // Empty: the open file has no content (fopen made it, or it was empty), so it needs no rewind
  // and no truncation.
  bool UploadOpenFile(platform::TLocalFile& Local, int64_t Total, const std::string& LocalPath,
                      bool Empty, TCrc32Bzip2& Crc, const TTransferProgress& OnProgress,
                      void* ProgressData);
  // After a transfer of the closed file Path (Size bytes) that ended OK: the device's "crc32" of
  // it against Crc, the CRC of the bytes that crossed. True when they agree, and when the check is
  // off (Settings.Verify) or the firmware has no "crc32" (one detail line per connection says
  // so); otherwise false with LastError naming the file and both values.
  bool VerifyCopy(const std::string& Path, int64_t Size, const TCrc32Bzip2& Crc,
                  TCopyDirection Direction);
  // One "frb" block of N bytes into Block; one "fwb" block of N bytes from Data.
  bool ReceiveBlock(uint32_t N, std::string& Block);
  bool SendBlock(const char* Data, uint32_t N);
  // Reads up to the prompt after a block; Text is what came before the prompt.
  bool ReadToBlockPrompt(uint32_t TimeoutMs, std::string& Text);
  // Closes the device's open file; its answer does not matter.
  void CloseRemoteFile();
  // True when the listing of Path's parent shows Path as a folder. False also when the listing
  // fails, with Failed set.
  bool IsListedFolder(const std::string& Path, bool& Failed);

  // Why the last SendCmd brought no complete answer.
  std::string ExchangeError_;
  // The last clear "filesize" answer: its command line, what it said, and when.
  struct TProbe {
    std::string Cmd;
    TPathState State = TPathState::Unknown;
    int64_t Size = 0;
    TAnswerMark At;
  };
  TProbe LastProbe_;
  // The last time-out received bytes (a command still at work) rather than none (a silent line).
  bool LateAnswerPending_ = false;
  // This connection's firmware answered "crc32 ?": copies cannot be verified, and it is not asked
  // again.
  bool NoCrc32_ = false;
};
