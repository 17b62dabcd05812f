// The operating system's part of TLocalFile (src/platform/LocalFile.cpp): one call each, on a
// handle that is a POSIX descriptor or a Windows handle; -1 is never a valid handle. Only
// src/platform/ includes this.
#pragma once

#include <cstdint>
#include <string>

namespace platform::os {

// An existing regular file for reading, others kept from writing where the system can do that.
intptr_t OpenLocalRead(const std::string& Path);
// A new or emptied file for writing.
intptr_t CreateLocal(const std::string& Path);
void CloseLocal(intptr_t Handle);
int64_t LocalSize(intptr_t Handle);
// One read or write; Done may be less than Count. False on an error.
bool ReadLocal(intptr_t Handle, void* Buf, uint32_t Count, uint32_t& Done);
bool WriteLocal(intptr_t Handle, const void* Buf, uint32_t Count, uint32_t& Done);
// The running process's id, which sets a unique name apart from other processes' names.
uint32_t ProcessId();

}  // namespace platform::os
