// The simulated wire: a program's datagrams to an endpoint appear as outgoing frames of
// the default adapter, frames to the wire reach the real peer, and its answers come back
// as incoming frames; relays reach the peer through the endpoint.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "host.h"
#include "host_network.h"
#include "ip_text.h"
#include "packet_driver.h"
#include "wire.h"

namespace
{
using bytes = std::vector<std::uint8_t>;
using simhost::frame_bytes;

constexpr simhost::mac_address gateway_mac{0x00, 0x11, 0x22, 0x33, 0x44, 0x55};

std::uint16_t get16(const frame_bytes& f, std::size_t at)
{
    return static_cast<std::uint16_t>(f[at] << 8 | f[at + 1]);
}

std::uint32_t address(const std::string& text)
{
    return simhost::parse_ip(text).Ipv4.sin_addr.s_addr;
}

std::uint32_t get_address(const frame_bytes& f, std::size_t at)
{
    std::uint32_t a;
    std::memcpy(&a, &f[at], 4);
    return a;
}

// One's complement sum, byte pair by byte pair.
std::uint32_t add_bytes(std::uint32_t sum, const std::uint8_t* p, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i)
        sum += (i % 2 == 0) ? static_cast<std::uint32_t>(p[i]) << 8 : p[i];
    return sum;
}

bool folds_to_ffff(std::uint32_t sum)
{
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return sum == 0xFFFF;
}

// Checks the IPv4 header and UDP checksums and lengths of a frame.
void expect_valid_udp_frame(const frame_bytes& f)
{
    ASSERT_GE(f.size(), 42u);
    EXPECT_EQ(get16(f, 12), 0x0800);
    EXPECT_EQ(f[14], 0x45);
    EXPECT_EQ(get16(f, 16), f.size() - 14) << "IPv4 total length";
    EXPECT_EQ(f[23], 17);
    EXPECT_TRUE(folds_to_ffff(add_bytes(0, &f[14], 20))) << "IPv4 header checksum";
    const std::size_t udp_length = get16(f, 38);
    EXPECT_EQ(udp_length, f.size() - 34) << "UDP length";
    std::uint32_t sum = add_bytes(0, &f[26], 8);
    sum += 17 + static_cast<std::uint32_t>(udp_length);
    sum = add_bytes(sum, &f[34], udp_length);
    EXPECT_TRUE(folds_to_ffff(sum)) << "UDP checksum";
    EXPECT_NE(get16(f, 40), 0) << "UDP checksum present";
}

// A UDP socket on a loopback address; echo() answers every datagram with "re:" + it.
class loopback_socket
{
public:
    explicit loopback_socket(const std::string& at = "127.0.0.1")
    {
        s_ = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = address(at);
        int size = sizeof(a);
        EXPECT_EQ(::bind(s_, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0) << ::WSAGetLastError();
        ::getsockname(s_, reinterpret_cast<sockaddr*>(&a), &size);
        port_ = ::ntohs(a.sin_port);
        DWORD timeout = 5000;
        ::setsockopt(s_, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof(timeout));
    }
    ~loopback_socket()
    {
        stop_ = true;
        if (echo_.joinable())
            echo_.join();
        ::closesocket(s_);
    }
    std::uint16_t port() const { return port_; }

    void send_to(std::uint16_t port, const std::string& text)
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
        a.sin_port = ::htons(port);
        ASSERT_EQ(::sendto(s_, text.data(), static_cast<int>(text.size()), 0, reinterpret_cast<sockaddr*>(&a),
                           sizeof(a)),
                  static_cast<int>(text.size()));
    }
    // The next datagram and its sender's port ("" on time-out).
    std::string receive(std::uint16_t* from_port = nullptr)
    {
        char buffer[2048];
        sockaddr_in from{};
        int size = sizeof(from);
        const int n = ::recvfrom(s_, buffer, sizeof(buffer), 0, reinterpret_cast<sockaddr*>(&from), &size);
        if (n < 0)
            return {};
        if (from_port)
            *from_port = ::ntohs(from.sin_port);
        return std::string(buffer, static_cast<std::size_t>(n));
    }
    void echo()
    {
        echo_ = std::thread([this] {
            while (!stop_) {
                fd_set set;
                FD_ZERO(&set);
                FD_SET(s_, &set);
                timeval t{0, 10000};
                if (::select(0, &set, nullptr, nullptr, &t) != 1)
                    continue;
                char buffer[2048];
                sockaddr_in from{};
                int size = sizeof(from);
                const int n = ::recvfrom(s_, buffer, sizeof(buffer), 0, reinterpret_cast<sockaddr*>(&from), &size);
                if (n < 0)
                    continue;
                ++echoed;
                const std::string reply = "re:" + std::string(buffer, static_cast<std::size_t>(n));
                ::sendto(s_, reply.data(), static_cast<int>(reply.size()), 0, reinterpret_cast<sockaddr*>(&from),
                         size);
            }
        });
    }
    std::atomic<int> echoed{0};

private:
    SOCKET s_ = INVALID_SOCKET;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread echo_;
};

