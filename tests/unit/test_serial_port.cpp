// The serial port's open rules and its four reads against a pseudo-terminal peer, and the POSIX
// emulation of the Windows time-out rules underneath them.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>

#include "platform/SerialLine.h"
#include "platform/posix/TtyCalls.h"
#include "serial/uSerial.h"
#include "support/PtyPeer.h"
#include "support/SerialChecks.h"
#include "support/TestPorts.h"

namespace {

std::string Pattern(size_t Count) {
  std::string s(Count, '\0');
  for (size_t i = 0; i < Count; ++i) s[i] = static_cast<char>((i * 7 + i / 256) & 0xFF);
  return s;
}

class SerialPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Peer.Ok());
    ASSERT_TRUE(Port.Open(Peer.PortName(), 115200));
  }

  TPtyPeer Peer;
  TSerialPort Port;
};

// ---- Open, Close, exclusivity ---------------------------------------------------------------

TEST(SerialPortOpen, MissingPortFailsAndLeavesObjectClosed) {
  TSerialPort port;
  EXPECT_FALSE(port.Open("quarnel-no-such-port", 115200));
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(port.PortName(), "");
  EXPECT_EQ(port.OpenError(), "Cannot open port quarnel-no-such-port: No such file or directory");

  // A failed Open after a good one also leaves the object closed.
  TPtyPeer peer;
  ASSERT_TRUE(peer.Ok());
  ASSERT_TRUE(port.Open(peer.PortName(), 230400));
  EXPECT_EQ(port.PortName(), peer.PortName());
  EXPECT_EQ(port.BaudRate(), 230400u);
  EXPECT_EQ(port.OpenError(), "");
  EXPECT_FALSE(port.Open("quarnel-no-such-port", 115200));
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(port.PortName(), "");
  EXPECT_EQ(port.BaudRate(), 230400u);  // the last successful rate stays
}

TEST(SerialPortOpen, RefusesWhatIsNoTerminalAndRatesWithoutSetting) {
  std::string file = ::testing::TempDir() + "/quarnel-serial-plain-file";
  {
    FILE* f = fopen(file.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fclose(f);
  }
  const std::string plain = LinkTestPort(file);
  TSerialPort port;
  EXPECT_FALSE(port.Open(plain, 115200));
  EXPECT_EQ(port.OpenError(), "Cannot open port " + plain + ": not a serial line");
  unlink(file.c_str());

  TPtyPeer peer;
  ASSERT_TRUE(peer.Ok());
  EXPECT_FALSE(port.Open(peer.PortName(), 12345));
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(port.OpenError(),
            "Cannot open port " + peer.PortName() + ": this system has no setting for 12345 baud");
  // The failed configuration released the port again.
  EXPECT_TRUE(port.Open(peer.PortName(), 115200));
}

// Port names come out of folder names that the host hands back, which the user can type: no name
// may open anything but a port in the device folder.
TEST(SerialPortOpen, OpensPortNamesOnlyNeverPaths) {
  TPtyPeer peer;
  ASSERT_TRUE(peer.Ok());
  const std::string dotsToPty = "../.." + peer.SlavePath();  // from the test's device folder
  for (const std::string& name :
       {peer.SlavePath(), dotsToPty, std::string("pts\\0"), std::string("."), std::string(".."),
        std::string(""), peer.PortName() + "\r", std::string("tty\x7f")}) {
    TSerialPort port;
    EXPECT_FALSE(port.Open(name, 115200)) << name;
    EXPECT_EQ(port.OpenError(), "Cannot open port: not a port name") << name;
    std::string reason;
    platform::TSerialLine line = platform::SerialOpen(name, reason);
    EXPECT_EQ(line, platform::kNoSerialLine) << name;
    EXPECT_EQ(reason, "not a port name");
    platform::SerialClose(line);
  }
  TSerialPort port;
  EXPECT_TRUE(port.Open(peer.PortName(), 115200));
}

// A real driver may take only some of the settings, or fail to raise DTR; a pseudo-terminal never
// does, so the tty calls are replaced here.
class SerialPortDriverTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(Peer.Ok()); }
  void TearDown() override { platform::TtyCalls() = Saved; }

  // tcsetattr that leaves two stop bits set, whatever it was asked.
  static int KeepsTwoStopBits(int Fd, int When, const termios* Settings) {
    termios changed = *Settings;
    changed.c_cflag |= CSTOPB;
    return tcsetattr(Fd, When, &changed);
  }
  static inline int ModemError = 0;     // errno of a failing TIOCMBIS; 0: it succeeds
  static inline int ModemBitsRead = 0;  // what TIOCMGET reports after a successful TIOCMBIS
  static int FakeModemLines(int, unsigned long Request, int* Bits) {
    if (Request == TIOCMBIS && ModemError != 0) {
      errno = ModemError;
      return -1;
    }
    if (Request == TIOCMGET) *Bits = ModemBitsRead;
    return 0;
  }

  TPtyPeer Peer;
  const platform::TTtyCalls Saved = platform::TtyCalls();
};

