// The command-line host's core. The plug-in is never linked: every export is looked up by its
// plain name at run time, as Total Commander and Double Commander do, and every call goes through
// a pointer of the interface's calling convention (__stdcall on 32-bit Windows). The host keeps
// its texts in UTF-8 and converts them for the interface in use: UTF-16 for the wide functions,
// the ANSI code page for the ANSI ones (UTF-8 on Linux).
#include "WfxHost.h"

#include <algorithm>
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
typedef int(WFX_API* FsInitWFunction)(int PluginNr, tProgressProcW pProgressProc,
                                      tLogProcW pLogProc, tRequestProcW pRequestProc);
typedef HANDLE(WFX_API* FsFindFirstWFunction)(WCHAR* Path, WIN32_FIND_DATAW* FindData);
typedef BOOL(WFX_API* FsFindNextWFunction)(HANDLE Hdl, WIN32_FIND_DATAW* FindData);
typedef int(WFX_API* FsGetFileWFunction)(WCHAR* RemoteName, WCHAR* LocalName, int CopyFlags,
                                         RemoteInfoStruct* ri);
typedef int(WFX_API* FsPutFileWFunction)(WCHAR* LocalName, WCHAR* RemoteName, int CopyFlags);
typedef int(WFX_API* FsRenMovFileWFunction)(WCHAR* OldName, WCHAR* NewName, BOOL Move,
                                            BOOL OverWrite, RemoteInfoStruct* ri);
typedef BOOL(WFX_API* FsPathWFunction)(WCHAR* Path);

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
  FsInitWFunction FsInitW = nullptr;
  FsFindFirstWFunction FsFindFirstW = nullptr;
  FsFindNextWFunction FsFindNextW = nullptr;
  FsGetFileWFunction FsGetFileW = nullptr;
  FsPutFileWFunction FsPutFileW = nullptr;
  FsRenMovFileWFunction FsRenMovFileW = nullptr;
  FsPathWFunction FsDeleteFileW = nullptr;
  FsPathWFunction FsRemoveDirW = nullptr;
  FsPathWFunction FsMkDirW = nullptr;
  FsPathWFunction FsDisconnectW = nullptr;
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
  bool wideInitCalled = false;  // FsInitW was called: the ANSI callbacks should fall silent
  std::vector<StackRecord*> stackRecords;  // the exports --check-stack watches
};

HostState state;

