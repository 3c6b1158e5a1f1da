#include "base/lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>

namespace korvo {
namespace {

template <class Lock>
class PoisonLockTest : public ::testing::Test {};

using LockTypes = ::testing::Types<PoisonLock, PoisonMutex>;
TYPED_TEST_SUITE(PoisonLockTest, LockTypes);

TYPED_TEST(PoisonLockTest, SectionsHandBackTheirResult) {
    TypeParam lock;
    EXPECT_EQ(lock.exclusive([] { return 7; }), std::optional<int>(7));
    EXPECT_EQ(lock.shared([] { return 8; }), std::optional<int>(8));
    EXPECT_TRUE(lock.exclusive([] {}));
    EXPECT_FALSE(lock.poisoned());
}

TYPED_TEST(PoisonLockTest, ExclusiveSectionLeftByExceptionPoisonsForGood) {
    TypeParam lock;
    EXPECT_THROW(lock.exclusive([] { throw std::runtime_error("abandoned"); }), std::runtime_error);
    EXPECT_TRUE(lock.poisoned());
    // Later sections do not run, and a clean exit does not clear the flag.
    int ran = 0;
    EXPECT_EQ(lock.exclusive([&] { return ++ran; }), std::nullopt);
    EXPECT_FALSE(lock.shared([&] { ++ran; }));
    EXPECT_EQ(ran, 0);
    EXPECT_EQ(lock.inspect([&] { return ++ran; }), 1);  // post-mortem reads still run
    EXPECT_TRUE(lock.poisoned());
}

// A failed allocation leaves the data as it was (sections allocate only with the strong
// guarantee), so it is passed on without poisoning, and the lock is free again.
TYPED_TEST(PoisonLockTest, FailedAllocationDoesNotPoison) {
    TypeParam lock;
    EXPECT_THROW(lock.exclusive([] { throw std::bad_alloc(); }), std::bad_alloc);
    EXPECT_FALSE(lock.poisoned());
    EXPECT_EQ(lock.exclusive([] { return 1; }), std::optional<int>(1));
}

TYPED_TEST(PoisonLockTest, SharedSectionLeftByExceptionDoesNotPoison) {
    TypeParam lock;
    EXPECT_THROW(lock.shared([] { throw std::runtime_error("reader failed"); }), std::runtime_error);
    EXPECT_FALSE(lock.poisoned());
    EXPECT_TRUE(lock.exclusive([] {}));
}

TYPED_TEST(PoisonLockTest, CaughtExceptionInsideTheSectionDoesNotPoison) {
    TypeParam lock;
    lock.exclusive([] {
        try {
            throw std::runtime_error("handled");
        } catch (const std::runtime_error&) {
        }
    });
    EXPECT_FALSE(lock.poisoned());
}

// What a thread that waits lets go of, with the order of events on the waiting side.
struct CountedWait {
    static inline std::atomic<int> left{0}, back{0};
    static inline std::string order;  // written by the waiting thread only
    static inline int token = 0;
    static constexpr LockWait wait{[]() noexcept -> void* {
                                       ++left;
                                       order += 'L';
                                       return &token;
                                   },
                                   [](void* t) noexcept {
                                       if (t == &token) ++back;
                                       order += 'B';
                                   }};
};

// A thread that finds the lock taken lets go before it blocks, runs its section, and takes back
// what it let go after the section; one that finds it free lets go of nothing.
TYPED_TEST(PoisonLockTest, WaiterLetsGoAndTakesBackAfterTheSection) {
    CountedWait::left = CountedWait::back = 0;
    CountedWait::order.clear();
    TypeParam lock(&CountedWait::wait);
    EXPECT_EQ(lock.exclusive([] { return 1; }), std::optional<int>(1));
    EXPECT_EQ(CountedWait::left, 0);
    for (const bool shared_waiter : {false, true}) {
        std::latch inside(1);
        std::thread holder([&] {
            lock.exclusive([&] {
                inside.count_down();
                std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the waiter blocks meanwhile
            });
        });
        inside.wait();
        const auto section = [] { CountedWait::order += 'S'; };
        if (shared_waiter) {
            lock.shared(section);
        } else {
            lock.exclusive(section);
        }
        holder.join();
    }
    EXPECT_EQ(CountedWait::left, 2);
    EXPECT_EQ(CountedWait::back, 2);
    EXPECT_EQ(CountedWait::order, "LSBLSB");
}

// A section run by a destructor while some other exception unwinds is judged by its own exit.
template <class Lock>
struct LocksOnUnwind {
    Lock& lock;
    ~LocksOnUnwind() { lock.exclusive([] {}); }
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
