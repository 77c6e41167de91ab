#include "devices/GuardedCall.h"

// The guard is a frame-based exception handler that sits in a frame of its
// own between the caller and the guarded call. The system offers it an
// exception only after every handler inside the call has declined it, so a
// driver that handles its own faults or its own C++ exceptions works as it
// would unguarded; what escapes the call is taken over here. The handler
// first has the system unwind the frames inside the call, so that their
// termination handlers run (a loader that faulted while holding its lock
// releases it there), then resumes in the guard's frame.

namespace {

// Floating-point control state of the guarded thread, put back after a fault:
// the faulting code may have changed rounding or precision, or left values on
// the x87 stack.
struct FloatingPointState {
    unsigned short x87Control = 0;
    unsigned int sseControl = 0;
    bool hasSse = true;

    void Save()
    {
#if defined(__i386__)
        hasSse = ::IsProcessorFeaturePresent(PF_XMMI_INSTRUCTIONS_AVAILABLE) != FALSE;
#endif
        __asm__ volatile("fnstcw %0" : "=m"(x87Control));
        if (hasSse) __asm__ volatile("stmxcsr %0" : "=m"(sseControl));
    }

    void Restore() const
    {
        __asm__ volatile("cld\n\tfninit\n\tfldcw %0" : : "m"(x87Control));
        if (hasSse) __asm__ volatile("ldmxcsr %0" : : "m"(sseControl));
    }
};

struct GuardedBody {
    void (*call)(void* context);
    void* context;
};

// C++ exceptions of this program are caught here, inside the guard's frame,
// so that they never reach the frame-based handler.
GuardOutcome CallCatchingCppExceptions(void* parameter)
{
    const GuardedBody* body = static_cast<const GuardedBody*>(parameter);
    try {
        body->call(body->context);
        return GUARD_COMPLETED;
    } catch (...) {
        return GUARD_CPP_EXCEPTION;
    }
}

bool IsDispatchOffer(const EXCEPTION_RECORD* record)
{
    return (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) == 0 &&
           IsGuardedExceptionCode(record->ExceptionCode);
}

}  // namespace

#if defined(__x86_64__)

extern "C" {
// Calls body(parameter) in a frame whose unwind data names
// GuardFrameHandler; returns what body returned, or GUARD_SYSTEM_EXCEPTION
// when the handler unwound to GuardFrameResume.
GuardOutcome GuardedFrameCall(GuardOutcome (*body)(void*), void* parameter);
void GuardFrameResume();
EXCEPTION_DISPOSITION GuardFrameHandler(EXCEPTION_RECORD* record, void* establisherFrame, CONTEXT* context,
                                        void* dispatcherContext);
}

// The `nop` after the call keeps the return address inside the body, where
// the unwinder expects it, rather than at the start of the epilogue.
__asm__(
    ".text\n"
    ".globl GuardedFrameCall\n"
    ".def GuardedFrameCall; .scl 2; .type 32; .endef\n"
    ".seh_proc GuardedFrameCall\n"
    "GuardedFrameCall:\n"
    "    subq $40, %rsp\n"
    "    .seh_stackalloc 40\n"
    "    .seh_endprologue\n"
    "    .seh_handler GuardFrameHandler, @except\n"
    "    movq %rcx, %rax\n"
    "    movq %rdx, %rcx\n"
    "    callq *%rax\n"
    "    nop\n"
    "GuardedFrameCallReturn:\n"
    "    addq $40, %rsp\n"
    "    ret\n"
    ".globl GuardFrameResume\n"
    "GuardFrameResume:\n"
    "    cld\n"
    "    movl $2, %eax\n"
    "    jmp GuardedFrameCallReturn\n"
    ".seh_endproc\n");
static_assert(GUARD_SYSTEM_EXCEPTION == 2, "GuardFrameResume returns GUARD_SYSTEM_EXCEPTION");

