#pragma once
// A slim reader-writer lock (Windows SRW lock) with the standard lock interface, so that
// std::unique_lock and std::shared_lock take it. Not recursive.
#include "win32.h"

namespace iphelper
{
class srw_lock
{
public:
    srw_lock() noexcept = default;
    srw_lock(const srw_lock&) = delete;
    srw_lock& operator=(const srw_lock&) = delete;

    void lock() noexcept { ::AcquireSRWLockExclusive(&lock_); }
    void unlock() noexcept { ::ReleaseSRWLockExclusive(&lock_); }
    void lock_shared() noexcept { ::AcquireSRWLockShared(&lock_); }
    void unlock_shared() noexcept { ::ReleaseSRWLockShared(&lock_); }

private:
    SRWLOCK lock_ = SRWLOCK_INIT;
};
} // namespace iphelper
