// Win32 plug-in thread: CreateThread, and at the end TerminateThread once the body has returned.
// A thread's exit needs the loader lock, which the unloading DllMain holds, so the thread is never
// waited for itself; an event set right after the body returns says it runs none of our code but
// the last instructions of RunBody. Its start needs the loader lock too, so the start waits until
// the thread runs RunBody: a thread still in its start-up when an unload ends it crashed 32-bit
// Wine processes (about one unload in three), and on Windows it would start in unmapped code.
#include "platform/Thread.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <atomic>

namespace platform {

namespace {
constexpr int kNotStarted = 0;
constexpr int kRunning = 1;
constexpr int kCancelled = 2;
constexpr DWORD kStartWaitMs = 5000;
}  // namespace

struct TPluginThreadState {
  HANDLE Handle;
  HANDLE Started;
  HANDLE BodyReturned;
  void (*Body)(void*);
  void* Arg;
  // A thread created under the loader lock (DllMain) cannot start until that lock is free. If the
  // host unloads the library before then (Total Commander loads it only to ask the root name when
  // it installs the plug-in), the body must never start: the end claims it first.
  std::atomic<int> Stage{kNotStarted};
};

namespace {
DWORD WINAPI RunBody(LPVOID Raw) {
  auto* state = static_cast<TPluginThreadState*>(Raw);
  SetEvent(state->Started);
  int expected = kNotStarted;
  if (state->Stage.compare_exchange_strong(expected, kRunning)) state->Body(state->Arg);
  SetEvent(state->BodyReturned);
  return 0;
}
}  // namespace

TPluginThread StartPluginThread(void (*Body)(void* Arg), void* Arg) {
  auto* state = new TPluginThreadState{nullptr, nullptr, nullptr, Body, Arg};
  state->Started = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  state->BodyReturned = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (state->Started && state->BodyReturned)
    state->Handle = CreateThread(nullptr, 0, RunBody, state, 0, nullptr);
  if (!state->Handle) {
    if (state->Started) CloseHandle(state->Started);
    if (state->BodyReturned) CloseHandle(state->BodyReturned);
    delete state;
    return nullptr;
  }
  // Callers start threads outside the loader lock (never from DllMain), so this wait ends as soon
  // as the thread is through its start-up; the bound only keeps a stuck system from hanging here.
  WaitForSingleObject(state->Started, kStartWaitMs);
  return state;
}

void EndPluginThread(TPluginThread Thread, uint32_t TimeoutMs) {
  if (!Thread) return;
  int expected = kNotStarted;
  // A body that never started has nothing to finish: no wait for it (it may be unable to start
  // while the caller holds the loader lock).
  if (!Thread->Stage.compare_exchange_strong(expected, kCancelled))
    WaitForSingleObject(Thread->BodyReturned, TimeoutMs);
  TerminateThread(Thread->Handle, 0);
  CloseHandle(Thread->Handle);
  CloseHandle(Thread->Started);
  CloseHandle(Thread->BodyReturned);
  // The state stays: a thread ended before it ran RunBody must not find it freed should it run.
}

}  // namespace platform
