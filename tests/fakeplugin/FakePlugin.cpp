// A stand-in file-system plug-in with scripted, deterministic behaviour, for testing the
// command-line host on its own. It keeps a small tree in memory under two root folders:
//
//   \Fake (COM1)          connects on first use (logs "CONNECT \Fake (COM1)")
//     docs\readme.txt     small.txt ("hello")   big.bin (5000000000 bytes, no data)
//     notime.dat (time 0) nomarker.dat (the "no time" marker)   with blank.txt   empty (folder)
//   \Other (COM2)         listing fails with a message box and ERROR_PATH_NOT_FOUND
//
// Every call is logged as a DETAILS line with its arguments, so a test sees exactly what the host
// passed. Scripted names: a last path component "result=N" makes get/put/mv/rm/mkdir/rmdir return
// N; listing "...\lasterror=N" fails with last error N; listing "\Fake (COM1)\ask" asks a yes/no
// question and a user name and logs the answers; listing "\Fake (COM1)\wrongnr" logs with a
// PluginNr one higher than it was given. Transfers report 0, 25, 50, 75 and 100 percent.
// FsStatusInfo logs whether it was called on the thread that called FsInit; FsExecuteFile answers
// "open" with FS_EXEC_YOURSELF, "properties" with FS_EXEC_OK, "jump" with FS_EXEC_SYMLINK to
// \Fake (COM1)\docs and anything else with FS_EXEC_ERROR; FsGetBackgroundFlags with
// BG_DOWNLOAD | BG_ASK_USER.
// Built with FAKEPLUGIN_MINIMAL it exports only FsInit, FsFindFirst, FsFindNext and FsFindClose.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/wfxplugin.h"

#ifndef _WIN32
#include <cerrno>
#endif

extern "C" {
int WFX_API FsGetFile(char* RemoteName, char* LocalName, int CopyFlags, RemoteInfoStruct* ri);
int WFX_API FsPutFile(char* LocalName, char* RemoteName, int CopyFlags);
int WFX_API FsRenMovFile(char* OldName, char* NewName, BOOL Move, BOOL OverWrite,
                         RemoteInfoStruct* ri);
BOOL WFX_API FsDeleteFile(char* RemoteName);
BOOL WFX_API FsRemoveDir(char* RemoteName);
BOOL WFX_API FsMkDir(char* Path);
BOOL WFX_API FsDisconnect(char* DisconnectRoot);
int WFX_API FsExecuteFile(HWND MainWin, char* RemoteName, char* Verb);
void WFX_API FsStatusInfo(char* RemoteDir, int InfoStartEnd, int InfoOperation);
int WFX_API FsGetBackgroundFlags(void);
}

namespace {

struct Node {
  bool directory = false;
  uint64_t size = 0;
  FILETIME time = {0, 0};
  std::string content;
};

struct Listing {
  std::vector<std::pair<std::string, Node>> entries;
  size_t next = 0;
};

const std::string kDevice = "\\Fake (COM1)";
const std::string kOther = "\\Other (COM2)";

int pluginNr = 0;
tProgressProc progressProc = nullptr;
tLogProc logProc = nullptr;
tRequestProc requestProc = nullptr;
bool connected = false;
std::thread::id initThread;        // the host's thread: the one that called FsInit
std::map<std::string, Node> tree;  // full plug-in path -> node

#if defined(_WIN32) && !defined(_WIN64)
// 32-bit Windows: the host's callbacks must be __stdcall, popping their own arguments. A cdecl
// callback leaves ESP off by the size of the arguments, which code with frame pointers survives
// unnoticed, so every call into the host compares ESP before and after.
#define FAKE_READ_SP(var) asm volatile("movl %%esp, %0" : "=r"(var))
#else
#define FAKE_READ_SP(var) ((var) = 0)
#endif

void CheckStack(const char* callback, uintptr_t before, uintptr_t after) {
  if (before == after) return;
  std::fprintf(stderr, "fakeplugin: %s moved the stack pointer by %ld bytes (not __stdcall?)\n",
               callback, static_cast<long>(after) - static_cast<long>(before));
  std::fflush(stderr);
  std::abort();
}

// Calls the host through Expression (one callback call) with the stack check around it.
#define CALL_HOST(name, expression)    \
  ([&] {                               \
    uintptr_t before_ = 0, after_ = 0; \
    FAKE_READ_SP(before_);             \
    auto result_ = (expression);       \
    FAKE_READ_SP(after_);              \
    CheckStack(name, before_, after_); \
    return result_;                    \
  }())

void SetLastErrorValue(DWORD code) {
#ifdef _WIN32
  SetLastError(code);
#else
  errno = static_cast<int>(code);
#endif
}

FILETIME FileTimeFromUnix(int64_t seconds) {
  const uint64_t ticks = static_cast<uint64_t>(seconds + 11644473600LL) * 10000000u;
  FILETIME time;
  time.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFFu);
  time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return time;
}

