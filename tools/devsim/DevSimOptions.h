// Command-line options of the device simulator and their parser. Kept apart from main() so the
// meaning of every switch is documented in one place.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace devsim {

enum class TDeviceKind { Portapack, Flipper };

struct TOptions {
  TDeviceKind Device = TDeviceKind::Portapack;
  // The storage: the PortaPack's SD card, or for the Flipper ROOT/int and ROOT/ext.
  std::string Root;
  // Link model: bytes per second in each direction (0 = as fast as the pseudo-terminal takes
  // them) and a fixed delay added to every byte the device sends.
  uint64_t RateBytesPerSecond = 0;
  uint32_t LatencyMs = 0;
  // Faults.
  bool Silent = false;
  int64_t StallAfter = -1;  // payload bytes before the device freezes; -1 = never
  int64_t DropAfter = -1;   // payload bytes before the device closes the line; -1 = never
  // Commands answered with the device's error form, with the error code to use (-1 = default).
  std::map<std::string, int> ErrorCommands;
  bool Noise = false;
  // Commands that take this long (ms) after their echo before they answer, as on a slow card;
  // meanwhile the host's input queues as in the device's USB buffer.
  std::map<std::string, uint32_t> SlowCommands;
  // Flipper: "storage stat" reports this many bytes less than the file has (read_chunks still
  // says the whole size), as for a file that grew or has 4 GiB or more.
  uint64_t StatShort = 0;
  // Flipper: the LF of "Ready?\r\n" comes this long (ms) after the rest.
  uint32_t SplitReadyMs = 0;
  // Bytes the card can still take; an upload's writes beyond them fail (card full). -1 = no limit.
  int64_t CardFree = -1;
  // Payload bytes (numbered from 0 over the whole run, both directions, as for --stall-after)
  // that the link inverts on their way: a copy that arrives different without any error.
  std::set<uint64_t> FlipBytes;
  // PortaPack commands the shell does not know, as on older firmware ("crc32" before Mayhem
  // 2.0.1): answered "<command> ?".
  std::set<std::string> Without;
  std::string TranscriptPath;
  // The Flipper's name (shown in the greeting and device_info).
  std::string FlipperName = "Devsim";
};

// Parses argv; on failure returns false with a message in Error. "--help" sets Error to the usage
// text and returns false as well, with HelpRequested set.
bool ParseOptions(const std::vector<std::string>& Args, TOptions& Options, std::string& Error,
                  bool& HelpRequested);

std::string UsageText();

}  // namespace devsim
