// The queued packet filter against the simulated driver.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <cstdlib>
#include <map>
#include <random>
#include <stdexcept>
#include <thread>

#include "filter_checks.h"
#include "queued_packet_filter.h"
#include "test_support.h"

namespace
{
using namespace std::chrono_literals;
using rimcap::queued_packet_filter;
using action = queued_packet_filter::packet_action;
using simhost::destination;
using test_support::frame_sequence;
using test_support::make_frame;
using filter_checks::within;

constexpr std::uint32_t outgoing = rimcap::direction_outgoing;
constexpr std::uint32_t incoming = rimcap::direction_incoming;

// Request bytes of test frames, read by the test handler.
constexpr std::uint8_t ask_pass = 0;
constexpr std::uint8_t ask_drop = 1;
constexpr std::uint8_t ask_revert = 2;
constexpr std::uint8_t ask_unknown = 7;
constexpr std::uint8_t ask_throw = 0xEE;

constexpr std::uint32_t sentinel = 0xFFFFFFF0;

// Does what the frame asks; a reverted frame is rewritten (a marker byte and two
// bytes shorter), so the test sees that the rewritten record is what goes out.
action test_handler(void*, _INTERMEDIATE_BUFFER& record)
{
    const std::uint8_t request = record.frame[test_support::request_offset];
    switch (request) {
    case ask_drop:
        return action::drop;
    case ask_revert:
        record.frame[test_support::request_offset + 1] = 0x5A;
        record.length -= 2;
        return action::revert;
    case ask_throw:
        throw std::runtime_error("handler failure");
    case ask_pass:
        return action::pass;
    default:
        return static_cast<action>(request);
    }
}

class queued_filter : public test_support::simulated_host_test
{
protected:
    void SetUp() override
    {
        simulated_host_test::SetUp();
        other_ = host().add_adapter({});
        adapter_ = host().add_adapter({});
        filter_ = std::make_unique<queued_packet_filter>();
        ASSERT_EQ(filter_->adapters().size(), 2u);
    }
    void TearDown() override
    {
        filter_.reset();
        simulated_host_test::TearDown();
    }

    std::uint64_t handle() const { return adapter_.filter_handle; }

    void install_test_handlers()
    {
        filter_->set_outgoing_handler(test_handler);
        filter_->set_incoming_handler(test_handler);
    }

    void start() { ASSERT_TRUE(filter_->start_filter(1)); }

    void stop()
    {
        std::uint32_t expected = queued_packet_filter::state_running;
        ASSERT_TRUE(filter_->filter_state.compare_exchange_strong(
            expected, queued_packet_filter::state_stopping));
        filter_->stop_filter();
        filter_->filter_state = queued_packet_filter::state_idle;
    }

    // Waits until everything injected before has gone through the filter: a frame that
    // passes outward is sent after every earlier batch's sends.
    void drain()
    {
        const std::size_t before = driver().delivery_count();
        driver().inject(handle(), outgoing, make_frame(sentinel));
        ASSERT_TRUE(driver().wait_for_deliveries(before + 1, 10s));
        for (int i = 0; i < 1000; ++i) {
            const auto all = driver().deliveries();
            if (std::any_of(all.begin(), all.end(),
                            [](const auto& d) { return frame_sequence(d.frame) == sentinel; }))
                return;
            driver().wait_for_deliveries(all.size() + 1, 10ms);
        }
        FAIL() << "the drain frame never came through";
    }

    std::vector<simhost::delivery> deliveries_without_sentinel() const
    {
        auto all = driver().deliveries();
        std::erase_if(all, [](const auto& d) { return frame_sequence(d.frame) == sentinel; });
        return all;
    }

