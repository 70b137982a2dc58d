// Packet path speed: frames per second through the single-adapter tunnel's
// outgoing_handler and incoming_handler for 1420-byte tunnelled packets on one core,
// against the engine's bare wireguard_write / wireguard_read on the same packets, as a
// ratio. Each frame is loaded afresh into the record before it is handled, and the bare
// loops copy the same bytes, so both sides pay the same for the harness.
//
// Outgoing: a TCP segment of 1420 bytes to an address in AllowedIPs, classified by the
// manager's classifier (no application lists), gated, readdressed, encrypted and
// rebuilt as the datagram to the server. Incoming: transport data from the server
// holding such a segment, decrypted in place and readdressed. The server's side is a
// second engine in the program.
//
//   wine handler_bench.exe [packets] [--only NAME]   (default 200000 per measurement)
// Exits with 1 when a handler does not give the expected action.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "classify_packet.h"
#include "config/address_parsers.h"
#include "host.h"
#include "wg_tunnel.h"

namespace
{
using clock_type = std::chrono::steady_clock;
using packet_action = wireguard::wg_tunnel::packet_action;

struct bench_manager {
    std::uint32_t log_level = 0;
    ::log_callback log_callback = nullptr;
    std::unique_ptr<wireguard::wg_config> config;
    bool dns_cache_bypass = false;
};

std::string key_text(const x25519_key& key)
{
    const char* p = x25519_key_to_base64(key);
    std::string s = p;
    x25519_key_to_str_free(p);
    return s;
}

void put16(std::uint8_t* p, std::uint16_t v)
{
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}

constexpr std::uint8_t local4[4] = {192, 0, 2, 10};
constexpr std::uint8_t server4[4] = {198, 51, 100, 7};
constexpr std::uint8_t tunnel4[4] = {10, 8, 0, 2};
constexpr std::uint8_t remote4[4] = {10, 8, 0, 1};
constexpr std::uint16_t server_port = 51820;
constexpr std::uint16_t local_port = 40000;
constexpr std::size_t packet_size = 1420;

// An IPv4 TCP segment (ACK with data) of `size` bytes.
std::vector<std::uint8_t> tcp_packet(const std::uint8_t* source, const std::uint8_t* destination, std::size_t size)
{
    std::vector<std::uint8_t> p(size);
    for (std::size_t i = 40; i < size; ++i)
        p[i] = static_cast<std::uint8_t>(i * 13);
    p[0] = 0x45;
    put16(&p[2], static_cast<std::uint16_t>(size));
    put16(&p[4], 0x1234);
    put16(&p[6], 0x4000);
    p[8] = 64;
    p[9] = 6;
    std::memcpy(&p[12], source, 4);
    std::memcpy(&p[16], destination, 4);
    put16(&p[20], 50000);
    put16(&p[22], 443);
    p[32] = 0x50;
    p[33] = 0x10;
    put16(&p[34], 64240);
    return p;
}

// An Ethernet frame around an IP packet.
std::vector<std::uint8_t> ethernet(const std::vector<std::uint8_t>& ip)
{
    std::vector<std::uint8_t> f(14 + ip.size());
    const std::uint8_t macs[12] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x02, 0, 0, 0, 0, 0xAA};
    std::memcpy(f.data(), macs, 12);
    put16(&f[12], 0x0800);
    std::memcpy(&f[14], ip.data(), ip.size());
    return f;
}

// A UDP datagram from the server to the socket's port holding `payload`.
std::vector<std::uint8_t> from_server(const std::uint8_t* payload, std::size_t n)
{
    std::vector<std::uint8_t> ip(28 + n);
    ip[0] = 0x45;
    put16(&ip[2], static_cast<std::uint16_t>(ip.size()));
    ip[8] = 64;
    ip[9] = 17;
    std::memcpy(&ip[12], server4, 4);
    std::memcpy(&ip[16], local4, 4);
    put16(&ip[20], server_port);
    put16(&ip[22], local_port);
    put16(&ip[24], static_cast<std::uint16_t>(8 + n));
    std::memcpy(&ip[28], payload, n);
    return ethernet(ip);
}

void load(_INTERMEDIATE_BUFFER& record, const std::vector<std::uint8_t>& frame, std::uint32_t direction)
{
    std::memcpy(record.frame, frame.data(), frame.size());
    record.length = static_cast<std::uint32_t>(frame.size());
    record.direction = direction;
}

double nanoseconds_per(clock_type::time_point start, long packets)
{
    return std::chrono::duration<double, std::nano>(clock_type::now() - start).count() / static_cast<double>(packets);
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "handler_bench: %s\n", what);
    std::exit(1);
}