TEST_F(SerialPortDriverTest, SettingsTheDriverDidNotTakeFailTheOpen) {
  platform::TtyCalls().SetAttributes = KeepsTwoStopBits;
  TSerialPort port;
  EXPECT_FALSE(port.Open(Peer.PortName(), 230400));
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(port.OpenError(), "Cannot open port " + Peer.PortName() +
                                  ": the driver did not take raw 8N1 at 230400 baud");
  platform::TtyCalls() = Saved;
  EXPECT_TRUE(port.Open(Peer.PortName(), 230400));  // the failed open let the port go
}

TEST_F(SerialPortDriverTest, ADtrThatCannotBeRaisedFailsTheOpenUnlessTheLineHasNone) {
  struct {
    int Error;
    int BitsRead;
    const char* Reason;  // empty: the open succeeds
  } cases[] = {
      {EIO, 0, "DTR could not be raised (Input/output error)"},
      {0, TIOCM_RTS, "DTR stays low after raising it"},
      {0, TIOCM_DTR | TIOCM_RTS, ""},
      {ENOTTY, 0, ""},  // no modem lines at all, as a pseudo-terminal
      {EINVAL, 0, ""},
  };
  platform::TtyCalls().ModemLines = FakeModemLines;
  for (const auto& c : cases) {
    ModemError = c.Error;
    ModemBitsRead = c.BitsRead;
    TSerialPort port;
    const bool expectOpen = std::string(c.Reason).empty();
    EXPECT_EQ(port.Open(Peer.PortName(), 230400), expectOpen) << c.Reason;
    if (!expectOpen) {
      EXPECT_EQ(port.OpenError(), "Cannot open port " + Peer.PortName() + ": " + c.Reason);
    }
  }
}

TEST_F(SerialPortTest, SettingsReadBackAfterOpen) {
  ASSERT_TRUE(Port.Open(Peer.PortName(), 230400));
  platform::TSerialSettings s;
  ASSERT_TRUE(Port.GetLineSettings(s));
  ExpectRaw8N1(s, 230400);
  Port.Close();
  EXPECT_FALSE(Port.GetLineSettings(s));
}

TEST_F(SerialPortTest, SecondOpenerOfABusyPortFails) {
  TSerialPort other;
  EXPECT_FALSE(other.Open(Peer.PortName(), 115200));
  EXPECT_FALSE(other.IsOpen());
  Port.Close();
  EXPECT_FALSE(Port.IsOpen());
  EXPECT_EQ(Port.PortName(), "");
  EXPECT_TRUE(other.Open(Peer.PortName(), 115200));
}

TEST_F(SerialPortTest, SecondOpenClosesTheFirstHandle) {
  // Were the first handle still open, its lock would make this open fail.
  EXPECT_TRUE(Port.Open(Peer.PortName(), 230400));
  EXPECT_EQ(Port.BaudRate(), 230400u);
  TSerialPort other;
  EXPECT_FALSE(other.Open(Peer.PortName(), 115200));
  Port.Close();
  EXPECT_TRUE(other.Open(Peer.PortName(), 115200));
}