    simhost::adapter other_;
    simhost::adapter adapter_;
    std::unique_ptr<queued_packet_filter> filter_;
};

struct action_case {
    const char* what;
    std::uint32_t direction;
    std::uint8_t request;
    bool delivered;
    destination to;
};

TEST_F(queued_filter, actions_in_both_directions)
{
    const action_case cases[] = {
        {"outgoing pass goes to the wire", outgoing, ask_pass, true, destination::wire},
        {"outgoing drop", outgoing, ask_drop, false, destination::wire},
        {"outgoing revert goes up the stack", outgoing, ask_revert, true, destination::stack},
        {"outgoing unknown action drops", outgoing, ask_unknown, false, destination::wire},
        {"outgoing handler exception drops", outgoing, ask_throw, false, destination::wire},
        {"incoming pass goes up the stack", incoming, ask_pass, true, destination::stack},
        {"incoming drop", incoming, ask_drop, false, destination::wire},
        {"incoming revert goes to the wire", incoming, ask_revert, true, destination::wire},
        {"incoming unknown action drops", incoming, ask_unknown, false, destination::wire},
        {"incoming handler exception drops", incoming, ask_throw, false, destination::wire},
    };
    install_test_handlers();
    start();
    for (std::uint32_t i = 0; i < std::size(cases); ++i)
        driver().inject(handle(), cases[i].direction, make_frame(i, cases[i].request, 80));
    drain();
    stop();

    const auto sent = deliveries_without_sentinel();
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
        EXPECT_EQ(found->adapter_handle, handle());
        EXPECT_EQ(found->direction, cases[i].direction);
        auto expected = make_frame(i, cases[i].request, 80);
        if (cases[i].request == ask_revert) {
            expected[test_support::request_offset + 1] = 0x5A;
            expected.resize(expected.size() - 2);
        }
        EXPECT_EQ(found->frame, expected);
    }
    EXPECT_EQ(sent.size(), 4u);
}

TEST_F(queued_filter, handlers_get_the_adapter_handle_and_the_frame)
{
    std::atomic<int> calls{0};
    std::atomic<bool> right_handle{true};
    filter_->set_outgoing_handler([&](void* adapter, _INTERMEDIATE_BUFFER& record) {
        if (frame_sequence(record.frame) != sentinel) {
            ++calls;
            if (reinterpret_cast<std::uint64_t>(adapter) != handle() || record.length != 100)
                right_handle = false;
        }
        return action::pass;
    });
    start();
    driver().inject(handle(), outgoing, make_frame(1, 0, 100));
    drain();
    stop();
    EXPECT_EQ(calls.load(), 1);
    EXPECT_TRUE(right_handle.load());
}

TEST_F(queued_filter, the_stack_send_comes_before_the_adapter_send_in_each_batch)
{
    install_test_handlers();
    start();
    for (std::uint32_t batch = 0; batch < 20; ++batch) {
        std::vector<simhost::frame_bytes> frames;
        for (std::uint32_t i = 0; i < 6; ++i)
            frames.push_back(make_frame(batch * 100 + i, i % 3 == 2 ? ask_revert : ask_pass));
        const std::size_t before = driver().delivery_count();
        // Outgoing frames, some reverted up the stack; then incoming ones, likewise.
        driver().inject(handle(), batch % 2 ? outgoing : incoming, frames);
        ASSERT_TRUE(driver().wait_for_deliveries(before + frames.size(), 10s));
    }
    stop();

    std::map<std::uint32_t, std::pair<std::uint64_t, std::uint64_t>> calls_of_batch;
    for (const auto& d : driver().deliveries()) {
        auto& [stack_call, wire_call] = calls_of_batch[frame_sequence(d.frame) / 100];
        auto& call = d.to == destination::stack ? stack_call : wire_call;
        if (call == 0)
            call = d.call;
        EXPECT_EQ(call, d.call) << "one send I/O control per destination and batch";
    }
    ASSERT_EQ(calls_of_batch.size(), 20u);
    for (const auto& [batch, calls] : calls_of_batch) {
        SCOPED_TRACE(batch);
        ASSERT_NE(calls.first, 0u);
        ASSERT_NE(calls.second, 0u);
        EXPECT_LT(calls.first, calls.second);
    }
}

TEST_F(queued_filter, a_batch_that_is_all_dropped_sends_nothing)
{
    install_test_handlers();
    start();
    std::vector<simhost::frame_bytes> frames;
    for (std::uint32_t i = 0; i < 30; ++i)
        frames.push_back(make_frame(i, ask_drop));
    driver().inject(handle(), incoming, frames);
    drain();
    stop();
    EXPECT_EQ(driver().call_count(rimcap::ioctl::send_to_stack), 0u);
    EXPECT_EQ(driver().call_count(rimcap::ioctl::send_to_adapter), 1u) << "the drain frame only";
}

