// A whole device dialogue over the memory line, shared by the dialogue fuzz target (a device that
// answers from the input) and the seed maker (the simulators' shells): a PortaPack or Flipper
// Zero driver runs the operations of a script, and each operation is checked as it ends. As the
// registry does, a device that gave up its connection is replaced by a fresh one (and connected)
// before the next operation.
#pragma once

#include <vector>

#include "DialogueScript.h"
#include "MemoryLine.h"

namespace fuzz {

// Makes the local files of the dialogues (in a scratch folder removed at exit) and sends the
// debug log nowhere. Once per process, before the first dialogue.
void PrepareDialogues();

// Runs Operations with Device behind the line and gives each one's result (false for those not
// run because no connection could be had). Ends the process through FUZZ_CHECK when an
// operation crashes its checks: a failure without a reason, a partial download left behind, a
// progress report out of order, or more virtual time than its deadlines allow.
std::vector<bool> RunDialogue(bool Flipper, const std::vector<TOperation>& Operations,
                              TDeviceSide& Device);

}  // namespace fuzz
