#pragma once
// Helpers of the single-adapter tunnel tests: the simulated host with a default adapter,
// the tunnel's log lines, a UDP sink standing for a server, and waiting with a limit.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host.h"
#include "host_network.h"
#include "ip_text.h"
#include "log_lines.h"
#include "loopback_udp.h"
#include "packet_driver.h"
#include "wait_until.h"
#include "wg_tunnel.h"
#include "win32.h"

namespace tunnel_test
{
using bytes = std::vector<std::uint8_t>;

// A classification that keeps every frame outside the tunnel.
struct nothing_tunnelled {
    bool operator()(_INTERMEDIATE_BUFFER&) const { return false; }
};

inline wireguard::ip_endpoint ipv4_endpoint(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d,
                                            std::uint16_t port)
{
    wireguard::ip_endpoint e;
    e.family = wireguard::family_ipv4;
    e.address[0] = a;
    e.address[1] = b;
    e.address[2] = c;
    e.address[3] = d;
    e.port = port;
    return e;
}

inline std::uint32_t ipv4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d)
{
    const std::uint8_t bytes[4] = {a, b, c, d};
    std::uint32_t v;
    std::memcpy(&v, bytes, 4);
    return v;
}

inline std::array<std::uint8_t, 16> ipv6_bytes(const std::string& text)
{
    const SOCKADDR_INET parsed = simhost::parse_ip(text);
    std::array<std::uint8_t, 16> b{};
    std::memcpy(b.data(), &parsed.Ipv6.sin6_addr, 16);
    return b;
}

// A UDP socket on 127.0.0.1 that keeps every datagram it receives (a server that never
// answers, or a closed port once closed).
class udp_sink
{
public:
    udp_sink()
    {
        socket_ = bind_loopback_udp(port_);
        thread_ = std::thread([this] { run(); });
    }
    ~udp_sink() { close(); }
    udp_sink(const udp_sink&) = delete;
    udp_sink& operator=(const udp_sink&) = delete;

    std::uint16_t port() const { return port_; }
    std::vector<bytes> received() const
    {
        std::lock_guard lock(mutex_);
        return received_;
    }
    std::size_t count() const
    {
        std::lock_guard lock(mutex_);
        return received_.size();
    }
    // Closes the socket: the port is closed from now on.
    void close()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        if (socket_ != INVALID_SOCKET)
            ::closesocket(socket_);
        socket_ = INVALID_SOCKET;
    }

private:
    void run()
    {
        std::vector<std::uint8_t> buffer(65536);
        while (!stop_) {
            if (!readable_soon(socket_))
                continue;
            const int n = ::recv(socket_, reinterpret_cast<char*>(buffer.data()), static_cast<int>(buffer.size()), 0);
            if (n < 0)
                continue;
            std::lock_guard lock(mutex_);
            received_.emplace_back(buffer.begin(), buffer.begin() + n);
        }
    }

    SOCKET socket_ = INVALID_SOCKET;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    mutable std::mutex mutex_;
    std::vector<bytes> received_;
};

// The simulated host with nothing on it at the start of each test; at the end, no
// driver or IP Helper rule broken, no device or table left open.
class tunnel_host_test : public ::testing::Test
{
protected:
    static constexpr simhost::mac_address gateway_mac{0x00, 0x11, 0x22, 0x33, 0x44, 0x55};

    void SetUp() override
    {
        host().reset();
        log_lines::instance().clear();
    }
    void TearDown() override
    {
        for (const auto& error : driver().errors())
            ADD_FAILURE() << "driver rule broken by call " << error.call << ": " << error.text;
        EXPECT_EQ(driver().open_device_count(), 0u) << "a device handle was left open";
        for (const auto& text : network().violations())
            ADD_FAILURE() << "IP Helper rule broken: " << text;
        EXPECT_EQ(network().open_tables(), 0u) << "an IP Helper table was not freed";
        if (HasFailure())
            std::cerr << "log:\n" << log_lines::instance().text();
        host().reset();
    }

    static simhost::packet_driver& driver() { return simhost::packet_driver::instance(); }
    static simhost::host& host() { return simhost::host::instance(); }
    static simhost::host_network& network() { return simhost::host_network::instance(); }
    static log_lines& logs() { return log_lines::instance(); }

    // An Ethernet adapter with an IPv4 address and a default gateway (the route to
    // everything, 127.0.0.1 included).
    simhost::adapter add_ethernet(const std::string& address = "192.168.1.10", std::uint8_t prefix = 24,
                                  const std::string& gateway = "192.168.1.1", std::uint32_t metric = 0)
    {
        simhost::adapter a = host().add_adapter({});
        if (!address.empty())
            network().add_address(a.guid, address, prefix);
        if (!gateway.empty())
            network().add_default_gateway(a.guid, gateway, gateway_mac, metric);
        return a;
    }
};
} // namespace tunnel_test
