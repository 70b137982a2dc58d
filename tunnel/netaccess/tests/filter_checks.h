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

// Driver counts beyond the read's 510 records: the counts the driver writes into the
// first read (packet count and packets done), and the records the filter may then hand
// to its incoming handler (one frame waits). The filter reads `more_frames` frames in
// full afterwards. set_handler(handler) installs the handler; start and stop are the
// filter's on the adapter.
template <class Action, class SetHandler, class Start, class Stop>
void check_driver_counts(std::uint64_t adapter, std::uint32_t more_frames, SetHandler set_handler, Start start,
                         Stop stop)
{
    struct count_case {
        std::uint32_t packet_count, packets_done, handled;
    };
    auto& driver = simhost::packet_driver::instance();
    for (const count_case c : {count_case{511, 511, 510}, count_case{0xFFFFFFFF, 0xFFFFFFFF, 510},
                               count_case{511, 1, 1}, count_case{1, 0xFFFFFFFF, 510}}) {
        SCOPED_TRACE(testing::Message() << c.packet_count << "/" << c.packets_done);
        record_log log;
        set_handler([&](void*, _INTERMEDIATE_BUFFER& record) { return log.note<Action>(record); });
        auto written = std::make_shared<std::atomic<bool>>(false);
        driver.set_output_hook(rimcap::ioctl::read_packets, [c, written](void* out, DWORD) {
            if (!written->exchange(true))
                std::memcpy(static_cast<std::uint8_t*>(out) + 8, &c, 8);
        });
        driver.clear_deliveries();
        start();
        for (std::uint32_t i = 1; i <= 1 + more_frames; ++i) {
            driver.inject(adapter, rimcap::direction_incoming, test_support::make_frame(i));
            ASSERT_TRUE(driver.wait_for_deliveries(i, std::chrono::seconds(10))) << "frame " << i;
            if (i == 1)
                log.expect_one_array_of(c.handled);
        }
        stop();
    }
}

// Mode requests refused from a stop on: a release is tried 4 times at the stop and 4
// more at destruction (drop). start makes the filter when there is none.
template <class Start, class Stop, class Drop>
void check_refused_releases(std::uint64_t adapter, Start start, Stop stop, Drop drop)
{
    struct refusal_case {
        unsigned refusals;
        std::uint32_t after_stop, after_drop; // the adapter's mode
        std::size_t tries_at_drop;
    };
    auto& driver = simhost::packet_driver::instance();
    for (const refusal_case c : {refusal_case{1, 0, 0, 0}, refusal_case{2, 0, 0, 0}, refusal_case{6, 3, 0, 3},
                                 refusal_case{100, 3, 3, 4}}) {
        SCOPED_TRACE(c.refusals);
        start();
        driver.fail_next(rimcap::ioctl::set_adapter_mode, ERROR_GEN_FAILURE, c.refusals);
        stop();
        EXPECT_EQ(driver.mode(adapter), c.after_stop);
        const auto before = driver.call_count(rimcap::ioctl::set_adapter_mode);
        drop();
        EXPECT_EQ(driver.call_count(rimcap::ioctl::set_adapter_mode) - before, c.tries_at_drop);
        EXPECT_EQ(driver.mode(adapter), c.after_drop);
        driver.fail_next(rimcap::ioctl::set_adapter_mode, 0, 0);
    }
}
} // namespace filter_checks
