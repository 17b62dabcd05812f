// Win32 plug-in thread: CreateThread, and at the end TerminateThread once the body has returned.
// A thread's exit needs the loader lock, which the unloading DllMain holds, so the thread is never
// waited for itself; an event set right after the body returns says it runs none of our code but
// the last instructions of RunBody.
#include "platform/Thread.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace platform {

struct TPluginThreadState {
  HANDLE Handle;
  HANDLE BodyReturned;
  void (*Body)(void*);
  void* Arg;
};

namespace {
DWORD WINAPI RunBody(LPVOID Raw) {
  auto* state = static_cast<TPluginThreadState*>(Raw);
  state->Body(state->Arg);
  SetEvent(state->BodyReturned);
  return 0;
}
}  // namespace

TPluginThread StartPluginThread(void (*Body)(void* Arg), void* Arg) {
  auto* state = new TPluginThreadState{nullptr, nullptr, Body, Arg};
  state->BodyReturned = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (state->BodyReturned) state->Handle = CreateThread(nullptr, 0, RunBody, state, 0, nullptr);
  if (!state->Handle) {
    if (state->BodyReturned) CloseHandle(state->BodyReturned);
    delete state;
    return nullptr;
  }
  return state;
}

void EndPluginThread(TPluginThread Thread, uint32_t TimeoutMs) {
  if (!Thread) return;
  WaitForSingleObject(Thread->BodyReturned, TimeoutMs);
  TerminateThread(Thread->Handle, 0);
  CloseHandle(Thread->Handle);
  CloseHandle(Thread->BodyReturned);
  delete Thread;
}

}  // namespace platform
