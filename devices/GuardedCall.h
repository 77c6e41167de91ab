// Runs one call into a device driver so that a fault inside it cannot take
// the program down: C++ exceptions are caught, and so are structured
// exceptions such as an access violation, once they escape the call. An
// exception that the driver handles itself is never seen by the guard.
#pragma once

#include <windows.h>

enum GuardOutcome {
    GUARD_COMPLETED = 0,     // the call returned normally
    GUARD_CPP_EXCEPTION,     // the call threw a C++ exception of this program
    GUARD_SYSTEM_EXCEPTION,  // the call raised a structured exception
};

// Calls call(context) on this thread and reports how it ended. After a
// structured exception the system unwinds the frames inside the call and
// runs their termination handlers; objects of this program's own code in
// those frames are not destroyed, so the guarded call should be a single
// platform call. The direction flag and the floating-point control state are
// then as they were before the call. Stack overflow is not caught: the stack
// could not be used afterwards.
GuardOutcome RunGuarded(void (*call)(void* context), void* context);

template <class Function>
GuardOutcome CallGuarded(Function& function)
{
    return RunGuarded([](void* context) { (*static_cast<Function*>(context))(); }, &function);
}

// Calls one method of an object that a device (its driver) supplied, inside
// the guard. False when the call threw or faulted: whatever it was to write
// is then not to be trusted.
template <class Function>
bool CallDevice(Function function)
{
    return CallGuarded(function) == GUARD_COMPLETED;
}

// Releases a reference to an object that a device supplied. A Release that
// faults counts as done: the reference is not used again either way.
template <class Interface>
void ReleaseDeviceObject(Interface* object)
{
    if (object) CallDevice([object] { object->Release(); });
}

// Whether RunGuarded turns an exception with this code into
// GUARD_SYSTEM_EXCEPTION: every error-severity code except stack overflow.
bool IsGuardedExceptionCode(DWORD code);
