#pragma once
// A small record with one writer thread and any number of reader threads, read without
// a lock and never torn: the writer makes a sequence number odd, stores the record's
// words and makes the number even again; a reader that saw the number change (or odd)
// reads again. The words are atomics, so a read that races a write is only retried,
// never undefined.
//
// Only one thread may store at a time (the caller guarantees it); load() may run on any
// thread at any time.
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace wireguard
{
template <class T>
class seqlock_record
{
    static_assert(std::is_trivially_copyable_v<T>);
    static constexpr std::size_t word_count = (sizeof(T) + 3) / 4;

public:
    seqlock_record() noexcept { store(T{}); }
    seqlock_record(const seqlock_record&) = delete;
    seqlock_record& operator=(const seqlock_record&) = delete;

    T load() const noexcept
    {
        std::array<std::uint32_t, word_count> copy{};
        for (;;) {
            const std::uint32_t before = sequence_.load(std::memory_order_acquire);
            if ((before & 1u) == 0) {
                for (std::size_t i = 0; i < word_count; ++i)
                    copy[i] = words_[i].load(std::memory_order_relaxed);
                std::atomic_thread_fence(std::memory_order_acquire);
                if (sequence_.load(std::memory_order_relaxed) == before)
                    break;
            }
        }
        T value;
        std::memcpy(static_cast<void*>(&value), copy.data(), sizeof(T)); // T is trivially copyable
        return value;
    }

    void store(const T& value) noexcept
    {
        std::array<std::uint32_t, word_count> copy{};
        std::memcpy(copy.data(), &value, sizeof(T));
        const std::uint32_t sequence = sequence_.load(std::memory_order_relaxed);
        sequence_.store(sequence + 1, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_release);
        for (std::size_t i = 0; i < word_count; ++i)
            words_[i].store(copy[i], std::memory_order_relaxed);
        sequence_.store(sequence + 2, std::memory_order_release);
    }

private:
    std::atomic<std::uint32_t> sequence_{0};
    std::array<std::atomic<std::uint32_t>, word_count> words_{};
};
} // namespace wireguard
