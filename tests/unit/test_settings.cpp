// The settings reader: the [Quarnel] section of the host's ini file as users and hosts write it,
// values it cannot use, and the way from FsSetDefaultParams to the settings the devices get.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/wfxplugin.h"
#include "plugin/uSettings.h"
#include "support/DevSim.h"

namespace {

constexpr int64_t kDefault = kDefaultPortapackSizes;

TEST(Settings, ReadsTheSectionAsHostsAndUsersWriteIt) {
  struct {
    const char* What;
    std::string Text;
    int64_t Value;
    bool Problem;
  } cases[] = {
      {"plain", "[Quarnel]\nPortapackSizes=42\n", 42, false},
      {"CR LF and a byte-order mark", "\xEF\xBB\xBF[Quarnel]\r\nPortapackSizes=7\r\n", 7, false},
      {"letter case, blanks, no last line end", "[QUARNEL]\r\n  portapacksizes = 9 ", 9, false},
      {"blanks inside the brackets", "[ Quarnel ]\nPortapackSizes=11", 11, false},
      {"the key in another section only", "[Other]\nPortapackSizes=5\n", kDefault, false},
      {"other sections around it",
       "[Other]\nPortapackSizes=1\n[Quarnel]\nPortapackSizes=2\n[Next]\nPortapackSizes=3\n", 2,
       false},
      {"comments, blank lines, a line without =",
       "; top\n\n[Quarnel]\n;PortapackSizes=1\n# PortapackSizes=2\nPortapackSizes\n"
       "PortapackSizes=0\n",
       0, false},
      {"the first value counts", "[Quarnel]\nPortapackSizes=4\nPortapackSizes=8\n", 4, false},
      {"a header without its bracket", "[Quarnel\nPortapackSizes=3\n", kDefault, false},
      {"an empty file", "", kDefault, false},
      {"not a number", "[Quarnel]\nPortapackSizes=many\n", kDefault, true},
      {"a number and more", "[Quarnel]\nPortapackSizes=10 files\n", kDefault, true},
      {"empty", "[Quarnel]\nPortapackSizes=\n", kDefault, true},
      {"negative", "[Quarnel]\nPortapackSizes=-1\n", kDefault, true},
      {"too large", "[Quarnel]\nPortapackSizes=4294967296\n", kDefault, true},
      {"beyond 64 bits", "[Quarnel]\nPortapackSizes=99999999999999999999\n", kDefault, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.What);
    std::string problem;
    TIniValues values = ParseIniSection(c.Text, "Quarnel");
    EXPECT_EQ(IniInteger(values, "PortapackSizes", kDefault, 0, UINT32_MAX, problem), c.Value);
    EXPECT_EQ(!problem.empty(), c.Problem) << problem;
  }
}

TEST(Settings, TheFileTheHostNamesReachesTheDeviceSettings) {
  TScratchDir dir;
  const std::string ini = dir.Path() + "/wfx.ini";
  ASSERT_TRUE(WriteLocalFile(ini, "[Quarnel]\r\nPortapackSizes=12\r\nFuture=3\r\n"));
  FsDefaultParamStruct params{};
  params.size = sizeof(params);
  std::strncpy(params.DefaultIniName, ini.c_str(), MAX_PATH - 1);
  FsSetDefaultParams(&params);
  EXPECT_EQ(DeviceSettings().PortapackSizes, 12u);
  EXPECT_EQ(SettingInteger("future", 1, 0, 10), 3);
  EXPECT_EQ(SettingInteger("Missing", 1, 0, 10), 1);

  // A file that is not there, or no file at all: every setting has its default.
  struct {
    const char* What;
    std::string Name;
  } absent[] = {
      {"missing file", dir.Path() + "/none.ini"}, {"a folder", dir.Path()}, {"no name", ""}};
  for (const auto& c : absent) {
    SCOPED_TRACE(c.What);
    LoadSettings(ini);
    LoadSettings(c.Name);
    EXPECT_EQ(DeviceSettings().PortapackSizes, kDefaultPortapackSizes);
    EXPECT_EQ(SettingInteger("Future", 1, 0, 10), 1);
  }
}

// Verify is on unless the section says 0; a value other than 0 or 1 leaves it on.
TEST(Settings, VerifyIsOnUnlessTurnedOff) {
  TScratchDir dir;
  const std::string ini = dir.Path() + "/wfx.ini";
  struct {
    const char* Text;
    bool Verify;
  } cases[] = {{"[Quarnel]\nVerify=0\n", false},
               {"[quarnel]\r\n verify = 0 \r\n", false},
               {"[Quarnel]\nVerify=1\n", true},
               {"[Quarnel]\nVerify=2\n", true},
               {"[Quarnel]\nVerify=off\n", true},
               {"[Other]\nVerify=0\n", true},
               {"", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Text);
    ASSERT_TRUE(WriteLocalFile(ini, c.Text));
    LoadSettings(ini);
    EXPECT_EQ(DeviceSettings().Verify, c.Verify);
  }
  LoadSettings("");
  EXPECT_TRUE(DeviceSettings().Verify);
}

}  // namespace
