// POSIX plug-in thread: a pthread, joined at the end (its exit waits for nothing of ours, so the
// join returns once the body has returned).
#include "platform/Thread.h"

#include <pthread.h>

namespace platform {

struct TPluginThreadState {
  pthread_t Handle;
  void (*Body)(void*);
  void* Arg;
};

namespace {
void* RunBody(void* Raw) {
  auto* state = static_cast<TPluginThreadState*>(Raw);
  state->Body(state->Arg);
  return nullptr;
}
}  // namespace

TPluginThread StartPluginThread(void (*Body)(void* Arg), void* Arg) {
  auto* state = new TPluginThreadState{pthread_t{}, Body, Arg};
  if (pthread_create(&state->Handle, nullptr, RunBody, state) != 0) {
    delete state;
    return nullptr;
  }
  return state;
}

void EndPluginThread(TPluginThread Thread, uint32_t /*TimeoutMs*/) {
  if (!Thread) return;
  pthread_join(Thread->Handle, nullptr);
  delete Thread;
}

}  // namespace platform
