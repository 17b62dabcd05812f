// Faults on request, shared by both shells: commands answered with an error, stray bytes before
// answers, and the payload counter behind --stall-after and --drop-after.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "Line.h"

namespace devsim {

class TFaults {
 public:
  TFaults(std::map<std::string, int> ErrorCommands, bool Noise, int64_t StallAfter,
          int64_t DropAfter);

  // The error code to answer Command with, or nothing when it should work normally. Code -1
  // means "the device's usual code" and is replaced by DefaultCode. A fault given as
  // "CMD@NAME" answers only a Command whose Path ends in the name NAME.
  std::optional<int> ErrorFor(std::string_view Command, int DefaultCode,
                              std::string_view Path = {}) const;

  // The link's other switches (see TOptions).
  void SetSlowCommands(std::map<std::string, uint32_t> Slow) { SlowCommands_ = std::move(Slow); }
  void SetStatShort(uint64_t Bytes) { StatShort_ = Bytes; }
  void SetSplitReadyMs(uint32_t Ms) { SplitReadyMs_ = Ms; }
  void SetCardFree(int64_t Bytes) { CardFree_ = Bytes; }
  void SetFlipBytes(std::set<uint64_t> Positions) { FlipBytes_ = std::move(Positions); }
  void SetWithout(std::set<std::string> Commands) { Without_ = std::move(Commands); }
  // The shell does not know Command (--without).
  bool Lacks(std::string_view Command) const { return Without_.count(std::string(Command)) > 0; }
  // How long Command takes before it answers (0: at once).
  uint32_t DelayFor(std::string_view Command) const;
  uint64_t StatShort() const { return StatShort_; }
  uint32_t SplitReadyMs() const { return SplitReadyMs_; }
  // Of Count bytes an upload writes to the card, how many still fit; counts them as written.
  size_t CardWrite(size_t Count);

  // Stray bytes to send before an answer; empty unless --noise was given. They never contain
  // CR, LF or characters of either device's prompt, so they garble a line without ending it.
  std::string NextNoise();

  // Transfer payload accounting. Before Count payload bytes cross the line, ask how many of them
  // may. Fires is set when the stall or drop is due right after those bytes (call Fire() then):
  // nothing follows the Nth payload byte, not even the rest of the answer.
  size_t PayloadAllowance(size_t Count, bool& Fires) const;
  void CountPayload(size_t Count) { PayloadBytes_ += Count; }
  // Inverts the bytes of Data that --flip-byte names. Data are the payload bytes that follow
  // Offset bytes not yet counted (CountPayload) of the same piece.
  void FlipPayload(char* Data, size_t Count, size_t Offset = 0) const;
  // Whether FlipPayload would change any of Count bytes that follow the counted ones.
  bool FlipsWithin(size_t Count) const;
  // Stalls or drops the line, whichever fault is due. Returns when the simulator stops.
  void Fire(TLine& Line);

 private:
  std::map<std::string, int> ErrorCommands_;
  bool Noise_;
  int64_t StallAfter_;
  int64_t DropAfter_;
  uint64_t PayloadBytes_ = 0;
  std::map<std::string, uint32_t> SlowCommands_;
  uint64_t StatShort_ = 0;
  uint32_t SplitReadyMs_ = 0;
  int64_t CardFree_ = -1;
  std::set<uint64_t> FlipBytes_;
  std::set<std::string> Without_;
  size_t NoiseIndex_ = 0;
};

}  // namespace devsim