TEST_F(SerialPortTest, OpenDropsWhatWasWaiting) {
  ASSERT_TRUE(Peer.Send("stale banner"));
  ASSERT_TRUE(Port.Open(Peer.PortName(), 115200));
  std::string data;
  Port.Drain(data, 100);
  EXPECT_EQ(data, "");
}

TEST(SerialPortClosed, EveryOperationReturnsAtOnce) {
  TSerialPort port;
  std::string data = "x";
  int32_t match = 5;
  EXPECT_FALSE(port.ReadUntil({"ch> "}, 60000, data, match));
  EXPECT_EQ(data, "");
  EXPECT_EQ(match, -1);
  data = "x";
  EXPECT_FALSE(port.ReadLine(60000, data));
  EXPECT_EQ(data, "");
  EXPECT_FALSE(port.ReadExact(10, 60000, data));
  port.Drain(data, 60000);
  EXPECT_EQ(data, "");
  EXPECT_EQ(port.WriteStr("abc"), 0);
  char c;
  uint32_t got = 7;
  EXPECT_FALSE(port.ReadRaw(&c, 1, got));
  EXPECT_EQ(got, 0u);
  TSerialReadTimeouts t;
  EXPECT_FALSE(port.GetReadTimeouts(t));
  port.Purge();
  port.Close();
}

// ---- Write ----------------------------------------------------------------------------------

TEST_F(SerialPortTest, WriteSendsExactBytes) {
  EXPECT_EQ(Port.WriteStr(""), 0);
  EXPECT_EQ(Port.Write("abc", 0), 0);
  EXPECT_EQ(Port.Write("abc", -1), 0);
  EXPECT_EQ(Peer.ReceiveUntilQuiet(100), "");

  std::string cmd = std::string("ls /APPS\r\n\0\xff", 12);
  EXPECT_EQ(Port.WriteStr(cmd), 12);
  EXPECT_EQ(Peer.Receive(12, 5000), cmd);

  std::string block = Pattern(8000);
  EXPECT_EQ(Port.Write(block.data(), static_cast<int32_t>(block.size())), 8000);
  EXPECT_EQ(Peer.Receive(8000, 10000), block);
}

TEST_F(SerialPortTest, WriteToAPeerThatDoesNotReadEndsWithTheShortCount) {
  // The pty's buffers fill up; the 2000 ms write time-out cuts the write short.
  std::string block(4 << 20, 'w');
  int32_t written = Port.Write(block.data(), static_cast<int32_t>(block.size()));
  EXPECT_GT(written, 0);
  EXPECT_LT(written, static_cast<int32_t>(block.size()));
}

// ---- ReadUntil ------------------------------------------------------------------------------

TEST_F(SerialPortTest, ReadUntilFindsAMarkerSplitAcrossReads) {
  // 1022 bytes and the prompt: the first 1024-byte read ends inside "ch> ".
  std::string text = std::string(1022, 'x') + "ch> ";
  ASSERT_TRUE(Peer.Send(text));
  std::string data;
  int32_t match = -1;
  EXPECT_TRUE(Port.ReadUntil({"ch> "}, 5000, data, match));
  EXPECT_EQ(match, 0);
  EXPECT_EQ(data, text);

  // The same split in time: the second half comes after a pause longer than the read interval.
  Peer.SendLater({{0, "ls\r\nAPPS\r\nc"}, {300, "h> "}});
  EXPECT_TRUE(Port.ReadUntil({"ch> "}, 5000, data, match));
  EXPECT_EQ(match, 0);
  EXPECT_EQ(data, "ls\r\nAPPS\r\nch> ");
}

TEST_F(SerialPortTest, ReadUntilTestsMarkersInArrayOrderNotByPosition) {
  ASSERT_TRUE(Peer.Send("B first, then A"));
  std::string data;
  int32_t match = -1;
  EXPECT_TRUE(Port.ReadUntil({"A", "B"}, 5000, data, match));
  EXPECT_EQ(match, 0);
  EXPECT_EQ(data, "B first, then A");

  // Empty markers and markers longer than the text are passed over.
  ASSERT_TRUE(Peer.Send(">: "));
  EXPECT_TRUE(Port.ReadUntil({"", "a marker much longer than the text", ">:"}, 5000, data, match));
  EXPECT_EQ(match, 2);
}

