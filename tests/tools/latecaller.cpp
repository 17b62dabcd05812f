// latecaller: loads a plug-in file the way Double Commander does (dlopen, FsInit,
// FsSetDefaultParams) and never closes it. At exit() it calls the plug-in once more from a handler
// registered before the load, which runs after the C++ runtime destroyed the plug-in's static
// objects and before the plug-in's own unload hook: what a host thread that logs while the
// process ends does. Under AddressSanitizer any use of a destroyed object fails the run.
// Usage: latecaller PLUGIN
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "platform/wfxplugin.h"

namespace {

using TFsInit = int (*)(int, tProgressProc, tLogProc, tRequestProc);
using TFsSetDefaultParams = void (*)(FsDefaultParamStruct*);
using TFsFindFirst = HANDLE (*)(char*, WIN32_FIND_DATAA*);
using TFsFindClose = int (*)(HANDLE);

TFsInit Init = nullptr;
TFsSetDefaultParams SetDefaultParams = nullptr;
TFsFindFirst FindFirst = nullptr;
TFsFindClose FindClose = nullptr;

// Long enough that no string keeps it inside its own object.
void SetIni(const char* Suffix) {
  FsDefaultParamStruct params{};
  params.size = sizeof(params);
  snprintf(params.DefaultIniName, sizeof(params.DefaultIniName),
           "/home/someone/.config/doublecmd/plugins/quarnel-settings-%s.ini", Suffix);
  SetDefaultParams(&params);
}

void CallAfterStaticDestruction() {
  SetIni("late");
  Init(99, nullptr, nullptr, nullptr);
  WIN32_FIND_DATAA data;
  HANDLE handle = FindFirst(const_cast<char*>("/"), &data);
  if (handle != INVALID_HANDLE_VALUE) FindClose(handle);
  printf("late call done\n");
  fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: latecaller PLUGIN\n");
    return 2;
  }
  atexit(CallAfterStaticDestruction);
  void* plugin = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (!plugin) {
    fprintf(stderr, "cannot load %s: %s\n", argv[1], dlerror());
    return 2;
  }
  Init = reinterpret_cast<TFsInit>(dlsym(plugin, "FsInit"));
  SetDefaultParams = reinterpret_cast<TFsSetDefaultParams>(dlsym(plugin, "FsSetDefaultParams"));
  FindFirst = reinterpret_cast<TFsFindFirst>(dlsym(plugin, "FsFindFirst"));
  FindClose = reinterpret_cast<TFsFindClose>(dlsym(plugin, "FsFindClose"));
  if (!Init || !SetDefaultParams || !FindFirst || !FindClose) {
    fprintf(stderr, "missing export\n");
    return 2;
  }
  Init(1, nullptr, nullptr, nullptr);
  SetIni("early");
  return 0;  // no dlclose, as Double Commander
}
