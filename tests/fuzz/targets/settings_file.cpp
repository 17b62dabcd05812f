// The settings file: the ini text of the file the host names, read for the [Quarnel] section.
// Input: the file's text. Checked: the section's keys come out in lower case and trimmed, their
// values trimmed, every whole number within its bounds or else the default with a reason; and the
// same text read from a file changes no device setting whose key it lacks.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "FuzzCheck.h"
#include "plugin/uSettings.h"
#include "util/uStrUtils.h"

namespace fs = std::filesystem;

namespace {

std::string Scratch;

void RemoveScratch() {
  std::error_code ec;
  fs::remove_all(Scratch, ec);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::string pattern = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  pattern += "/quarnel-fuzz-settings-XXXXXX";
  if (!mkdtemp(pattern.data())) return 0;
  Scratch = pattern;
  std::atexit(RemoveScratch);
  // The debug log, which the settings are written to, goes nowhere.
  setenv("TMPDIR", (Scratch + "/no-such-folder").c_str(), 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::string text(reinterpret_cast<const char*>(Data), Size);
  const TIniValues values = ParseIniSection(text, "Quarnel");
  for (const auto& [key, value] : values) {
    FUZZ_CHECK(!key.empty() && key == TrimWS(key), "a key " + fuzz::Shown(key));
    for (char c : key) FUZZ_CHECK(c < 'A' || c > 'Z', "a key not in lower case");
    FUZZ_CHECK(value == TrimWS(value), "an untrimmed value " + fuzz::Shown(value));
    std::string problem;
    const int64_t number = IniInteger(values, key, 7, 1, 1000, problem);
    FUZZ_CHECK(number >= 1 && number <= 1000, "a value out of its bounds");
    FUZZ_CHECK(problem.empty() ==
                   (StrToIntDefault(value, 0) == number && StrToIntDefault(value, 1) == number),
               "a reason for " + fuzz::Shown(value) + " that does not fit its number");
  }
  const std::string file = Scratch + "/wfx.ini";
  std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
  LoadSettings(file);
  FUZZ_CHECK(
      DeviceSettings().PortapackSizes == kDefaultPortapackSizes || values.count("portapacksizes"),
      "PortapackSizes set without its key");
  return 0;
}
