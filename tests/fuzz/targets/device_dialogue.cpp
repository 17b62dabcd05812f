// A whole device dialogue: a PortaPack or Flipper Zero driver runs one to four operations (list,
// existence test, size, download, upload, delete, make folder, rename) over the in-memory line,
// and the device answers whatever the input says (support/DialogueScript.h). Whatever it
// answers, the driver must not crash, must keep to its deadlines (in virtual time), must give a
// reason for every failure, and must not leave a partial download behind (support/
// DeviceDialogue.h).
#include "DeviceDialogue.h"
#include "DialogueScript.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::PrepareDialogues();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const fuzz::TDialogueScript script = fuzz::TDialogueScript::Read(Data, Size);
  fuzz::TScriptedDevice device(script.Segments);
  fuzz::RunDialogue(script.Flipper, script.Operations, device);
  return 0;
}