bool wait_until_dropped(const simhost::wire& w, std::uint64_t n)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (w.stats().dropped < n) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

class winsock_environment : public ::testing::Environment
{
public:
    void SetUp() override
    {
        WSADATA data;
        ASSERT_EQ(::WSAStartup(MAKEWORD(2, 2), &data), 0);
    }
    void TearDown() override { ::WSACleanup(); }
};
const auto winsock = ::testing::AddGlobalTestEnvironment(new winsock_environment);

class wire_test : public ::testing::Test
{
protected:
    void SetUp() override
    {
        simhost::host::instance().reset();
        adapter = simhost::host::instance().add_adapter({});
        network().add_address(adapter.guid, "192.168.1.10", 24);
        network().add_default_gateway(adapter.guid, "192.168.1.1", gateway_mac);
    }
    void TearDown() override { simhost::host::instance().reset(); }

    static simhost::host_network& network() { return simhost::host_network::instance(); }
    static simhost::packet_driver& driver() { return simhost::packet_driver::instance(); }

    std::vector<simhost::delivery> deliveries_to(simhost::destination to) const
    {
        std::vector<simhost::delivery> out;
        for (auto& d : driver().deliveries())
            if (d.to == to)
                out.push_back(d);
        return out;
    }

    simhost::adapter adapter;
};

TEST_F(wire_test, datagram_to_an_endpoint_becomes_an_outgoing_frame_and_the_answer_an_incoming_one)
{
    loopback_socket peer;
    peer.echo();
    simhost::wire wire;
    const std::uint16_t endpoint = wire.add_endpoint("127.0.0.1", peer.port());

    loopback_socket program;
    program.send_to(endpoint, "hello");
    ASSERT_TRUE(driver().wait_for_deliveries(2, std::chrono::seconds(5))) << driver().delivery_count();

    const auto out = deliveries_to(simhost::destination::wire);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].adapter_handle, adapter.filter_handle);
    EXPECT_EQ(out[0].direction, 1u);
    EXPECT_FALSE(out[0].by_program) << "the driver passed it on: the adapter is not filtered";
    const frame_bytes& f = out[0].frame;
    expect_valid_udp_frame(f);
    EXPECT_TRUE(std::equal(gateway_mac.begin(), gateway_mac.end(), f.begin())) << "to the gateway";
    EXPECT_TRUE(std::equal(adapter.mac.begin(), adapter.mac.end(), f.begin() + 6)) << "from the adapter";
    EXPECT_EQ(get_address(f, 26), address("192.168.1.10"));
    EXPECT_EQ(get_address(f, 30), address("127.0.0.1"));
    EXPECT_EQ(get16(f, 34), program.port());
    EXPECT_EQ(get16(f, 36), endpoint);
    EXPECT_EQ(std::string(f.begin() + 42, f.end()), "hello");

    const auto in = deliveries_to(simhost::destination::stack);
    ASSERT_EQ(in.size(), 1u);
    EXPECT_EQ(in[0].direction, 2u);
    const frame_bytes& r = in[0].frame;
    expect_valid_udp_frame(r);
    EXPECT_TRUE(std::equal(adapter.mac.begin(), adapter.mac.end(), r.begin()));
    EXPECT_TRUE(std::equal(gateway_mac.begin(), gateway_mac.end(), r.begin() + 6));
    EXPECT_EQ(get_address(r, 26), address("127.0.0.1"));
    EXPECT_EQ(get_address(r, 30), address("192.168.1.10"));
    EXPECT_EQ(get16(r, 34), endpoint) << "answers come from the endpoint, not from the peer";
    EXPECT_EQ(get16(r, 36), program.port());
    EXPECT_EQ(std::string(r.begin() + 42, r.end()), "re:hello");

    const auto s = wire.stats();
    EXPECT_EQ(s.from_stack, 1u);
    EXPECT_EQ(s.to_peer, 1u);
    EXPECT_EQ(s.from_peer, 1u);
    EXPECT_EQ(s.dropped, 0u);
}