TEST_F(queued_filter, five_hundred_eleven_frames_are_all_delivered)
{
    install_test_handlers();
    std::vector<simhost::frame_bytes> frames;
    for (std::uint32_t i = 0; i < 511; ++i)
        frames.push_back(make_frame(i));
    start();
    driver().inject(handle(), outgoing, frames);
    ASSERT_TRUE(driver().wait_for_deliveries(511, 20s));
    stop();

    const auto sent = driver().deliveries();
    ASSERT_EQ(sent.size(), 511u);
    for (std::uint32_t i = 0; i < 511; ++i) {
        EXPECT_EQ(frame_sequence(sent[i].frame), i);
        EXPECT_EQ(sent[i].to, destination::wire);
    }
    std::vector<std::uint32_t> reads;
    for (const auto& call : driver().calls())
        if (call.code == rimcap::ioctl::read_packets && call.ok) {
            reads.push_back(call.packets_done);
            EXPECT_EQ(call.in_size, 4096u);
        }
    EXPECT_EQ(reads, (std::vector<std::uint32_t>{510, 1}));
}

TEST_F(queued_filter, twenty_thousand_frames_through_a_slow_handler_exactly_once_in_order)
{
    constexpr std::uint32_t total = 20000;
    std::atomic<std::uint32_t> handled{0};
    auto slow = [&](void* adapter, _INTERMEDIATE_BUFFER& record) {
        if (++handled % 100 == 0)
            std::this_thread::sleep_for(1ms);
        return test_handler(adapter, record);
    };
    filter_->set_outgoing_handler(slow);
    filter_->set_incoming_handler(slow);
    start();

    std::thread producer([&] {
        std::mt19937 random(12345);
        std::uint32_t next = 0;
        while (next < total) {
            const std::uint32_t size =
                std::min<std::uint32_t>(total - next, 1 + random() % 700);
            std::vector<simhost::frame_bytes> frames;
            const std::uint32_t direction = random() % 2 ? outgoing : incoming;
            for (std::uint32_t i = 0; i < size; ++i)
                frames.push_back(make_frame(next + i, ask_pass, 60 + (next + i) % 1400));
            driver().inject(handle(), direction, frames);
            next += size;
            if (random() % 4 == 0)
                std::this_thread::sleep_for(1ms);
        }
    });
    producer.join();
    ASSERT_TRUE(driver().wait_for_deliveries(total, 60s)) << driver().delivery_count();
    stop();

    const auto sent = driver().deliveries();
    ASSERT_EQ(sent.size(), total);
    std::vector<int> seen(total, 0);
    std::uint32_t last_wire = 0, last_stack = 0;
    bool first_wire = true, first_stack = true;
    for (const auto& d : sent) {
        const std::uint32_t sequence = frame_sequence(d.frame);
        ASSERT_LT(sequence, total);
        ++seen[sequence];
        EXPECT_EQ(d.frame, make_frame(sequence, ask_pass, 60 + sequence % 1400));
        EXPECT_TRUE(d.by_program);
        auto& last = d.to == destination::wire ? last_wire : last_stack;
        auto& first = d.to == destination::wire ? first_wire : first_stack;
        if (!first) {
            EXPECT_GT(sequence, last) << "out of order";
        }
        first = false;
        last = sequence;
    }
    EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), static_cast<long>(total));
    EXPECT_EQ(handled.load(), total);

    // The handler was the bottleneck: frames piled up in the driver and reads came
    // back full.
    std::size_t full_reads = 0;
    for (const auto& call : driver().calls())
        if (call.code == rimcap::ioctl::read_packets && call.packets_done == 510)
            ++full_reads;
    EXPECT_GE(full_reads, 10u);
}

