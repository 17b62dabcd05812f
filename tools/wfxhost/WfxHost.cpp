// The command-line host's core. The plug-in is never linked: every export is looked up by its
// plain name at run time, as Total Commander and Double Commander do, and every call goes through
// a pointer of the interface's calling convention (__stdcall on 32-bit Windows).
#include "WfxHost.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <type_traits>
#include <vector>

#include "HostFormat.h"
#include "HostSystem.h"
#include "StackCheck.h"
#include "platform/wfxplugin.h"

namespace wfxhost {

namespace {

typedef int(WFX_API* FsInitFunction)(int PluginNr, tProgressProc pProgressProc, tLogProc pLogProc,
                                     tRequestProc pRequestProc);
typedef void(WFX_API* FsSetDefaultParamsFunction)(FsDefaultParamStruct* dps);
typedef void(WFX_API* FsGetDefRootNameFunction)(char* DefRootName, int maxlen);
typedef HANDLE(WFX_API* FsFindFirstFunction)(char* Path, WIN32_FIND_DATAA* FindData);
typedef BOOL(WFX_API* FsFindNextFunction)(HANDLE Hdl, WIN32_FIND_DATAA* FindData);
typedef int(WFX_API* FsFindCloseFunction)(HANDLE Hdl);
typedef int(WFX_API* FsGetFileFunction)(char* RemoteName, char* LocalName, int CopyFlags,
                                        RemoteInfoStruct* ri);
typedef int(WFX_API* FsPutFileFunction)(char* LocalName, char* RemoteName, int CopyFlags);
typedef int(WFX_API* FsRenMovFileFunction)(char* OldName, char* NewName, BOOL Move, BOOL OverWrite,
                                           RemoteInfoStruct* ri);
typedef BOOL(WFX_API* FsDeleteFileFunction)(char* RemoteName);
typedef BOOL(WFX_API* FsRemoveDirFunction)(char* RemoteName);
typedef BOOL(WFX_API* FsMkDirFunction)(char* Path);
typedef BOOL(WFX_API* FsDisconnectFunction)(char* DisconnectRoot);

struct PluginExports {
  FsInitFunction FsInit = nullptr;
  FsSetDefaultParamsFunction FsSetDefaultParams = nullptr;
  FsGetDefRootNameFunction FsGetDefRootName = nullptr;
  FsFindFirstFunction FsFindFirst = nullptr;
  FsFindNextFunction FsFindNext = nullptr;
  FsFindCloseFunction FsFindClose = nullptr;
  FsGetFileFunction FsGetFile = nullptr;
  FsPutFileFunction FsPutFile = nullptr;
  FsRenMovFileFunction FsRenMovFile = nullptr;
  FsDeleteFileFunction FsDeleteFile = nullptr;
  FsRemoveDirFunction FsRemoveDir = nullptr;
  FsMkDirFunction FsMkDir = nullptr;
  FsDisconnectFunction FsDisconnect = nullptr;
};

// Hosts hand the plug-in writable name buffers; a plug-in may even rewrite a target name.
constexpr size_t kNameBufferSize = 1024;
// A plug-in whose FsFindNext never answers FALSE would otherwise hang the listing.
constexpr int kMaxListEntries = 1000000;
constexpr int kProgressBarWidth = 30;
// How long "wait" waits when the script gives no bound, and how often it looks.
constexpr int kDefaultWaitSeconds = 120;
constexpr auto kWaitPollInterval = std::chrono::milliseconds(50);

// What --check-stack found for one export.
struct StackRecord {
  const char* name = nullptr;
  void* function = nullptr;  // the plug-in's own entry point
  int calls = 0;
  int faults = 0;  // calls that left the stack pointer elsewhere
};

// Everything the callbacks reach. Plug-ins may call back from threads of their own (an idle
// watcher logging a disconnect), so output and the per-command answers share one lock.
struct HostState {
  std::mutex lock;
  LibraryHandle library = nullptr;
  PluginExports exports;
  RunOptions run;
  ProgressStyle progressStyle = ProgressStyle::Lines;
  CommandOptions current;
  bool abortAnswered = false;
  bool barOpen = false;
  size_t barLength = 0;
  std::FILE* details = nullptr;
  std::vector<StackRecord*> stackRecords;  // the exports --check-stack watches
};

HostState state;

void WriteRaw(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

// Callers hold state.lock.
void CloseBarLocked() {
  if (state.barOpen) WriteRaw("\n");
  state.barOpen = false;
  state.barLength = 0;
}

void LineLocked(const std::string& text) {
  CloseBarLocked();
  WriteRaw(text + "\n");
}

std::string PluginNrRemark(int pluginNr) {
  if (pluginNr == state.run.pluginNr) return "";
  return " [PluginNr " + std::to_string(pluginNr) + ", expected " +
         std::to_string(state.run.pluginNr) + "]";
}

// Reads a zero-terminated buffer of at most Capacity bytes without running past it.
std::string BoundedString(const char* text, int capacity) {
  if (text == nullptr || capacity <= 0) return "";
  return std::string(text, strnlen(text, static_cast<size_t>(capacity)));
}

int WFX_API HostProgress(int pluginNr, char* sourceName, char* targetName, int percentDone) {
  std::lock_guard<std::mutex> guard(state.lock);
  const CommandOptions& options = state.current;
  if (options.abortAt >= 0 && percentDone >= options.abortAt) state.abortAnswered = true;
  const bool abort = state.abortAnswered;
  const std::string names = Printable(sourceName) + " -> " + Printable(targetName);
  const std::string answer = abort ? " => abort" : "";
  if (state.progressStyle == ProgressStyle::Lines) {
    LineLocked("progress " + std::to_string(percentDone) + "% " + names + answer +
               PluginNrRemark(pluginNr));
  } else if (state.progressStyle == ProgressStyle::Bar) {
    const int clamped = percentDone < 0 ? 0 : (percentDone > 100 ? 100 : percentDone);
    const int filled = clamped * kProgressBarWidth / 100;
    char percentText[16];
    std::snprintf(percentText, sizeof(percentText), "%3d%% ", percentDone);
    std::string bar = "progress [" + std::string(static_cast<size_t>(filled), '#') +
                      std::string(static_cast<size_t>(kProgressBarWidth - filled), '.') + "] " +
                      percentText + names + answer + PluginNrRemark(pluginNr);
    const size_t length = bar.size();
    // Blanks over the rest of a longer previous bar; no escape sequences, so that a Windows
    // console shows the same.
    if (length < state.barLength) bar += std::string(state.barLength - length, ' ');
    WriteRaw("\r" + bar);
    state.barOpen = true;
    state.barLength = length;
  }
  return abort ? 1 : 0;
}

void WFX_API HostLogLine(int pluginNr, int msgType, char* logString) {
  std::lock_guard<std::mutex> guard(state.lock);
  if (msgType == 3 && state.details != nullptr) {
    std::fprintf(state.details, "log[3 DETAILS]: %s%s\n", Printable(logString).c_str(),
                 PluginNrRemark(pluginNr).c_str());
    std::fflush(state.details);
    return;
  }
  LineLocked("log[" + std::to_string(msgType) + " " + LogTypeName(msgType) +
             "]: " + Printable(logString) + PluginNrRemark(pluginNr));
}

BOOL WFX_API HostRequest(int pluginNr, int requestType, char* customTitle, char* customText,
                         char* returnedText, int maxlen) {
  std::lock_guard<std::mutex> guard(state.lock);
  const CommandOptions& options = state.current;
  const bool input = IsInputRequest(requestType) && returnedText != nullptr;
  std::string line = "request[" + std::to_string(requestType) + " " + RequestTypeName(requestType) +
                     "] " + (customTitle != nullptr ? Printable(customTitle) : std::string()) +
                     ": " + Printable(customText);
  if (input) line += " [" + Printable(BoundedString(returnedText, maxlen)) + "]";
  line += options.answerYes ? " => TRUE" : " => FALSE";
  if (input && options.answerYes) {
    if (options.hasReply && maxlen > 0) {
      const size_t length = std::min(options.reply.size(), static_cast<size_t>(maxlen - 1));
      std::memcpy(returnedText, options.reply.data(), length);
      returnedText[length] = '\0';
    }
    line += " [" + Printable(BoundedString(returnedText, maxlen)) + "]";
  }
  LineLocked(line + PluginNrRemark(pluginNr));
  return options.answerYes ? TRUE : FALSE;
}

// A writable copy of Text in a buffer of kNameBufferSize bytes (or more for longer text).
std::vector<char> NameBuffer(const std::string& text) {
  std::vector<char> buffer(std::max(text.size() + 1, kNameBufferSize), '\0');
  std::memcpy(buffer.data(), text.data(), text.size());
  return buffer;
}

bool ReportMissing(const void* function, const char* name) {
  if (function != nullptr) return false;
  PrintLine(std::string(name) + ": export missing in plugin");
  return true;
}

int CopyFlagsOf(const CommandOptions& options) {
  return (options.overwrite ? FS_COPYFLAGS_OVERWRITE : 0) |
         (options.resume ? FS_COPYFLAGS_RESUME : 0) | (options.move ? FS_COPYFLAGS_MOVE : 0);
}

bool ReportFileResult(const char* name, int result) {
  PrintLine(std::string(name) + ": " + FileResultName(result));
  return result == FS_FILE_OK;
}

bool ReportBoolResult(const char* name, BOOL result) {
  PrintLine(std::string(name) + ": " + BoolResultName(result));
  return result != FALSE;
}

std::string EntryLine(const WIN32_FIND_DATAA& data) {
  const bool directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  const std::string name(data.cFileName, strnlen(data.cFileName, sizeof(data.cFileName)));
  return std::string(directory ? "d " : "- ") +
         std::to_string(CombineSize(data.nFileSizeLow, data.nFileSizeHigh)) + " " +
         FormatFileTime(data.ftLastWriteTime.dwLowDateTime, data.ftLastWriteTime.dwHighDateTime) +
         " " + Printable(name);
}

bool ListDirectory(const std::string& path) {
  const PluginExports& e = state.exports;
  if (ReportMissing(reinterpret_cast<const void*>(e.FsFindFirst), "FsFindFirst") ||
      ReportMissing(reinterpret_cast<const void*>(e.FsFindNext), "FsFindNext") ||
      ReportMissing(reinterpret_cast<const void*>(e.FsFindClose), "FsFindClose")) {
    return false;
  }
  std::vector<char> pathBuffer = NameBuffer(path);
  WIN32_FIND_DATAA data;
  std::memset(&data, 0, sizeof(data));
  ClearLastError();
  HANDLE handle = e.FsFindFirst(pathBuffer.data(), &data);
  // Read at once: anything else might overwrite the value the plug-in left.
  const uint32_t lastError = ReadLastError();
  if (handle == INVALID_HANDLE_VALUE) {
    const std::string errorName = LastErrorName(lastError);
    PrintLine("FsFindFirst: INVALID_HANDLE_VALUE, last error " + std::to_string(lastError) +
              (errorName.empty() ? "" : " (" + errorName + ")"));
    // Total Commander's rule: ERROR_NO_MORE_FILES is an empty folder, anything else a folder
    // that does not exist.
    if (lastError == ERROR_NO_MORE_FILES) {
      PrintLine("ls: 0 entries");
      return true;
    }
    PrintLine("ls: path not found");
    return false;
  }
  int count = 0;
  bool more = true;
  while (more && count < kMaxListEntries) {
    PrintLine(EntryLine(data));
    ++count;
    std::memset(&data, 0, sizeof(data));
    more = e.FsFindNext(handle, &data) != FALSE;
  }
  e.FsFindClose(handle);
  if (more) {
    PrintLine("ls: stopped after " + std::to_string(count) + " entries (FsFindNext never ended)");
    return false;
  }
  PrintLine("ls: " + std::to_string(count) + (count == 1 ? " entry" : " entries"));
  return true;
}

bool GetFile(const Command& command) {
  const auto function = state.exports.FsGetFile;
  if (ReportMissing(reinterpret_cast<const void*>(function), "FsGetFile")) return false;
  std::vector<char> remote = NameBuffer(command.args[0]);
  std::vector<char> local = NameBuffer(command.args[1]);
  RemoteInfoStruct info;
  std::memset(&info, 0, sizeof(info));
  return ReportFileResult(
      "FsGetFile", function(remote.data(), local.data(), CopyFlagsOf(command.options), &info));
}

bool PutFile(const Command& command) {
  const auto function = state.exports.FsPutFile;
  if (ReportMissing(reinterpret_cast<const void*>(function), "FsPutFile")) return false;
  std::vector<char> local = NameBuffer(command.args[0]);
  std::vector<char> remote = NameBuffer(command.args[1]);
  return ReportFileResult("FsPutFile",
                          function(local.data(), remote.data(), CopyFlagsOf(command.options)));
}

bool RenameFile(const Command& command) {
  const auto function = state.exports.FsRenMovFile;
  if (ReportMissing(reinterpret_cast<const void*>(function), "FsRenMovFile")) return false;
  std::vector<char> oldName = NameBuffer(command.args[0]);
  std::vector<char> newName = NameBuffer(command.args[1]);
  RemoteInfoStruct info;
  std::memset(&info, 0, sizeof(info));
  const BOOL move = command.options.copy ? FALSE : TRUE;
  const BOOL overwrite = command.options.overwrite ? TRUE : FALSE;
  return ReportFileResult("FsRenMovFile",
                          function(oldName.data(), newName.data(), move, overwrite, &info));
}

// rm, mkdir, rmdir and disconnect: one path in, a BOOL out.
template <typename Function>
bool PathBoolCall(Function function, const char* name, const std::string& path) {
  if (ReportMissing(reinterpret_cast<const void*>(function), name)) return false;
  std::vector<char> buffer = NameBuffer(path);
  return ReportBoolResult(name, function(buffer.data()));
}

// Lets a test change the world between two commands of one script (stop a simulator, hold a
// port): the host goes on once the test has made the file.
bool WaitForPath(const Command& command) {
  const int seconds =
      command.args.size() > 1 ? std::atoi(command.args[1].c_str()) : kDefaultWaitSeconds;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!LocalPathExists(command.args[0])) {
    if (std::chrono::steady_clock::now() >= deadline) {
      PrintLine("wait: gave up after " + std::to_string(seconds) + " s");
      return false;
    }
    std::this_thread::sleep_for(kWaitPollInterval);
  }
  PrintLine("wait: " + Printable(command.args[0]) + " exists");
  return true;
}

#if WFXHOST_STACK_CHECK
template <typename Value>
uint32_t StackWord(Value value) {
  static_assert(sizeof(Value) == 4, "every argument of the interface is one 32-bit word");
  if constexpr (std::is_pointer_v<Value>) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(value));
  } else {
    return static_cast<uint32_t>(value);
  }
}

