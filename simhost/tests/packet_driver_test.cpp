// The simulated packet filter driver checks the driver's rules and behaves as the
// driver does.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "host.h"
#include "packet_driver.h"
#include "platform.h"

namespace
{
using simhost::destination;
using simhost::frame_bytes;

constexpr DWORD get_adapter_list = 0x830020C4;
constexpr DWORD set_adapter_mode = 0x830020D4;
constexpr DWORD flush_adapter_queue = 0x830020D8;
constexpr DWORD set_packet_event = 0x830020DC;
constexpr DWORD set_list_event = 0x830020EC;
constexpr DWORD get_adapter_mode = 0x830020F4;
constexpr DWORD set_static_filters = 0x830020F8;
constexpr DWORD get_ras_links = 0x8300210C;
constexpr DWORD send_to_adapter = 0x83002110;
constexpr DWORD send_to_stack = 0x83002114;
constexpr DWORD read_packets = 0x83002118;

template <class T> void put(std::uint8_t* base, std::size_t offset, T value)
{
    std::memcpy(base + offset, &value, sizeof(T));
}
template <class T> T get(const std::uint8_t* base, std::size_t offset)
{
    T value{};
    std::memcpy(&value, base + offset, sizeof(T));
    return value;
}

// A raw record (1566 bytes) and a raw request, laid out by their byte offsets.
struct raw_record {
    std::uint8_t bytes[1566] = {};
    void set(std::uint32_t direction, const frame_bytes& frame)
    {
        put<std::uint32_t>(bytes, 16, direction);
        put<std::uint32_t>(bytes, 20, static_cast<std::uint32_t>(frame.size()));
        std::memcpy(bytes + 52, frame.data(), frame.size());
    }
};

// Request blocks are 4096 bytes, aligned to 4096, as the driver requires.
struct alignas(4096) request_block {
    std::uint8_t bytes[4096] = {};
};

struct raw_request {
    std::unique_ptr<request_block> block = std::make_unique<request_block>();
    DWORD length;
    raw_request(std::uint64_t handle, std::vector<raw_record*> records)
        : length(static_cast<DWORD>(16 + 8 * records.size()))
    {
        put<std::uint64_t>(data(), 0, handle);
        put<std::uint32_t>(data(), 8, static_cast<std::uint32_t>(records.size()));
        for (std::size_t i = 0; i < records.size(); ++i)
            put<std::uint64_t>(data(), 16 + 8 * i, reinterpret_cast<std::uint64_t>(records[i]));
    }
    std::uint8_t* data() { return block->bytes; }
    DWORD size() const { return length; }
};

frame_bytes ethernet_frame(std::uint16_t ether_type, std::size_t size = 60)
{
    frame_bytes frame(size, 0);
    frame[12] = static_cast<std::uint8_t>(ether_type >> 8);
    frame[13] = static_cast<std::uint8_t>(ether_type);
    return frame;
}

frame_bytes udp4_frame(std::uint16_t source_port, std::uint16_t destination_port)
{
    frame_bytes frame = ethernet_frame(0x0800, 14 + 20 + 8 + 4);
    frame[14] = 0x45;
    frame[14 + 9] = 17;
    frame[34] = static_cast<std::uint8_t>(source_port >> 8);
    frame[35] = static_cast<std::uint8_t>(source_port);
    frame[36] = static_cast<std::uint8_t>(destination_port >> 8);
    frame[37] = static_cast<std::uint8_t>(destination_port);
    return frame;
}

frame_bytes udp6_frame(std::uint16_t source_port, std::uint16_t destination_port)
{
    frame_bytes frame = ethernet_frame(0x86DD, 14 + 40 + 8);
    frame[14] = 0x60;
    frame[14 + 6] = 17;
    frame[54] = static_cast<std::uint8_t>(source_port >> 8);
    frame[55] = static_cast<std::uint8_t>(source_port);
    frame[56] = static_cast<std::uint8_t>(destination_port >> 8);
    frame[57] = static_cast<std::uint8_t>(destination_port);
    return frame;
}

class packet_driver_test : public ::testing::Test
{
protected:
    void SetUp() override
    {
        simhost::host::instance().reset();
        device_ = netaccess::platform::open_device(L"\\\\.\\KESTRAL");
        ASSERT_NE(device_, INVALID_HANDLE_VALUE);
    }
    void TearDown() override
    {
        netaccess::platform::close_device(device_);
        simhost::host::instance().reset();
    }

