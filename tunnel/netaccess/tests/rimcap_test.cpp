// The driver wrapper: absent driver, and every I/O control with its exact code and
// record lengths as the (simulated) driver receives them.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <stdexcept>

#include "event_handle.h"
#include "queued_packet_filter.h"
#include "rimcap.h"
#include "test_support.h"

namespace
{
using rimcap_driver = test_support::simulated_host_test;

TEST_F(rimcap_driver, absent_driver_makes_every_operation_false_without_a_call)
{
    host().add_adapter({});
    driver().set_present(false);

    CRimCap cap;
    EXPECT_FALSE(cap.open_flag());

    auto list = std::make_unique<rimcap::filter_adapter_list>();
    rimcap::adapter_mode mode{1, 3};
    auto event = rimcap::make_manual_reset_event();
    auto request = std::make_unique<rimcap::packet_request>();
    request->packet_count = 1;
    std::uint8_t table[1296] = {};

    EXPECT_FALSE(cap.get_adapter_list(*list));
    EXPECT_FALSE(cap.set_adapter_mode(mode));
    EXPECT_FALSE(cap.get_adapter_mode(mode));
    EXPECT_FALSE(cap.flush_adapter_queue(1));
    EXPECT_FALSE(cap.set_packet_event(1, event.get()));
    EXPECT_FALSE(cap.set_adapter_list_change_event(event.get()));
    EXPECT_FALSE(cap.read_packets(*request));
    EXPECT_FALSE(cap.send_packets_to_adapter(*request));
    EXPECT_FALSE(cap.send_packets_to_mstcp(*request));
    EXPECT_FALSE(cap.device_io_control(rimcap::ioctl::set_static_filters, table, sizeof(table),
                                       nullptr, 0));
    EXPECT_TRUE(driver().calls().empty());
}

TEST_F(rimcap_driver, absent_driver_fails_the_queued_filter)
{
    driver().set_present(false);
    try {
        rimcap::queued_packet_filter filter;
        FAIL() << "the filter was built without its driver";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Norvask driver is not available!");
    }
    EXPECT_TRUE(driver().calls().empty());
}

TEST_F(rimcap_driver, construction_opens_the_device_without_any_io_control)
{
    {
        CRimCap cap;
        EXPECT_TRUE(cap.open_flag());
        EXPECT_EQ(driver().open_device_count(), 1u);
        // A 64-bit process is never WOW64: no adapter list at construction.
        EXPECT_TRUE(driver().calls().empty());
    }
    EXPECT_EQ(driver().open_device_count(), 0u);
}

struct expected_call {
    const char* what;
    DWORD code;
    DWORD in_size;
    DWORD out_size;
};

TEST_F(rimcap_driver, io_controls_carry_their_codes_and_exact_lengths)
{
    const auto adapter = host().add_adapter({});
    const std::uint64_t handle = adapter.filter_handle;
    CRimCap cap;

    auto list = std::make_unique<rimcap::filter_adapter_list>();
    auto event = rimcap::make_manual_reset_event();
    rimcap::adapter_mode mode{handle, rimcap::mode_hold_outgoing | rimcap::mode_hold_incoming};
    rimcap::adapter_mode read_back{handle, 0};

    EXPECT_TRUE(cap.get_adapter_list(*list));
    EXPECT_TRUE(cap.set_adapter_mode(mode));
    EXPECT_TRUE(cap.get_adapter_mode(read_back));
    EXPECT_TRUE(cap.flush_adapter_queue(handle));
    EXPECT_TRUE(cap.set_packet_event(handle, event.get()));
    EXPECT_TRUE(cap.set_adapter_list_change_event(event.get()));

    driver().inject(handle, rimcap::direction_outgoing, test_support::make_frame(1));
    auto records = std::make_unique<_INTERMEDIATE_BUFFER[]>(rimcap::max_request_packets);
    auto request = std::make_unique<rimcap::packet_request>();
    request->adapter_handle = handle;
    request->packet_count = rimcap::max_request_packets;
    for (std::size_t i = 0; i < rimcap::max_request_packets; ++i)
        request->packets[i] = &records[i];
    EXPECT_TRUE(cap.read_packets(*request));
    EXPECT_EQ(request->packets_done, 1u);

    auto send = std::make_unique<rimcap::packet_request>();
    send->adapter_handle = handle;
    send->packet_count = 1;
    send->packets[0] = &records[0];
    EXPECT_TRUE(cap.send_packets_to_mstcp(*send));
    EXPECT_TRUE(cap.send_packets_to_adapter(*send));

    const expected_call expected[] = {
        {"adapter list", 0x830020C4, 8836, 8836},
        {"set mode", 0x830020D4, 12, 0},
        {"get mode", 0x830020F4, 12, 12},
        {"flush", 0x830020D8, 8, 0},
        {"packet event", 0x830020DC, 16, 0},
        {"list change event", 0x830020EC, 8, 0},
        {"read", 0x83002118, 4096, 4096},
        {"send to stack", 0x83002114, 24, 0},
        {"send to adapter", 0x83002110, 24, 0},
    };
    const auto calls = driver().calls();
    ASSERT_EQ(calls.size(), std::size(expected));
    for (std::size_t i = 0; i < calls.size(); ++i) {
        SCOPED_TRACE(expected[i].what);
        EXPECT_EQ(calls[i].code, expected[i].code);
        EXPECT_EQ(calls[i].in_size, expected[i].in_size);
        EXPECT_EQ(calls[i].out_size, expected[i].out_size);
        EXPECT_TRUE(calls[i].ok);
    }

    EXPECT_EQ(read_back.flags, 3u);
    EXPECT_EQ(driver().mode(handle), 3u);
    EXPECT_TRUE(driver().packet_event_registered(handle));
    EXPECT_TRUE(driver().adapter_list_event_registered());

    ASSERT_EQ(list->count, 1u);
    EXPECT_EQ(list->handles[0], handle);
    EXPECT_EQ(std::string(list->names[0]), "\\DEVICE\\" + adapter.guid);
    EXPECT_EQ(0, std::memcmp(list->macs[0], adapter.mac.data(), 6));
    EXPECT_EQ(list->mtus[0], 1500);

    const auto sent = driver().deliveries();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].to, simhost::destination::stack);
    EXPECT_EQ(sent[1].to, simhost::destination::wire);
    EXPECT_EQ(sent[1].frame, test_support::make_frame(1));
}

