// The dual packet filter against the simulated driver.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "dual_packet_filter.h"
#include "filter_checks.h"
#include "test_support.h"

namespace
{
using namespace std::chrono_literals;
using rimcap::dual_packet_filter;
using action = dual_packet_filter::packet_action;
using simhost::destination;
using test_support::frame_sequence;
using test_support::make_frame;

constexpr std::uint32_t outgoing = rimcap::direction_outgoing;
constexpr std::uint32_t incoming = rimcap::direction_incoming;
constexpr std::size_t slot0 = dual_packet_filter::virtual_slot;
constexpr std::size_t slot1 = dual_packet_filter::default_slot;
constexpr std::uint8_t ask_throw = 0xEE;
constexpr std::uint32_t marker = 0xFFFFFF00; // and up: drain frames

// Returns the action that the frame's request byte names.
action test_handler(void*, _INTERMEDIATE_BUFFER& record)
{
    const std::uint8_t request = record.frame[test_support::request_offset];
    if (request == ask_throw)
        throw std::runtime_error("handler failure");
    return static_cast<action>(request);
}

class dual_filter : public test_support::simulated_host_test
{
protected:
    void SetUp() override
    {
        simulated_host_test::SetUp();
        handles_[0] = host().add_adapter(spec(1)).filter_handle;
        handles_[1] = host().add_adapter(spec(2)).filter_handle;
        make_filter();
    }
    void TearDown() override
    {
        filter_.reset();
        simulated_host_test::TearDown();
    }

    static simhost::adapter_spec spec(std::uint32_t number)
    {
        simhost::adapter_spec s;
        s.guid = test_support::unique_guid(0xD000 + number);
        return s;
    }

    void make_filter()
    {
        filter_ = std::make_unique<dual_packet_filter>([this](const std::string& line) {
            std::lock_guard lock(mutex_);
            log_.push_back(line);
        });
        filter_->add_adapter_change_callback([this] {
            std::lock_guard lock(mutex_);
            ++passes_;
            pass_done_.notify_all();
        });
        filter_->set_outgoing_handler(slot0, test_handler);
        filter_->set_outgoing_handler(slot1, test_handler);
        filter_->set_incoming_handler(slot1, test_handler);
    }

    void start(std::size_t slot) { ASSERT_TRUE(filter_->start_filter(handles_[slot], slot)); }

    // Waits until the watcher has handled `count` changes of the list in all.
    void wait_for_pass(std::size_t count)
    {
        std::unique_lock lock(mutex_);
        ASSERT_TRUE(pass_done_.wait_for(lock, 10s, [&] { return passes_ >= count; }));
    }

    // Waits until the slot's thread has sent everything injected before: a marker frame
    // passes out of its adapter, and the read after it shows that the thread has sent
    // every batch of the marker's read.
    void drain(std::size_t slot)
    {
        const std::uint32_t sequence = marker + markers_++;
        driver().inject(handles_[slot], outgoing, make_frame(sequence));
        std::uint64_t sent_by = 0;
        for (int i = 0; i < 2000 && sent_by == 0; ++i, std::this_thread::sleep_for(1ms))
            for (const auto& d : driver().deliveries())
                sent_by = frame_sequence(d.frame) == sequence ? d.call : sent_by;
        for (int i = 0; i < 2000; ++i, std::this_thread::sleep_for(1ms))
            for (const auto& call : driver().calls())
                if (sent_by != 0 && call.code == rimcap::ioctl::read_packets &&
                    call.number > sent_by && call.adapter_handle == handles_[slot])
                    return;
        FAIL() << "the drain frame never came through";
    }

    std::vector<simhost::delivery> test_deliveries() const
    {
        auto all = driver().deliveries();
        std::erase_if(all, [](const auto& d) { return frame_sequence(d.frame) >= marker; });
        return all;
    }

