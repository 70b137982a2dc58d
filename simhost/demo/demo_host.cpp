// The demonstration's host: built only into the demonstration's tundrel.dll
// (build/windows/demo/, made by scripts/run.sh's build), where the library runs on the
// simulated host instead of Windows' drivers and IP Helper.
//
// When the library is loaded, this sets up the simulated host from the environment
// that scripts/run.sh gives the client:
//   LORRIVAN_DEMO_SERVER          the real WireGuard server, "127.0.0.1:PORT"
//   LORRIVAN_DEMO_ENDPOINT_PORT   the port on 127.0.0.1 that the configuration names
//                                 as the server's endpoint (the simulated wire's)
//   LORRIVAN_DEMO_PING            the address that an application pings through the
//                                 tunnel (the server's tunnel address)
//   LORRIVAN_DEMO_DUAL            "1" when the client runs the dual tunnel (-lac): the
//                                 simulated virtual adapter driver is loaded too
// one Ethernet adapter with 192.168.1.10/24 and a default gateway, and the wire that
// carries the adapter's frames to the server over loopback. Then a thread of its own
// plays an application: once the client's tunnel is up, it shows the virtual adapter as
// the tunnel set it up (dual tunnel), sends ICMP echo requests through the stack, which
// routes them into the tunnel, reports the replies and the tunnel's statistics, and
// says "demo: done". When the process ends, after the library's own clean-up, it tells
// whether the host is as it was before the client started. Without
// LORRIVAN_DEMO_SERVER it does nothing.
//
// What it sets up lives until the process ends (it is never destroyed: the tunnel's
// exit-time clean-up still uses the simulated host after this file's statics would be
// gone).
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host.h"
#include "host_network.h"
#include "host_stack.h"
#include "packet_driver.h"
#include "support/dual_host_state.h"
#include "tundrel.h"
#include "virtnet_driver.h"
#include "wire.h"

namespace
{
using namespace std::chrono_literals;
using bytes = std::vector<std::uint8_t>;

constexpr const char* local_address = "192.168.1.10";
constexpr const char* gateway_address = "192.168.1.1";
constexpr simhost::mac_address gateway_mac = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
constexpr std::uint16_t echo_id = 0x4C44;
constexpr int echo_count = 3;

// The exports of the family that the client uses.
struct tunnel_family {
    void* (*get_handle)(log_callback, std::uint32_t, bool);
    bool (*get_tunnel_active)(void*);
    tunnel_state (*get_tunnel_state)(void*);
};
constexpr tunnel_family single_family{&tdl_get_handle, &tdl_get_tunnel_active, &tdl_get_tunnel_state};
constexpr tunnel_family dual_family{&tdlp_get_handle, &tdlp_get_tunnel_active, &tdlp_get_tunnel_state};

void say(const char* format, ...)
{
    std::va_list arguments;
    va_start(arguments, format);
    std::fputs("demo: ", stdout);
    std::vprintf(format, arguments);
    std::fputs("\n", stdout);
    std::fflush(stdout);
    va_end(arguments);
}

std::uint16_t get16(const std::uint8_t* p)
{
    return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}

std::uint32_t sum16(const std::uint8_t* p, std::size_t n)
{
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < n; i += 2)
        sum += get16(p + i);
    if (n & 1)
        sum += static_cast<std::uint32_t>(p[n - 1]) << 8;
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return sum;
}

std::string address_text(const std::uint8_t* a)
{
    return std::to_string(a[0]) + "." + std::to_string(a[1]) + "." + std::to_string(a[2]) + "." + std::to_string(a[3]);
}

bool parse_ipv4(const std::string& text, std::uint8_t (&out)[4])
{
    unsigned a, b, c, d;
    char tail;
    if (std::sscanf(text.c_str(), "%u.%u.%u.%u%c", &a, &b, &c, &d, &tail) != 4 || a > 255 || b > 255 || c > 255 ||
        d > 255)
        return false;
    out[0] = static_cast<std::uint8_t>(a);
    out[1] = static_cast<std::uint8_t>(b);
    out[2] = static_cast<std::uint8_t>(c);
    out[3] = static_cast<std::uint8_t>(d);
    return true;
}