TEST_F(queued_filter, two_hundred_start_stop_cycles_under_traffic)
{
    install_test_handlers();
    std::atomic<bool> producing{true};
    std::atomic<std::uint32_t> injected{0};
    // The traffic is paced and bounded: the driver keeps every delivered frame for the
    // checks below, and a slow run must not fill the machine's memory with them.
    constexpr std::uint32_t max_injected = 200000;
    std::thread producer([&] {
        std::uint32_t next = 0;
        while (producing && next < max_injected) {
            std::vector<simhost::frame_bytes> frames;
            for (std::uint32_t i = 0; i < 1 + next % 40; ++i)
                frames.push_back(make_frame(next + i, static_cast<std::uint8_t>((next + i) % 3)));
            driver().inject(handle(), (next & 1) ? outgoing : incoming, frames);
            next += static_cast<std::uint32_t>(frames.size());
            injected = next;
            std::this_thread::sleep_for(1ms);
        }
    });

    within(120s, [&] {
        for (int cycle = 0; cycle < 200; ++cycle) {
            ASSERT_TRUE(filter_->start_filter(1)) << "cycle " << cycle;
            ASSERT_EQ(driver().mode(handle()), 3u);
            if (cycle % 4 == 1)
                driver().wait_for_deliveries(driver().delivery_count() + 50, 20ms);
            stop();
            ASSERT_EQ(filter_->filter_state.load(), queued_packet_filter::state_idle);
            ASSERT_EQ(filter_->queued_block_count(), 0u);
            ASSERT_EQ(driver().mode(handle()), 0u);
        }
    });
    producing = false;
    producer.join();

    // Every frame went out at most once; every frame is accounted for.
    const auto sent = driver().deliveries();
    std::vector<int> seen(injected.load(), 0);
    for (const auto& d : sent)
        ASSERT_EQ(++seen.at(frame_sequence(d.frame)), 1) << "delivered twice";
    std::size_t program_sent = 0;
    for (const auto& d : sent)
        program_sent += d.by_program ? 1 : 0;
    EXPECT_GT(program_sent, 0u) << "the filter handled some traffic";
    EXPECT_EQ(driver().held_frames(handle()), 0u) << "the last stop flushed what was held";
}

TEST_F(queued_filter, stop_while_the_read_thread_waits_returns)
{
    install_test_handlers();
    start();
    std::this_thread::sleep_for(20ms); // the read thread now waits on the packet event
    within(20s, [&] { stop(); });
    EXPECT_EQ(filter_->queued_block_count(), 0u);
}

struct mode_case {
    bool outgoing_handler;
    bool incoming_handler;
    std::uint32_t mode;
};

TEST_F(queued_filter, mode_flags_follow_the_installed_handlers)
{
    const mode_case cases[] = {
        {false, false, 0},
        {true, false, 1},
        {false, true, 2},
        {true, true, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "outgoing " << c.outgoing_handler << ", incoming "
                                        << c.incoming_handler);
        filter_->set_outgoing_handler(c.outgoing_handler ? queued_packet_filter::packet_handler(test_handler) : nullptr);
        filter_->set_incoming_handler(c.incoming_handler ? queued_packet_filter::packet_handler(test_handler) : nullptr);
        driver().clear_deliveries();
        start();
        EXPECT_EQ(driver().mode(handle()), c.mode);
        EXPECT_EQ(filter_->adapters()[1]->mode().flags, c.mode);
        rimcap::adapter_mode read_back{handle(), 0xFF};
        EXPECT_TRUE(filter_->get_adapter_mode(read_back));
        EXPECT_EQ(read_back.flags, c.mode);
        EXPECT_EQ(driver().mode(other_.filter_handle), 0u) << "only the selected adapter";

        // A direction without a handler is not held: the driver passes it on itself.
        driver().inject(handle(), outgoing, make_frame(1));
        driver().inject(handle(), incoming, make_frame(2));
        ASSERT_TRUE(driver().wait_for_deliveries(2, 10s));
        const auto sent = driver().deliveries();
        for (const auto& d : sent) {
            const bool held = frame_sequence(d.frame) == 1 ? c.outgoing_handler : c.incoming_handler;
            EXPECT_EQ(d.by_program, held);
        }
        stop();
        EXPECT_EQ(driver().mode(handle()), 0u);
    }
}

TEST_F(queued_filter, start_while_running_reports_false_and_changes_nothing)
{
    install_test_handlers();
    start();
    const auto calls = driver().calls().size();
    EXPECT_FALSE(filter_->start_filter(0));
    EXPECT_FALSE(filter_->start_filter(1));
    EXPECT_EQ(driver().calls().size(), calls);
    EXPECT_EQ(filter_->filter_state.load(), queued_packet_filter::state_running);
    EXPECT_EQ(driver().mode(other_.filter_handle), 0u);
    stop();
}

