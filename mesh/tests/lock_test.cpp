#include "lock.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace korvo {
namespace {

template <class Lock>
class PoisonLockTest : public ::testing::Test {};

using LockTypes = ::testing::Types<PoisonLock, PoisonMutex>;
TYPED_TEST_SUITE(PoisonLockTest, LockTypes);

TYPED_TEST(PoisonLockTest, ExclusiveSectionLeftNormallyDoesNotPoison) {
    TypeParam lock;
    { typename TypeParam::Exclusive guard(lock); }
    EXPECT_FALSE(lock.poisoned());
}

TYPED_TEST(PoisonLockTest, ExclusiveSectionLeftByExceptionPoisonsForGood) {
    TypeParam lock;
    EXPECT_THROW(
        {
            typename TypeParam::Exclusive guard(lock);
            throw std::runtime_error("abandoned");
        },
        std::runtime_error);
    EXPECT_TRUE(lock.poisoned());
    // Later sections see the flag, and a clean exit does not clear it.
    {
        typename TypeParam::Exclusive guard(lock);
        EXPECT_TRUE(guard.poisoned());
    }
    {
        typename TypeParam::Shared guard(lock);
        EXPECT_TRUE(guard.poisoned());
    }
    EXPECT_TRUE(lock.poisoned());
}

TYPED_TEST(PoisonLockTest, SharedSectionLeftByExceptionDoesNotPoison) {
    TypeParam lock;
    EXPECT_THROW(
        {
            typename TypeParam::Shared guard(lock);
            throw std::runtime_error("reader failed");
        },
        std::runtime_error);
    EXPECT_FALSE(lock.poisoned());
    // And the lock is free again.
    typename TypeParam::Exclusive guard(lock);
    EXPECT_FALSE(guard.poisoned());
}

TYPED_TEST(PoisonLockTest, CaughtExceptionInsideTheSectionDoesNotPoison) {
    TypeParam lock;
    {
        typename TypeParam::Exclusive guard(lock);
        try {
            throw std::runtime_error("handled");
        } catch (const std::runtime_error&) {
        }
    }
    EXPECT_FALSE(lock.poisoned());
}

// A section opened and closed normally by a destructor that runs while some other exception
// unwinds must not count that exception as its own.
template <class Lock>
struct LocksOnUnwind {
    Lock& lock;
    ~LocksOnUnwind() { typename Lock::Exclusive guard(lock); }
};

TYPED_TEST(PoisonLockTest, SectionInsideUnwindingIsJudgedByItsOwnExit) {
    TypeParam lock;
    try {
        LocksOnUnwind<TypeParam> cleanup{lock};
        throw std::runtime_error("outer");
    } catch (const std::runtime_error&) {
    }
    EXPECT_FALSE(lock.poisoned());
}

}  // namespace
}  // namespace korvo