class demo_host
{
public:
    // Sets up the host and the wire; the application's thread starts at once and waits
    // for the client's tunnel.
    demo_host(const std::string& server_address, std::uint16_t server_port, std::uint16_t endpoint_port,
              const std::uint8_t (&ping)[4], bool dual)
        : family_(dual ? dual_family : single_family)
    {
        std::memcpy(ping_, ping, 4);
        adapter_ = simhost::host::instance().add_adapter({});
        auto& network = simhost::host_network::instance();
        network.add_address(adapter_.guid, local_address, 24);
        network.add_default_gateway(adapter_.guid, gateway_address, gateway_mac);
        wire_ = new simhost::wire;
        wire_->add_endpoint(server_address, server_port, endpoint_port);
        say("simulated host: adapter %s with %s/24, default gateway %s; the wire carries 127.0.0.1:%u to the "
            "WireGuard server at %s:%u",
            adapter_.guid.c_str(), local_address, gateway_address, endpoint_port, server_address.c_str(), server_port);
        if (dual) {
            virtual_ = simhost::virtnet_driver::instance().load();
            say("simulated host: the Lorrivan virtual adapter driver with adapter %s, not activated, no address",
                virtual_->guid.c_str());
        }
        before_ = host_state();
        std::thread([this] { application(); }).detach();
    }

    // At the process's end, after the library's exit-time clean-up: is the host as it
    // was before the client started? The filter modes count too: the client stopped its
    // tunnel.
    void report_host_at_exit() const
    {
        const tunnel_test::dual_host_state now = host_state();
        if (now == before_) {
            say("after the client's exit the simulated host is as it was before the client started");
            return;
        }
        std::ostringstream before;
        std::ostringstream after;
        tunnel_test::PrintTo(before_, &before);
        tunnel_test::PrintTo(now, &after);
        say("after the client's exit the simulated host is NOT as it was before the client started:\n  before: "
            "%s\n  after:  %s",
            before.str().c_str(), after.str().c_str());
    }

private:
    // What a tunnel may change on the host (the virtual adapter's part only when it exists).
    tunnel_test::dual_host_state host_state() const
    {
        if (virtual_)
            return tunnel_test::read_dual_host_state(adapter_, *virtual_);
        tunnel_test::dual_host_state s;
        s.network = simhost::host_network::instance().snapshot();
        s.physical_mode = simhost::packet_driver::instance().mode(adapter_.filter_handle);
        return s;
    }

    // The virtual adapter as the tunnel's activation left it.
    void show_virtual_adapter() const
    {
        const tunnel_test::dual_host_state s = host_state();
        std::string addresses;
        for (const auto& a : tunnel_test::address_texts(s.network, virtual_->guid))
            addresses += " " + a;
        say("the virtual adapter %s as the simulated host sees it: %s", virtual_->guid.c_str(),
            s.activated ? "activated" : "NOT ACTIVATED");
        say("  addresses:%s", addresses.empty() ? " none" : addresses.c_str());
        say("  DNS servers (NameServer): IPv4 %s, IPv6 %s", s.ipv4_name_server.value_or("none").c_str(),
            s.ipv6_name_server.value_or("none").c_str());
        for (const auto& r : s.network.routes)
            if (r.guid == virtual_->guid)
                say("  route %s, metric %u", r.destination.c_str(), static_cast<unsigned>(r.metric));
    }

    // An application of the simulated host that pings through the tunnel.
    void application()
    {
        auto& driver = simhost::packet_driver::instance();
        // The tunnel's filter holds the adapter's traffic once the client has started it.
        if (!wait([&] { return driver.mode(adapter_.filter_handle) != 0; }, 120s)) {
            say("the client did not start a tunnel");
            return;
        }
        // The client has the family's handle by now: this returns the same one.
        void* const handle = family_.get_handle(nullptr, 0, false);
        if (!wait([&] { return family_.get_tunnel_active(handle); }, 20s)) {
            say("the tunnel did not become active");
            return;
        }
        say("the handshake is done: the tunnel is active");
        if (virtual_)
            show_virtual_adapter();
        int replies = 0;
        for (int sequence = 1; sequence <= echo_count; ++sequence) {
            if (ping(static_cast<std::uint16_t>(sequence)))
                ++replies;
            std::this_thread::sleep_for(500ms);
        }
        const tunnel_state state = family_.get_tunnel_state(handle);
        say("tunnel statistics: last handshake %lld s ago, %llu bytes sent, %llu bytes received, estimated loss %g, "
            "estimated round-trip time %d ms",
            static_cast<long long>(state.time_since_last_handshake), static_cast<unsigned long long>(state.tx_bytes),
            static_cast<unsigned long long>(state.rx_bytes), static_cast<double>(state.estimated_loss),
            static_cast<int>(state.estimated_rtt));
        const auto counters = wire_->stats();
        say("the wire carried %llu datagrams to the server and %llu back",
            static_cast<unsigned long long>(counters.to_peer), static_cast<unsigned long long>(counters.from_peer));
        say("%d of %d echo requests answered", replies, echo_count);
        say("done");
    }

