// The dual packet filter against the simulated driver.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

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
using filter_checks::within;

constexpr std::uint32_t outgoing = rimcap::direction_outgoing;
constexpr std::uint32_t incoming = rimcap::direction_incoming;
constexpr std::size_t virtual_slot = dual_packet_filter::virtual_slot;
constexpr std::size_t default_slot = dual_packet_filter::default_slot;

// Request bytes of test frames: the action itself, or a throw.
constexpr std::uint8_t ask_throw = 0xEE;
constexpr std::uint32_t sentinel = 0xFFFFFF00;

action test_handler(void*, _INTERMEDIATE_BUFFER& record)
{
    if (record.length == 0)
        return action::drop; // a record that the read did not fill
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
        virtual_ = host().add_adapter(spec(1));
        default_ = host().add_adapter(spec(2));
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
        filter_ = std::make_unique<dual_packet_filter>();
        filter_->add_adapter_change_callback([this] {
            std::lock_guard lock(pass_mutex_);
            ++watcher_passes_;
            pass_done_.notify_all();
        });
    }

    void install_test_handlers()
    {
        filter_->set_outgoing_handler(virtual_slot, test_handler);
        filter_->set_outgoing_handler(default_slot, test_handler);
        filter_->set_incoming_handler(default_slot, test_handler);
    }

    std::uint64_t handle(std::size_t slot) const
    {
        return slot == virtual_slot ? virtual_.filter_handle : default_.filter_handle;
    }

    void start(std::size_t slot) { ASSERT_TRUE(filter_->start_filter(handle(slot), slot)); }

    // Waits until everything injected on the slot's adapter before has gone through
    // its thread: a marker frame passes out of the adapter, and the read after it shows
    // that the thread has sent all batches of the marker's read.
    void drain(std::size_t slot)
    {
        const std::uint32_t marker = sentinel + next_marker_++;
        driver().inject(handle(slot), outgoing, make_frame(marker));
        std::uint64_t marker_call = 0;
        for (int i = 0; i < 1000 && marker_call == 0; ++i) {
            for (const auto& d : driver().deliveries())
                if (frame_sequence(d.frame) == marker)
                    marker_call = d.call;
            if (marker_call == 0)
                driver().wait_for_deliveries(driver().delivery_count() + 1, 10ms);
        }
        ASSERT_NE(marker_call, 0u) << "the drain frame never came through";
        for (int i = 0; i < 1000; ++i) {
            for (const auto& call : driver().calls())
                if (call.code == rimcap::ioctl::read_packets && call.number > marker_call &&
                    call.adapter_handle == handle(slot))
                    return;
            std::this_thread::sleep_for(1ms);
        }
        FAIL() << "no read after the drain frame";
    }

    std::vector<simhost::delivery> test_deliveries() const
    {
        auto all = driver().deliveries();
        std::erase_if(all, [](const auto& d) { return frame_sequence(d.frame) >= sentinel; });
        return all;
    }

    std::size_t watcher_passes()
    {
        std::lock_guard lock(pass_mutex_);
        return watcher_passes_;
    }
    void wait_for_watcher_pass(std::size_t count)
    {
        std::unique_lock lock(pass_mutex_);
        ASSERT_TRUE(pass_done_.wait_for(lock, 10s, [&] { return watcher_passes_ >= count; }));
    }

    static bool failed_list_read()
    {
        const auto calls = driver().calls();
        return std::any_of(calls.begin(), calls.end(), [](const auto& call) {
            return call.code == rimcap::ioctl::get_adapter_list && !call.ok;
        });
    }

    void expect_stopped(std::size_t slot)
    {
        EXPECT_EQ(filter_->slot_state(slot), dual_packet_filter::slot_stopped);
        EXPECT_EQ(filter_->slot_handle(slot), 0u);
        EXPECT_FALSE(filter_->slot_has_thread(slot));
    }

    simhost::adapter virtual_;
    simhost::adapter default_;
    std::unique_ptr<dual_packet_filter> filter_;
    std::mutex pass_mutex_;
    std::condition_variable pass_done_;
    std::size_t watcher_passes_ = 0;
    std::uint32_t next_marker_ = 0;
};

