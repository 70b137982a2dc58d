#pragma once
// A slim reader-writer lock: shared for readers, exclusive for writers, not recursive.
// On Windows it is an SRW lock; the native build of the portable code uses
// std::shared_mutex. It meets the standard lock requirements, so std::unique_lock,
// std::shared_lock and std::scoped_lock take it.
#ifdef _WIN32
#include "win32.h"
#else
#include <shared_mutex>
#endif

namespace wireguard
{
class srw_lock
{
public:
    srw_lock() noexcept = default;
    srw_lock(const srw_lock&) = delete;
    srw_lock& operator=(const srw_lock&) = delete;

#ifdef _WIN32
    void lock() noexcept { ::AcquireSRWLockExclusive(&lock_); }
    bool try_lock() noexcept { return ::TryAcquireSRWLockExclusive(&lock_) != 0; }
    void unlock() noexcept { ::ReleaseSRWLockExclusive(&lock_); }
    void lock_shared() noexcept { ::AcquireSRWLockShared(&lock_); }
    bool try_lock_shared() noexcept { return ::TryAcquireSRWLockShared(&lock_) != 0; }
    void unlock_shared() noexcept { ::ReleaseSRWLockShared(&lock_); }

private:
    SRWLOCK lock_ = SRWLOCK_INIT;
#else
    void lock() { lock_.lock(); }
    bool try_lock() { return lock_.try_lock(); }
    void unlock() { lock_.unlock(); }
    void lock_shared() { lock_.lock_shared(); }
    bool try_lock_shared() { return lock_.try_lock_shared(); }
    void unlock_shared() { lock_.unlock_shared(); }

private:
    std::shared_mutex lock_;
#endif
};
} // namespace wireguard
