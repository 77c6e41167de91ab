#include "framework/StackGuard.h"

#include <windows.h>

#include <cstdint>

// Defined here, so that the runtime library's versions, and the provider
// they load, are not linked.
extern "C" {
void* __stack_chk_guard = reinterpret_cast<void*>(static_cast<uintptr_t>(0x2B992DDFA232ull));

// A smashed stack cannot be trusted to unwind or to run handlers: the
// process ends at once with the system's code for it.
[[noreturn]] void __stack_chk_fail()
{
    ::TerminateProcess(::GetCurrentProcess(), STATUS_STACK_BUFFER_OVERRUN);
    __builtin_trap();
}
}

__attribute__((no_stack_protector)) void InitialiseStackGuard()
{
    // The sources Windows' own compiler mixes into its stack cookie: the
    // time, the process and thread ids, the tick count and the performance
    // counter, and an address that ASLR places anew at every start.
    FILETIME time;
    ::GetSystemTimeAsFileTime(&time);
    LARGE_INTEGER counter;
    ::QueryPerformanceCounter(&counter);
    uint64_t value = (static_cast<uint64_t>(time.dwHighDateTime) << 32) ^ time.dwLowDateTime;
    value ^= static_cast<uint64_t>(::GetCurrentProcessId()) << 32 ^ ::GetCurrentThreadId();
    value ^= static_cast<uint64_t>(::GetTickCount()) << 16;
    value ^= static_cast<uint64_t>(counter.QuadPart) << 24 ^ static_cast<uint64_t>(counter.QuadPart);
    value ^= reinterpret_cast<uintptr_t>(&value);
    // A finaliser spreads every bit over the whole word.
    value = (value ^ (value >> 30)) * 0xBF58476D1CE4E5B9ull;
    value = (value ^ (value >> 27)) * 0x94D049BB133111EBull;
    value ^= value >> 31;
    // A zero low byte stops a string copy that reaches it from rewriting it.
    value &= ~static_cast<uint64_t>(0xFF);
    __stack_chk_guard = reinterpret_cast<void*>(static_cast<uintptr_t>(value));
}