template <auto Member>
StackRecord& StackRecordOf() {
  static StackRecord record;
  return record;
}

void NoteStackCheck(StackRecord& record, int32_t moved, uint32_t argumentBytes) {
  ++record.calls;
  if (moved == 0) return;
  ++record.faults;
  PrintLine(std::string("stack: ") + record.name + " moved the stack pointer by " +
            std::to_string(moved) + " bytes; __stdcall pops its " + std::to_string(argumentBytes) +
            " bytes of arguments");
}

// Stands in for the export Member: the same signature and convention, so the host's calls stay as
// they are, and each call goes through CallMeasuringStack.
template <auto Member, typename Function>
struct StackChecked;
template <auto Member, typename Result, typename... Args>
struct StackChecked<Member, Result(WFX_API*)(Args...)> {
  static Result WFX_API Call(Args... args) {
    StackRecord& record = StackRecordOf<Member>();
    const uint32_t words[] = {StackWord(args)...};
    int32_t moved = 0;
    const uint32_t result = CallMeasuringStack(record.function, words, sizeof...(Args), moved);
    NoteStackCheck(record, moved, static_cast<uint32_t>(sizeof(words)));
    if constexpr (std::is_void_v<Result>) {
      return;
    } else if constexpr (std::is_pointer_v<Result>) {
      return reinterpret_cast<Result>(static_cast<uintptr_t>(result));
    } else {
      return static_cast<Result>(result);
    }
  }
};
#endif