TEST_F(wire_test, one_flow_per_source_port_and_answers_to_each)
{
    loopback_socket peer;
    peer.echo();
    simhost::wire wire;
    const std::uint16_t endpoint = wire.add_endpoint("127.0.0.1", peer.port());
    loopback_socket a;
    loopback_socket b;
    a.send_to(endpoint, "a1");
    b.send_to(endpoint, "b1");
    a.send_to(endpoint, "a2");
    ASSERT_TRUE(driver().wait_for_deliveries(6, std::chrono::seconds(5)));
    std::vector<std::pair<std::uint16_t, std::string>> answers;
    for (const auto& d : deliveries_to(simhost::destination::stack))
        answers.emplace_back(get16(d.frame, 36), std::string(d.frame.begin() + 42, d.frame.end()));
    std::sort(answers.begin(), answers.end());
    std::vector<std::pair<std::uint16_t, std::string>> expected{
        {a.port(), "re:a1"}, {a.port(), "re:a2"}, {b.port(), "re:b1"}};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(answers, expected);
}

TEST_F(wire_test, frames_to_other_loopback_addresses_go_there_as_they_are)
{
    loopback_socket other;
    other.echo();
    simhost::wire wire;
    // A frame that the program sends to the wire, addressed to a loopback port that is
    // no endpoint (as a SOCKS5 relay's is).
    frame_bytes f(42 + 4, 0);
    std::copy(gateway_mac.begin(), gateway_mac.end(), f.begin());
    std::copy(adapter.mac.begin(), adapter.mac.end(), f.begin() + 6);
    f[12] = 0x08;
    f[14] = 0x45;
    f[16] = 0;
    f[17] = 32;
    f[22] = 64;
    f[23] = 17;
    const std::uint32_t src = address("192.168.1.10");
    const std::uint32_t dst = address("127.0.0.1");
    std::memcpy(&f[26], &src, 4);
    std::memcpy(&f[30], &dst, 4);
    f[34] = 0x30;
    f[35] = 0x39; // port 12345
    f[36] = static_cast<std::uint8_t>(other.port() >> 8);
    f[37] = static_cast<std::uint8_t>(other.port());
    f[39] = 12;
    std::memcpy(&f[42], "ping", 4);
    driver().inject(adapter.filter_handle, 1, f);
    ASSERT_TRUE(driver().wait_for_deliveries(2, std::chrono::seconds(5)));
    const auto in = deliveries_to(simhost::destination::stack);
    ASSERT_EQ(in.size(), 1u);
    EXPECT_EQ(get16(in[0].frame, 34), other.port()) << "from the real sender";
    EXPECT_EQ(get16(in[0].frame, 36), 12345);
    EXPECT_EQ(get_address(in[0].frame, 30), src);
    EXPECT_EQ(std::string(in[0].frame.begin() + 42, in[0].frame.end()), "re:ping");
    expect_valid_udp_frame(in[0].frame);
}