    // One echo request that the application sends through the host's stack, and its reply
    // as it comes up the stack.
    bool ping(std::uint16_t sequence)
    {
        const std::size_t data_size = 56;
        bytes data(data_size);
        for (std::size_t i = 0; i < data_size; ++i)
            data[i] = static_cast<std::uint8_t>('a' + i % 26);

        simhost::application app;
        const auto sent = std::chrono::steady_clock::now();
        const auto request = app.send_echo(address_text(ping_), echo_id, sequence, data);
        if (!request) {
            say("application: the echo request could not be sent: %s", request.refused.c_str());
            return false;
        }
        // The stack chose the source address and the adapter.
        say("application: ICMP echo request %s -> %s, id 0x%04x, sequence %u, %u bytes, through %s",
            address_text(&request.frame[26]).c_str(), address_text(ping_).c_str(), echo_id, sequence,
            static_cast<unsigned>(20 + 8 + data_size),
            virtual_ && request.guid == virtual_->guid ? "the virtual adapter" : "the physical adapter");
        // Woken as the reply arrives, so that the reported time is the tunnel's.
        const std::optional<bytes> reply = app.receive_echo_reply(echo_id, sequence, 3s);
        if (!reply) {
            say("application: no echo reply to sequence %u", sequence);
            return false;
        }
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - sent);
        const std::uint8_t* r = &(*reply)[14];
        const std::size_t header = static_cast<std::size_t>(r[0] & 0x0F) * 4;
        const std::size_t total = get16(r + 2);
        const bool valid = total <= reply->size() - 14 && sum16(r, header) == 0xFFFF &&
                           sum16(r + header, total - header) == 0xFFFF;
        const bool same_data =
            total == 20 + 8 + data_size && std::memcmp(r + header + 8, data.data(), data_size) == 0;
        say("application: ICMP echo reply   %s -> %s, id 0x%04x, sequence %u, %u bytes, %s, %s, %lld ms",
            address_text(r + 12).c_str(), address_text(r + 16).c_str(), echo_id, sequence, static_cast<unsigned>(total),
            valid ? "checksums valid" : "BAD CHECKSUMS", same_data ? "same data" : "OTHER DATA",
            static_cast<long long>(elapsed.count()));
        return valid && same_data;
    }

    template <class Condition>
    static bool wait(Condition condition, std::chrono::milliseconds limit,
                     std::chrono::milliseconds interval = 20ms)
    {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (!condition()) {
            if (std::chrono::steady_clock::now() > end)
                return false;
            std::this_thread::sleep_for(interval);
        }
        return true;
    }

    const tunnel_family family_;
    simhost::adapter adapter_;
    std::optional<simhost::adapter> virtual_;
    tunnel_test::dual_host_state before_;
    simhost::wire* wire_ = nullptr; // never destroyed, see above
    std::uint8_t ping_[4] = {};
};

demo_host* the_host = nullptr;

// Runs when the library is loaded, and the report when the process ends: the
// library's manager is made later and so destroyed (its clean-up done) earlier.
struct demo_start {
    demo_start()
    {
        const char* server = std::getenv("LORRIVAN_DEMO_SERVER");
        if (!server || !*server)
            return;
        try {
            const std::string text = server;
            const std::size_t colon = text.rfind(':');
            const char* endpoint = std::getenv("LORRIVAN_DEMO_ENDPOINT_PORT");
            const char* ping_text = std::getenv("LORRIVAN_DEMO_PING");
            std::uint8_t ping[4];
            if (colon == std::string::npos || !endpoint || !ping_text || !parse_ipv4(ping_text, ping)) {
                say("LORRIVAN_DEMO_SERVER, LORRIVAN_DEMO_ENDPOINT_PORT and LORRIVAN_DEMO_PING are needed");
                return;
            }
            const char* dual = std::getenv("LORRIVAN_DEMO_DUAL");
            the_host = new demo_host(text.substr(0, colon),
                                     static_cast<std::uint16_t>(std::atoi(text.c_str() + colon + 1)),
                                     static_cast<std::uint16_t>(std::atoi(endpoint)), ping,
                                     dual && std::strcmp(dual, "1") == 0);
        } catch (const std::exception& e) {
            say("the simulated host could not be set up: %s", e.what());
        }
    }
    ~demo_start()
    {
        try {
            if (the_host)
                the_host->report_host_at_exit();
        } catch (const std::exception& e) {
            say("the host could not be read at the end: %s", e.what());
        }
    }
} const started;
} // namespace
