// Local files for transfers between the PC and a device: a file read in blocks for an upload, a
// file created (or replaced) and written in blocks for a download, and the existence test and
// removal that the clean-up after a failed transfer needs. No OS header is included here.
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

}  // namespace platform