// Looks up the export Member of PluginExports by Name; with --check-stack the host calls it
// through its stand-in.
template <auto Member>
void Resolve(const char* name) {
  using Function = std::remove_reference_t<decltype(state.exports.*Member)>;
  void* address = FindExport(state.library, name);
  state.exports.*Member = reinterpret_cast<Function>(address);
#if WFXHOST_STACK_CHECK
  if (address != nullptr && state.run.checkStack) {
    StackRecord& record = StackRecordOf<Member>();
    record = StackRecord{name, address, 0, 0};
    state.stackRecords.push_back(&record);
    state.exports.*Member = &StackChecked<Member, Function>::Call;
  }
#endif
}
#define WFXHOST_RESOLVE(name) Resolve<&PluginExports::name>(#name)

// The --check-stack verdict: one line, and false when an export did not pop its arguments.
bool ReportStackCheck() {
  if (!state.run.checkStack) return true;
  std::string faulty, uncalled;
  int calls = 0, checked = 0;
  for (const StackRecord* record : state.stackRecords) {
    calls += record->calls;
    if (record->calls > 0) ++checked;
    if (record->faults > 0) faulty += std::string(" ") + record->name;
    if (record->calls == 0) uncalled += std::string(" ") + record->name;
  }
  if (!faulty.empty()) {
    PrintLine("stack: not __stdcall:" + faulty);
  } else {
    PrintLine("stack: " + std::to_string(checked) + " exports checked in " + std::to_string(calls) +
              " calls: each popped its arguments (__stdcall)");
  }
  if (!uncalled.empty()) PrintLine("stack: never called:" + uncalled);
  return faulty.empty();
}

