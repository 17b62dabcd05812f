// The Flipper Zero's command line (the CLI rewritten in April 2025) for one port session: the
// coloured greeting, the "\r\n>: " prompt, echo, CR-ended lines, and the storage commands with
// their exact answers, quoted paths and chunk handshakes.
#pragma once

#include <cstdint>
#include <string>

#include "ShellBase.h"

namespace devsim {

// What survives a session: the per-volume "last modified" stamps of "storage timestamp".
struct TFlipperVolumes {
  uint64_t IntStamp = 0;
  uint64_t ExtStamp = 0;
};

class TFlipperShell : public TShellBase {
 public:
  TFlipperShell(TLine& Line, TFaults& Faults, std::string Root, std::string Name,
                TFlipperVolumes& Volumes);

  // Serves one session: greeting, then commands until the port is closed or the simulator stops.
  void RunSession();

  // The storage layer's error texts, by FS_Error number.
  static std::string ErrorText(int Code);

  // The first operand of Args: a "quoted" path (blanks allowed) or a word; Rest gets the text
  // after it with leading blanks removed. False when there is none. (Also the fuzz tests' model
  // of how the device reads a typed path.)
  static bool ReadPath(const std::string& Args, std::string& Path, std::string& Rest);

 private:
  struct TPath {
    enum TKind { Root, Volume, Entry } Kind = Root;
    std::string Host;  // the host path (the volume folder for Root/Volume)
    bool Internal = false;
  };

  std::string Greeting() const;
  // Runs one command line; false when the session must end.
  bool Execute(const std::string& Line);
  bool Storage(const std::string& Args);
  void Usage();
  void PrintError(int Code);
  // FS error for a path, or 0: resolves /ext, /int and /any below the root folder.
  int Resolve(const std::string& Path, TPath& Result) const;
  void Touch(const TPath& Path);
  bool List(const TPath& Path);
  bool Stat(const TPath& Path);
  bool Remove(const TPath& Path);
  bool Mkdir(const TPath& Path);
  bool Rename(const TPath& From, const std::string& ToText);
  // Opens a file of the card for reading, or answers with the error and gives -1.
  int OpenForReading(const TPath& Path, uint64_t& Size);
  bool ReadChunks(const TPath& Path, const std::string& ChunkText);
  bool WriteChunk(const TPath& Path, const std::string& SizeText);
  bool Md5(const TPath& Path);
  bool Info(const std::string& Path);

  std::string Name_;
  TFlipperVolumes& Volumes_;
};

}  // namespace devsim