    simhost::packet_driver& driver() { return simhost::packet_driver::instance(); }

    BOOL call(DWORD code, void* in, DWORD in_size, void* out, DWORD out_size)
    {
        DWORD returned = 0;
        return netaccess::platform::device_io_control(device_, code, in, in_size, out, out_size,
                                                      &returned, &overlapped_);
    }

    // The call fails, with ERROR_INVALID_PARAMETER, and the driver records a broken rule.
    void expect_rejected(DWORD code, void* in, DWORD in_size, void* out, DWORD out_size)
    {
        const std::size_t errors = driver().errors().size();
        ::SetLastError(0);
        EXPECT_FALSE(call(code, in, in_size, out, out_size));
        EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(driver().errors().size(), errors + 1);
    }

    void set_mode(std::uint64_t handle, std::uint32_t flags)
    {
        std::uint8_t mode[12] = {};
        put(mode, 0, handle);
        put(mode, 8, flags);
        ASSERT_TRUE(call(set_adapter_mode, mode, 12, nullptr, 0));
    }

    HANDLE device_ = INVALID_HANDLE_VALUE;
    OVERLAPPED overlapped_{};
};

TEST_F(packet_driver_test, wrong_lengths_are_errors)
{
    const auto adapter = simhost::host::instance().add_adapter({});
    std::vector<std::uint8_t> big(9000, 0);
    put<std::uint64_t>(big.data(), 0, adapter.filter_handle);
    struct length_case {
        DWORD code;
        DWORD in_size;
        DWORD out_size;
    };
    const length_case cases[] = {
        {get_adapter_list, 8835, 8836}, {get_adapter_list, 8836, 8837},
        {set_adapter_mode, 16, 0},      {set_adapter_mode, 12, 12},
        {get_adapter_mode, 12, 8},      {flush_adapter_queue, 4, 0},
        {set_packet_event, 12, 0},      {set_list_event, 16, 0},
        {set_static_filters, 1295, 0},  {get_ras_links, 8, 530440},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.code << std::dec << " " << c.in_size
                                        << "/" << c.out_size);
        std::vector<std::uint8_t> out(std::max<DWORD>(c.out_size, 1), 0);
        if (c.code == get_ras_links) {
            std::vector<std::uint8_t> links(530440);
            expect_rejected(c.code, big.data(), c.in_size, links.data(), c.out_size);
        } else {
            expect_rejected(c.code, big.data(), c.in_size, c.out_size ? out.data() : nullptr,
                            c.out_size);
        }
    }
    std::uint8_t x[8] = {};
    const std::size_t errors = driver().errors().size();
    EXPECT_FALSE(call(0x83002100, x, 8, nullptr, 0)); // no such I/O control
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    EXPECT_EQ(driver().errors().size(), errors + 1);
}