TEST_F(SerialPortTest, ReadUntilWithoutMarkersReadsNothing) {
  ASSERT_TRUE(Peer.Send("kept"));
  std::string data = "old";
  int32_t match = 3;
  EXPECT_FALSE(Port.ReadUntil({}, 5000, data, match));
  EXPECT_EQ(data, "");
  EXPECT_EQ(match, -1);
  EXPECT_TRUE(Port.ReadExact(4, 5000, data));
  EXPECT_EQ(data, "kept");
}

TEST_F(SerialPortTest, ReadUntilTimeOutKeepsWhatArrived) {
  Peer.SendLater({{0, "partial "}, {100, "answer"}});
  std::string data;
  int32_t match = 0;
  TStopwatch watch;
  EXPECT_FALSE(Port.ReadUntil({"ch> "}, 600, data, match));
  EXPECT_LT(watch.Ms(), 3000);
  EXPECT_EQ(match, -1);
  EXPECT_EQ(data, "partial answer");
}

TEST_F(SerialPortTest, ReadMoreUntilSearchesWhatItHoldsFirst) {
  int32_t match = -1;
  // A marker among the held bytes ends the wait without a read: what the peer sent stays.
  ASSERT_TRUE(Peer.Send("next"));
  std::string data = "chunk\r\n>: ";
  EXPECT_TRUE(Port.ReadMoreUntil({">: "}, 5000, data, match));
  EXPECT_EQ(match, 0);
  EXPECT_EQ(data, "chunk\r\n>: ");
  EXPECT_TRUE(Port.ReadExact(4, 5000, data));
  EXPECT_EQ(data, "next");

  // A marker that begins in the held bytes and ends in the new ones.
  data = "tail\r\nRea";
  Peer.SendLater({{50, "dy?\r\n"}});
  EXPECT_TRUE(Port.ReadMoreUntil({"Ready?\r\n"}, 5000, data, match));
  EXPECT_EQ(data, "tail\r\nReady?\r\n");

  // Without a marker in time: false, the held bytes and what came.
  data = "held ";
  ASSERT_TRUE(Peer.Send("more"));
  TStopwatch watch;
  EXPECT_FALSE(Port.ReadMoreUntil({">: "}, 300, data, match));
  EXPECT_LT(watch.Ms(), 3000);
  EXPECT_EQ(match, -1);
  EXPECT_EQ(data, "held more");
}

// ---- ReadLine -------------------------------------------------------------------------------

TEST_F(SerialPortTest, ReadLineEndsAtCrLfOrLfAndConsumesTheEnd) {
  ASSERT_TRUE(Peer.Send("abc\r\ndef\n\r\nlast\r\n"));
  std::string line;
  EXPECT_TRUE(Port.ReadLine(5000, line));
  EXPECT_EQ(line, "abc");
  EXPECT_TRUE(Port.ReadLine(5000, line));
  EXPECT_EQ(line, "def");
  EXPECT_TRUE(Port.ReadLine(5000, line));  // CR LF at once: an empty line
  EXPECT_EQ(line, "");
  EXPECT_TRUE(Port.ReadLine(5000, line));
  EXPECT_EQ(line, "last");
  // Nothing is left: the LF of each CR LF was taken with its line.
  std::string rest;
  Port.Drain(rest, 100);
  EXPECT_EQ(rest, "");
}

