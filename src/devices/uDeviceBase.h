// TShellDevice: the one abstraction through which the registry and the plug-in interface reach a
// device driven by typing commands into a text shell on a serial port. It owns the port and the
// identifying texts; each kind of device implements the operations.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "devices/uDeviceTypes.h"
#include "serial/uSerial.h"

// Progress of a transfer: Done bytes of Total so far. True goes on, false asks the transfer to
// stop. The device passes back the ProgressData it was given. An empty callback means no progress
// calls at all.
using TTransferProgress = std::function<bool(void* ProgressData, int64_t Done, int64_t Total)>;

// What the device says about a path before something is written there.
enum class TPathState {
  Absent,  // the device's own "no such file" answer: nothing of that name exists
  Exists,  // a file (Size is its size) or a folder (Size 0)
  Unknown  // the device could not tell (no answer, a late answer, a refused path, a folder that
           // does not exist, a device out of step): LastError says why
};

// Every operation reports failure as false and leaves a readable reason in LastError, which a
// success does not clear. Paths given to the file operations are the remote part of a plug-in
// path ("\" or "/" separated, with or without a leading separator); implementations pass them
// through NormalizeRemotePath. One operation at a time per object.
//
// Destruction has one rule: an owner holds a device in a TShellDevicePtr, whose deleter calls
// Disconnect through the virtual slot while the whole object still exists (so an override runs),
// then deletes it. A C++ destructor cannot reach an override, so subclasses do not call
// Disconnect from their destructors; the base destructor only closes the port if it is still
// open, as a last resort for a device deleted some other way.
class TShellDevice {
 public:
  explicit TShellDevice(const std::string& APortName);
  virtual ~TShellDevice();
  TShellDevice(const TShellDevice&) = delete;
  TShellDevice& operator=(const TShellDevice&) = delete;

  // Opens the port and wakes the shell; false with LastError set on failure.
  virtual bool Connect() = 0;
  // Closes the shell and the port. Harmless when not connected; may be called repeatedly.
  virtual void Disconnect();
  // The entries of directory Path, never "." or "..". Entries is not to be used after false.
  virtual bool ListDir(const std::string& Path, TShellFileEntries& Entries) = 0;
  // The size (>= 0) of file Path; false when it does not exist or cannot be sized.
  virtual bool GetFileSize(const std::string& Path, int64_t& Size) = 0;
  // The existence test before an upload or a rename: only Absent lets a write go ahead without
  // asking; Unknown must fail the operation with LastError. Size as GetFileSize's.
  virtual TPathState ProbePath(const std::string& Path, int64_t& Size) = 0;
  // Transfers; when OnProgress answers false they stop with a LastError containing "abort".
  virtual bool GetFile(const std::string& RemotePath, const std::string& LocalPath,
                       const TTransferProgress& OnProgress, void* ProgressData) = 0;
  virtual bool PutFile(const std::string& LocalPath, const std::string& RemotePath,
                       const TTransferProgress& OnProgress, void* ProgressData) = 0;
  virtual bool DeleteFile(const std::string& Path) = 0;
  virtual bool MakeDir(const std::string& Path) = 0;
  virtual bool RemoveDir(const std::string& Path) = 0;
  virtual bool RenameFile(const std::string& OldPath, const std::string& NewPath) = 0;
  virtual TDeviceKind GetKind() const = 0;
  // Whether the device can still take commands: false before Connect and after the link broke in
  // a way the device cannot recover from by itself (the registry then connects afresh).
  virtual bool IsConnected() const { return true; }
  // Whether the device is known to be in step: its last answer ended at its prompt, so the next
  // command's answer is the next thing on the line. After a time-out or a broken block exchange
  // it is not; the driver then resynchronises before its next command, or gives the connection
  // up (IsConnected false).
  bool IsInStep() const { return InStep_; }

