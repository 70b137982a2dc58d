#pragma once
// What the tests of both packet filters share: a guard against hanging stops, the
// driver's untrustworthy read counts, the driver's refusals of a release, and a log of
// the records a handler was given.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "driver_records.h"
#include "packet_driver.h"
#include "test_support.h"

namespace filter_checks
{
// Ends the test program when the work hangs, rather than hanging the whole run.
template <class Work> void within(std::chrono::seconds limit, Work work)
{
    auto done = std::async(std::launch::async, work);
    if (done.wait_for(limit) != std::future_status::ready) {
        ADD_FAILURE() << "hung";
        std::fflush(nullptr);
        std::_Exit(3);
    }
    done.get();
}

// What the driver writes into a read request's counts, and how many records the
// filter may then hand to its handler for that read (one frame waits).
struct driver_count_case {
    std::uint32_t packet_count;
    std::uint32_t packets_done;
    std::uint32_t handled;
};

inline constexpr driver_count_case driver_count_cases[] = {
    {511, 511, 510}, {0xFFFFFFFF, 0xFFFFFFFF, 510}, {511, 1, 1}, {0xFFFFFFFF, 1, 1},
    {1, 0xFFFFFFFF, 510},
};

// The simulated driver writes the case's counts into the first successful read after
// this call, and leaves later reads alone.
inline void write_counts_into_next_read(const driver_count_case& c)
{
    auto written = std::make_shared<std::atomic<bool>>(false);
    simhost::packet_driver::instance().set_output_hook(
        rimcap::ioctl::read_packets, [c, written](void* out, DWORD) {
            if (written->exchange(true))
                return;
            std::memcpy(static_cast<std::uint8_t*>(out) + 8, &c.packet_count, 4);
            std::memcpy(static_cast<std::uint8_t*>(out) + 12, &c.packets_done, 4);
        });
}

// The records a handler was given; records that no read filled are dropped.
class record_log
{
public:
    template <class Action> Action note(_INTERMEDIATE_BUFFER& record)
    {
        std::lock_guard lock(mutex_);
        records_.push_back(&record);
        return record.length == 0 ? Action::drop : Action::pass;
    }

    // Exactly `count` records, consecutive ones of one array: none beyond it.
    void expect_one_array_of(std::uint32_t count)
    {
        std::lock_guard lock(mutex_);
        ASSERT_EQ(records_.size(), count);
        const auto [low, high] = std::minmax_element(records_.begin(), records_.end());
        EXPECT_EQ(reinterpret_cast<const char*>(*high) - reinterpret_cast<const char*>(*low),
                  static_cast<std::ptrdiff_t>((count - 1) * sizeof(_INTERMEDIATE_BUFFER)))
            << "only the filter's own records";
    }

private:
    std::mutex mutex_;
    std::vector<const _INTERMEDIATE_BUFFER*> records_;
};

// The driver refuses `refusals` mode requests from a stop on; a release is tried 4
// times at the stop and 4 more at the filter's destruction.
struct refusal_case {
    unsigned refusals;
    std::uint32_t after_stop;   // the adapter's mode after the stop
    std::uint32_t after_drop;   // ... after the filter's destruction
    std::size_t tries_at_drop;  // mode requests issued by the destruction
};

inline constexpr refusal_case refusal_cases[] = {
    {1, 0, 0, 0}, {2, 0, 0, 0}, {4, 3, 0, 1}, {6, 3, 0, 3}, {100, 3, 3, 4},
};
// Traffic from a thread of its own while a test starts and stops a filter: one batch
// a millisecond, and no more than `limit` frames, so that a slow run cannot fill the
// machine's memory with the frames the driver keeps. The batch function injects frames
// numbered from its argument on and returns how many.
class paced_traffic
{
public:
    paced_traffic(std::uint32_t limit, std::function<std::uint32_t(std::uint32_t)> batch)
        : thread_([this, limit, batch = std::move(batch)] {
              std::uint32_t next = 0;
              while (running_ && next < limit) {
                  next += batch(next);
                  injected_ = next;
                  std::this_thread::sleep_for(std::chrono::milliseconds(1));
              }
          })
    {
    }
    ~paced_traffic() { stop(); }

    // Ends the traffic; the number of frames injected.
    std::uint32_t stop()
    {
        running_ = false;
        if (thread_.joinable())
            thread_.join();
        return injected_;
    }

private:
    std::atomic<bool> running_{true};
    std::atomic<std::uint32_t> injected_{0};
    std::thread thread_;
};

// Every frame left the driver at most once; the number that the filter sent.
inline std::size_t expect_each_delivered_at_most_once(std::uint32_t injected)
{
    std::vector<int> seen(injected, 0);
    std::size_t program_sent = 0;
    for (const auto& d : simhost::packet_driver::instance().deliveries()) {
        const std::uint32_t sequence = test_support::frame_sequence(d.frame);
        EXPECT_LT(sequence, injected);
        if (sequence < injected) {
            EXPECT_EQ(++seen[sequence], 1) << "delivered twice";
        }
        program_sent += d.by_program ? 1 : 0;
    }
    return program_sent;
}
} // namespace filter_checks
