// Guarded driver calls: a C++ exception or a structured exception inside the
// call is reported, and the thread goes on as if the call had returned.
#include <gtest/gtest.h>

#include <excpt.h>

#include <stdexcept>
#include <thread>

#include "devices/GuardedCall.h"

namespace {

constexpr DWORD FOREIGN_CPP_EXCEPTION = 0xE06D7363;  // thrown by code of another compiler

void WriteThroughNull(void*)
{
    volatile int* volatile target = nullptr;
    *target = 1;
}

void DivideByZero(void* context)
{
    volatile int divisor = 0;
    *static_cast<int*>(context) = 100 / divisor;
}

void ThrowCppException(void*)
{
    throw std::runtime_error("driver failure");
}

void RaiseCustomError(void*)
{
    RaiseException(0xE0001234, 0, 0, nullptr);
}

void RaiseForeignCppException(void*)
{
    RaiseException(FOREIGN_CPP_EXCEPTION, 0, 0, nullptr);
}

void Increment(void* context)
{
    ++*static_cast<int*>(context);
}

// Driver code that faults on purpose and handles the fault itself, as the
// system's own pointer checks do.
void ProbeBadPointer(void* context)
{
    *static_cast<BOOL*>(context) = IsBadReadPtr(reinterpret_cast<const void*>(16), 4);
}

void ThrowAndCatchOwnCppException(void* context)
{
    try {
        throw std::runtime_error("handled inside the driver");
    } catch (const std::runtime_error&) {
        ++*static_cast<int*>(context);
    }
}

// A driver of another compiler that throws a C++ exception and catches it in
// its own frame handler, which lets execution go on after the throw.
#if defined(__x86_64__)
}  // namespace

// The filter of the frame handler below; the handler table names it by its
// plain symbol.
extern "C" LONG ContinueAfterOwnException(EXCEPTION_POINTERS* pointers, void*)
{
    return pointers->ExceptionRecord->ExceptionCode == FOREIGN_CPP_EXCEPTION ? EXCEPTION_CONTINUE_EXECUTION
                                                                             : EXCEPTION_CONTINUE_SEARCH;
}

