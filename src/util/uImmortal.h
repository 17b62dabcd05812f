// Objects that the C++ runtime must never destroy, because the library's unload or a line logged
// after it may still use them (the lifetime rule in plugin/uLibrary.h).
#pragma once

// The one object of type T: made with new at the first call, kept until the process ends. Only a
// pointer is static, and a pointer has nothing for the runtime to destroy.
template <class T>
T& Immortal() {
  static T* object = new T();
  return *object;
}