TEST_F(packet_driver_test, requests_are_checked_exactly)
{
    const auto adapter = simhost::host::instance().add_adapter({});
    raw_record record;
    record.set(1, ethernet_frame(0x88B5));

    raw_request empty(adapter.filter_handle, {});
    expect_rejected(send_to_adapter, empty.data(), empty.size(), nullptr, 0);
    expect_rejected(send_to_stack, empty.data(), empty.size(), nullptr, 0);

    raw_request one(adapter.filter_handle, {&record});
    expect_rejected(send_to_adapter, one.data(), one.size() + 8, nullptr, 0);
    expect_rejected(send_to_adapter, one.data(), one.size(), one.data(), one.size());
    expect_rejected(read_packets, one.data(), one.size(), one.data(), one.size() - 8);

    raw_request stranger(0x1234, {&record});
    expect_rejected(send_to_adapter, stranger.data(), stranger.size(), nullptr, 0);
    expect_rejected(read_packets, stranger.data(), stranger.size(), stranger.data(),
                    stranger.size());

    raw_record too_long;
    put<std::uint32_t>(too_long.bytes, 20, 1515);
    raw_request bad_length(adapter.filter_handle, {&record, &too_long});
    expect_rejected(send_to_stack, bad_length.data(), bad_length.size(), nullptr, 0);
    EXPECT_EQ(driver().delivery_count(), 0u) << "a rejected send delivers nothing";

    ASSERT_TRUE(call(send_to_stack, one.data(), one.size(), nullptr, 0));
    ASSERT_EQ(driver().delivery_count(), 1u);
    EXPECT_EQ(driver().deliveries()[0].frame, ethernet_frame(0x88B5));
}

TEST_F(packet_driver_test, calls_without_overlapped_or_on_a_closed_device_are_errors)
{
    std::uint8_t handle[8] = {};
    DWORD returned = 0;
    EXPECT_FALSE(netaccess::platform::device_io_control(device_, set_list_event, handle, 8,
                                                        nullptr, 0, &returned, nullptr));
    EXPECT_EQ(driver().errors().size(), 1u);
    HANDLE other = netaccess::platform::open_device(L"\\\\.\\kestral");
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(netaccess::platform::close_device(other));
    EXPECT_FALSE(netaccess::platform::device_io_control(other, set_list_event, handle, 8, nullptr,
                                                        0, &returned, &overlapped_));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(netaccess::platform::close_device(other));
    EXPECT_EQ(driver().errors().size(), 3u);
}

TEST_F(packet_driver_test, frames_go_straight_on_unless_the_mode_holds_their_direction)
{
    const auto adapter = simhost::host::instance().add_adapter({});
    const auto frame = ethernet_frame(0x88B5);
    driver().inject(adapter.filter_handle, 1, frame);
    driver().inject(adapter.filter_handle, 2, frame);
    set_mode(adapter.filter_handle, 2);
    driver().inject(adapter.filter_handle, 1, frame);
    driver().inject(adapter.filter_handle, 2, frame);

    const auto sent = driver().deliveries();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].to, destination::wire);
    EXPECT_EQ(sent[1].to, destination::stack);
    EXPECT_EQ(sent[2].to, destination::wire);
    for (const auto& d : sent)
        EXPECT_FALSE(d.by_program);
    EXPECT_EQ(driver().held_frames(adapter.filter_handle), 1u);

    EXPECT_THROW(driver().inject(adapter.filter_handle, 3, frame), std::invalid_argument);
    EXPECT_THROW(driver().inject(adapter.filter_handle, 1, frame_bytes(13)), std::invalid_argument);
    EXPECT_THROW(driver().inject(adapter.filter_handle, 1, frame_bytes(1515)), std::invalid_argument);
    EXPECT_THROW(driver().inject(42, 1, frame), std::invalid_argument);
}

TEST_F(packet_driver_test, mode_is_set_and_read_back)
{
    const auto adapter = simhost::host::instance().add_adapter({});
    set_mode(adapter.filter_handle, 3);
    std::uint8_t mode[12] = {};
    put(mode, 0, adapter.filter_handle);
    ASSERT_TRUE(call(get_adapter_mode, mode, 12, mode, 12));
    EXPECT_EQ(get<std::uint32_t>(mode, 8), 3u);
    put<std::uint32_t>(mode, 8, 4);
    expect_rejected(set_adapter_mode, mode, 12, nullptr, 0);
}