struct route_case {
    const char* what;
    std::size_t slot;
    std::uint32_t direction;
    std::uint8_t request;
    bool delivered;
    destination to;
    std::size_t leaves_by; // the slot whose adapter handle the frame leaves with
};

TEST_F(dual_filter, the_action_table_in_both_slots_and_directions)
{
    const route_case cases[] = {
        {"slot 0 sent, pass: out of the virtual adapter", 0, outgoing, 0, true, destination::wire, 0},
        {"slot 0 sent, drop", 0, outgoing, 1, false, destination::wire, 0},
        {"slot 0 sent, revert: up its own stack", 0, outgoing, 2, true, destination::stack, 0},
        {"slot 0 sent, 3: out of the default adapter", 0, outgoing, 3, true, destination::wire, 1},
        {"slot 0 sent, 4: up the default adapter's stack", 0, outgoing, 4, true, destination::stack, 1},
        {"slot 0 sent, 7 drops", 0, outgoing, 7, false, destination::wire, 0},
        {"slot 0 sent, a throwing handler drops", 0, outgoing, ask_throw, false, destination::wire, 0},
        {"slot 0 received, no handler: up its stack", 0, incoming, 3, true, destination::stack, 0},
        {"slot 1 sent, pass", 1, outgoing, 0, true, destination::wire, 1},
        {"slot 1 sent, 3: out of the virtual adapter", 1, outgoing, 3, true, destination::wire, 0},
        {"slot 1 sent, a throwing handler drops", 1, outgoing, ask_throw, false, destination::wire, 1},
        {"slot 1 received, pass", 1, incoming, 0, true, destination::stack, 1},
        {"slot 1 received, drop", 1, incoming, 1, false, destination::wire, 1},
        {"slot 1 received, revert: back out of its adapter", 1, incoming, 2, true, destination::wire, 1},
        {"slot 1 received, 3: up the virtual adapter's stack", 1, incoming, 3, true, destination::stack, 0},
        {"slot 1 received, 4: out of the virtual adapter", 1, incoming, 4, true, destination::wire, 0},
        {"slot 1 received, 255 drops", 1, incoming, 255, false, destination::wire, 1},
        {"slot 1 received, a throwing handler drops", 1, incoming, ask_throw, false, destination::wire, 1},
    };
    install_test_handlers();
    start(virtual_slot);
    start(default_slot);
    // Each slot and direction in one batch, so a throwing handler shares its read with
    // frames that must still go through.
    for (std::size_t slot : {virtual_slot, default_slot})
        for (std::uint32_t direction : {outgoing, incoming}) {
            std::vector<simhost::frame_bytes> batch;
            for (std::uint32_t i = 0; i < std::size(cases); ++i)
                if (cases[i].slot == slot && cases[i].direction == direction)
                    batch.push_back(make_frame(i, cases[i].request, 90));
            driver().inject(handle(slot), direction, batch);
        }
    drain(virtual_slot);
    drain(default_slot);

    const auto sent = test_deliveries();
    for (std::uint32_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].what);
        auto found = std::find_if(sent.begin(), sent.end(),
                                  [&](const auto& d) { return frame_sequence(d.frame) == i; });
        if (!cases[i].delivered) {
            EXPECT_EQ(found, sent.end());
            continue;
        }
        ASSERT_NE(found, sent.end());
        EXPECT_EQ(found->to, cases[i].to);
        EXPECT_TRUE(found->by_program);
        EXPECT_EQ(found->adapter_handle, handle(cases[i].leaves_by));
        EXPECT_EQ(found->frame, make_frame(i, cases[i].request, 90));
    }
    EXPECT_EQ(sent.size(), 11u);

    // The tunnel reads a slot adapter's mode through the filter's device.
    rimcap::adapter_mode mode{handle(default_slot), 0};
    ASSERT_TRUE(filter_->get_adapter_mode(mode));
    EXPECT_EQ(mode.flags, 3u);
    filter_->stop_filter(default_slot);
    ASSERT_TRUE(filter_->get_adapter_mode(mode));
    EXPECT_EQ(mode.flags, 0u);
}

