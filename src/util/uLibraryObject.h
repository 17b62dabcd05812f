// A holder for an object that the library's unload, or a line logged during or after it, may
// still use: the object lives on the heap from its first use until LibraryShutdown releases it
// on FreeLibrary or dlclose, and the C++ runtime never destroys it (the lifetime rule in
// plugin/uLibrary.h).
#pragma once

#include <atomic>
#include <type_traits>

template <class T>
class TLibraryObject {
 public:
  constexpr TLibraryObject() = default;

  // The object, made at the first call (also after a Release); any thread.
  T& Get() {
    T* object = Object_.load(std::memory_order_acquire);
    if (object) return *object;
    T* fresh = new T();
    if (Object_.compare_exchange_strong(object, fresh, std::memory_order_acq_rel)) return *fresh;
    delete fresh;  // another thread was first
    return *object;
  }

  // Deletes the object. Only for the unload, when nothing can use it any more.
  void Release() { delete Object_.exchange(nullptr, std::memory_order_acq_rel); }

 private:
  std::atomic<T*> Object_{nullptr};
};

// The holder itself has nothing for the runtime to destroy.
static_assert(std::is_trivially_destructible_v<TLibraryObject<int>>);