TEST_F(packet_driver_test, adapter_list_and_its_change_event)
{
    auto& host = simhost::host::instance();
    HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::uint64_t value = reinterpret_cast<std::uint64_t>(event);
    ASSERT_TRUE(call(set_list_event, &value, 8, nullptr, 0));

    simhost::adapter_spec spec;
    spec.mac = {1, 2, 3, 4, 5, 6};
    spec.mtu = 1480;
    spec.medium = 9;
    const auto first = host.add_adapter(spec);
    EXPECT_EQ(::WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    ::ResetEvent(event);
    simhost::adapter_spec wan;
    wan.driver_name = simhost::ndiswan_ipv6_name;
    const auto second = host.add_adapter(wan);
    ::ResetEvent(event);

    std::vector<std::uint8_t> list(8836, 0xCC);
    ASSERT_TRUE(call(get_adapter_list, list.data(), 8836, list.data(), 8836));
    EXPECT_EQ(get<std::uint32_t>(list.data(), 0), 2u);
    EXPECT_STREQ(reinterpret_cast<const char*>(list.data() + 4), ("\\DEVICE\\" + first.guid).c_str());
    EXPECT_STREQ(reinterpret_cast<const char*>(list.data() + 4 + 256), "\\DEVICE\\NDISWANIPV6");
    EXPECT_EQ(get<std::uint64_t>(list.data(), 8196), first.filter_handle);
    EXPECT_EQ(get<std::uint64_t>(list.data(), 8204), second.filter_handle);
    EXPECT_EQ(get<std::uint32_t>(list.data(), 8452), 9u);
    EXPECT_EQ(0, std::memcmp(list.data() + 8580, spec.mac.data(), 6));
    EXPECT_EQ(get<std::uint16_t>(list.data(), 8772), 1480);
    EXPECT_EQ(list[4 + 2 * 256], 0) << "unused entries are zero";

    EXPECT_TRUE(host.rename_adapter(first.guid, "\\DEVICE\\RENAMED"));
    EXPECT_EQ(::WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    ::ResetEvent(event);
    EXPECT_TRUE(host.remove_adapter(second.guid));
    EXPECT_EQ(::WaitForSingleObject(event, 0), WAIT_OBJECT_0);

    ASSERT_TRUE(call(get_adapter_list, list.data(), 8836, list.data(), 8836));
    EXPECT_EQ(get<std::uint32_t>(list.data(), 0), 1u);
    EXPECT_STREQ(reinterpret_cast<const char*>(list.data() + 4), "\\DEVICE\\RENAMED");
    // The driver holds its own reference: closing ours does not disturb it.
    ::CloseHandle(event);
    host.add_adapter({});
}

TEST_F(packet_driver_test, at_most_32_adapters)
{
    auto& host = simhost::host::instance();
    for (int i = 0; i < 32; ++i)
        host.add_adapter({});
    EXPECT_THROW(host.add_adapter({}), std::length_error);
    simhost::adapter_spec spec;
    spec.guid = host.adapters()[0].guid;
    EXPECT_THROW(host.add_adapter(spec), std::invalid_argument);
}

TEST_F(packet_driver_test, reads_fill_records_and_fail_when_nothing_waits)
{
    const auto adapter = simhost::host::instance().add_adapter({});
    set_mode(adapter.filter_handle, 3);
    raw_record records[3];
    raw_request request(adapter.filter_handle, {&records[0], &records[1], &records[2]});
    ::SetLastError(0);
    EXPECT_FALSE(call(read_packets, request.data(), request.size(), request.data(),
                      request.size()));
    EXPECT_TRUE(driver().errors().empty()) << "an empty read is no broken rule";

    driver().inject(adapter.filter_handle, 2, ethernet_frame(0x88B5, 100));
    driver().inject(adapter.filter_handle, 1, ethernet_frame(0x88B6, 1514));
    ASSERT_TRUE(call(read_packets, request.data(), request.size(), request.data(),
                     request.size()));
    EXPECT_EQ(get<std::uint32_t>(request.data(), 12), 2u);
    EXPECT_EQ(get<std::uint32_t>(records[0].bytes, 16), 2u);
    EXPECT_EQ(get<std::uint32_t>(records[0].bytes, 20), 100u);
    EXPECT_EQ(records[0].bytes[52 + 13], 0xB5);
    EXPECT_EQ(get<std::uint32_t>(records[1].bytes, 16), 1u);
    EXPECT_EQ(get<std::uint32_t>(records[1].bytes, 20), 1514u);
    EXPECT_EQ(records[1].bytes[52 + 13], 0xB6);
}

TEST_F(packet_driver_test, misaligned_requests_empty_reads_and_released_frames)
{
    const auto adapter = simhost::host::instance().add_adapter({});
    set_mode(adapter.filter_handle, 3);
    driver().inject(adapter.filter_handle, 1, ethernet_frame(0x88B1));
    driver().inject(adapter.filter_handle, 2, ethernet_frame(0x88B2));
    raw_record record;
    record.set(1, ethernet_frame(0x88B5));
    raw_request request(adapter.filter_handle, {&record});
    std::uint8_t* shifted = request.data() + 8; // the request, off its 4096 alignment
    std::memmove(shifted, request.data(), request.size());
    expect_rejected(read_packets, shifted, request.size(), shifted, request.size());
    expect_rejected(send_to_adapter, shifted, request.size(), nullptr, 0);
    expect_rejected(send_to_stack, shifted, request.size(), nullptr, 0);

    // Mode 1 lets the held received frame go up the stack, mode 0 the sent one out.
    set_mode(adapter.filter_handle, 1);
    set_mode(adapter.filter_handle, 0);
    const auto sent = driver().deliveries();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].frame, ethernet_frame(0x88B2));
    EXPECT_EQ(sent[0].to, destination::stack);
    EXPECT_EQ(sent[1].frame, ethernet_frame(0x88B1));
    EXPECT_EQ(sent[1].to, destination::wire);
    EXPECT_EQ(driver().held_frames(adapter.filter_handle), 0u);

    driver().set_empty_reads_succeed(true);
    raw_request empty(adapter.filter_handle, {&record});
    put<std::uint32_t>(empty.data(), 12, 7);
    ASSERT_TRUE(call(read_packets, empty.data(), empty.size(), empty.data(), empty.size()));
    EXPECT_EQ(get<std::uint32_t>(empty.data(), 12), 0u);
}

