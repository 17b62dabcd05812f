#include "plugin/uOperationStatus.h"

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/Platform.h"
#include "platform/wfxplugin.h"
#include "util/uDebugLog.h"
#include "util/uLibraryObject.h"

namespace {

struct TStatus {
  uint64_t Thread;
  int Operation;
};

// A library object (the lifetime rule in plugin/uLibrary.h). A host that never ends what it
// started cannot make it grow without bound: the oldest entries go first.
struct TStatusTable {
  std::mutex Lock;
  std::vector<TStatus> Running;
};
constexpr size_t kMaxEntries = 256;
TLibraryObject<TStatusTable> Table;

}  // namespace

std::string StatusOperationName(int InfoOperation) {
  static const char* const kNames[] = {"",
                                       "LIST",
                                       "GET_SINGLE",
                                       "GET_MULTI",
                                       "PUT_SINGLE",
                                       "PUT_MULTI",
                                       "RENMOV_SINGLE",
                                       "RENMOV_MULTI",
                                       "DELETE",
                                       "ATTRIB",
                                       "MKDIR",
                                       "EXEC",
                                       "CALCSIZE",
                                       "SEARCH",
                                       "SEARCH_TEXT",
                                       "SYNC_SEARCH",
                                       "SYNC_GET",
                                       "SYNC_PUT",
                                       "SYNC_DELETE",
                                       "GET_MULTI_THREAD",
                                       "PUT_MULTI_THREAD"};
  constexpr int kCount = static_cast<int>(sizeof(kNames) / sizeof(kNames[0]));
  if (InfoOperation > 0 && InfoOperation < kCount) return kNames[InfoOperation];
  return std::to_string(InfoOperation);
}

void NoteOperationStatus(const std::string& RemoteDir, int InfoStartEnd, int InfoOperation) {
  const uint64_t thread = platform::CurrentThreadId();
  const bool start = InfoStartEnd == FS_STATUS_START;
  {
    TStatusTable& table = Table.Get();
    std::lock_guard<std::mutex> guard(table.Lock);
    std::vector<TStatus>& running = table.Running;
    if (start) {
      if (running.size() >= kMaxEntries) running.erase(running.begin());
      running.push_back({thread, InfoOperation});
    } else {
      auto last = std::find_if(running.rbegin(), running.rend(), [&](const TStatus& Status) {
        return Status.Thread == thread && Status.Operation == InfoOperation;
      });
      if (last != running.rend()) running.erase(std::next(last).base());
    }
  }
  DebugLog(std::string("FsStatusInfo: ") + (start ? "start " : "end ") +
           StatusOperationName(InfoOperation) + " [" + RemoteDir + "] on thread " +
           std::to_string(thread));
}

bool InsideHostOperation() {
  const uint64_t thread = platform::CurrentThreadId();
  TStatusTable& table = Table.Get();
  std::lock_guard<std::mutex> guard(table.Lock);
  return std::any_of(table.Running.begin(), table.Running.end(), [&](const TStatus& Status) {
    return Status.Thread == thread && Status.Operation != FS_STATUS_OP_LIST;
  });
}

void ReleaseOperationStatus() {
  Table.Release();
}
