#pragma once
// The value the compiler's stack protector checks on return from a function
// with a local buffer. The C runtime's own set-up draws it through the
// system's cryptographic provider before WinMain, whose DLLs would then be
// loaded before the DLL search is limited; the program draws it itself.

// Sets a fresh guard value. Called first in WinMain, which has no protected
// frame of its own, while no other protected function is running.
void InitialiseStackGuard();
