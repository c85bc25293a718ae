// A call that may raise a structured exception, such as MmProbeAndLockPages on a caller's pointer
// that does not lead to memory the caller may use. GCC has no __try/__except, so the guard is a
// few lines of assembly (GuardedCall.S) whose unwind data names __C_specific_handler with one
// scope around the call, the way a compiler writes a __try block with a filter. x64 only.
#pragma once

#include <cstdint>

extern "C" {
// Calls function(first, second, third). Returns 0 when it returned, else the code of the
// exception it raised, after which execution goes on in the caller.
std::uint32_t vlkpath_GuardedCall(void (*function)(void*, std::uintptr_t, std::uintptr_t),
                                  void* first, std::uintptr_t second, std::uintptr_t third);
}