TEST_F(rimcap_driver, a_read_fills_the_record_fields_at_their_offsets)
{
    const auto adapter = host().add_adapter({});
    CRimCap cap;
    ASSERT_TRUE(cap.set_adapter_mode({adapter.filter_handle, 2}));

    const auto frame = test_support::make_frame(77, 0, 1514);
    driver().inject(adapter.filter_handle, rimcap::direction_incoming, frame);

    auto record = std::make_unique<_INTERMEDIATE_BUFFER>();
    std::memset(record.get(), 0xCC, sizeof(*record));
    auto request = std::make_unique<rimcap::packet_request>();
    request->adapter_handle = adapter.filter_handle;
    request->packet_count = 1;
    request->packets[0] = record.get();
    ASSERT_TRUE(cap.read_packets(*request));
    EXPECT_EQ(request->packets_done, 1u);

    const auto* bytes = reinterpret_cast<const std::uint8_t*>(record.get());
    std::uint32_t direction = 0;
    std::uint32_t length = 0;
    std::memcpy(&direction, bytes + 16, 4);
    std::memcpy(&length, bytes + 20, 4);
    EXPECT_EQ(direction, 2u);
    EXPECT_EQ(length, 1514u);
    EXPECT_EQ(0, std::memcmp(bytes + 52, frame.data(), frame.size()));

    // Nothing waits any more: the read fails.
    EXPECT_FALSE(cap.read_packets(*request));
}

TEST_F(rimcap_driver, the_packet_event_is_signalled_while_frames_wait)
{
    const auto adapter = host().add_adapter({});
    const std::uint64_t handle = adapter.filter_handle;
    CRimCap cap;
    auto event = rimcap::make_manual_reset_event();
    ASSERT_TRUE(cap.set_packet_event(handle, event.get()));
    ASSERT_TRUE(cap.set_adapter_mode({handle, 1}));
    EXPECT_EQ(::WaitForSingleObject(event.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));

    driver().inject(handle, 1, {test_support::make_frame(1), test_support::make_frame(2),
                                test_support::make_frame(3)});
    EXPECT_EQ(::WaitForSingleObject(event.get(), 0), WAIT_OBJECT_0);
    ::ResetEvent(event.get());

    auto records = std::make_unique<_INTERMEDIATE_BUFFER[]>(2);
    auto request = std::make_unique<rimcap::packet_request>();
    request->adapter_handle = handle;
    request->packet_count = 2;
    request->packets[0] = &records[0];
    request->packets[1] = &records[1];
    ASSERT_TRUE(cap.read_packets(*request));
    EXPECT_EQ(request->packets_done, 2u);
    // One frame was left behind: signalled again.
    EXPECT_EQ(::WaitForSingleObject(event.get(), 0), WAIT_OBJECT_0);
    ::ResetEvent(event.get());

    request->packets_done = 0;
    ASSERT_TRUE(cap.read_packets(*request));
    EXPECT_EQ(request->packets_done, 1u);
    EXPECT_EQ(test_support::frame_sequence(records[0].frame), 3u);
    EXPECT_EQ(::WaitForSingleObject(event.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST_F(rimcap_driver, flush_releases_what_the_driver_holds)
{
    const auto adapter = host().add_adapter({});
    CRimCap cap;
    ASSERT_TRUE(cap.set_adapter_mode({adapter.filter_handle, 3}));
    driver().inject(adapter.filter_handle, 2, {test_support::make_frame(1), test_support::make_frame(2)});
    EXPECT_EQ(driver().held_frames(adapter.filter_handle), 2u);
    EXPECT_TRUE(cap.flush_adapter_queue(adapter.filter_handle));
    EXPECT_EQ(driver().held_frames(adapter.filter_handle), 0u);
    EXPECT_EQ(driver().flushed_frames(), 2u);
}

TEST_F(rimcap_driver, failures_of_the_driver_are_reported_with_their_error)
{
    const auto adapter = host().add_adapter({});
    CRimCap cap;
    driver().fail_next(rimcap::ioctl::flush_adapter_queue, ERROR_GEN_FAILURE);
    ::SetLastError(0);
    EXPECT_FALSE(cap.flush_adapter_queue(adapter.filter_handle));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_TRUE(cap.flush_adapter_queue(adapter.filter_handle));
}
} // namespace