TEST_F(SerialPortTest, ReadLineKeepsTheByteAfterALoneCr) {
  ASSERT_TRUE(Peer.Send("one\rtwo\r\rthree\rX"));
  std::string line;
  EXPECT_TRUE(Port.ReadLine(5000, line));
  EXPECT_EQ(line, "one");
  EXPECT_TRUE(Port.ReadLine(5000, line));
  EXPECT_EQ(line, "two");
  EXPECT_TRUE(Port.ReadLine(5000, line));  // CR CR: two line ends
  EXPECT_EQ(line, "");
  EXPECT_TRUE(Port.ReadLine(5000, line));
  EXPECT_EQ(line, "three");
  // The kept byte comes first for every kind of read.
  std::string data;
  EXPECT_TRUE(Port.ReadExact(1, 5000, data));
  EXPECT_EQ(data, "X");

  ASSERT_TRUE(Peer.Send("a\r>: "));
  EXPECT_TRUE(Port.ReadLine(5000, line));
  int32_t match = -1;
  EXPECT_TRUE(Port.ReadUntil({">: "}, 5000, data, match));
  EXPECT_EQ(data, ">: ");

  ASSERT_TRUE(Peer.Send("b\rZ"));
  EXPECT_TRUE(Port.ReadLine(5000, line));
  char raw[8];
  uint32_t got = 0;
  EXPECT_TRUE(Port.ReadRaw(raw, sizeof(raw), got));
  EXPECT_EQ(std::string(raw, got), "Z");

  ASSERT_TRUE(Peer.Send("c\rQ"));
  EXPECT_TRUE(Port.ReadLine(5000, line));
  Port.Drain(data, 100);
  EXPECT_EQ(data, "Q");

  // Purge drops the kept byte with everything else received.
  ASSERT_TRUE(Peer.Send("d\rP"));
  EXPECT_TRUE(Port.ReadLine(5000, line));
  Port.Purge();
  Port.Drain(data, 100);
  EXPECT_EQ(data, "");
}

TEST_F(SerialPortTest, ReadLineWithCrLastOrLfLateEndsTheLine) {
  ASSERT_TRUE(Peer.Send("abc\r"));
  std::string line;
  EXPECT_TRUE(Port.ReadLine(5000, line));
  EXPECT_EQ(line, "abc");
  // The LF after the CR's 50 ms grace starts a new (empty) line; no byte is invented or lost.
  Peer.SendLater({{300, "\nnext\n"}});
  EXPECT_TRUE(Port.ReadLine(5000, line));
  EXPECT_EQ(line, "");
  EXPECT_TRUE(Port.ReadLine(5000, line));
  EXPECT_EQ(line, "next");
}

TEST_F(SerialPortTest, ReadLineTimeOutKeepsWhatArrived) {
  ASSERT_TRUE(Peer.Send("ab"));
  std::string line;
  TStopwatch watch;
  EXPECT_FALSE(Port.ReadLine(300, line));
  EXPECT_LT(watch.Ms(), 3000);
  EXPECT_EQ(line, "ab");
  // A line over several bursts.
  Peer.SendLater({{0, "Rea"}, {120, "dy?"}, {120, "\r\n"}});
  EXPECT_TRUE(Port.ReadLine(5000, line));
  EXPECT_EQ(line, "Ready?");
}

// ---- ReadExact ------------------------------------------------------------------------------

TEST_F(SerialPortTest, ReadExactOfTenThousandBytes) {
  std::string block = Pattern(10000);
  Peer.SendLater(
      {{0, block.substr(0, 3000)}, {50, block.substr(3000, 5000)}, {50, block.substr(8000)}});
  std::string data;
  EXPECT_TRUE(Port.ReadExact(10000, 10000, data));
  EXPECT_EQ(data, block);
}

TEST_F(SerialPortTest, ReadExactNeverTakesMoreThanAsked) {
  std::string bytes(
      "\0\r\n\xff\x7f"
      "abcdefghijklmno",
      20);
  ASSERT_TRUE(Peer.Send(bytes));
  std::string data = "old";
  EXPECT_TRUE(Port.ReadExact(0, 5000, data));
  EXPECT_EQ(data, "");
  EXPECT_TRUE(Port.ReadExact(-3, 5000, data));
  EXPECT_TRUE(Port.ReadExact(8, 5000, data));
  EXPECT_EQ(data, bytes.substr(0, 8));
  EXPECT_TRUE(Port.ReadExact(12, 5000, data));
  EXPECT_EQ(data, bytes.substr(8));
}