std::string FileBaseName(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) name.erase(dot);
  return name;
}

}  // namespace

void PrintLine(const std::string& line) {
  std::lock_guard<std::mutex> guard(state.lock);
  LineLocked(line);
}

bool StartPlugin(const std::string& path, const RunOptions& options) {
  state.run = options;
  state.progressStyle = options.progress;
  if (state.progressStyle == ProgressStyle::Auto) {
    state.progressStyle = StdoutIsTerminal() ? ProgressStyle::Bar : ProgressStyle::Lines;
  }
  if (!options.detailsPath.empty()) {
    state.details = std::fopen(options.detailsPath.c_str(), "ab");
    if (state.details == nullptr) {
      std::fprintf(stderr, "wfxhost: cannot write %s\n", options.detailsPath.c_str());
      return false;
    }
  }
  std::string error;
  state.library = LoadPluginLibrary(path, error);
  if (state.library == nullptr) {
    std::fprintf(stderr, "wfxhost: cannot load %s: %s\n", path.c_str(), error.c_str());
    return false;
  }
  state.stackRecords.clear();
  WFXHOST_RESOLVE(FsInit);
  WFXHOST_RESOLVE(FsSetDefaultParams);
  WFXHOST_RESOLVE(FsGetDefRootName);
  WFXHOST_RESOLVE(FsFindFirst);
  WFXHOST_RESOLVE(FsFindNext);
  WFXHOST_RESOLVE(FsFindClose);
  WFXHOST_RESOLVE(FsGetFile);
  WFXHOST_RESOLVE(FsPutFile);
  WFXHOST_RESOLVE(FsRenMovFile);
  WFXHOST_RESOLVE(FsDeleteFile);
  WFXHOST_RESOLVE(FsRemoveDir);
  WFXHOST_RESOLVE(FsMkDir);
  WFXHOST_RESOLVE(FsDisconnect);
  const PluginExports& e = state.exports;
  if (e.FsInit == nullptr) {
    std::fprintf(stderr, "wfxhost: %s: FsInit: export missing in plugin\n", path.c_str());
    UnloadPluginLibrary(state.library);
    state.library = nullptr;
    return false;
  }

  // Total Commander's order: FsInit, then FsSetDefaultParams right after it.
  e.FsInit(options.pluginNr, HostProgress, HostLogLine, HostRequest);
  if (e.FsSetDefaultParams != nullptr) {
    FsDefaultParamStruct params;
    std::memset(&params, 0, sizeof(params));
    params.size = static_cast<int>(sizeof(params));
    params.PluginInterfaceVersionLow = 10;
    params.PluginInterfaceVersionHi = 2;
    std::strncpy(params.DefaultIniName, options.iniName.c_str(), sizeof(params.DefaultIniName) - 1);
    e.FsSetDefaultParams(&params);
  }
  if (e.FsGetDefRootName != nullptr) {
    char rootName[MAX_PATH] = {};
    e.FsGetDefRootName(rootName, static_cast<int>(sizeof(rootName)));
    rootName[sizeof(rootName) - 1] = '\0';
    PrintLine("root: " + Printable(rootName));
  } else {
    // Total Commander then names the plug-in after its file.
    PrintLine("root: " + Printable(FileBaseName(path)) + " (FsGetDefRootName missing)");
  }
  return true;
}

