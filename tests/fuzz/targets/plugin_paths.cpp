// What the host hands over and gets back. Input pieces, separated by "\xFF\xFF": a plug-in path,
// a root folder name, a port name, a USB serial string (a Flipper's "flip_<name>"), an entry
// name. Checked: the path splitting with either separator, the remote path's normal form, the
// port read back out of a root folder name (also of names the root listing made for any port and
// device name), and the find data filled for the host.
#include <cstring>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "devices/uDeviceBase.h"
#include "platform/PortName.h"
#include "plugin/uDeviceListing.h"
#include "plugin/uFindData.h"
#include "plugin/uPluginPath.h"
#include "registry/uDeviceRegistry.h"

namespace {

bool IsSeparator(char C) {
  return C == '\\' || C == '/';
}

void CheckSplit(const std::string& Path) {
  std::string root, remote;
  const bool split = SplitPluginPath(Path, root, remote);
  if (!split) {
    FUZZ_CHECK(root.empty() || Path.empty(), "a failed split named a root folder");
    return;
  }
  FUZZ_CHECK(!root.empty(), "a split without a root folder");
  for (char c : root) FUZZ_CHECK(!IsSeparator(c), "a separator inside a root folder name");
  FUZZ_CHECK(!remote.empty() && IsSeparator(remote[0]), "a remote part without its separator");
  // The pieces give the path back: an optional leading separator, the folder, the rest (a
  // device folder on its own has "/" as its remote part).
  const size_t start = IsSeparator(Path[0]) ? 1 : 0;
  const std::string rebuilt = root + (Path.size() == start + root.size() ? "" : remote);
  FUZZ_CHECK(Path.substr(start) == rebuilt, "the split does not give the path back");
  // Either separator splits alike.
  std::string other = Path;
  for (char& c : other)
    if (IsSeparator(c)) c = c == '/' ? '\\' : '/';
  std::string otherRoot, otherRemote;
  FUZZ_CHECK(SplitPluginPath(other, otherRoot, otherRemote) && otherRoot == root,
             "the separators split differently");
  const std::string normal = TShellDevice::NormalizeRemotePath(remote);
  FUZZ_CHECK(normal == TShellDevice::NormalizeRemotePath(otherRemote),
             "the separators give different remote paths");
}

void CheckDisplayToPort(const std::string& Display) {
  // The strict reading, by which a lookup decides to scan the ports again.
  const std::string folderPort = PortOfDeviceFolderName(Display);
  if (!folderPort.empty()) {
    FUZZ_CHECK(platform::IsPortName(folderPort), "a port name " + fuzz::Shown(folderPort));
    const std::string kind = Display.substr(0, Display.size() - folderPort.size() - 3);
    FUZZ_CHECK(kind + " (" + folderPort + ")" == Display &&
                   (kind == "PortaPack" || kind.rfind("Flipper Zero", 0) == 0),
               "a device folder name " + fuzz::Shown(Display));
  }
  const std::string port = DisplayToPort(Display);
  if (port.empty()) return;
  FUZZ_CHECK(Display.find(port) != std::string::npos, "a port that is not in the name");
  FUZZ_CHECK(port.rfind("COM", 0) == 0 || port.rfind("tty", 0) == 0,
             "a port read out of a name: " + fuzz::Shown(port));
}

// A port name as the systems give them: COM<n> or tty<letters><n>.
std::string PortFrom(const std::string& Text) {
  std::string digits;
  for (char c : Text)
    if (c >= '0' && c <= '9') digits += c;
  if (digits.empty()) digits = "5";
  return (!Text.empty() && (Text[0] & 1) ? "ttyACM" : "COM") + digits.substr(0, 4);
}

// A folder name made by the root listing leads back to its port (the USB serial string reaches
// the name with "/", "\" and control bytes replaced), read strictly as a device folder's name
// and, for names not in the stored list (folders the host remembers from an earlier run), by
// DisplayToPort: that one takes the port from the first "(COM" (or "(tty") up to the first "," or
// ")" of the whole name, so a Flipper whose own name holds one of these leads nowhere there.
void CheckRoundTrip(const std::string& PortText, const std::string& Instance) {
  const std::string port = PortFrom(PortText);
  std::string name = FlipperNameFromInstance(Instance);
  if (!name.empty())
    FUZZ_CHECK(Instance.substr(5) == name, "the Flipper's name is not its serial's tail");
  for (char& c : name)
    if (IsSeparator(c) || static_cast<unsigned char>(c) < 32 || c == 127) c = '_';
  for (TDeviceKind kind : {dkPortapack, dkFlipper}) {
    const std::string display = RootDisplayName(kind, port, name);
    FUZZ_CHECK(PortOfDeviceFolderName(display) == port,
               "the folder " + fuzz::Shown(display) + " is no device folder name");
  }
  if (name.find_first_of(",)") != std::string::npos || name.find("(COM") != std::string::npos ||
      name.find("(tty") != std::string::npos)
    return;
  for (TDeviceKind kind : {dkPortapack, dkHackRF, dkFlipper}) {
    const std::string display = RootDisplayName(kind, port, name);
    FUZZ_CHECK(DisplayToPort(display) == port,
               "the folder " + fuzz::Shown(display) + " leads to port " +
                   fuzz::Shown(DisplayToPort(display)) + ", not " + port);
  }
}

void CheckFindData(const std::string& Name, const std::string& SizeBytes) {
  TShellFileEntry entry;
  entry.Name = Name;
  entry.IsDir = !SizeBytes.empty() && (SizeBytes[0] & 1);
  uint64_t size = 0;
  std::memcpy(&size, (SizeBytes + std::string(8, '\0')).data(), 8);
  entry.Size = static_cast<int64_t>(size >> 1);
  WIN32_FIND_DATAA data;
  FillFindDataFromEntry(entry, data);
  const size_t kept = strnlen(data.cFileName, MAX_PATH);
  FUZZ_CHECK(kept < MAX_PATH, "a file name without its terminating zero");
  FUZZ_CHECK(Name.compare(0, kept, data.cFileName, kept) == 0, "the file name changed");
  const uint64_t shown = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  FUZZ_CHECK(shown == static_cast<uint64_t>(entry.Size), "the file size changed");
  TRootEntry root;
  root.Display = Name;
  FillFindDataFromRoot(root, data);
  FUZZ_CHECK(strnlen(data.cFileName, MAX_PATH) < MAX_PATH, "a folder name without its zero");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::vector<std::string> pieces = fuzz::SplitInput(Data, Size, "\xFF\xFF");
  const std::string& path = fuzz::Piece(pieces, 0);
  const std::string& display = fuzz::Piece(pieces, 1);
  CheckSplit(path);
  CheckDisplayToPort(display);
  CheckDisplayToPort(path);
  CheckRoundTrip(fuzz::Piece(pieces, 2), fuzz::Piece(pieces, 3));
  CheckFindData(fuzz::Piece(pieces, 4), fuzz::Piece(pieces, 5));
  ClassifyDevice(display, 0, 0);
  ConnectionFailureText(display, fuzz::Piece(pieces, 3));
  platform::IsPortName(DisplayToPort(display));
  return 0;
}