TEST_F(SerialPortTest, ReadExactTimeOutKeepsWhatArrived) {
  ASSERT_TRUE(Peer.Send("12345"));
  std::string data;
  TStopwatch watch;
  EXPECT_FALSE(Port.ReadExact(10, 300, data));
  EXPECT_LT(watch.Ms(), 3000);
  EXPECT_EQ(data, "12345");
}

// ---- Drain ----------------------------------------------------------------------------------

TEST_F(SerialPortTest, DrainCollectsUntilQuiet) {
  std::string data = "old";
  TStopwatch watch;
  Port.Drain(data, 500);  // a silent line
  EXPECT_LT(watch.Ms(), 3000);
  EXPECT_EQ(data, "");

  Peer.SendLater({{0, "banner\r\n"}, {30, "ch> "}});
  Port.Drain(data, 1000);
  EXPECT_EQ(data, "banner\r\nch> ");

  // A zero time-out takes what is buffered and returns, also on a silent line.
  Port.Drain(data, 0);
  EXPECT_EQ(data, "");
  ASSERT_TRUE(Peer.Send("echo"));
  Port.Drain(data, 0);
  EXPECT_EQ(data, "echo");
}

// ---- Time-outs ------------------------------------------------------------------------------

TEST_F(SerialPortTest, EveryReadPutsTheBaseTimeoutsBack) {
  auto expectBase = [&](uint32_t total) {
    TSerialReadTimeouts t;
    ASSERT_TRUE(Port.GetReadTimeouts(t));
    EXPECT_EQ(t.IntervalMs, 50u);
    EXPECT_EQ(t.TotalMultiplierMs, 0u);
    EXPECT_EQ(t.TotalConstantMs, total);
  };
  expectBase(3000);
  std::string data;
  int32_t match;
  Port.ReadUntil({"x"}, 10, data, match);
  expectBase(3000);
  Port.ReadLine(10, data);
  expectBase(3000);
  Port.ReadExact(5, 10, data);
  expectBase(3000);
  Port.Drain(data, 10);
  expectBase(3000);

  // The base read time-out changes at the next Open.
  Port.SetReadTimeoutMs(400);
  expectBase(3000);
  ASSERT_TRUE(Port.Open(Peer.PortName(), 115200));
  expectBase(400);
}

TEST_F(SerialPortTest, RawReadRunsUnderTheInstalledTimeouts) {
  // Base set: a burst ends the read 50 ms after its last byte.
  ASSERT_TRUE(Peer.Send("abc"));
  char buf[64];
  uint32_t got = 0;
  EXPECT_TRUE(Port.ReadRaw(buf, sizeof(buf), got));
  EXPECT_EQ(std::string(buf, got), "abc");

  // Device code installs its own set for a block and puts the old one back.
  TSerialReadTimeouts saved;
  ASSERT_TRUE(Port.GetReadTimeouts(saved));
  ASSERT_TRUE(Port.SetReadTimeouts({0, 0, 1500}));
  Peer.SendLater({{0, "12"}, {100, "34"}});
  EXPECT_TRUE(Port.ReadRaw(buf, 4, got));  // no interval limit: waits for all four
  EXPECT_EQ(std::string(buf, got), "1234");
  TStopwatch watch;
  EXPECT_TRUE(Port.ReadRaw(buf, 4, got));  // silent: empty after the total
  EXPECT_LT(watch.Ms(), 4500);
  EXPECT_EQ(got, 0u);
  ASSERT_TRUE(Port.SetReadTimeouts(saved));
  TSerialReadTimeouts now;
  ASSERT_TRUE(Port.GetReadTimeouts(now));
  EXPECT_EQ(now.TotalConstantMs, 3000u);
}

