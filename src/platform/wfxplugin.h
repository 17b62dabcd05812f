// The host's file-system plug-in interface, its ANSI and its wide ("W", UTF-16) functions, as one
// header for all three targets. Windows builds take the types from <windows.h>; the Linux build
// declares them with the layouts Double Commander uses on Unix (packed 318-byte WIN32_FIND_DATAA,
// 592-byte WIN32_FIND_DATAW, 16-bit WCHAR, 32-bit BOOL, pointer-sized HANDLE).
#pragma once

#include <cstddef>
#include <cstdint>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// <windows.h> maps these names to their A/W variants; the device classes use them as method names.
#undef DeleteFile
#undef GetFileSize
#undef CreateDirectory
#undef RemoveDirectory
#undef MoveFile
#define WFX_API __stdcall
#else
typedef uint32_t DWORD;
typedef int32_t BOOL;
typedef void* HANDLE;
typedef void* HWND;
typedef char16_t WCHAR;
#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif
#ifndef MAX_PATH
#define MAX_PATH 260
#endif
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_PATH_NOT_FOUND 3u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_NO_MORE_FILES 18u
#define ERROR_NO_MORE_ITEMS 259u
#pragma pack(push, 1)
typedef struct _FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
} FILETIME;
typedef struct _WIN32_FIND_DATAA {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwReserved0;
  DWORD dwReserved1;
  char cFileName[MAX_PATH];
  char cAlternateFileName[14];
} WIN32_FIND_DATAA;
#pragma pack(pop)
// Naturally aligned, it has the same layout packed or not.
typedef struct _WIN32_FIND_DATAW {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwReserved0;
  DWORD dwReserved1;
  WCHAR cFileName[MAX_PATH];
  WCHAR cAlternateFileName[14];
} WIN32_FIND_DATAW;
static_assert(sizeof(WIN32_FIND_DATAA) == 318, "Double Commander's Unix layout");
static_assert(sizeof(WIN32_FIND_DATAW) == 592, "Double Commander's Unix layout");
static_assert(offsetof(WIN32_FIND_DATAW, cFileName) == 44, "Double Commander's Unix layout");
#define WFX_API
#endif

#define FS_FILE_OK 0
#define FS_FILE_EXISTS 1
#define FS_FILE_NOTFOUND 2
#define FS_FILE_READERROR 3
#define FS_FILE_WRITEERROR 4
#define FS_FILE_USERABORT 5
#define FS_FILE_NOTSUPPORTED 6
#define FS_FILE_EXISTSRESUMEALLOWED 7

#define FS_COPYFLAGS_OVERWRITE 1
#define FS_COPYFLAGS_RESUME 2
#define FS_COPYFLAGS_MOVE 4
#define FS_COPYFLAGS_EXISTS_SAMECASE 8
#define FS_COPYFLAGS_EXISTS_DIFFERENTCASE 16

#define MSGTYPE_CONNECT 1
#define MSGTYPE_DISCONNECT 2
#define MSGTYPE_DETAILS 3
#define MSGTYPE_TRANSFERCOMPLETE 4
#define MSGTYPE_CONNECTCOMPLETE 5
#define MSGTYPE_IMPORTANTERROR 6
#define MSGTYPE_OPERATIONCOMPLETE 7

#define RT_Other 0
#define RT_MsgOK 8
#define RT_MsgYesNo 9
#define RT_MsgOKCancel 10

typedef struct {
  int size;
  DWORD PluginInterfaceVersionLow;
  DWORD PluginInterfaceVersionHi;
  char DefaultIniName[MAX_PATH];
} FsDefaultParamStruct;

typedef struct {
  DWORD SizeLow;
  DWORD SizeHigh;
  FILETIME LastWriteTime;
  int Attr;
} RemoteInfoStruct;

typedef int(WFX_API* tProgressProc)(int PluginNr, char* SourceName, char* TargetName,
                                    int PercentDone);
typedef void(WFX_API* tLogProc)(int PluginNr, int MsgType, char* LogString);
typedef BOOL(WFX_API* tRequestProc)(int PluginNr, int RequestType, char* CustomTitle,
                                    char* CustomText, char* ReturnedText, int maxlen);
typedef int(WFX_API* tProgressProcW)(int PluginNr, WCHAR* SourceName, WCHAR* TargetName,
                                     int PercentDone);