bool RunCommand(const Command& command) {
  {
    std::lock_guard<std::mutex> guard(state.lock);
    state.current = command.options;
    state.abortAnswered = false;
    LineLocked("> " + CommandText(command));
  }
  const PluginExports& e = state.exports;
  bool ok = false;
  switch (command.kind) {
    case CommandKind::List:
      ok = ListDirectory(command.args[0]);
      break;
    case CommandKind::Get:
      ok = GetFile(command);
      break;
    case CommandKind::Put:
      ok = PutFile(command);
      break;
    case CommandKind::Rename:
      ok = RenameFile(command);
      break;
    case CommandKind::Delete:
      ok = PathBoolCall(e.FsDeleteFile, "FsDeleteFile", command.args[0]);
      break;
    case CommandKind::MakeDir:
      ok = PathBoolCall(e.FsMkDir, "FsMkDir", command.args[0]);
      break;
    case CommandKind::RemoveDir:
      ok = PathBoolCall(e.FsRemoveDir, "FsRemoveDir", command.args[0]);
      break;
    case CommandKind::Disconnect:
      ok = PathBoolCall(e.FsDisconnect, "FsDisconnect", command.args[0]);
      break;
    case CommandKind::Wait:
      ok = WaitForPath(command);
      break;
    case CommandKind::Run:
      PrintLine("run: scripts cannot be nested");
      break;
  }
  std::lock_guard<std::mutex> guard(state.lock);
  CloseBarLocked();
  return ok;
}

bool StopPlugin() {
  const bool stackKept = ReportStackCheck();
  UnloadPluginLibrary(state.library);
  state.library = nullptr;
  state.exports = PluginExports{};
  std::lock_guard<std::mutex> guard(state.lock);
  if (state.details != nullptr) std::fclose(state.details);
  state.details = nullptr;
  return stackKept;
}

}  // namespace wfxhost
