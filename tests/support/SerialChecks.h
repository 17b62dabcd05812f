// Checks shared by the serial tests of both systems (native on pseudo-terminals, and the Windows
// build under Wine): a stopwatch for the generous upper bounds of time-out tests, and the line
// settings every device is opened with.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>

#include "platform/SerialLine.h"

// Milliseconds since the object was made. Time-out tests check a generous upper bound with it, so
// that a read that overstays its deadline by seconds fails; never a tight tolerance.
class TStopwatch {
 public:
  int64_t Ms() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 Start_)
        .count();
  }

 private:
  std::chrono::steady_clock::time_point Start_ = std::chrono::steady_clock::now();
};

// Raw 8N1 at Rate without flow control, as TSerialPort::Open sets every line.
inline void ExpectRaw8N1(const platform::TSerialSettings& Settings, uint32_t Rate) {
  EXPECT_EQ(Settings.BaudRate, Rate);
  EXPECT_EQ(Settings.DataBits, 8);
  EXPECT_FALSE(Settings.Parity);
  EXPECT_EQ(Settings.StopBits, 1);
  EXPECT_TRUE(Settings.Raw);
  EXPECT_FALSE(Settings.HardwareFlow);
  EXPECT_FALSE(Settings.SoftwareFlow);
}