TEST_F(wire_test, frames_off_loopback_and_other_protocols_are_dropped)
{
    simhost::wire wire;
    frame_bytes f(60, 0);
    f[12] = 0x08;
    f[14] = 0x45;
    f[17] = 46;
    f[23] = 17;
    const std::uint32_t dst = address("8.8.8.8");
    std::memcpy(&f[30], &dst, 4);
    f[39] = 26;
    driver().inject(adapter.filter_handle, 1, f);
    frame_bytes arp(60, 0);
    arp[12] = 0x08;
    arp[13] = 0x06;
    driver().inject(adapter.filter_handle, 1, arp);
    ASSERT_TRUE(wait_until_dropped(wire, 2));
}

TEST_F(wire_test, a_relay_reaches_the_peer_through_the_endpoint)
{
    loopback_socket peer;
    peer.echo();
    simhost::wire wire;
    const std::uint16_t endpoint = wire.add_endpoint("127.0.0.1", peer.port());
    // A relay runs outside Wine, bound to an address of its own (127.0.0.2, say); a
    // socket of this program always shows 127.0.0.1 as its source under Wine, so here
    // the local stack is said to be elsewhere.
    wire.set_local_stack_address("127.0.0.9");
    loopback_socket relay;
    relay.send_to(endpoint, "via relay");
    std::uint16_t from = 0;
    EXPECT_EQ(relay.receive(&from), "re:via relay");
    EXPECT_EQ(from, endpoint);
    EXPECT_EQ(driver().delivery_count(), 0u) << "relay traffic is no traffic of the host";
    const auto s = wire.stats();
    EXPECT_EQ(s.relayed_to_peer, 1u);
    EXPECT_EQ(s.relayed_to_relay, 1u);
}

TEST_F(wire_test, an_endpoint_on_a_chosen_port)
{
    loopback_socket peer;
    peer.echo();
    // A port that is free now: one that the system hands out, released again.
    std::uint16_t chosen = 0;
    {
        loopback_socket probe;
        chosen = probe.port();
    }
    simhost::wire wire;
    ASSERT_EQ(wire.add_endpoint("127.0.0.1", peer.port(), chosen), chosen);
    EXPECT_THROW(wire.add_endpoint("127.0.0.1", peer.port(), chosen), std::runtime_error) << "the port is taken";

    loopback_socket program;
    program.send_to(chosen, "fixed");
    ASSERT_TRUE(driver().wait_for_deliveries(2, std::chrono::seconds(5))) << driver().delivery_count();
    const auto in = deliveries_to(simhost::destination::stack);
    ASSERT_EQ(in.size(), 1u);
    EXPECT_EQ(get16(in[0].frame, 34), chosen);
    EXPECT_EQ(std::string(in[0].frame.begin() + 42, in[0].frame.end()), "re:fixed");
}

TEST_F(wire_test, without_a_route_the_datagram_is_dropped)
{
    network().remove_route(adapter.guid, "0.0.0.0/0", "192.168.1.1");
    loopback_socket peer;
    simhost::wire wire;
    const std::uint16_t endpoint = wire.add_endpoint("127.0.0.1", peer.port());
    loopback_socket program;
    program.send_to(endpoint, "lost");
    ASSERT_TRUE(wait_until_dropped(wire, 1));
    EXPECT_EQ(driver().delivery_count(), 0u);
}

TEST_F(wire_test, stop_joins_everything_and_twice_is_harmless)
{
    loopback_socket peer;
    peer.echo();
    simhost::wire wire;
    const std::uint16_t endpoint = wire.add_endpoint("127.0.0.1", peer.port());
    loopback_socket program;
    program.send_to(endpoint, "x");
    ASSERT_TRUE(driver().wait_for_deliveries(2, std::chrono::seconds(5)));
    wire.stop();
    wire.stop();
    program.send_to(endpoint, "after");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(driver().delivery_count(), 2u);
}
} // namespace