namespace {

__attribute__((noinline)) void ThrowAndCatchForeignCppException(void* context)
{
    __try1(ContinueAfterOwnException);
    RaiseException(FOREIGN_CPP_EXCEPTION, 0, 0, nullptr);
    __except1;
    ++*static_cast<int*>(context);
}
#else
EXCEPTION_DISPOSITION __cdecl ContinueAfterOwnException(EXCEPTION_RECORD* record, void*, CONTEXT*, void*)
{
    const bool unwinding = (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) != 0;
    return !unwinding && record->ExceptionCode == FOREIGN_CPP_EXCEPTION ? ExceptionContinueExecution
                                                                        : ExceptionContinueSearch;
}

__attribute__((noinline)) void ThrowAndCatchForeignCppException(void* context)
{
    struct {
        void* previous;
        void* handler;
    } registration;
    __asm__ volatile("movl %%fs:0, %0" : "=r"(registration.previous) : : "memory");
    registration.handler = reinterpret_cast<void*>(ContinueAfterOwnException);
    __asm__ volatile("movl %0, %%fs:0" : : "r"(&registration) : "memory");
    RaiseException(FOREIGN_CPP_EXCEPTION, 0, 0, nullptr);
    __asm__ volatile("movl %0, %%fs:0" : : "r"(registration.previous) : "memory");
    ++*static_cast<int*>(context);
}
#endif

struct ControlState {
    unsigned short x87 = 0;
    unsigned int sse = 0;
};

ControlState ReadControlState()
{
    ControlState state;
    __asm__ volatile("fnstcw %0" : "=m"(state.x87));
    __asm__ volatile("stmxcsr %0" : "=m"(state.sse));
    return state;
}

// Leaves the floating-point units rounding toward zero at single precision,
// then faults.
void FaultWithChangedControlState(void*)
{
    const unsigned short x87 = 0x0C7F;
    const unsigned int sse = 0x7F80;
    __asm__ volatile("fldcw %0\n\tldmxcsr %1" : : "m"(x87), "m"(sse));
    WriteThroughNull(nullptr);
}

// The code the system gives a write through a null pointer. User-mode
// emulation of 32-bit code (the 32-bit test run on these machines) reports it
// as an illegal instruction, which the system's own pointer checks, waiting
// for an access violation, do not take as theirs.
DWORD s_firstChanceCode = 0;

LONG CALLBACK RecordFirstChance(EXCEPTION_POINTERS* pointers)
{
    if (!s_firstChanceCode) s_firstChanceCode = pointers->ExceptionRecord->ExceptionCode;
    return EXCEPTION_CONTINUE_SEARCH;
}

DWORD NullWriteExceptionCode()
{
    s_firstChanceCode = 0;
    void* handler = AddVectoredExceptionHandler(1, RecordFirstChance);
    RunGuarded(WriteThroughNull, nullptr);
    RemoveVectoredExceptionHandler(handler);
    return s_firstChanceCode;
}

TEST(GuardedCall, FaultsThrowsAndCleanCallsAreToldApartRepeatedly)
{
    int value = 0;
    for (int round = 0; round < 3; ++round) {
        EXPECT_EQ(GUARD_SYSTEM_EXCEPTION, RunGuarded(WriteThroughNull, nullptr));
        EXPECT_EQ(GUARD_CPP_EXCEPTION, RunGuarded(ThrowCppException, nullptr));
        EXPECT_EQ(GUARD_SYSTEM_EXCEPTION, RunGuarded(DivideByZero, &value));
        EXPECT_EQ(GUARD_SYSTEM_EXCEPTION, RunGuarded(RaiseCustomError, nullptr));
        EXPECT_EQ(GUARD_SYSTEM_EXCEPTION, RunGuarded(RaiseForeignCppException, nullptr));
        EXPECT_EQ(GUARD_COMPLETED, RunGuarded(Increment, &value));
    }
    EXPECT_EQ(3, value);

    // Outside a guard, C++ exceptions still reach the program's own handlers.
    EXPECT_THROW(ThrowCppException(nullptr), std::runtime_error);
}

TEST(GuardedCall, ExceptionsTheDriverHandlesItselfNeverReachTheGuard)
{
    int handled = 0;
    EXPECT_EQ(GUARD_COMPLETED, RunGuarded(ThrowAndCatchOwnCppException, &handled));
    EXPECT_EQ(GUARD_COMPLETED, RunGuarded(ThrowAndCatchForeignCppException, &handled));
    EXPECT_EQ(2, handled);

    if (NullWriteExceptionCode() != EXCEPTION_ACCESS_VIOLATION)
        GTEST_SKIP() << "faults are not reported as access violations here (user-mode emulation): "
                        "the system's pointer check inside a guarded call is left out";
    BOOL bad = FALSE;
    EXPECT_EQ(GUARD_COMPLETED, RunGuarded(ProbeBadPointer, &bad));
    EXPECT_TRUE(bad);
}

TEST(GuardedCall, AfterAFaultTheFloatingPointControlIsAsBefore)
{
    const ControlState before = ReadControlState();
    EXPECT_EQ(GUARD_SYSTEM_EXCEPTION, RunGuarded(FaultWithChangedControlState, nullptr));
    const ControlState after = ReadControlState();
    EXPECT_EQ(before.x87, after.x87);
    EXPECT_EQ(before.sse, after.sse);
}

TEST(GuardedCall, NestedGuardsEachCatchTheirOwnFault)
{
    GuardOutcome inner = GUARD_COMPLETED;
    auto outer = [&] {
        inner = RunGuarded(WriteThroughNull, nullptr);
        WriteThroughNull(nullptr);
    };
    EXPECT_EQ(GUARD_SYSTEM_EXCEPTION, CallGuarded(outer));
    EXPECT_EQ(GUARD_SYSTEM_EXCEPTION, inner);
    int value = 0;
    EXPECT_EQ(GUARD_COMPLETED, RunGuarded(Increment, &value));
    EXPECT_EQ(1, value);
}

TEST(GuardedCall, GuardsOnOtherThreadsAreIndependent)
{
    GuardOutcome outcomes[2] = {GUARD_COMPLETED, GUARD_COMPLETED};
    std::thread first([&] { outcomes[0] = RunGuarded(WriteThroughNull, nullptr); });
    std::thread second([&] { outcomes[1] = RunGuarded(ThrowCppException, nullptr); });
    first.join();
    second.join();
    EXPECT_EQ(GUARD_SYSTEM_EXCEPTION, outcomes[0]);
    EXPECT_EQ(GUARD_CPP_EXCEPTION, outcomes[1]);
}

TEST(GuardedCall, OnlyErrorCodesOtherThanStackOverflowAreTakenOver)
{
    EXPECT_TRUE(IsGuardedExceptionCode(EXCEPTION_ACCESS_VIOLATION));
    EXPECT_TRUE(IsGuardedExceptionCode(EXCEPTION_INT_DIVIDE_BY_ZERO));
    EXPECT_TRUE(IsGuardedExceptionCode(EXCEPTION_ILLEGAL_INSTRUCTION));
    EXPECT_TRUE(IsGuardedExceptionCode(0xE06D7363));  // a C++ exception of another compiler
    EXPECT_FALSE(IsGuardedExceptionCode(EXCEPTION_STACK_OVERFLOW));
    EXPECT_FALSE(IsGuardedExceptionCode(0x40010006));  // debugger output
    EXPECT_FALSE(IsGuardedExceptionCode(0x20474343));  // this program's C++ exceptions
    EXPECT_FALSE(IsGuardedExceptionCode(EXCEPTION_BREAKPOINT));
}

}  // namespace
