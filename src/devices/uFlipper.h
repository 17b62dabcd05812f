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

class TFlipperDevice : public TShellDevice {
 public:
  using TShellDevice::TShellDevice;

  bool Connect() override;
  void Disconnect() override;
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
  TDeviceKind GetKind() const override { return dkFlipper; }
  bool IsConnected() const override { return Connected; }

  // One command exchange: writes Cmd and CR, and returns in Response the raw text up to and
  // including the prompt, or whatever arrived until TimeoutMs (plus a short drain) ran out.
  void SendCmd(std::string& Response, const std::string& Cmd, uint32_t TimeoutMs);
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
  // Leaves a read_chunks that stopped before its last chunk by starting a new session.
  void EndReadChunks();
  // Reads the device's text up to its next prompt; false when none came in TimeoutMs.
  bool WaitPrompt(uint32_t TimeoutMs, std::string& Text);
  // The download's chunk loop: Local receives the data, Done counts it. False with LastError set.
  bool ReceiveChunks(platform::TLocalFile& Local, const std::string& LocalPath, int64_t Size,
                     int64_t& Done, const TTransferProgress& OnProgress, void* ProgressData);
  // The raw bytes of one chunk after its "Ready?" has been answered: up to Count of them.
  uint32_t ReadChunkBytes(char* Buffer, uint32_t Count);
  // True when "storage stat" calls Path a directory.
  bool IsDirectory(const std::string& Path);
};
