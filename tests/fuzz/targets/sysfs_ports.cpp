// The Linux port scan reading attribute files that a USB device fills. Input pieces, separated
// by "\xFF\xFF": the contents of product, serial, idVendor and idProduct of one CDC-ACM port's USB
// device in a fake sysfs tree (a missing piece leaves its file out). Checked: one port, with the
// name strings fit for a folder name (no separator, no control byte, at most 100 bytes, cut at a
// character boundary) and the ids read as four hexadecimal digits or not at all.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "serial/uComScan.h"

namespace fs = std::filesystem;

namespace {

fs::path Base;
fs::path UsbDevice;

// What each attribute file holds now (absent: no file), so that an input rewrites only the files
// it changes: the scan's own reads are what is being tested, not the harness's writes.
struct TAttributeFile {
  std::string Path;
  bool Present = false;
  std::string Text;
};
TAttributeFile Files[4];

void RemoveTree() {
  std::error_code ec;
  fs::remove_all(Base, ec);
}

// The attribute as the scan should see it: up to a zero byte, without the line ends at its end.
std::string AttributeText(std::string Text) {
  Text.resize(std::min<size_t>(Text.size(), 4096));
  const size_t nul = Text.find('\0');
  if (nul != std::string::npos) Text.resize(nul);
  while (!Text.empty() && (Text.back() == '\n' || Text.back() == '\r')) Text.pop_back();
  return Text;
}

uint16_t ExpectedId(const std::string& Piece) {
  std::string text = AttributeText(Piece);
  const size_t first = text.find_first_not_of(" \t");
  const size_t last = text.find_last_not_of(" \t");
  text = first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
  if (text.empty() || text.size() > 4) return 0;
  uint32_t value = 0;
  for (char c : text) {
    const int digit = (c >= '0' && c <= '9')   ? c - '0'
                      : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                      : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                               : -1;
    if (digit < 0) return 0;
    value = value * 16 + static_cast<uint32_t>(digit);
  }
  return static_cast<uint16_t>(value);
}

void CheckNameString(const std::string& Shown, const std::string& Piece, bool Present) {
  const std::string text = Present ? AttributeText(Piece) : std::string();
  FUZZ_CHECK(Shown.size() <= 100 && Shown.size() <= text.size(), "a name string too long");
  for (size_t i = 0; i < Shown.size(); ++i) {
    const auto c = static_cast<unsigned char>(Shown[i]);
    FUZZ_CHECK(c >= 32 && c != 127 && c != '/' && c != '\\', "a byte unfit for a folder name");
    FUZZ_CHECK(Shown[i] == text[i] || Shown[i] == '_', "a name string changed");
  }
  // Cut where a character begins (or to nothing, when none begins within the limit).
  if (!Shown.empty() && Shown.size() < text.size())
    FUZZ_CHECK((static_cast<unsigned char>(text[Shown.size()]) & 0xC0) != 0x80,
               "a name string cut inside a character");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // In memory where the system has it: the files are written anew for every input.
  std::string pattern = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  pattern += "/quarnel-fuzz-sysfs-XXXXXX";
  if (!mkdtemp(pattern.data())) return 0;
  Base = pattern;
  std::atexit(RemoveTree);
  const fs::path sys = Base / "sys";
  UsbDevice = sys / "devices" / "pci0000:00" / "usb1" / "1-1";
  const fs::path interface = UsbDevice / "1-1:1.0";
  const fs::path tty = interface / "tty" / "ttyACM0";
  fs::create_directories(tty);
  fs::create_directories(sys / "class" / "tty");
  fs::create_directory_symlink(fs::relative(interface, tty), tty / "device");
  fs::create_directory_symlink(fs::relative(tty, sys / "class" / "tty"),
                               sys / "class" / "tty" / "ttyACM0");
  setenv("QUARNEL_SYSFS_ROOT", sys.c_str(), 1);
  setenv("QUARNEL_DEV_ROOT", (Base / "dev").c_str(), 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::vector<std::string> pieces = fuzz::SplitInput(Data, Size, "\xFF\xFF");
  const char* const kFiles[] = {"product", "serial", "idVendor", "idProduct"};
  for (size_t i = 0; i < 4; ++i) {
    TAttributeFile& file = Files[i];
    if (file.Path.empty()) file.Path = (UsbDevice / kFiles[i]).string();
    const bool present = i < pieces.size();
    if (present == file.Present && (!present || pieces[i] == file.Text)) continue;
    if (present) {
      const int fd = open(file.Path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      FUZZ_CHECK(fd >= 0, "cannot write " + file.Path);
      FUZZ_CHECK(
          write(fd, pieces[i].data(), pieces[i].size()) == static_cast<ssize_t>(pieces[i].size()),
          "cannot write " + file.Path);
      close(fd);
      file.Text = pieces[i];
    } else {
      unlink(file.Path.c_str());
    }
    file.Present = present;
  }
  // idVendor and idProduct must exist for a USB device; without them there is no port.
  const bool usb = pieces.size() >= 4;
  // No presence test: the port is kept untested.
  const TComPortInfos ports = EnumerateComPortsSysfs([](const TComPortInfo&) { return false; });
  FUZZ_CHECK(ports.size() == (usb ? 1u : 0u), std::to_string(ports.size()) + " ports found");
  if (!usb) return 0;
  const TComPortInfo& port = ports[0];
  FUZZ_CHECK(port.PortName == "ttyACM0", "port " + fuzz::Shown(port.PortName));
  CheckNameString(port.FriendlyName, pieces[0], true);
  CheckNameString(port.InstanceId, pieces[1], true);
  FUZZ_CHECK(port.VID == ExpectedId(pieces[2]) && port.PID == ExpectedId(pieces[3]),
             "ids read as " + std::to_string(port.VID) + ":" + std::to_string(port.PID));
  return 0;
}
