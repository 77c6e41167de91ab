// Guarded driver calls: a C++ exception or a structured exception inside the
// call is reported, and the thread goes on as if the call had returned.
#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

#include "devices/GuardedCall.h"

namespace {

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

void Increment(void* context)
{
    ++*static_cast<int*>(context);
}

TEST(GuardedCall, FaultsThrowsAndCleanCallsAreToldApartRepeatedly)
{
    int value = 0;
    for (int round = 0; round < 3; ++round) {
        EXPECT_EQ(GUARD_SYSTEM_EXCEPTION, RunGuarded(WriteThroughNull, nullptr));
        EXPECT_EQ(GUARD_CPP_EXCEPTION, RunGuarded(ThrowCppException, nullptr));
        EXPECT_EQ(GUARD_SYSTEM_EXCEPTION, RunGuarded(DivideByZero, &value));
        EXPECT_EQ(GUARD_SYSTEM_EXCEPTION, RunGuarded(RaiseCustomError, nullptr));
        EXPECT_EQ(GUARD_COMPLETED, RunGuarded(Increment, &value));
    }
    EXPECT_EQ(3, value);

    // Outside a guard, C++ exceptions still reach the program's own handlers.
    EXPECT_THROW(ThrowCppException(nullptr), std::runtime_error);
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
