// The settings file: the ini text of the file the host names, read for the [Quarnel] section.
// Input: the file's text. Checked: the section's keys come out in lower case and trimmed, their
// values trimmed, and every whole number within its bounds, or else the default with a reason.
// (Reading the file itself is the local file's plain read; the parsing is all here.)
#include <cstdint>
#include <string>

#include "FuzzCheck.h"
#include "plugin/uSettings.h"
#include "util/uStrUtils.h"

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
  // The device setting as the settings' loading works it out.
  std::string problem;
  const int64_t sizes =
      IniInteger(values, "PortapackSizes", kDefaultPortapackSizes, 0, UINT32_MAX, problem);
  FUZZ_CHECK(sizes >= 0 && sizes <= int64_t{UINT32_MAX}, "PortapackSizes " + std::to_string(sizes));
  FUZZ_CHECK(sizes == kDefaultPortapackSizes || values.count("portapacksizes"),
             "PortapackSizes set without its key");
  return 0;
}