extern "C" EXCEPTION_DISPOSITION GuardFrameHandler(EXCEPTION_RECORD* record, void* establisherFrame, CONTEXT*,
                                                   void* dispatcherContext)
{
    if (!IsDispatchOffer(record)) return ExceptionContinueSearch;
    DISPATCHER_CONTEXT* dispatch = static_cast<DISPATCHER_CONTEXT*>(dispatcherContext);
    // Does not return: the frames inside the call are unwound and execution
    // goes on at GuardFrameResume with the guard frame's registers.
    ::RtlUnwindEx(establisherFrame, reinterpret_cast<void*>(&GuardFrameResume), record,
                  reinterpret_cast<void*>(static_cast<ULONG_PTR>(GUARD_SYSTEM_EXCEPTION)), dispatch->ContextRecord,
                  dispatch->HistoryTable);
    return ExceptionContinueSearch;
}

GuardOutcome RunGuarded(void (*call)(void* context), void* context)
{
    FloatingPointState floatingPoint;
    floatingPoint.Save();
    GuardedBody body{call, context};
    const GuardOutcome outcome = GuardedFrameCall(CallCatchingCppExceptions, &body);
    if (outcome == GUARD_SYSTEM_EXCEPTION) floatingPoint.Restore();
    return outcome;
}

#elif defined(__i386__)

namespace {

// An exception-registration record as the system chains them from %fs:0,
// followed by what the handler needs to resume in the guard's frame.
struct GuardRegistration {
    GuardRegistration* previous;
    EXCEPTION_DISPOSITION(__cdecl* handler)(EXCEPTION_RECORD*, void*, CONTEXT*, void*);
    // __builtin_setjmp keeps only the frame, stack and resume addresses.
    void* jump[5];
};

GuardRegistration* ReadRegistrationHead()
{
    GuardRegistration* head;
    __asm__ volatile("movl %%fs:0, %0" : "=r"(head) : : "memory");
    return head;
}

void WriteRegistrationHead(GuardRegistration* head)
{
    __asm__ volatile("movl %0, %%fs:0" : : "r"(head) : "memory");
}

EXCEPTION_DISPOSITION __cdecl GuardFrameHandler(EXCEPTION_RECORD* record, void* establisherFrame, CONTEXT*, void*)
{
    if (!IsDispatchOffer(record)) return ExceptionContinueSearch;
    GuardRegistration* registration = static_cast<GuardRegistration*>(establisherFrame);
    // Runs the termination handlers of the records inside the call and
    // unlinks them (the dispatcher's own included), leaving this record at
    // the head of the chain; on this processor it returns here. It may change
    // every register but the stack pointer, as the compilers' own callers of
    // it assume.
    void* target = registration;
    void* exception = record;
    __asm__ volatile(
        "pushl %%ebp\n\t"
        "pushl $0\n\t"
        "pushl %1\n\t"
        "pushl $0\n\t"
        "pushl %0\n\t"
        "call _RtlUnwind@16\n\t"
        "popl %%ebp"
        : "+a"(target), "+d"(exception)
        :
        : "ebx", "ecx", "esi", "edi", "memory", "cc");
    __builtin_longjmp(registration->jump, 1);
}

}  // namespace

// Kept out of line so that the frame holding the jump buffer stays whole
// while the guarded call runs.
__attribute__((noinline)) GuardOutcome RunGuarded(void (*call)(void* context), void* context)
{
    FloatingPointState floatingPoint;
    floatingPoint.Save();
    GuardedBody body{call, context};

    GuardRegistration registration;
    registration.previous = ReadRegistrationHead();
    registration.handler = GuardFrameHandler;
    if (__builtin_setjmp(registration.jump)) {
        WriteRegistrationHead(registration.previous);
        floatingPoint.Restore();
        return GUARD_SYSTEM_EXCEPTION;
    }
    WriteRegistrationHead(&registration);
    const GuardOutcome outcome = CallCatchingCppExceptions(&body);
    WriteRegistrationHead(registration.previous);
    return outcome;
}

#else
#error "guarded calls are written for x86 and x86-64"
#endif

bool IsGuardedExceptionCode(DWORD code)
{
    const DWORD ERROR_SEVERITY_BITS = 0xC0000000;
    return (code & ERROR_SEVERITY_BITS) == ERROR_SEVERITY_BITS && code != static_cast<DWORD>(EXCEPTION_STACK_OVERFLOW);
}