    void expect_stopped(const dual_packet_filter& filter, std::size_t slot)
    {
        EXPECT_EQ(filter.slot_state(slot), dual_packet_filter::slot_stopped);
        EXPECT_EQ(filter.slot_handle(slot), 0u);
        EXPECT_FALSE(filter.slot_has_thread(slot));
    }

    std::uint64_t handles_[2] = {};
    std::unique_ptr<dual_packet_filter> filter_;
    std::mutex mutex_;
    std::vector<std::string> log_;
    std::condition_variable pass_done_;
    std::size_t passes_ = 0;
    std::uint32_t markers_ = 0;
};

struct route_case {
    std::size_t slot;
    std::uint32_t direction;
    std::uint8_t request;
    bool delivered;
    destination to;
    std::size_t leaves_by; // the slot whose adapter handle the frame leaves with
};

TEST_F(dual_filter, the_action_table_in_both_slots_and_directions)
{
    constexpr auto wire = destination::wire;
    constexpr auto stack = destination::stack;
    const route_case cases[] = {
        {0, outgoing, 0, true, wire, 0},   {0, outgoing, 1, false, wire, 0},
        {0, outgoing, 2, true, stack, 0},  {0, outgoing, 3, true, wire, 1},
        {0, outgoing, 4, true, stack, 1},  {0, outgoing, 7, false, wire, 0},
        {0, outgoing, ask_throw, false, wire, 0},
        {0, incoming, 3, true, stack, 0}, // no handler: passes
        {1, outgoing, 0, true, wire, 1},   {1, outgoing, 3, true, wire, 0},
        {1, incoming, 0, true, stack, 1},  {1, incoming, 1, false, wire, 1},
        {1, incoming, 2, true, wire, 1},   {1, incoming, 3, true, stack, 0},
        {1, incoming, 4, true, wire, 0},   {1, incoming, 255, false, wire, 1},
        {1, incoming, ask_throw, false, wire, 1},
    };
    start(slot0);
    start(slot1);
    // Each slot and direction in one batch: a throwing handler shares its read with
    // frames that still go through.
    for (std::size_t slot : {slot0, slot1})
        for (std::uint32_t direction : {outgoing, incoming}) {
            std::vector<simhost::frame_bytes> batch;
            for (std::uint32_t i = 0; i < std::size(cases); ++i)
                if (cases[i].slot == slot && cases[i].direction == direction)
                    batch.push_back(make_frame(i, cases[i].request, 90));
            driver().inject(handles_[slot], direction, batch);
        }
    drain(slot0);
    drain(slot1);

    const auto sent = test_deliveries();
    for (std::uint32_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        const auto found = std::find_if(sent.begin(), sent.end(),
                                        [&](const auto& d) { return frame_sequence(d.frame) == i; });
        ASSERT_EQ(found != sent.end(), cases[i].delivered);
        if (found != sent.end()) {
            EXPECT_EQ(found->to, cases[i].to);
            EXPECT_TRUE(found->by_program);
            EXPECT_EQ(found->adapter_handle, handles_[cases[i].leaves_by]);
            EXPECT_EQ(found->frame, make_frame(i, cases[i].request, 90));
        }
    }
    // The tunnel reads a slot adapter's mode through the filter's device.
    rimcap::adapter_mode mode{handles_[slot1], 0};
    ASSERT_TRUE(filter_->get_adapter_mode(mode));
    EXPECT_EQ(mode.flags, 3u);
}

TEST_F(dual_filter, frames_for_a_stopped_slot_are_dropped_and_not_sent_later)
{
    start(slot1);
    driver().inject(handles_[slot1], incoming, make_frame(1, 3));
    drain(slot1);
    EXPECT_TRUE(test_deliveries().empty());
    start(slot0);
    driver().inject(handles_[slot1], incoming, make_frame(2, 3));
    drain(slot1);
    const auto sent = test_deliveries();
    ASSERT_EQ(sent.size(), 1u) << "the other-stack batch was emptied after the drop";
    EXPECT_EQ(frame_sequence(sent[0].frame), 2u);
    EXPECT_EQ(sent[0].adapter_handle, handles_[slot0]);
}

TEST_F(dual_filter, failed_starts_and_stops_of_stopped_slots_leave_no_trace)
{
    driver().fail_next(rimcap::ioctl::set_packet_event, ERROR_GEN_FAILURE);
    EXPECT_FALSE(filter_->start_filter(handles_[slot1], slot1));
    expect_stopped(*filter_, slot1);
    const auto calls = driver().calls().size();
    EXPECT_FALSE(filter_->start_filter(0x1234, slot1)); // not in the list
    EXPECT_FALSE(filter_->start_filter(handles_[slot0], 2));
    EXPECT_TRUE(filter_->stop_filter(slot0));
    EXPECT_TRUE(filter_->stop_filter(slot1));
    expect_stopped(*filter_, slot1);
    EXPECT_EQ(driver().calls().size(), calls);
    EXPECT_EQ(driver().mode(handles_[slot1]), 0u);
    // A change of the list does not find the failed slot's adapter removed.
    testing::internal::CaptureStdout();
    host().add_adapter(spec(3));
    wait_for_pass(1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    // Without the driver nothing is tried at all.
    filter_.reset();
    driver().set_present(false);
    const auto before_absent = driver().calls().size();
    dual_packet_filter filter;
    EXPECT_TRUE(filter.adapters().empty());
    EXPECT_FALSE(filter.update_adapter_list());
    EXPECT_FALSE(filter.start_filter(handles_[slot1], slot1));
    expect_stopped(filter, slot1);
    EXPECT_EQ(driver().calls().size(), before_absent);
}

TEST_F(dual_filter, the_watcher_stops_a_slot_whose_adapter_disappears_but_nothing_when_the_list_cannot_be_read)
{
    test_support::connection_name_key name(spec(2).guid, "Ethernet 7");
    make_filter(); // with the connection name
    start(slot0);
    start(slot1);
    // A failed pass ends without the callbacks; the next change is handled in full.
    driver().fail_next(rimcap::ioctl::get_adapter_list, ERROR_GEN_FAILURE);
    host().add_adapter(spec(3));
    auto failed = [] {
        for (const auto& call : driver().calls())
            if (call.code == rimcap::ioctl::get_adapter_list && !call.ok)
                return true;
        return false;
    };
    for (int i = 0; i < 2000 && !failed(); ++i)
        std::this_thread::sleep_for(1ms);
    EXPECT_EQ(filter_->slot_state(slot1), dual_packet_filter::slot_running);

    testing::internal::CaptureStdout();
    host().remove_adapter(spec(2).guid);
    wait_for_pass(1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "nothing on the program's console";
    EXPECT_EQ(log_, std::vector<std::string>{"[dual_packet_filter] : Ethernet 7 : removed. Stopping filter!"});
    expect_stopped(*filter_, slot1);
    EXPECT_EQ(filter_->slot_state(slot0), dual_packet_filter::slot_running);
    const auto adapters = filter_->adapters();
    ASSERT_EQ(adapters.size(), 2u) << "the list was reloaded";
    EXPECT_EQ(adapters[0]->handle(), handles_[slot0]);
}

TEST_F(dual_filter, an_adapter_off_the_list_that_the_driver_still_answers_for_is_released_and_flushed)
{
    // The watcher's read of the adapter's mode is answered, or refused once for a
    // passing reason (not that the adapter is gone).
    for (const DWORD mode_read_error : {DWORD{NO_ERROR}, DWORD{ERROR_GEN_FAILURE}}) {
        SCOPED_TRACE(mode_read_error);
        filter_.reset();
        driver().set_listed(handles_[slot1], true);
        make_filter();
        const std::size_t passes = passes_; // no change of the list since the filter was made
        const std::size_t flushes = driver().call_count(rimcap::ioctl::flush_adapter_queue);
        start(slot0);
        start(slot1);
        if (mode_read_error != NO_ERROR)
            driver().fail_next(rimcap::ioctl::get_adapter_mode, mode_read_error);
        driver().set_listed(handles_[slot1], false); // the driver still answers for it
        wait_for_pass(passes + 1);
        expect_stopped(*filter_, slot1);
        EXPECT_EQ(driver().mode(handles_[slot1]), 0u);
        EXPECT_EQ(driver().call_count(rimcap::ioctl::flush_adapter_queue), flushes + 1);
    }
}

TEST_F(dual_filter, a_read_of_no_frame_waits_for_the_event_again)
{
    driver().set_empty_reads_succeed(true);
    start(slot1);
    driver().inject(handles_[slot1], incoming, make_frame(1));
    ASSERT_TRUE(driver().wait_for_deliveries(1, 10s));
    std::this_thread::sleep_for(100ms); // a thread that read on would issue thousands
    EXPECT_LE(driver().call_count(rimcap::ioctl::read_packets), 4u);
}

TEST_F(dual_filter, driver_counts_never_reach_beyond_the_510_records)
{
    filter_checks::check_driver_counts<action>(
        handles_[slot1], 1, [&](auto handler) { filter_->set_incoming_handler(slot1, handler); },
        [&] { start(slot1); }, [&] { filter_->stop_filter(slot1); });
}

TEST_F(dual_filter, a_refused_release_is_tried_again_at_once_and_at_destruction)
{
    filter_checks::check_refused_releases(
        handles_[slot1],
        [&] {
            if (!filter_)
                make_filter();
            start(slot1);
        },
        [&] { filter_->stop_filter(slot1); }, [&] { filter_.reset(); });
}

TEST_F(dual_filter, two_hundred_start_stop_cycles_of_both_slots_under_traffic)
{
    // Paced and bounded traffic on both adapters: the driver keeps every frame it
    // delivers, and a slow run must not fill the memory with them.
    std::atomic<bool> running{true};
    std::atomic<std::uint32_t> injected{0};
    std::thread traffic([&] {
        for (std::uint32_t next = 0; running && next < 100000; injected = next) {
            std::vector<simhost::frame_bytes> frames;
            for (std::uint32_t i = 0; i < 1 + next % 30; ++i, ++next)
                frames.push_back(make_frame(next, static_cast<std::uint8_t>(next % 5)));
            driver().inject(handles_[next % 2], 1 + next % 2, frames);
            std::this_thread::sleep_for(1ms);
        }
    });
    auto cycles = [&](std::size_t slot) {
        for (int cycle = 0; cycle < 200; ++cycle) {
            ASSERT_TRUE(filter_->start_filter(handles_[slot], slot)) << cycle;
            if (cycle % 4 == 1)
                std::this_thread::sleep_for(2ms);
            filter_->stop_filter(slot);
            ASSERT_FALSE(filter_->slot_has_thread(slot)) << cycle;
        }
    };
    filter_checks::within(120s, [&] {
        std::thread churn([&] { // the watcher works through list changes meanwhile
            for (int i = 0; i < 100; ++i) {
                host().add_adapter(spec(10));
                std::this_thread::sleep_for(1ms);
                host().remove_adapter(spec(10).guid);
            }
        });
        auto other = std::async(std::launch::async, cycles, slot0);
        cycles(slot1);
        other.get();
        churn.join();
    });
    running = false;
    traffic.join();

    std::vector<int> seen(injected, 0);
    for (const auto& d : driver().deliveries())
        ASSERT_EQ(++seen.at(frame_sequence(d.frame)), 1) << "delivered twice";
    for (std::size_t slot : {slot0, slot1}) {
        expect_stopped(*filter_, slot);
        EXPECT_EQ(driver().mode(handles_[slot]), 0u);
        EXPECT_EQ(driver().held_frames(handles_[slot]), 0u);
    }
}
} // namespace