TEST_F(queued_filter, an_adapter_index_out_of_range_reports_false)
{
    install_test_handlers();
    EXPECT_FALSE(filter_->start_filter(2));
    EXPECT_FALSE(filter_->start_filter(~std::uint64_t{0}));
    EXPECT_EQ(filter_->filter_state.load(), queued_packet_filter::state_idle);
    EXPECT_TRUE(driver().calls().size() == 1u) << "only the adapter list of the constructor";
    start();
    stop();
}

TEST_F(queued_filter, a_failed_start_leaves_the_filter_idle_and_a_later_start_works)
{
    install_test_handlers();
    driver().fail_next(rimcap::ioctl::set_packet_event, ERROR_GEN_FAILURE);
    EXPECT_FALSE(filter_->start_filter(1));
    EXPECT_EQ(filter_->filter_state.load(), queued_packet_filter::state_idle);
    EXPECT_EQ(filter_->queued_block_count(), 0u);
    EXPECT_EQ(driver().call_count(rimcap::ioctl::set_adapter_mode), 0u)
        << "the adapter's mode is left as it was";

    start();
    driver().inject(handle(), incoming, make_frame(5));
    ASSERT_TRUE(driver().wait_for_deliveries(1, 10s));
    EXPECT_TRUE(driver().deliveries()[0].by_program);
    stop();
}

TEST_F(queued_filter, blocks_circulate_while_running_and_are_freed_at_stop)
{
    install_test_handlers();
    start();
    drain();
    // Between batches every block is back in a queue, but for the one that the read
    // thread holds while it waits for frames.
    for (int i = 0; i < 100 && filter_->queued_block_count() != 9; ++i)
        std::this_thread::sleep_for(1ms);
    EXPECT_EQ(filter_->queued_block_count(), queued_packet_filter::block_count - 1);
    stop();
    EXPECT_EQ(filter_->queued_block_count(), 0u);
}

TEST_F(queued_filter, destruction_while_running_stops_the_filter)
{
    install_test_handlers();
    start();
    driver().inject(handle(), incoming, {make_frame(1), make_frame(2)});
    within(20s, [&] { filter_.reset(); });
    EXPECT_EQ(driver().mode(handle()), 0u);
}

TEST_F(queued_filter, a_driver_count_beyond_the_request_is_not_trusted)
{
    std::atomic<int> handler_calls{0};
    filter_->set_incoming_handler([&](void*, _INTERMEDIATE_BUFFER& record) {
        ++handler_calls;
        return record.length == 0 ? action::drop : action::pass;
    });
    driver().set_output_hook(rimcap::ioctl::read_packets, [](void* out, DWORD) {
        const std::uint32_t done = 100000;
        std::memcpy(static_cast<std::uint8_t*>(out) + 12, &done, 4);
    });
    start();
    driver().inject(handle(), incoming, make_frame(1));
    ASSERT_TRUE(driver().wait_for_deliveries(1, 10s));
    stop();
    EXPECT_EQ(handler_calls.load(), 510);
}
TEST_F(queued_filter, driver_counts_never_reach_beyond_the_510_records_of_a_block)
{
    // Eleven more frames: round the ring of ten blocks, back to the one the driver wrote into.
    filter_checks::check_driver_counts<action>(
        handle(), 11, [&](auto handler) { filter_->set_incoming_handler(handler); }, [&] { start(); },
        [&] { stop(); });
}

TEST_F(queued_filter, a_refused_release_is_tried_again_at_once_and_at_destruction)
{
    filter_checks::check_refused_releases(
        handle(),
        [&] {
            if (!filter_)
                filter_ = std::make_unique<queued_packet_filter>();
            install_test_handlers();
            start();
        },
        [&] { stop(); }, [&] { filter_.reset(); });
}

TEST_F(queued_filter, a_read_of_no_frame_waits_for_the_event_again)
{
    install_test_handlers();
    driver().set_empty_reads_succeed(true);
    start();
    for (int i = 0; i < 5; ++i) { // wake-ups with nothing to read: one read each
        ::SetEvent(filter_->adapters()[1]->packet_event());
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_LE(driver().call_count(rimcap::ioctl::read_packets), 5u);
    driver().inject(handle(), incoming, make_frame(1));
    ASSERT_TRUE(driver().wait_for_deliveries(1, 10s));
    EXPECT_EQ(driver().call_count(rimcap::ioctl::send_to_stack), 1u);
    stop();
}
} // namespace
