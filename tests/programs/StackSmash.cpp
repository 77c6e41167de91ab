// Overruns a local buffer on purpose, with the program's stack guard. It
// must end with STATUS_STACK_BUFFER_OVERRUN instead of returning 0.
#include <windows.h>

#include <cstring>

#include "framework/StackGuard.h"

namespace {

// The length comes from the command line, so that the compiler cannot see
// the overrun coming.
__attribute__((noinline)) int Overrun(size_t length)
{
    char buffer[16];
    volatile char* bytes = buffer;
    for (size_t i = 0; i < length; ++i) bytes[i] = 'x';
    return bytes[0];
}

}  // namespace

__attribute__((no_stack_protector)) int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    InitialiseStackGuard();
    return Overrun(std::strlen(::GetCommandLineA()) + 64) == 'x' ? 0 : 1;
}
