// What the Windows builds put into the host's find data for an entry without a time: Total
// Commander's "no time", which it shows as no date.
#include <gtest/gtest.h>

#include "plugin/uFindData.h"

namespace {

TEST(WineFindData, EntriesWithoutATimeGetTheHostsNoTime) {
  TShellFileEntry file;
  file.Name = "capture.C16";
  file.Size = 70000;
  WIN32_FIND_DATAA data;
  FillFindDataFromEntry(file, data);
  for (const FILETIME& t : {data.ftCreationTime, data.ftLastAccessTime, data.ftLastWriteTime}) {
    EXPECT_EQ(t.dwLowDateTime, 0xFFFFFFFEu);
    EXPECT_EQ(t.dwHighDateTime, 0xFFFFFFFFu);
  }
  FillFindDataFromRoot(TRootEntry{"PortaPack (COM5)", "COM5", "", "", 0, 0, dkPortapack, true, ""},
                       data);
  EXPECT_EQ(data.ftLastWriteTime.dwLowDateTime, 0xFFFFFFFEu);
  EXPECT_EQ(data.ftLastWriteTime.dwHighDateTime, 0xFFFFFFFFu);
  // A time the device gave stays.
  file.HasTime = true;
  file.Time = {0x11223344u, 0x01D9ABCDu};
  FillFindDataFromEntry(file, data);
  EXPECT_EQ(data.ftLastWriteTime.dwLowDateTime, 0x11223344u);
  EXPECT_EQ(data.ftLastWriteTime.dwHighDateTime, 0x01D9ABCDu);
}

}  // namespace
