// The PortaPack's ChibiOS shell as Mayhem 2.3 serves it over USB: banner once, "ch> " prompt,
// echo, CR-ended lines of at most 63 bytes (UTF-8 passes as it is) and 6 arguments, and the SD-card
// file commands with their one open-file slot and their "Error calling delete_file: <code> <text>"
// errors.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ShellBase.h"

namespace devsim {

class TPortapackShell : public TShellBase {
 public:
  using TShellBase::TShellBase;
  ~TPortapackShell();

  // Runs the shell from its banner until logout (Ctrl+D or "exit") or until the simulator
  // stops. After a logout the shell is gone for good: the rest of the input is read and ignored.
  void Run();

  // FatFs result texts, as the firmware prints them.
  static std::string ResultText(int Code);

 private:
  enum class TLineResult { Line, Logout, Ended };
  TLineResult GetLine(std::string& Line);
  // Runs one command line; false when the shell must end (logout or the simulator stops).
  bool Execute(const std::vector<std::string>& Words);
  void PrintError(int Code);

  // Maps a device path onto the card directory. False: the name is invalid on FAT (code 6).
  bool Resolve(const std::string& Path, std::vector<std::string>& Parts) const;
  std::string HostPath(const std::vector<std::string>& Parts) const;
  // FatFs lookup result for an existing object: 0, 4 (no file) or 5 (no path); IsDir and Size
  // describe what was found.
  int Lookup(const std::vector<std::string>& Parts, bool& IsDir, uint64_t& Size) const;

  // Answers with the injected error of Command (on Path, for a fault of one entry), if any; true
  // when it did.
  bool AnsweredFault(const std::string& Command, const std::string& Path = {});
  // Answers a command on the open file when there is none, the file slot is wedged or an error
  // is injected; true when the command may go on.
  bool OpenFileReady(const std::string& Command);
  // Resolves Path to an existing entry of the card, or answers with the error; true when found.
  bool FindEntry(const std::string& Command, const std::string& Path,
                 std::vector<std::string>& Parts, bool& IsDir, uint64_t& Size);

  bool CommandLs(const std::string& Path);
  bool CommandFilesize(const std::string& Path);
  bool CommandFopen(const std::string& Path);
  bool CommandFseek(const std::string& Offset);
  bool CommandFrb(const std::string& Count);
  bool CommandFread(const std::string& Count);
  bool CommandFwb(const std::string& Count);
  bool CommandFileOp(const std::string& Name);
  bool CommandUnlink(const std::string& Path);
  bool CommandMkdir(const std::string& Path);
  bool CommandCrc32(const std::string& Path);

  int File_ = -1;
  // A failed fopen leaves the firmware's file object allocated but unusable (see fopen).
  bool Wedged_ = false;
  uint64_t Position_ = 0;
};

}  // namespace devsim
