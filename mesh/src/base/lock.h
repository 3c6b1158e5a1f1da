// Locks that remember being abandoned. Work under a lock is a section: a function run while the
// lock is held. An exception that leaves an exclusive section (a clock before 1970, a broken
// invariant) poisons the lock for good; shared sections never poison.
//
// One exception is not a sign of damage: std::bad_alloc. Exclusive sections make no allocation
// whose size the caller decides (those are made before the lock is taken), and the few they do
// make (a hash-table node, a table's growth) go through operations with the strong guarantee,
// before the section changes anything. A failed allocation therefore leaves the data as it was:
// it is passed on to the caller without poisoning the lock.
//
// A thread that finds a lock taken may be holding something other threads need (the facade's
// callers hold the interpreter). The lock's owner passes a LockWait that lets go of it for the
// wait: `leave` runs before the thread blocks, the section runs, and `back` runs only once the
// lock is released again, so a thread never waits for what it let go while holding the lock.
#pragma once

#include <sched.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <new>
#include <optional>
#include <shared_mutex>
#include <type_traits>
#include <utility>

#include "base/error.h"

namespace korvo {

// What a section hands back: its result, or nothing when the lock was poisoned and the section
// did not run. A section without a result yields true when it ran.
template <class R>
using Held = std::conditional_t<std::is_void_v<R>, bool, std::optional<R>>;

// What a component operation's section reports: its result, or the component's error when the
// lock is poisoned. A section that itself returns a Result is reported as it is.
template <class R>
struct Reported {
    using type = Result<R>;
};
template <class T>
struct Reported<Result<T>> {
    using type = Result<T>;
};

// What a thread lets go of while it waits for a taken lock, and takes back after its section.
// Both may be null. `leave` returns what `back` is given; null when there was nothing to let go.
struct LockWait {
    void* (*leave)() noexcept = nullptr;
    void (*back)(void* left) noexcept = nullptr;
};

// A reader-writer lock whose readers count in slots of their own cache lines, one slot per
// processor (modulo kSlots), so that readers on different processors write no line in common:
// with a single count, every shared section on a free-threaded build moved that line between
// the processors. A writer raises its flag, which turns new readers away, and waits for every
// slot to empty; readers turned away, and other writers, wait for the flag to fall.
class SpreadSharedMutex {
    struct alignas(64) Slot {
        std::atomic<std::uint32_t> readers{0};
    };

public:
    // Shared ownership, remembering the slot it counted in.
    class SharedGuard {
    public:
        SharedGuard(SpreadSharedMutex& m, std::defer_lock_t) noexcept : m_(m) {}
        ~SharedGuard() {
            if (slot_) m_.release(*slot_);
        }
        SharedGuard(const SharedGuard&) = delete;
        SharedGuard& operator=(const SharedGuard&) = delete;

        bool try_lock() noexcept {
            Slot& s = m_.slot();
            if (!m_.enter(s)) return false;
            slot_ = &s;
            return true;
        }
        [[gnu::noinline]] void lock() noexcept {
            while (!try_lock()) m_.writer_.wait(true);
        }

    private:
        SpreadSharedMutex& m_;
        Slot* slot_ = nullptr;
    };

    // Exclusive ownership (std::unique_lock's interface). The flag is the writers' lock too.
    void lock() noexcept {
        while (writer_.exchange(true)) writer_.wait(true);
        for (Slot& s : slots_) {
            for (auto n = s.readers.load(); n != 0; n = s.readers.load()) s.readers.wait(n);
        }
    }
    bool try_lock() noexcept {
        if (writer_.exchange(true)) return false;
        for (const Slot& s : slots_) {
            if (s.readers.load() != 0) {
                unlock();
                return false;
            }
        }
        return true;
    }
    void unlock() noexcept {
        writer_.store(false);
        writer_.notify_all();
    }

private:
    static constexpr std::size_t kSlots = 8;

    Slot& slot() noexcept { return slots_[static_cast<unsigned>(sched_getcpu()) % kSlots]; }
    // Sequentially consistent both ways: a reader counts itself, then looks for a writer; a
    // writer raises its flag, then looks at the counts; one of the two sees the other.
    bool enter(Slot& s) noexcept {
        s.readers.fetch_add(1);
        if (!writer_.load()) [[likely]] return true;
        release(s);
        return false;
    }
    void release(Slot& s) noexcept {
        if (s.readers.fetch_sub(1) == 1 && writer_.load()) s.readers.notify_all();
    }

    std::array<Slot, kSlots> slots_;
    alignas(64) std::atomic<bool> writer_{false};
};

template <class Mutex>
class BasicPoisonLock {
public:
    explicit BasicPoisonLock(const LockWait* wait = nullptr) noexcept : wait_(wait) {}

