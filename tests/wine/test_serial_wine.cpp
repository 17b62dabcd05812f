// The serial port's Win32 backend under Wine, against tests/tools/serialpeer on a pseudo-terminal
// linked as a COM port. The peer obeys requests written on the line itself (see serialpeer.cpp).
// QUARNEL_TEST_COM names the port (COM21), QUARNEL_TEST_COM_MISSING one that does not exist; the
// tests skip when the first is not set.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <string>

#include "platform/Platform.h"
#include "serial/uSerial.h"
#include "support/SerialChecks.h"

namespace {

std::string Hex(const std::string& Bytes) {
  if (Bytes.empty()) return "-";
  std::string out;
  char two[3];
  for (unsigned char c : Bytes) {
    snprintf(two, sizeof(two), "%02x", c);
    out += two;
  }
  return out;
}

std::string Pattern(size_t Count) {
  std::string s(Count, '\0');
  for (size_t i = 0; i < Count; ++i) s[i] = static_cast<char>((i * 7 + i / 256) & 0xFF);
  return s;
}

bool RunningUnderWine() {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

uint32_t Fnv1a(const std::string& Bytes) {
  uint32_t hash = 2166136261u;
  for (unsigned char c : Bytes) hash = (hash ^ c) * 16777619u;
  return hash;
}

class WineSerial : public ::testing::Test {
 protected:
  void SetUp() override {
    Com = platform::GetEnv("QUARNEL_TEST_COM");
    if (Com.empty()) GTEST_SKIP() << "QUARNEL_TEST_COM not set";
    ASSERT_TRUE(Port.Open(Com, 115200)) << Com;
  }

  // Asks the peer to send Pieces: each after its pause in milliseconds.
  void Send(std::initializer_list<std::pair<int, std::string>> Pieces) {
    std::string request = "SEND";
    for (const auto& [ms, bytes] : Pieces) {
      request.append(" ").append(std::to_string(ms));
      request.append(" ").append(Hex(bytes));
    }
    request.append("\n");
    ASSERT_EQ(Port.WriteStr(request), static_cast<int32_t>(request.size()));
  }

  std::string Com;
  TSerialPort Port;
};

TEST_F(WineSerial, OpenRules) {
  EXPECT_EQ(Port.PortName(), Com);
  EXPECT_EQ(Port.BaudRate(), 115200u);

  // Reopening closes the first handle; otherwise the unshared open would fail.
  EXPECT_TRUE(Port.Open(Com, 230400));
  EXPECT_EQ(Port.BaudRate(), 230400u);
  TSerialPort other;
  // Windows' serial drivers refuse a second open of a port; Wine does not model that (its
  // CreateFileA of a COM port ignores the sharing mode), so the check only runs on Windows.
  if (!RunningUnderWine()) {
    EXPECT_FALSE(other.Open(Com, 115200)) << "a busy port opened twice";
  }
  other.Close();
  Port.Close();
  EXPECT_FALSE(Port.IsOpen());
  EXPECT_EQ(Port.PortName(), "");
  EXPECT_TRUE(other.Open(Com, 115200));
  other.Close();

  std::string missing = platform::GetEnv("QUARNEL_TEST_COM_MISSING");
  if (missing.empty()) missing = "COM29";
  EXPECT_FALSE(Port.Open(missing, 115200));
  EXPECT_FALSE(Port.IsOpen());
  EXPECT_EQ(Port.PortName(), "");
  EXPECT_EQ(Port.OpenError(), "Cannot open port " + missing + ": no such port");

  // A name read out of a folder name never reaches another device or file: with the device prefix
  // in front, COM21\..\COM21 would be the port itself and C:\windows\win.ini a file.
  for (const std::string& name : {Com + "\\..\\" + Com, Com + "/../" + Com,
                                  std::string("C:\\windows\\win.ini"), std::string("..")}) {
    EXPECT_FALSE(Port.Open(name, 115200)) << name;
    EXPECT_EQ(Port.OpenError(), "Cannot open port: not a port name") << name;
  }
}

TEST_F(WineSerial, LineSettingsReadBackAfterOpen) {
  for (uint32_t rate : {115200u, 230400u}) {
    ASSERT_TRUE(Port.Open(Com, rate));
    platform::TSerialSettings s;
    ASSERT_TRUE(Port.GetLineSettings(s));
    ExpectRaw8N1(s, rate);
    EXPECT_TRUE(s.DtrOn);
    EXPECT_TRUE(s.RtsOn);
  }
}

TEST_F(WineSerial, WriteArrivesByteExact) {
  EXPECT_EQ(Port.WriteStr(""), 0);
  std::string block = Pattern(5000);
  std::string request = "SINK 5000\n";
  ASSERT_EQ(Port.WriteStr(request), static_cast<int32_t>(request.size()));
  ASSERT_EQ(Port.Write(block.data(), 5000), 5000);
  std::string line;
  ASSERT_TRUE(Port.ReadLine(10000, line));
  char expected[64];
  snprintf(expected, sizeof(expected), "GOT 5000 %08x", Fnv1a(block));
  EXPECT_EQ(line, expected);
}

TEST_F(WineSerial, ReadUntilSplitMarkersAndOrder) {
  std::string text = std::string(1022, 'x') + "ch> ";
  Send({{0, text}});
  std::string data;
  int32_t match = -1;
  EXPECT_TRUE(Port.ReadUntil({"ch> "}, 5000, data, match));
  EXPECT_EQ(match, 0);
  EXPECT_EQ(data, text);

  Send({{0, "ls\r\nc"}, {300, "h> "}});
  EXPECT_TRUE(Port.ReadUntil({"ch> "}, 5000, data, match));
  EXPECT_EQ(data, "ls\r\nch> ");

  Send({{0, "B first, then A"}});
  EXPECT_TRUE(Port.ReadUntil({"A", "B"}, 5000, data, match));
  EXPECT_EQ(match, 0);

  EXPECT_FALSE(Port.ReadUntil({}, 5000, data, match));
  EXPECT_EQ(match, -1);
  EXPECT_EQ(data, "");

  Send({{0, "partial "}, {100, "answer"}});
  TStopwatch watch;
  EXPECT_FALSE(Port.ReadUntil({"ch> "}, 600, data, match));
  EXPECT_LT(watch.Ms(), 3000);
  EXPECT_EQ(data, "partial answer");
  EXPECT_EQ(match, -1);
}

TEST_F(WineSerial, ReadLineEndsAndTheByteAfterACr) {
  Send({{0, "abc\r\ndef\n\r\none\rtwo\r\rX"}});
  std::string line;
  for (const char* expected : {"abc", "def", "", "one", "two", ""}) {
    EXPECT_TRUE(Port.ReadLine(5000, line));
    EXPECT_EQ(line, expected);
  }
  std::string data;
  EXPECT_TRUE(Port.ReadExact(1, 5000, data));
  EXPECT_EQ(data, "X");

  Send({{0, "ab"}});
  TStopwatch watch;
  EXPECT_FALSE(Port.ReadLine(400, line));
  EXPECT_LT(watch.Ms(), 3000);
  EXPECT_EQ(line, "ab");
}

TEST_F(WineSerial, ReadExactAndDrain) {
  std::string request = "PATTERN 10000\n";
  ASSERT_EQ(Port.WriteStr(request), static_cast<int32_t>(request.size()));
  std::string data;
  EXPECT_TRUE(Port.ReadExact(10000, 10000, data));
  EXPECT_EQ(data, Pattern(10000));

  Send({{0, "12345"}});
  TStopwatch exact;
  EXPECT_FALSE(Port.ReadExact(10, 500, data));
  EXPECT_LT(exact.Ms(), 3000);
  EXPECT_EQ(data, "12345");

  TStopwatch drain;
  Port.Drain(data, 500);  // a silent line
  EXPECT_LT(drain.Ms(), 3000);
  EXPECT_EQ(data, "");
  Port.Drain(data, 0);
  EXPECT_EQ(data, "");
  Send({{0, "banner\r\n"}, {30, "ch> "}});
  Port.Drain(data, 1000);
  EXPECT_EQ(data, "banner\r\nch> ");
}

TEST_F(WineSerial, TimeoutsAreRestoredAndRawReadsUseThem) {
  TSerialReadTimeouts t;
  ASSERT_TRUE(Port.GetReadTimeouts(t));
  EXPECT_EQ(t.IntervalMs, 50u);
  EXPECT_EQ(t.TotalMultiplierMs, 0u);
  EXPECT_EQ(t.TotalConstantMs, 3000u);
  std::string data;
  int32_t match;
  Port.ReadUntil({"x"}, 10, data, match);
  Port.ReadLine(10, data);
  Port.ReadExact(3, 10, data);
  Port.Drain(data, 10);
  ASSERT_TRUE(Port.GetReadTimeouts(t));
  EXPECT_EQ(t.IntervalMs, 50u);
  EXPECT_EQ(t.TotalConstantMs, 3000u);
  // Each read installed read time-outs of its own; the write half stayed and came back with them.
  platform::TSerialTimeouts all;
  ASSERT_TRUE(Port.GetTimeouts(all));
  EXPECT_EQ(all.WriteTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(all.WriteTotalTimeoutConstant, 2000u);
  ASSERT_TRUE(Port.SetReadTimeouts({20, 0, 150}));
  ASSERT_TRUE(Port.GetTimeouts(all));
  EXPECT_EQ(all.ReadTotalTimeoutConstant, 150u);
  EXPECT_EQ(all.WriteTotalTimeoutConstant, 2000u);

  ASSERT_TRUE(Port.SetReadTimeouts({0, 0, 3000}));
  Send({{0, "12"}, {100, "34"}});
  char buf[8];
  uint32_t got = 0;
  EXPECT_TRUE(Port.ReadRaw(buf, 4, got));
  EXPECT_EQ(std::string(buf, got), "1234");
}

}  // namespace