TEST_F(packet_driver_test, packet_event_registration_takes_a_reference)
{
    const auto adapter = simhost::host::instance().add_adapter({});
    HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::uint8_t request[16] = {};
    put(request, 0, adapter.filter_handle);
    put(request, 8, reinterpret_cast<std::uint64_t>(event));
    ASSERT_TRUE(call(set_packet_event, request, 16, nullptr, 0));
    EXPECT_TRUE(driver().packet_event_registered(adapter.filter_handle));
    ::CloseHandle(event);
    set_mode(adapter.filter_handle, 1);
    driver().inject(adapter.filter_handle, 1, ethernet_frame(0x88B5)); // signals its own copy
    put<std::uint64_t>(request, 8, 0);
    ASSERT_TRUE(call(set_packet_event, request, 16, nullptr, 0));
    EXPECT_FALSE(driver().packet_event_registered(adapter.filter_handle));
    put<std::uint64_t>(request, 8, 0x7FFFFFF0);
    EXPECT_FALSE(call(set_packet_event, request, 16, nullptr, 0));
    EXPECT_EQ(driver().errors().size(), 1u);
}

TEST_F(packet_driver_test, absent_driver_cannot_be_opened)
{
    driver().set_present(false);
    ::SetLastError(0);
    EXPECT_EQ(netaccess::platform::open_device(L"\\\\.\\KESTRAL"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(packet_driver_test, wan_links_in_the_driver_format)
{
    simhost::adapter_spec spec;
    spec.driver_name = simhost::ndiswan_ip_name;
    const auto adapter = simhost::host::instance().add_adapter(spec);
    simhost::ras_link link;
    link.link_speed = 115200;
    link.maximum_total_size = 0x10005DC;
    link.remote_address = {1, 1, 1, 1, 1, 1};
    link.local_address = {2, 2, 2, 2, 2, 2};
    link.set_ipv4_address({10, 64, 0, 7});
    link.set_ipv6_interface_id({1, 2, 3, 4, 5, 6, 7, 8});
    driver().set_wan_links(adapter.filter_handle, {link, link});

    std::vector<std::uint8_t> out(530440, 0xCC);
    std::uint64_t handle = adapter.filter_handle;
    ASSERT_TRUE(call(get_ras_links, &handle, 8, out.data(), 530436));
    EXPECT_EQ(get<std::uint32_t>(out.data(), 0), 2u);
    const std::uint8_t* second = out.data() + 4 + 2072;
    EXPECT_EQ(get<std::uint32_t>(second, 0), 115200u);
    EXPECT_EQ(get<std::uint32_t>(second, 4), 0x10005DCu);
    EXPECT_EQ(second[8], 1);
    EXPECT_EQ(second[14], 2);
    EXPECT_EQ(0, std::memcmp(second + 608, "\x0a\x40\x00\x07", 4));
    EXPECT_EQ(second[612], 1);
    EXPECT_EQ(second[619], 8);
    EXPECT_EQ(out[530436], 0xCC) << "nothing written past the output length";
}

// The static filter table of the driver: seven rows as the system loads them.
std::vector<std::uint8_t> system_table()
{
    std::vector<std::uint8_t> table(8 + 7 * 184, 0);
    put<std::uint32_t>(table.data(), 0, 7);
    auto row = [&](int i) { return table.data() + 8 + 184 * i; };
    auto udp = [&](int i, std::uint32_t direction, std::uint32_t selector, std::uint32_t ports,
                   std::uint16_t first, std::uint16_t last) {
        put<std::uint32_t>(row(i), 8, direction);
        put<std::uint32_t>(row(i), 12, 1);
        put<std::uint32_t>(row(i), 16, 6);
        put<std::uint32_t>(row(i), 80, selector);
        put<std::uint32_t>(row(i), 84, 4);
        row(i)[112] = 17;
        put<std::uint32_t>(row(i), 164, 1);
        put<std::uint32_t>(row(i), 168, ports);
        put<std::uint16_t>(row(i), ports == 1 ? 172 : 176, first);
        put<std::uint16_t>(row(i), ports == 1 ? 174 : 178, last);
    };
    udp(0, 1, 1, 1, 67, 68);
    udp(1, 2, 1, 2, 67, 68);
    udp(2, 1, 2, 1, 546, 547);
    udp(3, 2, 2, 2, 546, 547);
    for (int i : {4, 5}) {
        put<std::uint32_t>(row(i), 8, 3);
        put<std::uint32_t>(row(i), 12, 1);
        put<std::uint32_t>(row(i), 16, 1);
        put<std::uint32_t>(row(i), 56, 1);
        put<std::uint32_t>(row(i), 60, 4);
        put<std::uint16_t>(row(i), 76, i == 4 ? 0x0806 : 0x8035);
    }
    put<std::uint32_t>(row(6), 8, 3);
    put<std::uint32_t>(row(6), 12, 3);
    return table;
}

TEST_F(packet_driver_test, the_static_filter_table_decides_before_the_mode)
{
    const auto adapter = simhost::host::instance().add_adapter({});
    auto table = system_table();
    ASSERT_TRUE(call(set_static_filters, table.data(), static_cast<DWORD>(table.size()), nullptr, 0));
    EXPECT_EQ(driver().static_filter_table(), table);
    set_mode(adapter.filter_handle, 3);

    struct frame_case {
        const char* what;
        std::uint32_t direction;
        frame_bytes frame;
        bool passes;
    };
    const frame_case cases[] = {
        {"ARP", 1, ethernet_frame(0x0806), true},
        {"RARP", 2, ethernet_frame(0x8035), true},
        {"DHCP request", 1, udp4_frame(68, 67), true},
        {"DHCP answer", 2, udp4_frame(67, 68), true},
        {"DHCP port as destination of a sent frame", 1, udp4_frame(5000, 67), false},
        {"DHCPv6 request", 1, udp6_frame(546, 547), true},
        {"DHCPv6 answer", 2, udp6_frame(547, 546), true},
        {"DNS", 1, udp4_frame(5000, 53), false},
        {"IPv6 UDP other port", 2, udp6_frame(53, 5000), false},
        {"other EtherType", 2, ethernet_frame(0x88B5), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        driver().clear_deliveries();
        const std::size_t held = driver().held_frames(adapter.filter_handle);
        driver().inject(adapter.filter_handle, c.direction, c.frame);
        EXPECT_EQ(driver().delivery_count(), c.passes ? 1u : 0u);
        EXPECT_EQ(driver().held_frames(adapter.filter_handle), held + (c.passes ? 0 : 1));
    }
}

TEST_F(packet_driver_test, the_first_matching_row_wins)
{
    const auto adapter = simhost::host::instance().add_adapter({});
    const auto other = simhost::host::instance().add_adapter({});
    // Row 0: this adapter's received frames go to the program. Row 1: everything passes.
    std::vector<std::uint8_t> table(8 + 2 * 184, 0);
    put<std::uint32_t>(table.data(), 0, 2);
    put<std::uint64_t>(table.data(), 8, adapter.filter_handle);
    put<std::uint32_t>(table.data(), 8 + 8, 2);
    put<std::uint32_t>(table.data(), 8 + 12, 3);
    put<std::uint32_t>(table.data(), 8 + 184 + 8, 3);
    put<std::uint32_t>(table.data(), 8 + 184 + 12, 1);
    ASSERT_TRUE(call(set_static_filters, table.data(), static_cast<DWORD>(table.size()), nullptr, 0));
    set_mode(adapter.filter_handle, 3);
    set_mode(other.filter_handle, 3);

    driver().inject(adapter.filter_handle, 2, ethernet_frame(0x88B5));
    driver().inject(adapter.filter_handle, 1, ethernet_frame(0x88B5));
    driver().inject(other.filter_handle, 2, ethernet_frame(0x88B5));
    EXPECT_EQ(driver().held_frames(adapter.filter_handle), 1u);
    EXPECT_EQ(driver().held_frames(other.filter_handle), 0u);
    EXPECT_EQ(driver().delivery_count(), 2u);
}

TEST_F(packet_driver_test, malformed_static_filter_tables_are_errors)
{
    auto table = system_table();
    expect_rejected(set_static_filters, table.data(), static_cast<DWORD>(table.size() - 1), nullptr, 0);
    put<std::uint32_t>(table.data(), 0, 8);
    expect_rejected(set_static_filters, table.data(), static_cast<DWORD>(table.size()), nullptr, 0);
    table = system_table();
    put<std::uint32_t>(table.data(), 8 + 12, 2); // an action the driver does not know
    expect_rejected(set_static_filters, table.data(), static_cast<DWORD>(table.size()), nullptr, 0);
    EXPECT_TRUE(driver().static_filter_table().empty());
}

TEST_F(packet_driver_test, flush_and_removal_discard_held_frames)
{
    auto& host = simhost::host::instance();
    const auto adapter = host.add_adapter({});
    set_mode(adapter.filter_handle, 3);
    driver().inject(adapter.filter_handle, 1, {ethernet_frame(0x88B5), ethernet_frame(0x88B5)});
    std::uint64_t handle = adapter.filter_handle;
    ASSERT_TRUE(call(flush_adapter_queue, &handle, 8, nullptr, 0));
    EXPECT_EQ(driver().held_frames(adapter.filter_handle), 0u);
    driver().inject(adapter.filter_handle, 2, ethernet_frame(0x88B5));
    host.remove_adapter(adapter.guid);
    EXPECT_EQ(driver().flushed_frames(), 3u);
    EXPECT_FALSE(call(flush_adapter_queue, &handle, 8, nullptr, 0)) << "gone, which breaks no rule";
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    std::uint64_t never = handle + 0x10;
    expect_rejected(flush_adapter_queue, &never, 8, nullptr, 0);
}
} // namespace