class bench
{
public:
    bench()
    {
        const x25519_key client_secret = x25519_secret_key();
        const x25519_key server_secret = x25519_secret_key();
        tunnel_ = std::make_unique<wireguard::wg_tunnel>(key_text(client_secret),
                                                         key_text(x25519_public_key(server_secret)), std::nullopt, 0,
                                                         nullptr, 0);
        server_ = new_tunnel(key_text(server_secret).c_str(), key_text(x25519_public_key(client_secret)).c_str(),
                             nullptr, 0, 0x4400);
        if (!server_)
            fail("no server engine");

        auto& t = *tunnel_;
        t.server_endpoint.family = wireguard::family_ipv4;
        std::memcpy(t.server_endpoint.address.data(), server4, 4);
        t.server_endpoint.port = server_port;
        t.local_udp_port = local_port;
        std::memcpy(&t.address_switching.tunnel_ipv4_address, tunnel4, 4);
        std::memcpy(&t.address_switching.local_ipv4_address, local4, 4);
        const std::uint8_t gateway[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
        std::memcpy(t.address_switching.next_hop_mac.data(), gateway, 6);

        manager_.config = std::make_unique<wireguard::wg_config>();
        manager_.config->peer_config.allowed_ips = wireguard::parse_prefix_list("10.0.0.0/8");

        handshake();
        outgoing_frame_ = ethernet(tcp_packet(local4, remote4, packet_size));
        inner_ = tcp_packet(remote4, tunnel4, packet_size);
    }
    ~bench()
    {
        tunnel_.reset();
        tunnel_free(server_);
    }

    // Nanoseconds per frame through outgoing_handler (with the manager's classifier, or
    // one that tunnels everything), and per bare wireguard_write.
    double outgoing_ns(long packets, bool with_classifier = true)
    {
        wireguard::classify_packet<bench_manager> manager_classify(manager_);
        auto everything = [](_INTERMEDIATE_BUFFER&) { return true; };
        const wireguard::classifier_ref classify =
            with_classifier ? wireguard::classifier_ref(manager_classify) : wireguard::classifier_ref(everything);
        auto& t = *tunnel_;
        const auto start = clock_type::now();
        for (long i = 0; i < packets; ++i) {
            load(record_, outgoing_frame_, rimcap::direction_outgoing);
            if (t.outgoing_handler(nullptr, record_, classify) != packet_action::pass)
                fail("outgoing_handler did not pass a tunnelled packet");
        }
        return nanoseconds_per(start, packets);
    }

    double write_ns(long packets)
    {
        const auto start = clock_type::now();
        for (long i = 0; i < packets; ++i) {
            load(record_, outgoing_frame_, rimcap::direction_outgoing);
            const auto r = wireguard_write(tunnel_->engine_handle.get(), record_.frame + 14,
                                           static_cast<std::uint32_t>(packet_size), out_.data(), 1472);
            if (r.op != WRITE_TO_NETWORK)
                fail("wireguard_write did not encrypt");
        }
        return nanoseconds_per(start, packets);
    }

    // Transport data made by the server, frames ready for the tunnel's side.
    std::vector<std::vector<std::uint8_t>> sealed_frames(std::size_t count)
    {
        std::vector<std::vector<std::uint8_t>> frames;
        frames.reserve(count);
        for (std::size_t i = 0; i < count; ++i) {
            const auto r = wireguard_write(server_, inner_.data(), static_cast<std::uint32_t>(inner_.size()),
                                           out_.data(), static_cast<std::uint32_t>(out_.size()));
            if (r.op != WRITE_TO_NETWORK)
                fail("the server did not encrypt");
            frames.push_back(from_server(out_.data(), r.size));
        }
        return frames;
    }

    // Nanoseconds per frame through incoming_handler, and per bare wireguard_read, each
    // on fresh transport data.
    double incoming_ns(const std::vector<std::vector<std::uint8_t>>& frames)
    {
        auto& t = *tunnel_;
        const auto start = clock_type::now();
        for (const auto& frame : frames) {
            load(record_, frame, rimcap::direction_incoming);
            if (t.incoming_handler(nullptr, record_) != packet_action::pass || record_.length != 14 + packet_size)
                fail("incoming_handler did not deliver transport data");
        }
        return nanoseconds_per(start, static_cast<long>(frames.size()));
    }

    double read_ns(const std::vector<std::vector<std::uint8_t>>& frames)
    {
        const auto start = clock_type::now();
        for (const auto& frame : frames) {
            load(record_, frame, rimcap::direction_incoming);
            const auto r = wireguard_read(tunnel_->engine_handle.get(), record_.frame + 42,
                                          static_cast<std::uint32_t>(frame.size() - 42), out_.data(), 1500);
            if (r.op != WRITE_TO_TUNNEL_IPV4)
                fail("wireguard_read did not decrypt");
        }
        return nanoseconds_per(start, static_cast<long>(frames.size()));
    }

private:
    void handshake()
    {
        auto& t = *tunnel_;
        std::vector<std::uint8_t> buffer(2048);
        auto r = wireguard_force_handshake(t.engine_handle.get(), buffer.data(), static_cast<std::uint32_t>(buffer.size()));
        if (r.op != WRITE_TO_NETWORK)
            fail("no initiation");
        std::vector<std::uint8_t> response(2048);
        r = wireguard_read(server_, buffer.data(), static_cast<std::uint32_t>(r.size), response.data(),
                           static_cast<std::uint32_t>(response.size()));
        if (r.op != WRITE_TO_NETWORK)
            fail("no response");
        load(record_, from_server(response.data(), r.size), rimcap::direction_incoming);
        if (t.incoming_handler(nullptr, record_) != packet_action::revert)
            fail("the response was not turned round");
        r = wireguard_read(server_, record_.frame + 42, 32, buffer.data(), static_cast<std::uint32_t>(buffer.size()));
        if (r.op != WIREGUARD_DONE)
            fail("the server did not take the reply");
    }

    std::unique_ptr<wireguard::wg_tunnel> tunnel_;
    wireguard_tunnel* server_ = nullptr;
    bench_manager manager_;
    _INTERMEDIATE_BUFFER record_{};
    std::vector<std::uint8_t> outgoing_frame_;
    std::vector<std::uint8_t> inner_;
    std::vector<std::uint8_t> out_ = std::vector<std::uint8_t>(2048);
};

// One row of the table: a handler's frames per second beside the bare engine call that
// it wraps, both measured in short batches taken in turn. A tunnel kind adds its
// handlers as rows of its own (a fixture like `bench` above and two lambdas each).
struct handler_case {
    const char* handler; // "single outgoing_handler"
    const char* engine;  // "wireguard_write"
    std::function<double(long)> handler_ns; // nanoseconds per frame over a batch
    std::function<double(long)> engine_ns;
};

double rate(double ns)
{
    return ns > 0 ? 1e9 / ns : 0;
}
} // namespace

