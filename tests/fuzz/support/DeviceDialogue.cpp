// The dialogue runner of the device dialogue target and the seed maker (see DeviceDialogue.h).
#include "DeviceDialogue.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include "FuzzCheck.h"
#include "devices/uFlipper.h"
#include "devices/uPortapack.h"

namespace fs = std::filesystem;

namespace fuzz {

namespace {

const char kPort[] = "ttyFUZZ0";

// How long an operation may take in virtual time: a fixed allowance, plus one for every exchange
// with the device (each opening of the port and each write), since the drivers wait for each
// answer with a deadline of its own. The longest waits for one exchange are a Flipper download
// chunk's (8 s for its "Ready?", 15 s for its bytes). A Flipper rename may wait up to an hour for
// the device to copy a large file.
constexpr uint64_t kBaseBudgetMs = 60000;
constexpr uint64_t kPerExchangeBudgetMs = 30000;
constexpr uint64_t kFlipperRenameBudgetMs = 3600000;

std::string Scratch;

std::string LocalPath(const std::string& Name) {
  return Scratch + "/" + Name;
}

std::string UploadFile(uint8_t Index) {
  return LocalPath("upload" + std::to_string(Index & 3));
}

void RemoveScratch() {
  std::error_code ec;
  fs::remove_all(Scratch, ec);
}

int64_t LocalSize(const std::string& Path) {
  struct stat info {};
  return stat(Path.c_str(), &info) == 0 ? static_cast<int64_t>(info.st_size) : -1;
}

TShellDevicePtr NewDevice(bool Flipper) {
  if (Flipper) return TShellDevicePtr(new TFlipperDevice(kPort));
  return TShellDevicePtr(new TPortapackDevice(kPort));
}

// What the host saw of a transfer's progress.
struct TProgressLog {
  bool AbortAtFirst = false;
  int Calls = 0;
  int64_t LastDone = 0;
  int64_t LastTotal = 0;
};

TTransferProgress ProgressInto(TProgressLog& Log) {
  return [&Log](void*, int64_t Done, int64_t Total) {
    FUZZ_CHECK(Done >= 0 && Total >= 0 && Done <= Total,
               "progress " + std::to_string(Done) + " of " + std::to_string(Total));
    if (Log.Calls > 0) {
      FUZZ_CHECK(Total == Log.LastTotal, "the total of a transfer changed during it");
      FUZZ_CHECK(Done >= Log.LastDone, "progress went backwards");
    }
    ++Log.Calls;
    Log.LastDone = Done;
    Log.LastTotal = Total;
    return !Log.AbortAtFirst;
  };
}

// Runs one operation and checks what it left.
bool RunOperation(TShellDevice& Device, bool Flipper, const TOperation& Op) {
  const bool folder = Op.Kind == TOperationKind::List || Op.Kind == TOperationKind::MakeDir;
  const std::string path = folder ? FolderPath(Flipper, Op.Path) : FilePath(Flipper, Op.Path);
  const std::string download = LocalPath("download");
  std::error_code ec;
  fs::remove(download, ec);
  Device.LastError.clear();
  TProgressLog progress;
  progress.AbortAtFirst = Op.Abort;

  const uint64_t start = Now();
  const size_t exchangesBefore = Counters().Opens + Counters().Writes;
  bool ok = false;
  switch (Op.Kind) {
    case TOperationKind::List: {
      TShellFileEntries entries;
      ok = Device.ListDir(path, entries);
      if (ok) {
        for (const TShellFileEntry& entry : entries) {
          FUZZ_CHECK(!entry.Name.empty() && entry.Name != "." && entry.Name != "..",
                     "listed name " + Shown(entry.Name));
          FUZZ_CHECK(entry.Size >= 0, "negative size listed for " + Shown(entry.Name));
        }
      }
      break;
    }
    case TOperationKind::Probe: {
      int64_t size = -1;
      const TPathState state = Device.ProbePath(path, size);
      FUZZ_CHECK(size >= 0, "a probe gave a negative size");
      ok = state != TPathState::Unknown;
      break;
    }
    case TOperationKind::Size: {
      int64_t size = -1;
      ok = Device.GetFileSize(path, size);
      FUZZ_CHECK(!ok || size >= 0, "a file size below 0");
      break;
    }
    case TOperationKind::Get: {
      ok = Device.GetFile(path, download, ProgressInto(progress), nullptr);
      const int64_t size = LocalSize(download);
      if (ok) {
        FUZZ_CHECK(size >= 0, "a download reported success without a local file");
        const int64_t expected = progress.Calls > 0 ? progress.LastTotal : 0;
        FUZZ_CHECK(size == expected, "a download of " + std::to_string(expected) + " bytes left " +
                                         std::to_string(size) + " bytes");
      } else {
        FUZZ_CHECK(size < 0, "a failed download left a partial local file");
      }
      break;
    }
    case TOperationKind::Put:
      ok = Device.PutFile(UploadFile(Op.Second), path, ProgressInto(progress), nullptr);
      break;
    case TOperationKind::Delete:
      ok = Device.DeleteFile(path);
      break;
    case TOperationKind::MakeDir:
      ok = Device.MakeDir(path);
      break;
    case TOperationKind::Rename:
      ok = Device.RenameFile(path, RenameTarget(Flipper, Op.Second));
      break;
  }
  if (!ok)
    FUZZ_CHECK(!Device.LastError.empty(), "operation " + std::to_string(static_cast<int>(Op.Kind)) +
                                              " failed without a reason");

  const size_t exchanges = Counters().Opens + Counters().Writes - exchangesBefore;
  uint64_t budget = kBaseBudgetMs + kPerExchangeBudgetMs * exchanges;
  if (Flipper && Op.Kind == TOperationKind::Rename) budget += kFlipperRenameBudgetMs;
  const uint64_t took = Now() - start;
  FUZZ_CHECK(took <= budget, "operation " + std::to_string(static_cast<int>(Op.Kind)) + " took " +
                                 std::to_string(took) + " ms of virtual time with " +
                                 std::to_string(exchanges) + " exchanges");
  return ok;
}

}  // namespace

void PrepareDialogues() {
  char pattern[] = "/tmp/quarnel-fuzz-dialogue-XXXXXX";
  FUZZ_CHECK(mkdtemp(pattern) != nullptr, "no scratch folder");
  Scratch = pattern;
  std::atexit(RemoveScratch);
  for (uint8_t i = 0; i < 4; ++i)
    std::ofstream(UploadFile(i), std::ios::binary)
        << std::string(static_cast<size_t>(kUploadSizes[i]), 'u');
  // The debug log goes nowhere (a folder that does not exist): a file appended a hundred times a
  // dialogue would slow the fuzzing down and fill the disk. A rename's temporary file goes to
  // the scratch folder.
  setenv("TMPDIR", LocalPath("no-such-folder").c_str(), 1);
  setenv("TEMP", Scratch.c_str(), 1);
}

std::vector<bool> RunDialogue(bool Flipper, const std::vector<TOperation>& Operations,
                              TDeviceSide& Device) {
  std::vector<bool> results(Operations.size(), false);
  AttachDevice(&Device);
  {
    TShellDevicePtr driver;
    for (size_t i = 0; i < Operations.size(); ++i) {
      if (!driver || !driver->IsConnected()) {
        driver = NewDevice(Flipper);
        const uint64_t start = Now();
        const bool connected = driver->Connect();
        FUZZ_CHECK(Now() - start <= kBaseBudgetMs, "a connect overstayed its deadlines");
        if (!connected) {
          FUZZ_CHECK(!driver->LastError.empty(), "a connect failed without a reason");
          break;
        }
      }
      results[i] = RunOperation(*driver, Flipper, Operations[i]);
    }
  }
  AttachDevice(nullptr);
  return results;
}

}  // namespace fuzz