Node File(const std::string& content, FILETIME time) {
  Node node;
  node.size = content.size();
  node.content = content;
  node.time = time;
  return node;
}

Node Directory(FILETIME time) {
  Node node;
  node.directory = true;
  node.time = time;
  return node;
}

void BuildTree() {
  tree.clear();
  const FILETIME stamp = FileTimeFromUnix(1704164645);  // 2024-01-02T03:04:05Z
  tree[kDevice] = Directory({0, 0});
  tree[kOther] = Directory({0, 0});
  tree[kDevice + "\\docs"] = Directory(stamp);
  tree[kDevice + "\\docs\\readme.txt"] = File("read me\n", stamp);
  tree[kDevice + "\\small.txt"] = File("hello", stamp);
  Node big = File("", FileTimeFromUnix(1686830400));  // 2023-06-15T12:00:00Z
  big.size = 5000000000ULL;
  tree[kDevice + "\\big.bin"] = big;
  tree[kDevice + "\\notime.dat"] = File("x", {0, 0});
  tree[kDevice + "\\nomarker.dat"] = File("y", {0xFFFFFFFEu, 0xFFFFFFFFu});
  tree[kDevice + "\\with blank.txt"] = File("blank", stamp);
  tree[kDevice + "\\empty"] = Directory(stamp);
}

void Log(int type, const std::string& text) {
  if (logProc != nullptr) {
    CALL_HOST("LogProc", (logProc(pluginNr, type, const_cast<char*>(text.c_str())), 0));
  }
}

std::string Str(const char* text) {
  return text != nullptr ? text : "";
}

// Drops a trailing backslash (the root stays "\").
std::string Normalise(const std::string& path) {
  std::string result = path.empty() ? "\\" : path;
  while (result.size() > 1 && result.back() == '\\') result.pop_back();
  return result;
}

std::string ParentOf(const std::string& path) {
  const size_t slash = path.rfind('\\');
  return slash == 0 || slash == std::string::npos ? "\\" : path.substr(0, slash);
}

std::string LastPart(const std::string& path) {
  const size_t slash = path.rfind('\\');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// For names "result=N": true with N in Value.
bool ScriptedResult(const std::string& path, int& value) {
  const std::string last = LastPart(path);
  if (last.compare(0, 7, "result=") != 0) return false;
  value = std::atoi(last.c_str() + 7);
  return true;
}

bool OnDevice(const std::string& path) {
  return path.compare(0, kDevice.size(), kDevice) == 0 &&
         (path.size() == kDevice.size() || path[kDevice.size()] == '\\');
}

void ConnectIfNeeded(const std::string& path) {
  if (!OnDevice(path) || connected) return;
  connected = true;
  Log(MSGTYPE_CONNECT, "CONNECT " + kDevice);
}

bool IsFile(const std::string& path) {
  const auto found = tree.find(path);
  return found != tree.end() && !found->second.directory;
}

bool IsDirectory(const std::string& path) {
  const auto found = tree.find(path);
  return found != tree.end() && found->second.directory;
}

bool HasChildren(const std::string& path) {
  for (const auto& [name, node] : tree) {
    if (name.size() > path.size() && name.compare(0, path.size(), path) == 0 &&
        name[path.size()] == '\\') {
      return true;
    }
  }
  return false;
}

bool LocalFileExists(const std::string& path) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  std::fclose(file);
  return true;
}

// Reports 0..100 in quarters; false as soon as the host answers abort.
bool RunProgress(const std::string& source, const std::string& target) {
  if (progressProc == nullptr) return true;
  for (int percent = 0; percent <= 100; percent += 25) {
    const int answer =
        CALL_HOST("ProgressProc", progressProc(pluginNr, const_cast<char*>(source.c_str()),
                                               const_cast<char*>(target.c_str()), percent));
    if (answer != 0) return false;
  }
  return true;
}

void FillFindData(const std::string& name, const Node& node, WIN32_FIND_DATAA* data) {
  std::memset(data, 0, sizeof(*data));
  data->dwFileAttributes = node.directory ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
  data->nFileSizeLow = static_cast<DWORD>(node.size & 0xFFFFFFFFu);
  data->nFileSizeHigh = static_cast<DWORD>(node.size >> 32);
  data->ftCreationTime = node.time;
  data->ftLastAccessTime = node.time;
  data->ftLastWriteTime = node.time;
  std::strncpy(data->cFileName, name.c_str(), sizeof(data->cFileName) - 1);
}

