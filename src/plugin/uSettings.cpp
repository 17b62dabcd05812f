// The settings reader (see uSettings.h): a small ini parser of its own, so that every build reads
// the file the same way, and the store of the values read.
#include "plugin/uSettings.h"

#include <mutex>
#include <vector>

#include "platform/LocalFile.h"
#include "util/uDebugLog.h"
#include "util/uLibraryObject.h"
#include "util/uStrUtils.h"

namespace {

const char kSection[] = "Quarnel";
const char kPortapackSizes[] = "PortapackSizes";
const char kVerify[] = "Verify";
// A settings file is a few lines; anything larger is not read beyond this.
constexpr uint32_t kMaxIniBytes = 1024 * 1024;

std::string LowerAscii(std::string Text) {
  for (char& c : Text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return Text;
}

// A library object (the lifetime rule in plugin/uLibrary.h).
struct TSettingsStore {
  std::mutex Lock;
  TIniValues Values;
  TDeviceSettings Devices;  // worked out from Values by LoadSettings
};
TLibraryObject<TSettingsStore> SettingsStore;
TSettingsStore& Store() {
  return SettingsStore.Get();
}

bool ReadWholeFile(const std::string& Path, std::string& Text) {
  platform::TLocalFile file;
  if (!file.OpenRead(Path)) return false;
  std::vector<char> buffer(kMaxIniBytes);
  uint32_t got = 0;
  if (!file.Read(buffer.data(), kMaxIniBytes, got)) return false;
  Text.assign(buffer.data(), got);
  return true;
}

}  // namespace

TIniValues ParseIniSection(const std::string& Text, const std::string& Section) {
  TIniValues values;
  const std::string wanted = LowerAscii(TrimWS(Section));
  const std::string bom = "\xEF\xBB\xBF";
  bool inSection = false;
  size_t start = Text.compare(0, bom.size(), bom) == 0 ? bom.size() : 0;
  while (start < Text.size()) {
    size_t end = Text.find('\n', start);
    if (end == std::string::npos) end = Text.size();
    const std::string line = TrimWS(Text.substr(start, end - start));
    start = end + 1;
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line[0] == '[') {
      const size_t close = line.find(']');
      inSection =
          close != std::string::npos && LowerAscii(TrimWS(line.substr(1, close - 1))) == wanted;
      continue;
    }
    const size_t equals = line.find('=');
    if (!inSection || equals == std::string::npos) continue;
    const std::string key = LowerAscii(TrimWS(line.substr(0, equals)));
    if (!key.empty()) values.emplace(key, TrimWS(line.substr(equals + 1)));
  }
  return values;
}

int64_t IniInteger(const TIniValues& Values, const std::string& Key, int64_t Default, int64_t Min,
                   int64_t Max, std::string& Problem) {
  Problem.clear();
  auto found = Values.find(LowerAscii(Key));
  if (found == Values.end()) return Default;
  // A number outside the 64-bit range reads as no number at all: the sentinel below is never a
  // valid value, as Min > INT64_MIN for every setting.
  const int64_t value = StrToIntDefault(found->second, INT64_MIN);
  if (value == INT64_MIN || value < Min || value > Max) {
    Problem = Key + "=" + found->second + " is not a whole number from " + std::to_string(Min) +
              " to " + std::to_string(Max) + "; " + std::to_string(Default) + " is used";
    return Default;
  }
  return value;
}

void LoadSettings(const std::string& IniFileName) {
  std::string text;
  TIniValues values;
  if (!IniFileName.empty() && ReadWholeFile(IniFileName, text))
    values = ParseIniSection(text, kSection);
  DebugLog("Settings: " + std::to_string(values.size()) +
           (values.size() == 1 ? " value" : " values") + " in [" + kSection + "] of " +
           (IniFileName.empty() ? std::string("(no file named)") : IniFileName));
  // The device settings are worked out once here, so that a value's problem is logged once.
  TDeviceSettings devices;
  std::string problem;
  devices.PortapackSizes = static_cast<uint32_t>(
      IniInteger(values, kPortapackSizes, kDefaultPortapackSizes, 0, UINT32_MAX, problem));
  if (!problem.empty()) DebugLog("Settings: " + problem);
  devices.Verify = IniInteger(values, kVerify, 1, 0, 1, problem) != 0;
  if (!problem.empty()) DebugLog("Settings: " + problem);
  DebugLog("Settings: " + std::string(kPortapackSizes) + "=" +
           std::to_string(devices.PortapackSizes));
  DebugLog("Settings: " + std::string(kVerify) + "=" + (devices.Verify ? "1" : "0"));
  std::lock_guard<std::mutex> guard(Store().Lock);
  Store().Values = std::move(values);
  Store().Devices = devices;
}

int64_t SettingInteger(const std::string& Key, int64_t Default, int64_t Min, int64_t Max) {
  std::string problem;
  std::lock_guard<std::mutex> guard(Store().Lock);
  return IniInteger(Store().Values, Key, Default, Min, Max, problem);
}

TDeviceSettings DeviceSettings() {
  std::lock_guard<std::mutex> guard(Store().Lock);
  return Store().Devices;
}

void ApplySettings(TShellDevice& Device) {
  Device.Settings = DeviceSettings();
}

void ReleaseSettings() {
  SettingsStore.Release();
}
