// The host boundary: the exported functions called as a file manager calls them, with paths the
// input makes, down to drivers over the memory line whose device answers from the input. The
// root lists a PortaPack, a Flipper Zero and a HackRF on three ports (all three reach the one
// line in memory, so a second connection finds it busy). Input pieces, separated by "\xFF\xFF":
//   0  the calls, two bytes each: the first says which export (bits 0-3), its copy flags or the
//      rename's Move and OverWrite (bits 4-6) and whether the host aborts transfers (bit 7); the
//      second its paths (bits 0-3 the first, 4-7 the second), see MakePath
//   1-3  three texts that the calls' paths are made of
//   from 4 on  the device's answers (support/DialogueScript.h segments)
// Checked besides the sanitizers: every call keeps to its deadlines in virtual time, returns one
// of the host interface's codes, and hands back names and root names that end within their
// buffers.
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "DeviceDialogue.h"
#include "DialogueScript.h"
#include "FuzzCheck.h"
#include "MemoryLine.h"
#include "devices/uDeviceLog.h"
#include "platform/wfxplugin.h"
#include "plugin/uHostLog.h"
#include "plugin/uLibrary.h"
#include "registry/uDeviceRegistry.h"
#include "serial/uComScan.h"

namespace fs = std::filesystem;

namespace {

const char* const kDisplays[3] = {"PortaPack (ttyFUZZ0)", "Flipper Zero Fuzz (ttyFUZZ1)",
                                  "HackRF One (ttyFUZZ2, no shell)"};
constexpr uint64_t kCallBudgetMs = 60000;
constexpr uint64_t kPerExchangeBudgetMs = 30000;

std::string Scratch;
bool AbortTransfers = false;

TComPortInfos FakePorts(const TPortFilter&) {
  TComPortInfo portapack{
      "ttyFUZZ0", "PortaPack Mayhem", "USB\\VID_1D50&PID_6018", "Transceiver", "", 0x1D50, 0x6018};
  TComPortInfo flipper{"ttyFUZZ1", "Flipper Fuzz", "USB\\VID_0483&PID_5740", "flip_Fuzz", "",
                       0x0483,     0x5740};
  TComPortInfo hackrf{"ttyFUZZ2", "HackRF One", "USB\\VID_1D50&PID_6089", "", "", 0x1D50, 0x6089};
  return {portapack, flipper, hackrf};
}

int WFX_API Progress(int, char* Source, char* Target, int Percent) {
  FUZZ_CHECK(Source && Target, "progress without names");
  FUZZ_CHECK(Percent >= 0 && Percent <= 100, "progress of " + std::to_string(Percent) + "%");
  return AbortTransfers ? 1 : 0;
}

void WFX_API Log(int, int MsgType, char* Text) {
  FUZZ_CHECK(Text && MsgType >= MSGTYPE_CONNECT && MsgType <= MSGTYPE_OPERATIONCOMPLETE,
             "a log line of type " + std::to_string(MsgType));
}

BOOL WFX_API Request(int, int, char* Title, char* Text, char*, int) {
  FUZZ_CHECK(Title && Text, "a message without its texts");
  return FALSE;
}

// A path for a call from four bits: bits 0-1 one of the texts (3: no path at all, a null
// pointer), bits 2-3 the root folder it follows (none, the PortaPack's, the Flipper's, the
// HackRF's), behind "\" when the text begins with one, else behind "/".
std::string MakePath(uint8_t Choice, const std::vector<std::string>& Texts, bool& Null) {
  Null = (Choice & 3) == 3;
  if (Null) return {};
  const std::string& text = Texts[Choice & 3];
  const int root = (Choice >> 2) & 3;
  if (root == 0) return text;
  const char separator = !text.empty() && text[0] == '\\' ? '\\' : '/';
  return separator + std::string(kDisplays[root - 1]) + text;
}

void CheckName(const char* Name) {
  FUZZ_CHECK(strnlen(Name, MAX_PATH) < MAX_PATH, "a name without its terminating zero");
}

void Call(uint8_t Code, uint8_t Paths, const std::vector<std::string>& Texts) {
  bool nullPath = false;
  bool nullSecond = false;
  std::string path = MakePath(Paths & 15, Texts, nullPath);
  std::string second = MakePath(Paths >> 4, Texts, nullSecond);
  char* p = nullPath ? nullptr : path.data();
  char* q = nullSecond ? nullptr : second.data();
  const std::string download = Scratch + "/download";
  const std::string upload = Scratch + "/upload";
  if (!fs::exists(upload)) std::ofstream(upload, std::ios::binary) << std::string(600, 'u');
  const int flags = (Code >> 4) & 7;  // FS_COPYFLAGS_OVERWRITE, _RESUME, _MOVE
  AbortTransfers = (Code & 0x80) != 0;
  int result = 0;
  switch (Code & 15) {
    case 0:
    case 1: {
      WIN32_FIND_DATAA data;
      HANDLE handle = FsFindFirst((Code & 15) == 0 ? p : const_cast<char*>("\\"), &data);
      if (handle == INVALID_HANDLE_VALUE) break;
      CheckName(data.cFileName);
      for (int i = 0; i < 10000 && FsFindNext(handle, &data); ++i) CheckName(data.cFileName);
      FsFindClose(handle);
      break;
    }
    case 2:
      result = FsGetFile(p, const_cast<char*>(download.c_str()), flags, nullptr);
      break;
    case 3:
      result = FsPutFile(const_cast<char*>(upload.c_str()), p, flags);
      break;
    case 4:
      result = FsRenMovFile(p, q, (Code & 0x10) != 0, (Code & 0x20) != 0, nullptr);
      break;
    case 5:
      FsDeleteFile(p);
      break;
    case 6:
      FsRemoveDir(p);
      break;
    case 7:
      FsMkDir(p);
      break;
    case 8:
      FsDisconnect(p);
      break;
    case 9: {
      // Exactly the room the host says it has, so that a byte written beyond it shows.
      const int room = Paths % 20;
      std::vector<char> name(static_cast<size_t>(room));
      FsGetDefRootName(room ? name.data() : nullptr, room);
      if (room) FUZZ_CHECK(std::memchr(name.data(), 0, name.size()), "a root name without zero");
      break;
    }
    case 10: {
      FsDefaultParamStruct params{};
      params.size = sizeof(params);
      // A name that fills the whole field, without a terminating zero.
      const std::string& text = Texts[Paths % 3];
      for (size_t i = 0; i < MAX_PATH; ++i)
        params.DefaultIniName[i] = text.empty() ? 'x' : text[i % text.size()];
      FsSetDefaultParams(&params);
      break;
    }
    default:
      FsDisconnect(const_cast<char*>((std::string("\\") + kDisplays[Paths % 3]).c_str()));
      break;
  }
  FUZZ_CHECK(result >= FS_FILE_OK && result <= FS_FILE_NOTSUPPORTED,
             "result code " + std::to_string(result));
}

void RemoveScratch() {
  std::error_code ec;
  fs::remove_all(Scratch, ec);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::PrepareDialogues();  // the debug log goes nowhere
  char pattern[] = "/tmp/quarnel-fuzz-host-XXXXXX";
  if (!mkdtemp(pattern)) return 0;
  Scratch = pattern;
  std::atexit(RemoveScratch);
  LibraryStartup();
  SetPortEnumerator(FakePorts);
  // As FsInit sets them, without its idle watcher thread.
  ProgressProc.store(Progress);
  LogProc.store(Log);
  RequestProc.store(Request);
  DeviceLogProc = DetailLog;
  ComScanLogProc = DetailLog;
  SetConnectNotify(HostLog);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::vector<std::string> pieces = fuzz::SplitInput(Data, Size, "\xFF\xFF");
  const std::string& calls = fuzz::Piece(pieces, 0);
  const std::vector<std::string> texts = {fuzz::Piece(pieces, 1), fuzz::Piece(pieces, 2),
                                          fuzz::Piece(pieces, 3)};
  const std::vector<std::string> segments(pieces.begin() + std::min<size_t>(4, pieces.size()),
                                          pieces.end());
  fuzz::TScriptedDevice device(segments);
  fuzz::AttachDevice(&device);
  for (size_t i = 0; i + 1 < calls.size() && i < 16; i += 2) {
    const uint64_t start = fuzz::Now();
    const size_t exchanges = fuzz::Counters().Opens + fuzz::Counters().Writes;
    Call(static_cast<uint8_t>(calls[i]), static_cast<uint8_t>(calls[i + 1]), texts);
    const uint64_t took = fuzz::Now() - start;
    const size_t made = fuzz::Counters().Opens + fuzz::Counters().Writes - exchanges;
    FUZZ_CHECK(
        took <= kCallBudgetMs + kPerExchangeBudgetMs * made + 3600000 * ((calls[i] & 15) == 4),
        "a call took " + std::to_string(took) + " ms of virtual time");
  }
  for (const char* display : kDisplays)
    FsDisconnect(const_cast<char*>((std::string("\\") + display).c_str()));
  fuzz::AttachDevice(nullptr);
  return 0;
}