void AskQuestions() {
  if (requestProc == nullptr) return;
  const BOOL answer =
      CALL_HOST("RequestProc", requestProc(pluginNr, RT_MsgYesNo, const_cast<char*>("Quarnel"),
                                           const_cast<char*>("Weiter?"), nullptr, 0));
  Log(MSGTYPE_DETAILS, std::string("answer=") + (answer ? "TRUE" : "FALSE"));
  char name[16] = "guest";
  const BOOL given = CALL_HOST(
      "RequestProc", requestProc(pluginNr, 1 /* RT_UserName */, const_cast<char*>("Login"),
                                 const_cast<char*>("Name?"), name, sizeof(name)));
  Log(MSGTYPE_DETAILS, std::string("reply=") + (given ? "TRUE" : "FALSE") + " [" + name + "]");
}

}  // namespace

extern "C" {

int WFX_API FsInit(int PluginNr, tProgressProc pProgressProc, tLogProc pLogProc,
                   tRequestProc pRequestProc) {
  pluginNr = PluginNr;
  progressProc = pProgressProc;
  logProc = pLogProc;
  requestProc = pRequestProc;
  connected = false;
  initThread = std::this_thread::get_id();
  BuildTree();
  Log(MSGTYPE_DETAILS, "FsInit PluginNr=" + std::to_string(PluginNr));
  return 0;
}

HANDLE WFX_API FsFindFirst(char* Path, WIN32_FIND_DATAA* FindData) {
  const std::string path = Normalise(Str(Path));
  Log(MSGTYPE_DETAILS, "FsFindFirst [" + Str(Path) + "]");
  std::memset(FindData, 0, sizeof(*FindData));
  if (LastPart(path).compare(0, 10, "lasterror=") == 0) {
    SetLastErrorValue(static_cast<DWORD>(std::atoi(LastPart(path).c_str() + 10)));
    return INVALID_HANDLE_VALUE;
  }
  if (path.compare(0, kOther.size(), kOther) == 0) {
    if (requestProc != nullptr) {
      requestProc(pluginNr, RT_MsgOK, const_cast<char*>("Quarnel"),
                  const_cast<char*>("Keine Verbindung zu COM2.\r\nIst das Ger\xE4t frei?"), nullptr,
                  0);
    }
    Log(MSGTYPE_IMPORTANTERROR, "ListDir failed: COM2 busy");
    SetLastErrorValue(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  ConnectIfNeeded(path);
  if (path == kDevice + "\\wrongnr") {
    // A plug-in that mixes up its number: the host should point it out.
    if (logProc != nullptr) {
      CALL_HOST("LogProc",
                (logProc(pluginNr + 1, MSGTYPE_DETAILS, const_cast<char*>("wrong nr")), 0));
    }
    SetLastErrorValue(ERROR_NO_MORE_FILES);
    return INVALID_HANDLE_VALUE;
  }
  if (path == kDevice + "\\ask") {
    AskQuestions();
    SetLastErrorValue(ERROR_NO_MORE_FILES);
    return INVALID_HANDLE_VALUE;
  }
  if (path != "\\" && !IsDirectory(path)) {
    SetLastErrorValue(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  auto* listing = new Listing;
  const std::string prefix = path == "\\" ? "\\" : path + "\\";
  for (const auto& [name, node] : tree) {
    if (name.size() > prefix.size() && name.compare(0, prefix.size(), prefix) == 0 &&
        name.find('\\', prefix.size()) == std::string::npos) {
      listing->entries.emplace_back(name.substr(prefix.size()), node);
    }
  }
  if (listing->entries.empty()) {
    delete listing;
    SetLastErrorValue(ERROR_NO_MORE_FILES);
    return INVALID_HANDLE_VALUE;
  }
  FillFindData(listing->entries[0].first, listing->entries[0].second, FindData);
  listing->next = 1;
  return listing;
}

BOOL WFX_API FsFindNext(HANDLE Hdl, WIN32_FIND_DATAA* FindData) {
  if (Hdl == INVALID_HANDLE_VALUE) return FALSE;
  auto* listing = static_cast<Listing*>(Hdl);
  if (listing->next >= listing->entries.size()) return FALSE;
  const auto& entry = listing->entries[listing->next++];
  FillFindData(entry.first, entry.second, FindData);
  return TRUE;
}

int WFX_API FsFindClose(HANDLE Hdl) {
  if (Hdl != INVALID_HANDLE_VALUE) delete static_cast<Listing*>(Hdl);
  return 0;
}

#ifndef FAKEPLUGIN_MINIMAL

void WFX_API FsSetDefaultParams(FsDefaultParamStruct* dps) {
  if (dps == nullptr) return;
  const std::string ini(dps->DefaultIniName, strnlen(dps->DefaultIniName, MAX_PATH));
  Log(MSGTYPE_DETAILS, "FsSetDefaultParams size=" + std::to_string(dps->size) +
                           " version=" + std::to_string(dps->PluginInterfaceVersionHi) + "." +
                           std::to_string(dps->PluginInterfaceVersionLow) + " ini=[" + ini + "]");
}

void WFX_API FsGetDefRootName(char* DefRootName, int maxlen) {
  std::snprintf(DefRootName, static_cast<size_t>(maxlen), "%s", "Fake Devices");
}

int WFX_API FsGetFile(char* RemoteName, char* LocalName, int CopyFlags, RemoteInfoStruct*) {
  const std::string remote = Normalise(Str(RemoteName));
  const std::string local = Str(LocalName);
  Log(MSGTYPE_DETAILS,
      "FsGetFile [" + remote + "] -> [" + local + "] flags=" + std::to_string(CopyFlags));
  int scripted = 0;
  if (ScriptedResult(remote, scripted)) return scripted;
  ConnectIfNeeded(remote);
  if (!IsFile(remote)) return FS_FILE_NOTFOUND;
  if (LocalFileExists(local) && (CopyFlags & (FS_COPYFLAGS_OVERWRITE | FS_COPYFLAGS_RESUME)) == 0) {
    return FS_FILE_EXISTS;
  }
  FILE* file = std::fopen(local.c_str(), "wb");
  if (file == nullptr) return FS_FILE_WRITEERROR;
  const std::string& content = tree[remote].content;
  const bool written = std::fwrite(content.data(), 1, content.size(), file) == content.size();
  std::fclose(file);
  if (!written) return FS_FILE_WRITEERROR;
  if (!RunProgress(Str(RemoteName), local)) {
    std::remove(local.c_str());
    Log(MSGTYPE_IMPORTANTERROR, "GetFile: User abort");
    return FS_FILE_USERABORT;
  }
  if (CopyFlags & FS_COPYFLAGS_MOVE) tree.erase(remote);
  Log(MSGTYPE_TRANSFERCOMPLETE, remote + " -> " + local);
  return FS_FILE_OK;
}

int WFX_API FsPutFile(char* LocalName, char* RemoteName, int CopyFlags) {
  const std::string remote = Normalise(Str(RemoteName));
  const std::string local = Str(LocalName);
  Log(MSGTYPE_DETAILS,
      "FsPutFile [" + local + "] -> [" + remote + "] flags=" + std::to_string(CopyFlags));
  int scripted = 0;
  if (ScriptedResult(remote, scripted)) return scripted;
  ConnectIfNeeded(remote);
  if (!IsDirectory(ParentOf(remote)) || ParentOf(remote) == "\\") return FS_FILE_NOTFOUND;
  if (tree.count(remote) != 0 &&
      (CopyFlags & (FS_COPYFLAGS_OVERWRITE | FS_COPYFLAGS_RESUME)) == 0) {
    return FS_FILE_EXISTS;
  }
  FILE* file = std::fopen(local.c_str(), "rb");
  if (file == nullptr) return FS_FILE_READERROR;
  std::string content;
  char buffer[4096];
  size_t count = 0;
  while ((count = std::fread(buffer, 1, sizeof(buffer), file)) > 0) content.append(buffer, count);
  std::fclose(file);
  if (!RunProgress(local, Str(RemoteName))) {
    Log(MSGTYPE_IMPORTANTERROR, "PutFile: User abort");
    return FS_FILE_USERABORT;
  }
  tree[remote] = File(content, FileTimeFromUnix(1704164645));
  if (CopyFlags & FS_COPYFLAGS_MOVE) std::remove(local.c_str());
  Log(MSGTYPE_TRANSFERCOMPLETE, local + " -> " + remote);
  return FS_FILE_OK;
}

int WFX_API FsRenMovFile(char* OldName, char* NewName, BOOL Move, BOOL OverWrite,
                         RemoteInfoStruct*) {
  const std::string from = Normalise(Str(OldName));
  const std::string to = Normalise(Str(NewName));
  Log(MSGTYPE_DETAILS, "FsRenMovFile [" + from + "] -> [" + to + "] move=" + std::to_string(Move) +
                           " overwrite=" + std::to_string(OverWrite));
  int scripted = 0;
  if (ScriptedResult(to, scripted)) return scripted;
  ConnectIfNeeded(from);
  if (tree.count(from) == 0) return FS_FILE_NOTFOUND;
  if (tree.count(to) != 0 && !OverWrite) return FS_FILE_EXISTS;
  if (!IsDirectory(ParentOf(to))) return FS_FILE_WRITEERROR;
  // Moves carry a directory's children along; copies are for files only.
  std::map<std::string, Node> moved;
  for (auto it = tree.begin(); it != tree.end();) {
    const bool inside = it->first.size() > from.size() &&
                        it->first.compare(0, from.size(), from) == 0 &&
                        it->first[from.size()] == '\\';
    if (it->first == from || (Move && inside)) {
      moved[to + it->first.substr(from.size())] = it->second;
      it = Move ? tree.erase(it) : std::next(it);
    } else {
      ++it;
    }
  }
  for (auto& [name, node] : moved) tree[name] = node;
  return FS_FILE_OK;
}

BOOL WFX_API FsDeleteFile(char* RemoteName) {
  const std::string path = Normalise(Str(RemoteName));
  Log(MSGTYPE_DETAILS, "FsDeleteFile [" + path + "]");
  int scripted = 0;
  if (ScriptedResult(path, scripted)) return scripted;
  ConnectIfNeeded(path);
  if (!IsFile(path)) {
    Log(MSGTYPE_IMPORTANTERROR, "Delete: no such file");
    return FALSE;
  }
  tree.erase(path);
  return TRUE;
}

BOOL WFX_API FsMkDir(char* Path) {
  const std::string path = Normalise(Str(Path));
  Log(MSGTYPE_DETAILS, "FsMkDir [" + path + "]");
  int scripted = 0;
  if (ScriptedResult(path, scripted)) return scripted;
  ConnectIfNeeded(path);
  if (IsDirectory(path)) return TRUE;
  if (tree.count(path) != 0 || !IsDirectory(ParentOf(path)) || ParentOf(path) == "\\") {
    Log(MSGTYPE_IMPORTANTERROR, "MkDir: cannot create");
    return FALSE;
  }
  tree[path] = Directory(FileTimeFromUnix(1704164645));
  return TRUE;
}

BOOL WFX_API FsRemoveDir(char* RemoteName) {
  const std::string path = Normalise(Str(RemoteName));
  Log(MSGTYPE_DETAILS, "FsRemoveDir [" + path + "]");
  int scripted = 0;
  if (ScriptedResult(path, scripted)) return scripted;
  ConnectIfNeeded(path);
  if (!IsDirectory(path) || HasChildren(path) || ParentOf(path) == "\\") {
    Log(MSGTYPE_IMPORTANTERROR, "RmDir: not an empty folder");
    return FALSE;
  }
  tree.erase(path);
  return TRUE;
}

BOOL WFX_API FsDisconnect(char* DisconnectRoot) {
  const std::string root = Normalise(Str(DisconnectRoot));
  Log(MSGTYPE_DETAILS, "FsDisconnect [" + root + "]");
  if (root == kDevice) {
    if (connected) Log(MSGTYPE_DISCONNECT, "DISCONNECT " + kDevice);
    connected = false;
    return TRUE;
  }
  return root == kOther ? TRUE : FALSE;
}

void WFX_API FsStatusInfo(char* RemoteDir, int InfoStartEnd, int InfoOperation) {
  const char* thread =
      std::this_thread::get_id() == initThread ? "the host's thread" : "another thread";
  Log(MSGTYPE_DETAILS, std::string("FsStatusInfo ") + (InfoStartEnd == 0 ? "START" : "END") +
                           " op=" + std::to_string(InfoOperation) + " [" + Str(RemoteDir) +
                           "] on " + thread);
}

int WFX_API FsGetBackgroundFlags(void) {
  return BG_DOWNLOAD | BG_ASK_USER;
}

int WFX_API FsExecuteFile(HWND, char* RemoteName, char* Verb) {
  const std::string verb = Str(Verb);
  Log(MSGTYPE_DETAILS, "FsExecuteFile [" + Str(RemoteName) + "] verb=[" + verb + "]");
  if (verb == "open") return FS_EXEC_YOURSELF;
  if (verb == "properties") return FS_EXEC_OK;
  if (verb == "jump") {
    std::snprintf(RemoteName, MAX_PATH, "%s", (kDevice + "\\docs").c_str());
    return FS_EXEC_SYMLINK;
  }
  return FS_EXEC_ERROR;
}

#endif  // FAKEPLUGIN_MINIMAL

}  // extern "C"