    bool poisoned() const noexcept { return poisoned_.load(std::memory_order_relaxed); }

    // Runs `section` with the lock held exclusively, unless the lock is poisoned.
    template <class F>
    Held<std::invoke_result_t<F&>> exclusive(F&& section) {
        Away away(wait_);  // made first, so what it let go is taken back after the unlock
        std::unique_lock guard(mutex_, std::defer_lock);
        take(guard, away);
        if (poisoned()) return {};
        try {
            return run(section);
        } catch (const std::bad_alloc&) {
            throw;
        } catch (...) {
            poisoned_.store(true, std::memory_order_relaxed);
            throw;
        }
    }

    // Runs `section` with the lock held shared (for a plain mutex: exclusively, but it never
    // poisons), unless the lock is poisoned.
    template <class F>
    Held<std::invoke_result_t<F&>> shared(F&& section) const {
        Away away(wait_);
        SharedGuard guard(mutex_, std::defer_lock);
        take(guard, away);
        if (poisoned()) return {};
        return run(section);
    }

    // A component operation's section: its result, or the component's own error (made by
    // `poisoned`) when the lock is poisoned.
    template <class F>
    typename Reported<std::invoke_result_t<F&>>::type write(MeshError (*poisoned)(), F&& section) {
        return reported(exclusive(section), poisoned);
    }
    template <class F>
    typename Reported<std::invoke_result_t<F&>>::type read(MeshError (*poisoned)(), F&& section) const {
        return reported(shared(section), poisoned);
    }

    // Runs `section` shared whether or not the lock is poisoned: post-mortem reads only.
    template <class F>
    std::invoke_result_t<F&> inspect(F&& section) const {
        Away away(wait_);
        SharedGuard guard(mutex_, std::defer_lock);
        take(guard, away);
        return section();
    }

private:
    // Sections are short, so a lock that is taken is usually free again within a microsecond or
    // two: a thread that finds it taken tries again a few times before it sleeps, as going to
    // sleep and being woken costs more than the wait (with threads running in parallel, two
    // writers that slept on every meeting ran slower together than one alone).
    // A thread still waiting after that lets go of what it holds (LockWait) before it blocks.
    static constexpr int kTries = 64;

    // What a waiting thread let go of, taken back when the section is over.
    class Away {
    public:
        explicit Away(const LockWait* wait) noexcept : wait_(wait) {}
        ~Away() {
            if (left_) wait_->back(left_);
        }
        Away(const Away&) = delete;
        Away& operator=(const Away&) = delete;
        void leave() noexcept {
            if (wait_ && wait_->leave && wait_->back) left_ = wait_->leave();
        }

    private:
        const LockWait* wait_;
        void* left_ = nullptr;
    };

    template <class Guard>
    static void take(Guard& guard, Away& away) {
        if (guard.try_lock()) [[likely]] return;
        for (int i = 1; i < kTries; ++i) {
            pause();
            if (guard.try_lock()) return;
        }
        away.leave();
        guard.lock();
    }
    static void pause() noexcept {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#elif defined(__aarch64__)
        asm volatile("yield");
#endif
    }

    template <class M>
    static auto shared_guard_of() {
        if constexpr (requires { typename M::SharedGuard; }) {
            return std::type_identity<typename M::SharedGuard>();
        } else if constexpr (std::is_same_v<M, std::shared_mutex>) {
            return std::type_identity<std::shared_lock<M>>();
        } else {
            return std::type_identity<std::unique_lock<M>>();
        }
    }
    using SharedGuard = typename decltype(shared_guard_of<Mutex>())::type;

    template <class F>
    static Held<std::invoke_result_t<F&>> run(F& section) {
        using R = std::invoke_result_t<F&>;
        if constexpr (std::is_void_v<R>) {
            section();
            return true;
        } else {
            return Held<R>(std::in_place, section());
        }
    }

    template <class R>
    static typename Reported<R>::type reported(std::optional<R>&& held, MeshError (*poisoned)()) {
        if (!held) return fail(poisoned());
        return std::move(*held);
    }
    static Status reported(bool held, MeshError (*poisoned)()) {
        if (!held) return fail(poisoned());
        return {};
    }

    mutable Mutex mutex_;
    std::atomic<bool> poisoned_{false};
    const LockWait* wait_;
};

// Reader-writer lock for the registry, the state store and the migration map.
using PoisonLock = BasicPoisonLock<SpreadSharedMutex>;
// Mutual exclusion for the channel's topic map.
using PoisonMutex = BasicPoisonLock<std::mutex>;

}  // namespace korvo