void WriteRaw(const std::string& utf8) {
  const std::string text = ForOutput(utf8);
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

// The two forms of text in the interface: the ANSI one (the ANSI code page; UTF-8 on Linux) and
// the wide one (UTF-16). Each turns the plug-in's strings into the host's UTF-8 and back.
struct AnsiForm {
  using Char = char;
  using FindData = WIN32_FIND_DATAA;
  static constexpr bool kWide = false;
  static std::string ToUtf8(const std::basic_string<Char>& text) { return Utf8FromAnsi(text); }
  static std::basic_string<Char> FromUtf8(const std::string& text) { return AnsiFromUtf8(text); }
};
struct WideForm {
  using Char = WCHAR;
  using FindData = WIN32_FIND_DATAW;
  static constexpr bool kWide = true;
  static std::string ToUtf8(const std::basic_string<Char>& text) {
    return Utf8FromUtf16(std::u16string(text.begin(), text.end()));
  }
  static std::basic_string<Char> FromUtf8(const std::string& text) {
    const std::u16string wide = Utf16FromUtf8(text);
    return std::basic_string<Char>(wide.begin(), wide.end());
  }
};

// A zero-terminated string of at most Capacity characters (no limit when Capacity < 0), without
// running past it, in UTF-8.
template <class Form>
std::string Utf8Of(const typename Form::Char* text, int capacity = -1) {
  if (text == nullptr || capacity == 0) return "";
  size_t length = 0;
  while ((capacity < 0 || length < static_cast<size_t>(capacity)) && text[length] != 0) ++length;
  return Form::ToUtf8(std::basic_string<typename Form::Char>(text, length));
}
template <class Form>
std::string PrintableOf(const typename Form::Char* text) {
  return text == nullptr ? std::string("(null)") : Printable(Utf8Of<Form>(text));
}

// Once FsInitW was called, the plug-in should speak through the wide callbacks only: a line that
// comes through an ANSI callback after it says so.
template <class Form>
std::string CallbackRemark() {
  return !Form::kWide && state.wideInitCalled ? " [ANSI callback after FsInitW]" : "";
}

template <class Form>
int WFX_API HostProgress(int pluginNr, typename Form::Char* sourceName,
                         typename Form::Char* targetName, int percentDone) {
  std::lock_guard<std::mutex> guard(state.lock);
  const CommandOptions& options = state.current;
  if (options.abortAt >= 0 && percentDone >= options.abortAt) state.abortAnswered = true;
  const bool abort = state.abortAnswered;
  const std::string names = PrintableOf<Form>(sourceName) + " -> " + PrintableOf<Form>(targetName);
  const std::string answer = abort ? " => abort" : "";
  const std::string remarks = PluginNrRemark(pluginNr) + CallbackRemark<Form>();
  if (state.progressStyle == ProgressStyle::Lines) {
    LineLocked("progress " + std::to_string(percentDone) + "% " + names + answer + remarks);
  } else if (state.progressStyle == ProgressStyle::Bar) {
    const int clamped = percentDone < 0 ? 0 : (percentDone > 100 ? 100 : percentDone);
    const int filled = clamped * kProgressBarWidth / 100;
    char percentText[16];
    std::snprintf(percentText, sizeof(percentText), "%3d%% ", percentDone);
    std::string bar = "progress [" + std::string(static_cast<size_t>(filled), '#') +
                      std::string(static_cast<size_t>(kProgressBarWidth - filled), '.') + "] " +
                      percentText + names + answer + remarks;
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

template <class Form>
void WFX_API HostLogLine(int pluginNr, int msgType, typename Form::Char* logString) {
  std::lock_guard<std::mutex> guard(state.lock);
  const std::string remarks = PluginNrRemark(pluginNr) + CallbackRemark<Form>();
  if (msgType == 3 && state.details != nullptr) {
    std::fprintf(state.details, "log[3 DETAILS]: %s%s\n", PrintableOf<Form>(logString).c_str(),
                 remarks.c_str());
    std::fflush(state.details);
    return;
  }
  LineLocked("log[" + std::to_string(msgType) + " " + LogTypeName(msgType) +
             "]: " + PrintableOf<Form>(logString) + remarks);
}

template <class Form>
BOOL WFX_API HostRequest(int pluginNr, int requestType, typename Form::Char* customTitle,
                         typename Form::Char* customText, typename Form::Char* returnedText,
                         int maxlen) {
  std::lock_guard<std::mutex> guard(state.lock);
  const CommandOptions& options = state.current;
  const bool input = IsInputRequest(requestType) && returnedText != nullptr;
  std::string line = "request[" + std::to_string(requestType) + " " + RequestTypeName(requestType) +
                     "] " + (customTitle != nullptr ? PrintableOf<Form>(customTitle) : "") + ": " +
                     PrintableOf<Form>(customText);
  if (input) line += " [" + Printable(Utf8Of<Form>(returnedText, maxlen)) + "]";
  line += options.answerYes ? " => TRUE" : " => FALSE";
  if (input && options.answerYes) {
    if (options.hasReply && maxlen > 0) {
      // maxlen counts characters of the interface's form: bytes, or UTF-16 units.
      const auto reply = Form::FromUtf8(options.reply);
      const size_t length = std::min(reply.size(), static_cast<size_t>(maxlen - 1));
      std::copy(reply.begin(), reply.begin() + static_cast<long>(length), returnedText);
      returnedText[length] = 0;
    }
    line += " [" + Printable(Utf8Of<Form>(returnedText, maxlen)) + "]";
  }
  LineLocked(line + PluginNrRemark(pluginNr) + CallbackRemark<Form>());
  return options.answerYes ? TRUE : FALSE;
}

// A writable copy of Text in the interface's form, in a buffer of kNameBufferSize characters (or
// more for longer text): the 1023 characters a path may have once a plug-in exports FsFindFirstW.
template <class Form>
std::vector<typename Form::Char> NameBuffer(const std::string& text) {
  const auto converted = Form::FromUtf8(text);
  std::vector<typename Form::Char> buffer(std::max(converted.size() + 1, kNameBufferSize), 0);
  std::copy(converted.begin(), converted.end(), buffer.begin());
  return buffer;
}

bool ReportMissing(const void* function, const char* name) {
  if (function != nullptr) return false;
  PrintLine(std::string(name) + ": export missing in plugin");
  return true;
}

// Whether a command calls the wide form of its function, as the hosts decide: where the plug-in
// exports it, unless the interface was chosen. With --interface wide a missing wide export is
// reported missing, not replaced by the ANSI one.
bool UseWide(const void* wideFunction) {
  switch (state.run.interfaceChoice) {
    case InterfaceChoice::Ansi:
      return false;
    case InterfaceChoice::Wide:
      return true;
    case InterfaceChoice::Auto:
      break;
  }
  return wideFunction != nullptr;
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

template <class Form>
std::string EntryLine(const typename Form::FindData& data) {
  const bool directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  const std::string name = Utf8Of<Form>(data.cFileName, MAX_PATH);
  return std::string(directory ? "d " : "- ") +
         std::to_string(CombineSize(data.nFileSizeLow, data.nFileSizeHigh)) + " " +
         FormatFileTime(data.ftLastWriteTime.dwLowDateTime, data.ftLastWriteTime.dwHighDateTime) +
         " " + Printable(name);
}

// The listing with FsFindFirst/FsFindNext or their wide forms (Form), and FsFindClose.
template <class Form, class First, class Next>
bool ListWith(First findFirst, Next findNext, const std::string& path) {
  auto pathBuffer = NameBuffer<Form>(path);
  typename Form::FindData data;
  std::memset(&data, 0, sizeof(data));
  ClearLastError();
  HANDLE handle = findFirst(pathBuffer.data(), &data);
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
    PrintLine(EntryLine<Form>(data));
    ++count;
    std::memset(&data, 0, sizeof(data));
    more = findNext(handle, &data) != FALSE;
  }
  state.exports.FsFindClose(handle);
  if (more) {
    PrintLine("ls: stopped after " + std::to_string(count) + " entries (FsFindNext never ended)");
    return false;
  }
  PrintLine("ls: " + std::to_string(count) + (count == 1 ? " entry" : " entries"));
  return true;
}

bool ListDirectory(const std::string& path) {
  const PluginExports& e = state.exports;
  if (ReportMissing(reinterpret_cast<const void*>(e.FsFindClose), "FsFindClose")) return false;
  // The hosts decide by FsFindFirstW and then call FsFindNextW: a plug-in exports them together.
  if (UseWide(reinterpret_cast<const void*>(e.FsFindFirstW))) {
    if (ReportMissing(reinterpret_cast<const void*>(e.FsFindFirstW), "FsFindFirstW") ||
        ReportMissing(reinterpret_cast<const void*>(e.FsFindNextW), "FsFindNextW"))
      return false;
    return ListWith<WideForm>(e.FsFindFirstW, e.FsFindNextW, path);
  }
  if (ReportMissing(reinterpret_cast<const void*>(e.FsFindFirst), "FsFindFirst") ||
      ReportMissing(reinterpret_cast<const void*>(e.FsFindNext), "FsFindNext"))
    return false;
  return ListWith<AnsiForm>(e.FsFindFirst, e.FsFindNext, path);
}

// Calls Call(function, buffer) with the wide export (named Name + "W") or the ANSI one, as
// UseWide decides; Buffer makes a name (UTF-8) into a writable name of the function's form.
template <class AnsiFunction, class WideFunction, class Call>
bool CallEither(AnsiFunction ansi, WideFunction wide, const std::string& name, Call call) {
  if (UseWide(reinterpret_cast<const void*>(wide))) {
    if (ReportMissing(reinterpret_cast<const void*>(wide), (name + "W").c_str())) return false;
    return call(wide, [](const std::string& text) { return NameBuffer<WideForm>(text); });
  }
  if (ReportMissing(reinterpret_cast<const void*>(ansi), name.c_str())) return false;
  return call(ansi, [](const std::string& text) { return NameBuffer<AnsiForm>(text); });
}

bool GetFile(const Command& command) {
  const PluginExports& e = state.exports;
  return CallEither(e.FsGetFile, e.FsGetFileW, "FsGetFile", [&](auto function, auto buffer) {
    auto remote = buffer(command.args[0]);
    auto local = buffer(command.args[1]);
    RemoteInfoStruct info;
    std::memset(&info, 0, sizeof(info));
    return ReportFileResult(
        "FsGetFile", function(remote.data(), local.data(), CopyFlagsOf(command.options), &info));
  });
}

bool PutFile(const Command& command) {
  const PluginExports& e = state.exports;
  return CallEither(e.FsPutFile, e.FsPutFileW, "FsPutFile", [&](auto function, auto buffer) {
    auto local = buffer(command.args[0]);
    auto remote = buffer(command.args[1]);
    return ReportFileResult("FsPutFile",
                            function(local.data(), remote.data(), CopyFlagsOf(command.options)));
  });
}

bool RenameFile(const Command& command) {
  const PluginExports& e = state.exports;
  return CallEither(
      e.FsRenMovFile, e.FsRenMovFileW, "FsRenMovFile", [&](auto function, auto buffer) {
        auto oldName = buffer(command.args[0]);
        auto newName = buffer(command.args[1]);
        RemoteInfoStruct info;
        std::memset(&info, 0, sizeof(info));
        const BOOL move = command.options.copy ? FALSE : TRUE;
        const BOOL overwrite = command.options.overwrite ? TRUE : FALSE;
        return ReportFileResult("FsRenMovFile",
                                function(oldName.data(), newName.data(), move, overwrite, &info));
      });
}

// rm, mkdir, rmdir and disconnect: one path in, a BOOL out.
template <typename AnsiFunction>
bool PathBoolCall(AnsiFunction ansi, FsPathWFunction wide, const char* name,
                  const std::string& path) {
  return CallEither(ansi, wide, name, [&](auto function, auto buffer) {
    auto pathBuffer = buffer(path);
    return ReportBoolResult(name, function(pathBuffer.data()));
  });
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
    state.details = OpenForAppend(options.detailsPath);
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
  WFXHOST_RESOLVE(FsInitW);
  WFXHOST_RESOLVE(FsFindFirstW);
  WFXHOST_RESOLVE(FsFindNextW);
  WFXHOST_RESOLVE(FsGetFileW);
  WFXHOST_RESOLVE(FsPutFileW);
  WFXHOST_RESOLVE(FsRenMovFileW);
  WFXHOST_RESOLVE(FsDeleteFileW);
  WFXHOST_RESOLVE(FsRemoveDirW);
  WFXHOST_RESOLVE(FsMkDirW);
  WFXHOST_RESOLVE(FsDisconnectW);
  const PluginExports& e = state.exports;
  // Double Commander's start: FsInit where exported, then FsInitW where exported. The interface
  // switch leaves out the other one.
  const bool callAnsi = options.interfaceChoice != InterfaceChoice::Wide && e.FsInit != nullptr;
  const bool callWide = options.interfaceChoice != InterfaceChoice::Ansi && e.FsInitW != nullptr;
  if (!callAnsi && !callWide) {
    const char* missing = options.interfaceChoice == InterfaceChoice::Wide ? "FsInitW" : "FsInit";
    std::fprintf(stderr, "wfxhost: %s: %s: export missing in plugin\n", path.c_str(), missing);
    UnloadPluginLibrary(state.library);
    state.library = nullptr;
    return false;
  }

  // Then Total Commander's order: FsSetDefaultParams right after the start.
  if (callAnsi)
    e.FsInit(options.pluginNr, HostProgress<AnsiForm>, HostLogLine<AnsiForm>,
             HostRequest<AnsiForm>);
  if (callWide) {
    e.FsInitW(options.pluginNr, HostProgress<WideForm>, HostLogLine<WideForm>,
              HostRequest<WideForm>);
    std::lock_guard<std::mutex> guard(state.lock);
    state.wideInitCalled = true;
  }
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
      ok = PathBoolCall(e.FsDeleteFile, e.FsDeleteFileW, "FsDeleteFile", command.args[0]);
      break;
    case CommandKind::MakeDir:
      ok = PathBoolCall(e.FsMkDir, e.FsMkDirW, "FsMkDir", command.args[0]);
      break;
    case CommandKind::RemoveDir:
      ok = PathBoolCall(e.FsRemoveDir, e.FsRemoveDirW, "FsRemoveDir", command.args[0]);
      break;
    case CommandKind::Disconnect:
      ok = PathBoolCall(e.FsDisconnect, e.FsDisconnectW, "FsDisconnect", command.args[0]);
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