typedef void(WFX_API* tLogProcW)(int PluginNr, int MsgType, WCHAR* LogString);
typedef BOOL(WFX_API* tRequestProcW)(int PluginNr, int RequestType, WCHAR* CustomTitle,
                                     WCHAR* CustomText, WCHAR* ReturnedText, int maxlen);

#ifndef _WIN32
// The Linux plug-in is built with hidden visibility: the functions declared in this block are its
// only exports (packaging/quarnel.map says the same to the linker).
#pragma GCC visibility push(default)
#endif
extern "C" {
int WFX_API FsInit(int PluginNr, tProgressProc pProgressProc, tLogProc pLogProc,
                   tRequestProc pRequestProc);
void WFX_API FsSetDefaultParams(FsDefaultParamStruct* dps);
void WFX_API FsGetDefRootName(char* DefRootName, int maxlen);
HANDLE WFX_API FsFindFirst(char* Path, WIN32_FIND_DATAA* FindData);
BOOL WFX_API FsFindNext(HANDLE Hdl, WIN32_FIND_DATAA* FindData);
int WFX_API FsFindClose(HANDLE Hdl);
int WFX_API FsGetFile(char* RemoteName, char* LocalName, int CopyFlags, RemoteInfoStruct* ri);
int WFX_API FsPutFile(char* LocalName, char* RemoteName, int CopyFlags);
int WFX_API FsRenMovFile(char* OldName, char* NewName, BOOL Move, BOOL OverWrite,
                         RemoteInfoStruct* ri);
BOOL WFX_API FsDeleteFile(char* RemoteName);
BOOL WFX_API FsRemoveDir(char* RemoteName);
BOOL WFX_API FsMkDir(char* Path);
BOOL WFX_API FsDisconnect(char* DisconnectRoot);

// The wide functions: the hosts call them where they exist (Double Commander also calls FsInit
// before FsInitW). FsFindClose, FsGetDefRootName and FsSetDefaultParams have no wide form.
int WFX_API FsInitW(int PluginNr, tProgressProcW pProgressProcW, tLogProcW pLogProcW,
                    tRequestProcW pRequestProcW);
HANDLE WFX_API FsFindFirstW(WCHAR* Path, WIN32_FIND_DATAW* FindData);
BOOL WFX_API FsFindNextW(HANDLE Hdl, WIN32_FIND_DATAW* FindData);
int WFX_API FsGetFileW(WCHAR* RemoteName, WCHAR* LocalName, int CopyFlags, RemoteInfoStruct* ri);
int WFX_API FsPutFileW(WCHAR* LocalName, WCHAR* RemoteName, int CopyFlags);
int WFX_API FsRenMovFileW(WCHAR* OldName, WCHAR* NewName, BOOL Move, BOOL OverWrite,
                          RemoteInfoStruct* ri);
BOOL WFX_API FsDeleteFileW(WCHAR* RemoteName);
BOOL WFX_API FsRemoveDirW(WCHAR* RemoteName);
BOOL WFX_API FsMkDirW(WCHAR* Path);
BOOL WFX_API FsDisconnectW(WCHAR* DisconnectRoot);
}
#ifndef _WIN32
#pragma GCC visibility pop
#endif

// A BOOL argument as the host meant it. Double Commander 1.0.x on Linux passes the BOOL arguments
// of FsRenMovFile as a one-byte Boolean, so the upper bytes of the register are whatever was there
// before: only the low byte counts. Windows hosts pass a full BOOL.
inline bool HostBool(BOOL Value) {
#ifdef _WIN32
  return Value != 0;
#else
  return (static_cast<uint32_t>(Value) & 0xFFu) != 0;
#endif
}

// The time of an entry that has none, in the host's convention: Total Commander shows no date for
// {0xFFFFFFFE, 0xFFFFFFFF}. Double Commander 1.0.10 (Debian 12's, the Linux host) does not know
// that value: it shows it as 12/31/99 05:36 (in 1899), and a copy of such a file from the plug-in
// ends before it asks the plug-in for the file (seen in tests/doublecmd; the panel is in
// docs/doublecmd-no-time-marker.png). So the Linux build keeps a zero time, which Double Commander
// 1.0 shows as 01/01/01 and from 1.1 on, like the value above, as no date.
inline FILETIME HostNoTime() {
  FILETIME time;
#ifdef _WIN32
  time.dwLowDateTime = 0xFFFFFFFEu;
  time.dwHighDateTime = 0xFFFFFFFFu;
#else
  time.dwLowDateTime = 0;
  time.dwHighDateTime = 0;
#endif
  return time;
}