// Arguments: [packets] [--only NAME]. With --only, the named handler (or bare engine
// call) runs alone for all the packets, for a profiler's view of it; only its figure
// is printed.
int main(int argc, char** argv)
{
    long packets = 200000;
    std::string only;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc)
            only = argv[++i];
        else
            packets = std::max(1L, std::atol(argv[i]));
    }
    simhost::host::instance().reset();
    bench b;
    std::vector<handler_case> cases = {
        {"single outgoing_handler", "wireguard_write", [&](long n) { return b.outgoing_ns(n); },
         [&](long n) { return b.write_ns(n); }},
        {"single incoming_handler", "wireguard_read",
         [&](long n) { return b.incoming_ns(b.sealed_frames(static_cast<std::size_t>(n))); },
         [&](long n) { return b.read_ns(b.sealed_frames(static_cast<std::size_t>(n))); }},
    };
    const long batch = std::min(packets, 1000L);
    const long batches = std::max(1L, packets / batch);

    if (!only.empty()) {
        for (const auto& c : cases) {
            if (only != c.handler && only != c.engine)
                continue;
            const auto& run = only == c.handler ? c.handler_ns : c.engine_ns;
            std::vector<double> ns;
            for (long i = 0; i < batches; ++i)
                ns.push_back(run(batch));
            std::printf("%s %9.0f frames/s\n", only.c_str(), rate(median(ns)));
            return 0;
        }
        fail("no such handler");
    }

    for (const auto& c : cases) { // warm up
        c.handler_ns(std::min(packets, 20000L));
        c.engine_ns(std::min(packets, 20000L));
    }
    // Short batches, the handler's and the engine's in turn, so that both see the same
    // machine; the median batch of each stands for it (other work on the machine only
    // ever slows a batch down).
    std::vector<std::vector<double>> handler(cases.size()), engine(cases.size());
    std::vector<double> unclassified;
    for (long i = 0; i < batches; ++i) {
        for (std::size_t c = 0; c < cases.size(); ++c) {
            handler[c].push_back(cases[c].handler_ns(batch));
            engine[c].push_back(cases[c].engine_ns(batch));
        }
        unclassified.push_back(b.outgoing_ns(batch, false));
    }
    std::printf("1420-byte tunnelled packets, one core, %ld batches of %ld (medians)\n", batches, batch);
    for (std::size_t c = 0; c < cases.size(); ++c) {
        const double h = median(handler[c]), e = median(engine[c]);
        std::printf("%-24s %9.0f frames/s  bare %-15s %9.0f /s  ratio %5.1f%%  beyond the engine %4.0f ns\n",
                    cases[c].handler, rate(h), cases[c].engine, rate(e), 100.0 * e / h, h - e);
    }
    std::printf("single outgoing classification (manager's classifier against one that tunnels all): %.0f ns\n",
                median(handler[0]) - median(unclassified));
    return 0;
}
