#pragma once
// The context of a tunnel's interface-change registration. The system calls back with
// this token, never with the tunnel itself: the token leads to its tunnel until the
// tunnel detaches it, before it is freed, and to nothing afterwards. A registration that
// outlives its tunnel (its cancellation was refused) thus calls into a token that does
// nothing, not into freed memory. The tunnel frees the token only when no registration
// names it any more; a token whose registration could never be cancelled is left
// allocated on purpose.
#include <condition_variable>
#include <mutex>

namespace wireguard
{
template <class Owner>
class notification_token
{
public:
    explicit notification_token(Owner& owner) noexcept : owner_(&owner) {}
    notification_token(const notification_token&) = delete;
    notification_token& operator=(const notification_token&) = delete;

    // The callback's way in: body(owner) while the owner is attached, nothing once it
    // is detached. Counted while it runs, so that detach() can wait for it.
    template <class Body>
    void run(Body&& body)
    {
        Owner* owner = nullptr;
        {
            std::lock_guard lock(mutex_);
            if (owner_ == nullptr)
                return;
            owner = owner_;
            ++running_;
        }
        const leave guard{*this};
        body(*owner);
    }

    // From now on no callback reaches the owner; returns once those that did have left.
    // Never from inside one of them.
    void detach() noexcept
    {
        std::unique_lock lock(mutex_);
        owner_ = nullptr;
        idle_.wait(lock, [&] { return running_ == 0; });
    }

private:
    struct leave {
        notification_token& token;
        ~leave()
        {
            std::lock_guard lock(token.mutex_);
            if (--token.running_ == 0)
                token.idle_.notify_all();
        }
    };

    std::mutex mutex_;
    std::condition_variable idle_;
    Owner* owner_;
    int running_ = 0;
};
} // namespace wireguard