TEST_F(dual_filter, handlers_get_their_slots_adapter_handle)
{
    std::atomic<std::uint64_t> seen0{0}, seen1{0};
    filter_->set_outgoing_handler(virtual_slot, [&](void* adapter, _INTERMEDIATE_BUFFER&) {
        seen0 = reinterpret_cast<std::uint64_t>(adapter);
        return action::pass;
    });
    filter_->set_incoming_handler(default_slot, [&](void* adapter, _INTERMEDIATE_BUFFER&) {
        seen1 = reinterpret_cast<std::uint64_t>(adapter);
        return action::pass;
    });
    start(virtual_slot);
    start(default_slot);
    driver().inject(handle(virtual_slot), outgoing, make_frame(1));
    driver().inject(handle(default_slot), incoming, make_frame(2));
    ASSERT_TRUE(driver().wait_for_deliveries(2, 10s));
    EXPECT_EQ(seen0.load(), handle(virtual_slot));
    EXPECT_EQ(seen1.load(), handle(default_slot));
}

TEST_F(dual_filter, frames_for_a_stopped_slot_are_dropped_and_not_sent_later)
{
    install_test_handlers();
    start(default_slot);
    driver().inject(handle(default_slot), incoming, make_frame(1, 3));
    drain(default_slot);
    EXPECT_TRUE(test_deliveries().empty()) << "slot 0 is stopped";
    EXPECT_EQ(driver().call_count(rimcap::ioctl::send_to_stack), 0u);

    start(virtual_slot);
    driver().inject(handle(default_slot), incoming, make_frame(2, 3));
    drain(default_slot);
    const auto sent = test_deliveries();
    ASSERT_EQ(sent.size(), 1u) << "the other-stack batch was emptied after the drop";
    EXPECT_EQ(frame_sequence(sent[0].frame), 2u);
    EXPECT_EQ(sent[0].to, destination::stack);
    EXPECT_EQ(sent[0].adapter_handle, handle(virtual_slot));
}

TEST_F(dual_filter, one_send_per_destination_and_read)
{
    install_test_handlers();
    start(virtual_slot);
    start(default_slot);
    std::vector<simhost::frame_bytes> batch;
    for (std::uint32_t i = 0; i < 40; ++i)
        batch.push_back(make_frame(i, static_cast<std::uint8_t>(i % 5)));
    driver().inject(handle(default_slot), incoming, batch);
    drain(default_slot);
    // 0 stack, 2 wire, 3 other stack, 4 other wire; 1 dropped: four sends for the batch.
    std::set<std::uint64_t> calls;
    for (const auto& d : test_deliveries())
        calls.insert(d.call);
    EXPECT_EQ(calls.size(), 4u);
    EXPECT_EQ(test_deliveries().size(), 32u);
}

TEST_F(dual_filter, a_handle_not_in_the_list_leaves_the_slot_stopped)
{
    const auto calls = driver().calls().size();
    EXPECT_FALSE(filter_->start_filter(0x1234, default_slot));
    EXPECT_FALSE(filter_->start_filter(handle(virtual_slot), 2));
    expect_stopped(default_slot);
    EXPECT_EQ(driver().calls().size(), calls);
    EXPECT_EQ(driver().mode(handle(virtual_slot)), 0u);
}

