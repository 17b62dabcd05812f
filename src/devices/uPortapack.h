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

class TPortapackDevice : public TShellDevice {
 public:
  using TShellDevice::TShellDevice;

  bool Connect() override;
  bool ListDir(const std::string& Path, TShellFileEntries& Entries) override;
  bool GetFileSize(const std::string& Path, int64_t& Size) override;
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
  // the prompt, or whatever came before TimeoutMs ran out (a response without a prompt). A line
  // the shell cannot take as typed (too long, too many words, a control character) is not sent.
  void SendCmd(std::string& Response, const std::string& Cmd, uint32_t TimeoutMs);
  // The answer's body: see portapack::ExtractBody.
  static std::string ExtractBody(const std::string& Response, const std::string& Cmd);
  // SendCmd, then judges the body. False with LastError set when nothing at all came back
  // ("No answer from device"), the port is closed ("Not connected"), the body holds an error word
  // or is one of the shell's refusals (LastError: the body), or the line cannot be sent.
  bool ExecCmd(const std::string& Cmd, uint32_t TimeoutMs);

  // False until Connect succeeds; the file operations refuse to talk to the device before.
  bool Connected = false;

 private:
  // True (with LastError set and logged) when the command line Command + Path cannot be typed
  // into the shell so that it acts on Path: nothing is sent then.
  bool RefusePath(const std::string& Command, const std::string& Path);
  // Why the command line Cmd cannot be typed into the shell as it stands, or empty.
  static std::string LineProblem(const std::string& Cmd);
  // LastError for an exchange that brought back nothing at all.
  void SetSilenceError();

  // The steps of a transfer between "fopen" and "fclose".
  bool DownloadOpenFile(int64_t Total, const std::string& LocalPath, platform::TLocalFile& Local,
                        bool& Created, const TTransferProgress& OnProgress, void* ProgressData);
  bool UploadOpenFile(platform::TLocalFile& Local, int64_t Total, const std::string& LocalPath,
                      const TTransferProgress& OnProgress, void* ProgressData);
  // One "frb" block of N bytes into Block; one "fwb" block of N bytes from Data.
  bool ReceiveBlock(uint32_t N, std::string& Block);
  bool SendBlock(const char* Data, uint32_t N);
  // The port's ReadUntil (same markers, index and time-out), with reads that hand over bytes as
  // soon as they are there.
  bool ReadUntilPrompt(const std::vector<std::string>& Markers, uint32_t TimeoutMs,
                       std::string& Data, int32_t& MatchIndex);
  // Reads up to the prompt after a block; Text is what came before the prompt.
  bool ReadToBlockPrompt(uint32_t TimeoutMs, std::string& Text);
  // Closes the device's open file; its answer does not matter.
  void CloseRemoteFile();
  // True when the listing of Path's parent shows Path as a folder. False also when the listing
  // fails, with Failed set.
  bool IsListedFolder(const std::string& Path, bool& Failed);
};