TEST_F(SerialPortTest, AHungUpLineEndsReadsWithoutHanging) {
  Peer.HangUp();
  std::string data;
  int32_t match = 0;
  TStopwatch watch;
  EXPECT_FALSE(Port.ReadUntil({"ch> "}, 300, data, match));
  EXPECT_FALSE(Port.ReadLine(300, data));
  EXPECT_FALSE(Port.ReadExact(4, 300, data));
  Port.Drain(data, 300);
  EXPECT_LT(watch.Ms(), 6000);  // four reads of 300 ms each
  EXPECT_EQ(data, "");
  char c;
  uint32_t got = 0;
  EXPECT_FALSE(Port.ReadRaw(&c, 1, got));
}

// ---- The time-out rules of the line itself --------------------------------------------------

class SerialLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Peer.Ok());
    std::string reason;
    Line = platform::SerialOpen(Peer.PortName(), reason);
    ASSERT_NE(Line, platform::kNoSerialLine) << reason;
    ASSERT_TRUE(platform::SerialConfigure(Line, 115200, reason)) << reason;
  }
  void TearDown() override { platform::SerialClose(Line); }

  std::string Read(uint32_t Count, const platform::TSerialTimeouts& T) {
    EXPECT_TRUE(platform::SerialSetTimeouts(Line, T));
    std::string buf(Count, '\0');
    uint32_t got = 0;
    EXPECT_TRUE(platform::SerialRead(Line, buf.data(), Count, got));
    buf.resize(got);
    return buf;
  }

  TPtyPeer Peer;
  platform::TSerialLine Line = platform::kNoSerialLine;
};

TEST_F(SerialLineTest, ReturnImmediatelyFormsGiveWhatIsBuffered) {
  const uint32_t kMax = platform::kSerialTimeoutMax;
  EXPECT_EQ(Read(10, {kMax, 0, 0, 0, 0}), "");
  ASSERT_TRUE(Peer.Send("ab"));
  EXPECT_EQ(Read(10, {kMax, 0, 0, 0, 0}), "ab");

  // MAXDWORD interval and multiplier: the first bytes that come within the constant.
  TStopwatch watch;
  EXPECT_EQ(Read(10, {kMax, kMax, 500, 0, 0}), "");
  EXPECT_LT(watch.Ms(), 3000);
  Peer.SendLater({{50, "x"}, {400, "y"}});
  EXPECT_EQ(Read(10, {kMax, kMax, 2000, 0, 0}), "x");
  EXPECT_EQ(Read(10, {kMax, kMax, 2000, 0, 0}), "y");
}

TEST_F(SerialLineTest, TotalAndIntervalLimits) {
  const uint32_t kMax = platform::kSerialTimeoutMax;
  // Total = multiplier * count + constant: empty on a silent line.
  TStopwatch watch;
  EXPECT_EQ(Read(5, {0, 100, 0, 0, 0}), "");
  EXPECT_LT(watch.Ms(), 3000);
  // MAXDWORD interval with other totals: no interval limit, all bytes asked for or the total.
  Peer.SendLater({{0, "ab"}, {100, "cd"}});
  EXPECT_EQ(Read(4, {kMax, 0, 5000, 0, 0}), "abcd");
  ASSERT_TRUE(Peer.Send("ef"));
  TStopwatch partial;
  EXPECT_EQ(Read(4, {kMax, 0, 500, 0, 0}), "ef");
  EXPECT_LT(partial.Ms(), 3000);
  // The interval applies once a first byte has come: a burst ends the read early.
  Peer.SendLater({{0, "burst"}, {500, "late"}});
  EXPECT_EQ(Read(100, {50, 0, 5000, 0, 0}), "burst");
  EXPECT_EQ(Read(100, {50, 0, 5000, 0, 0}), "late");
  // Interval alone (totals 0) waits without limit for the first byte, then ends on a pause.
  Peer.SendLater({{200, "first"}, {500, "second"}});
  EXPECT_EQ(Read(100, {50, 0, 0, 0, 0}), "first");
  EXPECT_EQ(Read(100, {kMax, kMax, 5000, 0, 0}), "second");
  // With no interval limit the read waits for the full count within its total.
  Peer.SendLater({{0, "ab"}, {150, "cd"}});
  EXPECT_EQ(Read(4, {0, 0, 5000, 0, 0}), "abcd");
}

}  // namespace
