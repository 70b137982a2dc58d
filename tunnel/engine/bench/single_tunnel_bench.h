#pragma once
// What the single-adapter tunnel's benchmark programs share: a tunnel whose handshake
// with a second engine in the program (the server's side) is done, the frames of
// 1420-byte tunnelled TCP segments in both directions, and the bare engine calls that
// the handlers wrap, for the ratios.
//
// Addresses: the machine 192.0.2.10 on the default adapter, the server 198.51.100.7
// port 51820, the tunnel address 10.8.0.2, the remote end of the segments 10.8.0.1
// (AllowedIPs 10.0.0.0/8, no application lists).
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "classify_packet.h"
#include "config/address_parsers.h"
#include "wg_tunnel.h"

namespace single_bench
{
using clock_type = std::chrono::steady_clock;
using packet_action = wireguard::wg_tunnel::packet_action;
using frame_bytes = std::vector<std::uint8_t>;

// The members that the classifier reads from its manager.
struct bench_manager {
    std::uint32_t log_level = 0;
    ::log_callback log_callback = nullptr;
    std::unique_ptr<wireguard::wg_config> config;
    bool dns_cache_bypass = false;
};

inline constexpr std::uint8_t local4[4] = {192, 0, 2, 10};
inline constexpr std::uint8_t server4[4] = {198, 51, 100, 7};
inline constexpr std::uint8_t tunnel4[4] = {10, 8, 0, 2};
inline constexpr std::uint8_t remote4[4] = {10, 8, 0, 1};
inline constexpr std::uint8_t gateway_mac[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
inline constexpr std::uint16_t server_port = 51820;
inline constexpr std::uint16_t local_port = 40000;
inline constexpr std::size_t packet_size = 1420;

[[noreturn]] inline void fail(const char* program, const char* what)
{
    std::fprintf(stderr, "%s: %s\n", program, what);
    std::exit(1);
}

inline std::string key_text(const x25519_key& key)
{
    const char* p = x25519_key_to_base64(key);
    std::string s = p;
    x25519_key_to_str_free(p);
    return s;
}

inline void put16(std::uint8_t* p, std::uint16_t v)
{
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}

// An IPv4 TCP segment (ACK with data) of `size` bytes.
inline frame_bytes tcp_packet(const std::uint8_t* source, const std::uint8_t* destination, std::size_t size)
{
    frame_bytes p(size);
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

// An Ethernet frame around an IP packet, to the gateway's MAC address.
inline frame_bytes ethernet(const frame_bytes& ip)
{
    frame_bytes f(14 + ip.size());
    const std::uint8_t own_mac[6] = {0x02, 0, 0, 0, 0, 0xAA};
    std::memcpy(f.data(), gateway_mac, 6);
    std::memcpy(f.data() + 6, own_mac, 6);
    put16(&f[12], 0x0800);
    std::memcpy(&f[14], ip.data(), ip.size());
    return f;
}

// A UDP datagram from the server to the socket's port holding `payload`.
inline frame_bytes from_server(const std::uint8_t* payload, std::size_t n)
{
    frame_bytes ip(28 + n);
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

inline void load(_INTERMEDIATE_BUFFER& record, const frame_bytes& frame, std::uint32_t direction)
{
    std::memcpy(record.frame, frame.data(), frame.size());
    record.length = static_cast<std::uint32_t>(frame.size());
    record.direction = direction;
}

inline double nanoseconds_per(clock_type::time_point start, long packets)
{
    return std::chrono::duration<double, std::nano>(clock_type::now() - start).count() / static_cast<double>(packets);
}

// Transport data sealed by the server's engine around `inner`, frames ready for the
// tunnel's side (each with the next counter, so that the tunnel takes them in this
// order). Empty when the server cannot seal.
inline std::vector<frame_bytes> sealed_frames(wireguard_tunnel* server, const frame_bytes& inner, std::size_t count)
{
    std::vector<frame_bytes> frames;
    frames.reserve(count);
    std::vector<std::uint8_t> out(2048);
    for (std::size_t i = 0; i < count; ++i) {
        const auto r = wireguard_write(server, inner.data(), static_cast<std::uint32_t>(inner.size()), out.data(),
                                       static_cast<std::uint32_t>(out.size()));
        if (r.op != WRITE_TO_NETWORK)
            return {};
        frames.push_back(from_server(out.data(), r.size));
    }
    return frames;
}

// Nanoseconds per bare wireguard_write of the frame's packet, each frame loaded afresh
// into a record as the handlers' frames are; negative when the engine does not encrypt.
inline double bare_write_ns(wireguard_tunnel* engine, const frame_bytes& frame, long packets)
{
    static _INTERMEDIATE_BUFFER record{};
    std::uint8_t out[2048];
    const auto start = clock_type::now();
    for (long i = 0; i < packets; ++i) {
        load(record, frame, rimcap::direction_outgoing);
        const auto r = wireguard_write(engine, record.frame + 14, static_cast<std::uint32_t>(frame.size() - 14), out,
                                       1472);
        if (r.op != WRITE_TO_NETWORK)
            return -1;
    }
    return nanoseconds_per(start, packets);
}

// Nanoseconds per bare wireguard_read of fresh transport data; negative when the engine
// does not decrypt.
inline double bare_read_ns(wireguard_tunnel* engine, const std::vector<frame_bytes>& frames)
{
    static _INTERMEDIATE_BUFFER record{};
    std::uint8_t out[2048];
    const auto start = clock_type::now();
    for (const auto& frame : frames) {
        load(record, frame, rimcap::direction_incoming);
        const auto r = wireguard_read(engine, record.frame + 42, static_cast<std::uint32_t>(frame.size() - 42), out,
                                      1500);
        if (r.op != WRITE_TO_TUNNEL_IPV4)
            return -1;
    }
    return nanoseconds_per(start, static_cast<long>(frames.size()));
}

// The tunnel, active after a handshake with the server's engine; program names the
// benchmark in failure messages.
class tunnel_fixture
{
public:
    explicit tunnel_fixture(const char* program) : program_(program)
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
        std::memcpy(t.address_switching.next_hop_mac.data(), gateway_mac, 6);

        manager_.config = std::make_unique<wireguard::wg_config>();
        manager_.config->peer_config.allowed_ips = wireguard::parse_prefix_list("10.0.0.0/8");
        t.allowed_ips = manager_.config->peer_config.allowed_ips;

        handshake();
        outgoing_frame_ = ethernet(tcp_packet(local4, remote4, packet_size));
        inner_ = tcp_packet(remote4, tunnel4, packet_size);
    }
    ~tunnel_fixture()
    {
        tunnel_.reset();
        tunnel_free(server_);
    }
    tunnel_fixture(const tunnel_fixture&) = delete;
    tunnel_fixture& operator=(const tunnel_fixture&) = delete;

    wireguard::wg_tunnel& tunnel() { return *tunnel_; }
    bench_manager& manager() { return manager_; }
    [[noreturn]] void fail(const char* what) const { single_bench::fail(program_, what); }

    // The frame that the stack sends: a tunnelled segment to 10.8.0.1.
    const frame_bytes& outgoing_frame() const { return outgoing_frame_; }

    // Transport data made by the server, frames ready for the tunnel's side.
    std::vector<frame_bytes> sealed_frames(std::size_t count)
    {
        auto frames = single_bench::sealed_frames(server_, inner_, count);
        if (frames.size() != count)
            fail("the server did not encrypt");
        return frames;
    }

    // The bare engine calls that the handlers wrap, on the tunnel's engine.
    double write_ns(long packets)
    {
        const double ns = bare_write_ns(tunnel_->engine_handle.get(), outgoing_frame_, packets);
        if (ns < 0)
            fail("wireguard_write did not encrypt");
        return ns;
    }
    double read_ns(const std::vector<frame_bytes>& frames)
    {
        const double ns = bare_read_ns(tunnel_->engine_handle.get(), frames);
        if (ns < 0)
            fail("wireguard_read did not decrypt");
        return ns;
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

    const char* program_;
    std::unique_ptr<wireguard::wg_tunnel> tunnel_;
    wireguard_tunnel* server_ = nullptr;
    bench_manager manager_;
    _INTERMEDIATE_BUFFER record_{};
    frame_bytes outgoing_frame_;
    frame_bytes inner_;
};
} // namespace single_bench
