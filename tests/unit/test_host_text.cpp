// The host boundary of names and texts: wide and ANSI names in, find data names cut without
// splitting a character, and every text to the host through the wide callbacks once FsInitW was
// called.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "devices/uDeviceLog.h"
#include "plugin/uFindData.h"
#include "plugin/uHostLog.h"
#include "plugin/uHostText.h"
#include "registry/uDeviceRegistry.h"
#include "serial/uComScan.h"

namespace {

const std::string kGruesse =
    "Gr\xC3\xBC\xC3\x9F"
    "e.txt";
const std::string kEmoji = "\xF0\x9F\x98\x80";

// The error text of Convert(), or "ok: " and its result.
template <class TConvert>
std::string Outcome(TConvert Convert) {
  try {
    return "ok: " + Convert();
  } catch (const TNameError& error) {
    return error.what();
  }
}
template <class TChar>
std::string RemoteOutcome(const TChar* Name) {
  return Outcome([&] { return RemoteNameFromHost(Name); });
}
template <class TChar>
std::string LocalOutcome(const TChar* Name) {
  return Outcome([&] { return LocalNameFromHost(Name); });
}

TEST(HostNames, WideNamesBecomeUtf8AndNamesThatCannotNameAFileAreRefused) {
  struct {
    std::u16string Name;
    std::string Remote;  // outcome, or the start of the reason
    std::string Local;
  } cases[] = {
      {u"\\PortaPack (ttyACM0)\\Gr\u00FC\u00DFe.txt", "ok: \\PortaPack (ttyACM0)\\" + kGruesse,
       "ok: \\PortaPack (ttyACM0)\\" + kGruesse},
      {u"\\x\\\U0001F600", "ok: \\x\\" + kEmoji, "ok: \\x\\" + kEmoji},
      {u"", "ok: ", "ok: "},
      // A lone surrogate is no character: no UTF-8 name, remote or local, can hold it.
      {u"\\x\\a\xD800"
       "b",
       "Cannot use the name \"\\x\\a\xEF\xBF\xBD"
       "b\": it holds a lone UTF-16",
       "Cannot use the name \"\\x\\a\xEF\xBF\xBD"
       "b\": it holds a lone UTF-16"},
      // U+FFFD stood for bytes the device listed that were not UTF-8: they cannot be typed back.
      // A local name may hold it.
      {u"\\x\\a\uFFFD",
       "Cannot use the name \"\\x\\a\xEF\xBF\xBD\": \"\xEF\xBF\xBD\" stands for bytes",
       "ok: \\x\\a\xEF\xBF\xBD"},
  };
  for (const auto& c : cases) {
    std::vector<WCHAR> name(c.Name.begin(), c.Name.end());
    name.push_back(0);
    EXPECT_EQ(RemoteOutcome(name.data()).substr(0, c.Remote.size()), c.Remote);
    EXPECT_EQ(LocalOutcome(name.data()).substr(0, c.Local.size()), c.Local);
  }
  EXPECT_EQ(RemoteOutcome(static_cast<const WCHAR*>(nullptr)), "ok: ");
}

TEST(HostNames, AnsiNamesOnLinuxAreUtf8AsTheyAre) {
  for (const std::string& name : {"\\PortaPack (ttyACM0)\\" + kGruesse, std::string("/x/what?.txt"),
                                  std::string("\x9A"
                                              "b")}) {
    EXPECT_EQ(RemoteOutcome(name.c_str()), "ok: " + name);
    EXPECT_EQ(LocalOutcome(name.c_str()), "ok: " + name);
  }
  EXPECT_EQ(RemoteOutcome(static_cast<const char*>(nullptr)), "ok: ");
}

TEST(FindDataNames, CutTo259CharactersNeverInsideOne) {
  struct {
    std::string Name;
    std::u16string Wide;  // what the wide find data holds
    std::string Ansi;     // what the ANSI find data holds (UTF-8 on Linux)
  } cases[] = {
      {kGruesse, u"Gr\u00FC\u00DFe.txt", kGruesse},
      {std::string(300, 'x'), std::u16string(259, u'x'), std::string(259, 'x')},
      // The last character would not fit whole: it goes.
      {std::string(258, 'x') + kEmoji, std::u16string(258, u'x'), std::string(258, 'x')},
      {std::string(257, 'x') + kEmoji, std::u16string(257, u'x') + u"\U0001F600",
       std::string(257, 'x')},
      {std::string(258, 'x') + "\xC3\xBC", std::u16string(258, u'x') + u"\u00FC",
       std::string(258, 'x')},
      // Bytes that are not UTF-8 show as U+FFFD in the wide data and pass as they are in ANSI.
      {"a\x9A"
       "b",
       u"a\uFFFDb",
       "a\x9A"
       "b"},
  };
  for (const auto& c : cases) {
    TShellFileEntry entry;
    entry.Name = c.Name;
    WIN32_FIND_DATAW wide;
    FillFindDataFromEntry(entry, wide);
    EXPECT_EQ(std::u16string(wide.cFileName), c.Wide) << c.Name;
    WIN32_FIND_DATAA ansi;
    FillFindDataFromEntry(entry, ansi);
    EXPECT_EQ(std::string(ansi.cFileName), c.Ansi) << c.Name;
  }
  WIN32_FIND_DATAW root;
  FillFindDataFromRoot(TRootEntry{"PortaPack (COM5)", "COM5", "", "", 0, 0, dkPortapack, true, ""},
                       root);
  EXPECT_EQ(std::u16string(root.cFileName), u"PortaPack (COM5)");
  EXPECT_EQ(root.dwFileAttributes, FILE_ATTRIBUTE_DIRECTORY);
}

// What the host's callbacks received, with the interface that carried it.
std::vector<std::string> gCalls;

std::string Utf8Of(const WCHAR* Text) {
  std::string text;
  for (const WCHAR* unit = Text; unit && *unit; ++unit) {
    // The tests' texts: ASCII, ü and U+FFFD.
    if (*unit < 0x80)
      text.push_back(static_cast<char>(*unit));
    else
      text += *unit == 0xFC ? "<u-umlaut>" : *unit == 0xFFFD ? "<FFFD>" : "<other>";
  }
  return text;
}
void WFX_API LogA(int Nr, int Type, char* Text) {
  gCalls.push_back("A log " + std::to_string(Nr) + " " + std::to_string(Type) + " " + Text);
}
void WFX_API LogW(int Nr, int Type, WCHAR* Text) {
  gCalls.push_back("W log " + std::to_string(Nr) + " " + std::to_string(Type) + " " + Utf8Of(Text));
}
int WFX_API ProgressA(int Nr, char* Source, char* Target, int Percent) {
  gCalls.push_back("A progress " + std::to_string(Nr) + " " + Source + " " + Target + " " +
                   std::to_string(Percent));
  return 0;
}
int WFX_API ProgressW(int Nr, WCHAR* Source, WCHAR* Target, int Percent) {
  gCalls.push_back("W progress " + std::to_string(Nr) + " " + Utf8Of(Source) + " " +
                   Utf8Of(Target) + " " + std::to_string(Percent));
  return 1;
}
BOOL WFX_API RequestA(int Nr, int Type, char* Title, char* Text, char* Returned, int MaxLen) {
  gCalls.push_back("A request " + std::to_string(Nr) + " " + std::to_string(Type) + " " + Title +
                   " " + Text + (Returned ? " returned" : "") + " " + std::to_string(MaxLen));
  return TRUE;
}
BOOL WFX_API RequestW(int Nr, int Type, WCHAR* Title, WCHAR* Text, WCHAR* Returned, int MaxLen) {
  gCalls.push_back("W request " + std::to_string(Nr) + " " + std::to_string(Type) + " " +
                   Utf8Of(Title) + " " + Utf8Of(Text) + (Returned ? " returned" : "") + " " +
                   std::to_string(MaxLen));
  return TRUE;
}

class HostCallbacks : public ::testing::Test {
 protected:
  void TearDown() override {
    LogProc.store(nullptr);
    ProgressProc.store(nullptr);
    RequestProc.store(nullptr);
    LogProcW.store(nullptr);
    ProgressProcW.store(nullptr);
    RequestProcW.store(nullptr);
    WideCallbacks.store(false);
    SetConnectNotify(nullptr);
    DeviceLogProc = nullptr;
    ComScanLogProc = nullptr;
    gCalls.clear();
  }
  // One text through each of the three callbacks.
  static void SendAll(const std::string& Text) {
    HostLog(MSGTYPE_IMPORTANTERROR, Text);
    HostProgress(Text, "t", 50);
    HostMessage(RT_MsgOK, "Quarnel", Text);
  }
};

TEST_F(HostCallbacks, EveryTextGoesThroughTheWideCallbacksOnceFsInitWWasCalled) {
  FsInit(3, ProgressA, LogA, RequestA);
  gCalls.clear();
  SendAll(
      "Gr\xC3\xBC"
      "n");
  EXPECT_EQ(gCalls, (std::vector<std::string>{"A log 3 6 Gr\xC3\xBC"
                                              "n",
                                              "A progress 3 Gr\xC3\xBC"
                                              "n t 50",
                                              "A request 3 8 Quarnel Gr\xC3\xBC"
                                              "n 0"}));

  // Double Commander's order: FsInit, then FsInitW. From then on only the wide callbacks, even
  // after a later FsInit, notices and the device log included.
  FsInitW(4, ProgressW, LogW, RequestW);
  FsInit(5, ProgressA, LogA, RequestA);
  gCalls.clear();
  SendAll(
      "Gr\xC3\xBC"
      "n");
  NotifyConnect("PortaPack (COM5)");
  DeviceLog("portapack \x9A");  // raw device bytes that are not UTF-8
  EXPECT_EQ(gCalls, (std::vector<std::string>{
                        "W log 5 6 Gr<u-umlaut>n", "W progress 5 Gr<u-umlaut>n t 50",
                        "W request 5 8 Quarnel Gr<u-umlaut>n 0",
                        "W log 5 1 CONNECT /PortaPack (COM5)", "W log 5 3 portapack <FFFD>"}));
  // The host's abort answer comes back from the wide progress callback.
  EXPECT_EQ(HostProgress("s", "t", 1), 1);

  // A wide callback the host left out stays silent: nothing goes to the ANSI one instead.
  FsInitW(6, nullptr, nullptr, nullptr);
  gCalls.clear();
  SendAll("quiet");
  EXPECT_EQ(HostProgress("s", "t", 1), 0);
  EXPECT_TRUE(gCalls.empty());
}

}  // namespace
