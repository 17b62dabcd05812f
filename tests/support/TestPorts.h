// Port names for pseudo-terminals. The serial port opens plain port names only (ttyACM0, COM5),
// looked up in QUARNEL_DEV_ROOT, so a test gives its pseudo-terminal a name there: a link to the
// slave in a device folder of the test process. The first use creates that folder in the
// temporary directory and points QUARNEL_DEV_ROOT at it; it is removed when the process ends.
// Tests that point QUARNEL_DEV_ROOT elsewhere put it back afterwards.
#pragma once

#include <string>

// A fresh port name (ttyQuarnel0, ttyQuarnel1, ...) that leads to SlavePath; empty on failure.
std::string LinkTestPort(const std::string& SlavePath);
