// Local files for transfers between the PC and a device: a file read in blocks for an upload, a
// file created (or replaced) and written in blocks for a download, the existence test and removal
// that the clean-up after a failed transfer needs, and the pieces that let a download take its
// target's place only once it is complete: a new file under a name of its own, and a replacing
// rename. No OS header is included here.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// One open local file; closed by Close or by the destructor.
class TLocalFile {
 public:
  TLocalFile() = default;
  ~TLocalFile();
  TLocalFile(const TLocalFile&) = delete;
  TLocalFile& operator=(const TLocalFile&) = delete;

  // Opens an existing regular file for reading. Others may read it meanwhile but not write it
  // (Windows share mode; POSIX has no such lock), so an upload sends one consistent content.
  bool OpenRead(const std::string& Path);
  // Creates the file, or empties an existing one, for writing.
  bool Create(const std::string& Path);
  bool IsOpen() const { return Handle_ != -1; }
  void Close();

  // Size in bytes of the open file; -1 when it cannot be read.
  int64_t Size() const;
  // Reads up to Count bytes; Got is short only at the end of the file. False on a read error.
  bool Read(void* Buf, uint32_t Count, uint32_t& Got);
  // Writes all Count bytes; false when the system took fewer (a full disk, an error).
  bool Write(const void* Buf, uint32_t Count);

 private:
  // A POSIX descriptor or a Windows handle; -1 while closed.
  intptr_t Handle_ = -1;
};

// True when Path names an existing regular file (not a folder).
bool LocalFileExists(const std::string& Path);
// Removes the file; false when it could not be removed (or was not there).
bool DeleteLocalFile(const std::string& Path);
// True when the existing file Path may be written (POSIX write permission; Windows: not
// read-only).
bool LocalFileWritable(const std::string& Path);

// Creates Path as a new, empty file and closes it. Never an existing file, and never through a
// symbolic link: anything already at Path, a link included, makes it fail with Exists set.
// OwnerOnly makes the file readable by its owner only (POSIX mode 0600; on Windows the file gets
// its folder's permissions either way); otherwise it is made as any new file of the user's (0644
// less the umask).
bool CreateNewLocalFile(const std::string& Path, bool OwnerOnly, bool& Exists);
// A new, empty file in Folder (with or without its trailing separator; empty for the current
// folder) named Prefix + a part that no other call in this or another running process gives +
// Suffix, created as CreateNewLocalFile does (a name taken meanwhile, say by a file left from an
// earlier run, is passed over). Its path, or an empty string when no file could be created.
std::string CreateUniqueLocalFile(const std::string& Folder, const std::string& Prefix,
                                  const std::string& Suffix, bool OwnerOnly);
// Puts the file From in To's place in one step, replacing a file To: MoveFileExW with
// MOVEFILE_REPLACE_EXISTING on Windows, rename on POSIX (where From first takes the replaced
// file's permissions). Both stay as they were when it fails. Both must be on one volume.
bool ReplaceLocalFile(const std::string& From, const std::string& To);
// The folder part of Path with its trailing separator ("/" on POSIX; "\", "/" or a drive's ":" on
// Windows), or an empty string for a bare name.
std::string LocalFolderOf(const std::string& Path);
// The file that Path names: on POSIX with symbolic links resolved, so that a file reached through
// a link is replaced where it lies and the link stays; Path itself when it does not exist, and on
// Windows.
std::string ResolveLocalFile(const std::string& Path);

}  // namespace platform
