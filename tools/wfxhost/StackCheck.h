// The check that a 32-bit Windows plug-in's exports are __stdcall: the called function pops its
// own arguments. An export built as cdecl leaves them on the stack, and a host compiled with frame
// pointers survives that unnoticed until the offset grows or a register spill lands wrong, so the
// host measures the stack pointer around every call instead of trusting the crash to come.
#pragma once

#include <cstdint>

namespace wfxhost {

// 64-bit Windows and Linux have one calling convention each; there is nothing to get wrong.
#if defined(_WIN32) && defined(__i386__)
#define WFXHOST_STACK_CHECK 1

// Calls Function with Count 32-bit stack arguments (Arguments[0] pushed last, as every C caller
// does) and returns what it left in EAX. Moved is how far the stack pointer ended up from where it
// was before the arguments were pushed: 0 for a function that popped them (__stdcall), -4 * Count
// for one that left them to the caller. The stack pointer is put back either way.
uint32_t CallMeasuringStack(const void* function, const uint32_t* arguments, uint32_t count,
                            int32_t& moved);
#else
#define WFXHOST_STACK_CHECK 0
#endif

}  // namespace wfxhost