TEST_F(dual_filter, a_refused_packet_event_leaves_no_handle_for_the_watcher)
{
    driver().fail_next(rimcap::ioctl::set_packet_event, ERROR_GEN_FAILURE);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(filter_->start_filter(handle(default_slot), default_slot));
    expect_stopped(default_slot);
    EXPECT_EQ(driver().mode(handle(default_slot)), 0u);
    // A change of the list does not report the slot's adapter removed.
    host().add_adapter(spec(3));
    wait_for_watcher_pass(1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    start(default_slot);
}

TEST_F(dual_filter, starting_a_running_slot_changes_nothing)
{
    start(default_slot);
    const auto calls = driver().calls().size();
    EXPECT_TRUE(filter_->start_filter(handle(default_slot), default_slot));
    EXPECT_FALSE(filter_->start_filter(handle(virtual_slot), default_slot));
    EXPECT_EQ(driver().calls().size(), calls);
    EXPECT_EQ(filter_->slot_handle(default_slot), handle(default_slot));
    EXPECT_EQ(driver().mode(handle(virtual_slot)), 0u);
}

TEST_F(dual_filter, stop_on_a_stopped_slot_returns_true_and_sends_nothing)
{
    const auto calls = driver().calls().size();
    EXPECT_TRUE(filter_->stop_filter(virtual_slot));
    EXPECT_TRUE(filter_->stop_filter(default_slot));
    EXPECT_TRUE(filter_->stop_filter(5));
    EXPECT_EQ(driver().calls().size(), calls);

    start(default_slot);
    EXPECT_TRUE(filter_->stop_filter(default_slot));
    expect_stopped(default_slot);
    const auto after = driver().calls().size();
    EXPECT_TRUE(filter_->stop_filter(default_slot));
    EXPECT_EQ(driver().calls().size(), after);
}

TEST_F(dual_filter, stop_while_the_thread_waits_returns_and_frames_held_go_on)
{
    install_test_handlers();
    start(default_slot);
    std::this_thread::sleep_for(20ms); // the working thread now waits on its event
    within(20s, [&] { filter_->stop_filter(default_slot); });
    expect_stopped(default_slot);
    EXPECT_EQ(driver().mode(handle(default_slot)), 0u);
    driver().inject(handle(default_slot), incoming, make_frame(1, 1));
    ASSERT_EQ(driver().delivery_count(), 1u) << "the driver passes it on by itself";
    EXPECT_FALSE(driver().deliveries()[0].by_program);
}

TEST_F(dual_filter, the_watcher_stops_a_slot_whose_adapter_disappears)
{
    test_support::connection_name_key name(default_.guid, "Ethernet 7");
    filter_.reset();
    make_filter(); // now with the connection name
    install_test_handlers();
    start(virtual_slot);
    start(default_slot);

    testing::internal::CaptureStdout();
    const std::size_t passes = watcher_passes();
    host().remove_adapter(default_.guid);
    wait_for_watcher_pass(passes + 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "[dual_packet_filter] : Ethernet 7 : removed. Stopping filter!\n");

    expect_stopped(default_slot);
    const auto adapters = filter_->adapters();
    ASSERT_EQ(adapters.size(), 1u) << "the list was reloaded";
    EXPECT_EQ(adapters[0]->handle(), handle(virtual_slot));
    EXPECT_EQ(filter_->slot_state(virtual_slot), dual_packet_filter::slot_running);

    // The virtual slot still works; its frames for the stopped slot are dropped.
    driver().inject(handle(virtual_slot), outgoing, {make_frame(1, 3), make_frame(2, 0)});
    drain(virtual_slot);
    const auto sent = test_deliveries();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(frame_sequence(sent[0].frame), 2u);

    // A new adapter enters the list.
    const auto added = host().add_adapter(spec(4));
    wait_for_watcher_pass(passes + 2);
    EXPECT_EQ(filter_->adapters().size(), 2u);
    EXPECT_TRUE(filter_->start_filter(added.filter_handle, default_slot));
}

TEST_F(dual_filter, a_list_that_cannot_be_read_stops_nothing)
{
    start(virtual_slot);
    start(default_slot);
    driver().fail_next(rimcap::ioctl::get_adapter_list, ERROR_GEN_FAILURE);
    host().add_adapter(spec(3));
    // The failed pass ends without the callbacks; the next change is handled in full.
    for (int i = 0; i < 1000 && !failed_list_read(); ++i)
        std::this_thread::sleep_for(1ms);
    ASSERT_TRUE(failed_list_read());
    const std::size_t passes = watcher_passes();
    host().add_adapter(spec(4));
    wait_for_watcher_pass(passes + 1);
    EXPECT_EQ(filter_->slot_state(virtual_slot), dual_packet_filter::slot_running);
    EXPECT_EQ(filter_->slot_state(default_slot), dual_packet_filter::slot_running);
    EXPECT_EQ(driver().mode(handle(default_slot)), 3u);
    EXPECT_EQ(filter_->adapters().size(), 2u) << "both slots listed: no reload";
}

TEST_F(dual_filter, construction_without_the_driver)
{
    filter_.reset();
    driver().set_present(false);
    const auto calls = driver().calls().size();
    dual_packet_filter filter;
    EXPECT_FALSE(filter.open_flag());
    EXPECT_TRUE(filter.adapters().empty());
    EXPECT_FALSE(filter.update_adapter_list());
    EXPECT_FALSE(filter.start_filter(handle(default_slot), default_slot));
    EXPECT_EQ(filter.slot_state(default_slot), dual_packet_filter::slot_stopped);
    EXPECT_EQ(filter.slot_handle(default_slot), 0u);
    EXPECT_FALSE(filter.slot_has_thread(default_slot));
    EXPECT_TRUE(filter.stop_filter(default_slot));
    EXPECT_EQ(driver().calls().size(), calls);
}

TEST_F(dual_filter, destruction_stops_both_slots)
{
    install_test_handlers();
    start(virtual_slot);
    start(default_slot);
    driver().inject(handle(default_slot), incoming, {make_frame(1, 3), make_frame(2)});
    within(20s, [&] { filter_.reset(); });
    EXPECT_EQ(driver().mode(handle(virtual_slot)), 0u);
    EXPECT_EQ(driver().mode(handle(default_slot)), 0u);
    EXPECT_EQ(driver().held_frames(handle(default_slot)), 0u);
}

TEST_F(dual_filter, a_read_of_no_frame_waits_for_the_event_again)
{
    install_test_handlers();
    driver().set_empty_reads_succeed(true);
    start(default_slot);
    driver().inject(handle(default_slot), incoming, make_frame(1));
    ASSERT_TRUE(driver().wait_for_deliveries(1, 10s));
    std::this_thread::sleep_for(100ms);
    // One read took the frame, the next found nothing; a thread that read on would
    // have issued thousands by now.
    EXPECT_LE(driver().call_count(rimcap::ioctl::read_packets), 4u);
    driver().inject(handle(default_slot), incoming, make_frame(2));
    ASSERT_TRUE(driver().wait_for_deliveries(2, 10s));
}

TEST_F(dual_filter, driver_counts_never_reach_beyond_the_510_records)
{
    for (const auto& c : filter_checks::driver_count_cases) {
        SCOPED_TRACE(testing::Message() << c.packet_count << "/" << c.packets_done);
        filter_checks::record_log log;
        filter_->set_incoming_handler(default_slot, [&](void*, _INTERMEDIATE_BUFFER& record) {
            return log.note<action>(record);
        });
        filter_checks::write_counts_into_next_read(c);
        driver().clear_deliveries();
        start(default_slot);
        driver().inject(handle(default_slot), incoming, make_frame(1));
        ASSERT_TRUE(driver().wait_for_deliveries(1, 10s));
        log.expect_one_array_of(c.handled);
        // The next read offers the 510 records again.
        driver().inject(handle(default_slot), incoming, make_frame(2));
        ASSERT_TRUE(driver().wait_for_deliveries(2, 10s));
        filter_->stop_filter(default_slot);
        driver().set_output_hook(rimcap::ioctl::read_packets, nullptr);
    }
}

TEST_F(dual_filter, a_refused_release_is_tried_again_at_once_and_at_destruction)
{
    for (const auto& c : filter_checks::refusal_cases) {
        SCOPED_TRACE(c.refusals);
        if (!filter_)
            make_filter();
        start(default_slot);
        driver().fail_next(rimcap::ioctl::set_adapter_mode, ERROR_GEN_FAILURE, c.refusals);
        filter_->stop_filter(default_slot);
        expect_stopped(default_slot);
        EXPECT_EQ(driver().mode(handle(default_slot)), c.after_stop);
        const auto before = driver().call_count(rimcap::ioctl::set_adapter_mode);
        filter_.reset();
        EXPECT_EQ(driver().call_count(rimcap::ioctl::set_adapter_mode) - before, c.tries_at_drop);
        EXPECT_EQ(driver().mode(handle(default_slot)), c.after_drop);
        driver().fail_next(rimcap::ioctl::set_adapter_mode, 0, 0);
    }
}

TEST_F(dual_filter, a_later_accepted_mode_cancels_the_release_at_destruction)
{
    start(default_slot);
    driver().fail_next(rimcap::ioctl::set_adapter_mode, ERROR_GEN_FAILURE, 4);
    filter_->stop_filter(default_slot);
    start(default_slot); // mode 3 accepted again
    filter_->stop_filter(default_slot);
    const auto before = driver().call_count(rimcap::ioctl::set_adapter_mode);
    filter_.reset();
    EXPECT_EQ(driver().call_count(rimcap::ioctl::set_adapter_mode), before);
}

TEST_F(dual_filter, two_hundred_start_stop_cycles_of_both_slots_under_traffic)
{
    install_test_handlers();
    filter_checks::paced_traffic traffic(100000, [&](std::uint32_t next) {
        std::vector<simhost::frame_bytes> frames;
        for (std::uint32_t i = 0; i < 1 + next % 30; ++i)
            frames.push_back(make_frame(next + i, static_cast<std::uint8_t>((next + i) % 5)));
        driver().inject(handle((next / 7) % 2), (next & 1) ? outgoing : incoming, frames);
        return static_cast<std::uint32_t>(frames.size());
    });

    auto cycles = [&](std::size_t slot) {
        for (int cycle = 0; cycle < 200; ++cycle) {
            ASSERT_TRUE(filter_->start_filter(handle(slot), slot)) << "cycle " << cycle;
            if (cycle % 4 == 1)
                std::this_thread::sleep_for(2ms);
            ASSERT_TRUE(filter_->stop_filter(slot));
            ASSERT_FALSE(filter_->slot_has_thread(slot));
        }
    };
    within(120s, [&] {
        // The watcher works through list changes at the same time.
        std::atomic<bool> churning{true};
        std::thread churn([&] {
            for (std::uint32_t i = 0; churning && i < 100; ++i) {
                const auto extra = host().add_adapter(spec(10));
                std::this_thread::sleep_for(1ms);
                host().remove_adapter(extra.guid);
                std::this_thread::sleep_for(1ms);
            }
        });
        auto other = std::async(std::launch::async, cycles, virtual_slot);
        cycles(default_slot);
        other.get();
        churning = false;
        churn.join();
    });
    const std::uint32_t injected = traffic.stop();

    for (std::size_t slot : {virtual_slot, default_slot}) {
        expect_stopped(slot);
        EXPECT_EQ(driver().mode(handle(slot)), 0u);
        EXPECT_EQ(driver().held_frames(handle(slot)), 0u);
    }
    EXPECT_GT(filter_checks::expect_each_delivered_at_most_once(injected), 0u)
        << "the filter handled some traffic";
}
} // namespace
