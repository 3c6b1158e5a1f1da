// Locks that remember being abandoned: a holder that leaves an exclusive section by an
// exception poisons the lock for good. Shared sections never poison.
#pragma once

#include <atomic>
#include <exception>
#include <mutex>
#include <shared_mutex>

namespace korvo {

template <class Mutex>
class BasicPoisonLock {
public:
    bool poisoned() const noexcept { return poisoned_.load(std::memory_order_acquire); }

    // Held exclusively; poisons the lock if destroyed while an exception unwinds through it.
    class Exclusive {
    public:
        explicit Exclusive(BasicPoisonLock& lock) : lock_(lock), guard_(lock.mutex_) {}
        ~Exclusive() {
            if (std::uncaught_exceptions() > entry_exceptions_) lock_.poisoned_.store(true, std::memory_order_release);
        }
        Exclusive(const Exclusive&) = delete;
        Exclusive& operator=(const Exclusive&) = delete;
        bool poisoned() const noexcept { return lock_.poisoned(); }

    private:
        BasicPoisonLock& lock_;
        std::unique_lock<Mutex> guard_;
        int entry_exceptions_ = std::uncaught_exceptions();
    };

    // Held shared (for a plain mutex this is exclusive, but never poisons).
    class Shared {
    public:
        explicit Shared(const BasicPoisonLock& lock) : lock_(lock), guard_(lock.mutex_) {}
        Shared(const Shared&) = delete;
        Shared& operator=(const Shared&) = delete;
        bool poisoned() const noexcept { return lock_.poisoned(); }

    private:
        using Guard = std::conditional_t<std::is_same_v<Mutex, std::shared_mutex>, std::shared_lock<Mutex>,
                                         std::unique_lock<Mutex>>;
        const BasicPoisonLock& lock_;
        Guard guard_;
    };

private:
    mutable Mutex mutex_;
    std::atomic<bool> poisoned_{false};
};

// Reader-writer lock for the registry, the state store and the migration map.
using PoisonLock = BasicPoisonLock<std::shared_mutex>;
// Mutual exclusion for the channel's topic map.
using PoisonMutex = BasicPoisonLock<std::mutex>;

}  // namespace korvo