  // "/"-separated absolute form of a remote path: backslashes become slashes, a leading slash is
  // added, runs of slashes collapse to one, a trailing slash goes (except for the root "/").
  static std::string NormalizeRemotePath(const std::string& Path);

  // Why Path cannot be typed into a device's shell, or empty when it can: a control character
  // (a byte below 32, or 127) would end or edit the command line on the device, so a CR inside a
  // name would run the rest of the name as a second command. Both drivers refuse such paths
  // before anything is sent.
  static std::string UnsafePathReason(const std::string& Path);

  // The port name given to the constructor (COM5, ttyACM0, ...); never changes.
  const std::string PortName;
  // Human-readable label and short identification, set by Connect.
  std::string Title;
  std::string Version;
  // Text of the most recent failure.
  std::string LastError;
  // The user's settings, handed down by the plug-in before each operation.
  TDeviceSettings Settings;

 protected:
  // Calls OnProgress if it is set; true (go on) when it is not.
  static bool ReportProgress(const TTransferProgress& OnProgress, void* ProgressData, int64_t Done,
                             int64_t Total) {
    return !OnProgress || OnProgress(ProgressData, Done, Total);
  }

  // In-step bookkeeping of the drivers: MarkOutOfStep logs why the line can no longer be trusted.
  void MarkInStep() { InStep_ = true; }
  void MarkOutOfStep(const std::string& Why);

  // How long a command that reads Bytes of the device's card (a checksum of a file, a copy on the
  // card) may take before its answer: BaseMs, and the time at the slowest card reading speed
  // expected (64 KiB/s), an hour at most. An answer that comes sooner ends the wait at once.
  static uint32_t CardPassWaitMs(uint32_t BaseMs, int64_t Bytes);

  // A transfer's copy, checked against the device's checksum of its file once all bytes crossed.
  enum class TCopyDirection { Download, Upload };
  // The verdict on the copy of the device's file Path: OnDevice is the device's checksum
  // (Algorithm, "MD5" or "CRC32"), OfCopy that of the bytes that crossed the line. True when they
  // agree (a detail line says so); otherwise false with LastError naming the file and both, worded
  // for the direction. Word begins the log lines ("portapack", "flipper").
  bool CopyVerified(const std::string& Word, TCopyDirection Direction, const std::string& Path,
                    const std::string& Algorithm, const std::string& OnDevice,
                    const std::string& OfCopy);
  // A copy of Path whose checksum could not be had, and Why: false, with LastError saying so.
  bool CopyNotVerified(const std::string& Word, const std::string& Path, const std::string& Why);

  // Types one command line (Line with its line end) into a device in step. Its last answer ended
  // at its prompt, so what is buffered now (a stray byte at most) answers nothing and nothing
  // more is on its way: it is dropped (and logged) without waiting for a quiet line. Returns the
  // count written.
  int32_t TypeLine(const std::string& Line);

  // When an answer came: a driver may keep one (the existence test's, which an upload right
  // after it would otherwise ask again) while it is fresh: the device in step, no command line
  // typed since, and only a moment old, for the device's own user may change its card.
  struct TAnswerMark {
    uint64_t Lines = ~uint64_t{0};
    uint64_t Tick = 0;
  };
  TAnswerMark MarkAnswer() const;
  bool IsFresh(const TAnswerMark& Mark) const;

  // The device's serial line: created closed with the device, closed and freed with it. Nobody
  // but the device uses it.
  TSerialPort SerialPort;

 private:
  bool InStep_ = false;
  uint64_t LinesTyped_ = 0;
};

// Destroys a device the way its owner must: Disconnect through the virtual slot while the whole
// object still exists, so that an override runs, then delete.
struct TShellDeviceDeleter {
  void operator()(TShellDevice* Device) const {
    if (!Device) return;
    Device->Disconnect();
    delete Device;
  }
};
using TShellDevicePtr = std::unique_ptr<TShellDevice, TShellDeviceDeleter>;
