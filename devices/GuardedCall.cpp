#include "devices/GuardedCall.h"

#include <mutex>

namespace {

// One armed guard of a thread. __builtin_setjmp keeps only the frame, stack
// and resume addresses, so jumping back runs no unwinding machinery of the
// runtime, which would not cope with being entered from a fault.
struct GuardFrame {
    void* jump[5];
    GuardFrame* previous;
#if defined(__i386__)
    // Head of the thread's exception-registration chain when the guard was
    // armed; frames the faulting code registered below it are dead after
    // the jump and must not stay in the chain.
    void* registrationHead;
#endif
};

thread_local GuardFrame* t_armedGuard = nullptr;
thread_local GuardFrame* t_faultedGuard = nullptr;

// Where a faulting thread resumes: the exception handler points the thread's
// context here, so the jump back happens after the system has finished
// dispatching the exception and holds no state of it any more.
[[noreturn]] void ResumeAtGuard()
{
    __builtin_longjmp(t_faultedGuard->jump, 1);
}

LONG CALLBACK GuardExceptionHandler(EXCEPTION_POINTERS* info)
{
    // Debug output and C++ exceptions pass through here too; they are left
    // alone before any thread-local state is touched.
    if (!IsGuardedExceptionCode(info->ExceptionRecord->ExceptionCode)) return EXCEPTION_CONTINUE_SEARCH;
    GuardFrame* guard = t_armedGuard;
    if (!guard) return EXCEPTION_CONTINUE_SEARCH;

    t_armedGuard = guard->previous;
    t_faultedGuard = guard;
    CONTEXT* context = info->ContextRecord;
#if defined(__x86_64__)
    // As if the faulting code had called ResumeAtGuard: the stack pointer is
    // 8 bytes below a 16-byte boundary at a function's entry.
    context->Rsp = ((context->Rsp - 128) & ~static_cast<DWORD64>(15)) - 8;
    context->Rip = reinterpret_cast<DWORD64>(&ResumeAtGuard);
#elif defined(__i386__)
    context->Esp = ((context->Esp - 128) & ~static_cast<DWORD>(15)) - 4;
    context->Eip = reinterpret_cast<DWORD>(&ResumeAtGuard);
#else
#error "guarded calls are written for x86 and x86-64"
#endif
    return EXCEPTION_CONTINUE_EXECUTION;
}

void InstallHandlerOnce()
{
    static std::once_flag installed;
    std::call_once(installed, [] { AddVectoredExceptionHandler(1, GuardExceptionHandler); });
}

// Kept out of line so that the try block and the jump target live in
// different frames.
__attribute__((noinline)) GuardOutcome CallCatchingCppExceptions(void (*call)(void*), void* context)
{
    try {
        call(context);
        return GUARD_COMPLETED;
    } catch (...) {
        return GUARD_CPP_EXCEPTION;
    }
}

#if defined(__i386__)
void* ReadRegistrationHead()
{
    void* head;
    __asm__ volatile("movl %%fs:0, %0" : "=r"(head));
    return head;
}

void WriteRegistrationHead(void* head)
{
    __asm__ volatile("movl %0, %%fs:0" : : "r"(head) : "memory");
}
#endif

}  // namespace

bool IsGuardedExceptionCode(DWORD code)
{
    const DWORD kErrorSeverity = 0xC0000000;
    return (code & kErrorSeverity) == kErrorSeverity && code != static_cast<DWORD>(EXCEPTION_STACK_OVERFLOW);
}

GuardOutcome RunGuarded(void (*call)(void* context), void* context)
{
    InstallHandlerOnce();

    GuardFrame guard;
    guard.previous = t_armedGuard;
#if defined(__i386__)
    guard.registrationHead = ReadRegistrationHead();
#endif
    if (__builtin_setjmp(guard.jump)) {
#if defined(__i386__)
        WriteRegistrationHead(t_faultedGuard->registrationHead);
#endif
        t_armedGuard = t_faultedGuard->previous;
        t_faultedGuard = nullptr;
        return GUARD_SYSTEM_EXCEPTION;
    }

    t_armedGuard = &guard;
    GuardOutcome outcome = CallCatchingCppExceptions(call, context);
    t_armedGuard = guard.previous;
    return outcome;
}
