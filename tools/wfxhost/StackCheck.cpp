// The stack pointer measured around a call, for 32-bit Windows builds of the host.
#include "StackCheck.h"

namespace wfxhost {

#if WFXHOST_STACK_CHECK

uint32_t CallMeasuringStack(const void* function, const uint32_t* arguments, uint32_t count,
                            int32_t& moved) {
  uint32_t result;
  // ESI is kept by every 32-bit Windows convention, so it holds the stack pointer across the call
  // whatever the function does with its arguments. ECX ends as the distance moved.
  asm volatile(
      "movl %%esp, %%esi\n\t"
      "testl %%ecx, %%ecx\n\t"
      "jz 2f\n"
      "1:\n\t"
      "pushl -4(%%edx,%%ecx,4)\n\t"
      "decl %%ecx\n\t"
      "jnz 1b\n"
      "2:\n\t"
      "call *%%ebx\n\t"
      "movl %%esp, %%ecx\n\t"
      "subl %%esi, %%ecx\n\t"
      "movl %%esi, %%esp\n\t"
      : "=a"(result), "+c"(count), "+d"(arguments)
      : "b"(function)
      : "esi", "memory", "cc");
  moved = static_cast<int32_t>(count);
  return result;
}

#endif

}  // namespace wfxhost
