#pragma once
// Shared by the tests of both packet filters: a guard against hanging stops, driver
// counts that the filters must not trust, and the driver's refusals of a release.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <mutex>
#include <vector>

#include "driver_records.h"
#include "packet_driver.h"

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

// Counts the driver writes into the first read after write_counts(), and the records
// the filter may then hand to its handler (one frame waits).
struct count_case {
    std::uint32_t packet_count, packets_done, handled;
};
inline constexpr count_case count_cases[] = {
    {511, 511, 510}, {0xFFFFFFFF, 0xFFFFFFFF, 510}, {511, 1, 1}, {1, 0xFFFFFFFF, 510}};

inline void write_counts(const count_case& c)
{
    auto written = std::make_shared<std::atomic<bool>>(false);
    simhost::packet_driver::instance().set_output_hook(
        rimcap::ioctl::read_packets, [c, written](void* out, DWORD) {
            if (!written->exchange(true))
                std::memcpy(static_cast<std::uint8_t*>(out) + 8, &c, 8);
        });
}

// The records a handler was given; it drops those that no read filled.
struct record_log {
    std::mutex mutex;
    std::vector<const _INTERMEDIATE_BUFFER*> records;

    template <class Action> Action note(_INTERMEDIATE_BUFFER& record)
    {
        std::lock_guard lock(mutex);
        records.push_back(&record);
        return record.length == 0 ? Action::drop : Action::pass;
    }
    // Exactly `count` consecutive records of one array: none beyond it.
    void expect_one_array_of(std::uint32_t count)
    {
        std::lock_guard lock(mutex);
        ASSERT_EQ(records.size(), count);
        const auto [low, high] = std::minmax_element(records.begin(), records.end());
        EXPECT_EQ(reinterpret_cast<const char*>(*high) - reinterpret_cast<const char*>(*low),
                  static_cast<std::ptrdiff_t>((count - 1) * sizeof(_INTERMEDIATE_BUFFER)));
    }
};

// Mode requests refused from a stop on; a release is tried 4 times at the stop and 4
// more at destruction. The adapter's mode after the stop and after destruction, and
// the mode requests of the destruction.
struct refusal_case {
    unsigned refusals;
    std::uint32_t after_stop, after_drop;
    std::size_t tries_at_drop;
};
inline constexpr refusal_case refusal_cases[] = {
    {1, 0, 0, 0}, {2, 0, 0, 0}, {6, 3, 0, 3}, {100, 3, 3, 4}};
} // namespace filter_checks
