// Classification speed: packets per second for a packet of an already known flow while
// AllowedApps is set (family lock, frame checks, prefix lists, the owner from the
// family's memo of the last lookup, application list search), against the same packet
// without application lists (no owner lookup); and the owner lookup alone, through the
// table (shared lock, hash probe, reference count) and through a memo. Runs on the
// simulated host; run by hand:
//   wine classify_bench.exe [packets]
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "classify_packet.h"
#include "config/address_parsers.h"
#include "config/app_list.h"
#include "host.h"
#include "socket_owners.h"

namespace
{
struct bench_manager {
    std::uint32_t log_level = 2;
    ::log_callback log_callback = nullptr;
    std::unique_ptr<wireguard::wg_config> config;
    bool dns_cache_bypass = false;
};

void put16(std::uint8_t* p, std::uint16_t v)
{
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}

// An Ethernet frame with a TCP segment (ACK, 100 bytes of data) from local:port to the
// remote address, port 443.
void load_tcp(_INTERMEDIATE_BUFFER& r, bool ipv6, std::uint16_t port)
{
    std::memset(&r, 0, sizeof r);
    std::uint8_t* f = r.frame;
    const std::size_t ip = 14;
    std::size_t tcp;
    const std::size_t payload = 100;
    if (ipv6) {
        put16(f + 12, 0x86DD);
        f[ip] = 0x60;
        put16(f + ip + 4, static_cast<std::uint16_t>(20 + payload));
        f[ip + 6] = 6;
        f[ip + 7] = 64;
        const std::uint8_t src[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
        const std::uint8_t dst[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
        std::memcpy(f + ip + 8, src, 16);
        std::memcpy(f + ip + 24, dst, 16);
        tcp = ip + 40;
    } else {
        put16(f + 12, 0x0800);
        f[ip] = 0x45;
        put16(f + ip + 2, static_cast<std::uint16_t>(20 + 20 + payload));
        f[ip + 8] = 64;
        f[ip + 9] = 6;
        const std::uint8_t src[4] = {192, 0, 2, 10};
        const std::uint8_t dst[4] = {198, 51, 100, 7};
        std::memcpy(f + ip + 12, src, 4);
        std::memcpy(f + ip + 16, dst, 4);
        tcp = ip + 20;
    }
    put16(f + tcp, port);
    put16(f + tcp + 2, 443);
    f[tcp + 12] = 0x50;
    f[tcp + 13] = 0x10; // ACK
    r.length = static_cast<std::uint32_t>(tcp + 20 + payload);
}

double packets_per_second(const wireguard::classify_packet<bench_manager>& classify, _INTERMEDIATE_BUFFER& r,
                          long packets, bool expected)
{
    for (int i = 0; i < 1000; ++i)
        classify(r); // warm the caches
    long wrong = 0;
    const auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < packets; ++i)
        if (classify(r) != expected)
            ++wrong;
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    if (wrong)
        std::printf("unexpected decisions: %ld\n", wrong);
    return static_cast<double>(packets) / took.count();
}
} // namespace

int main(int argc, char** argv)
{
    const long packets = argc > 1 ? std::atol(argv[1]) : 2000000;
    auto& owners = simhost::socket_owners::instance();
    owners.add_program(100, L"chrome.exe", L"C:\\Program Files\\Google\\Chrome\\chrome.exe");
    owners.add_program(200, L"Firefox.EXE", L"C:\\Program Files\\Mozilla\\firefox.exe");
    // A busy host: a thousand connections of each family.
    for (std::uint16_t i = 0; i < 1000; ++i) {
        const std::uint32_t pid = i % 2 ? 100 : 200;
        owners.add_tcp_connection("192.0.2.10", static_cast<std::uint16_t>(40000 + i), "198.51.100.7", 443, pid);
        owners.add_tcp_connection("2001:db8::1", static_cast<std::uint16_t>(40000 + i), "2001:db8::2", 443, pid);
    }

    bench_manager manager;
    manager.config = std::make_unique<wireguard::wg_config>();
    auto& peer = manager.config->peer_config;
    peer.allowed_ips = wireguard::parse_prefix_list("10.0.0.0/8, 198.51.100.0/24, 0.0.0.0/0, ::/0");
    peer.disallowed_ips = wireguard::parse_prefix_list("203.0.113.1, 203.0.113.2, 2001:db8:ffff::/48");
    peer.allowed_apps = wireguard::split_app_list("FIREFOX.EXE, EDGE, CHROME.EXE");
    const wireguard::classify_packet<bench_manager> classify(manager);

    _INTERMEDIATE_BUFFER r;
    load_tcp(r, false, 40001); // chrome's connection
    const double apps_v4 = packets_per_second(classify, r, packets, true);
    load_tcp(r, true, 40001);
    const double apps_v6 = packets_per_second(classify, r, packets, true);

    peer.allowed_apps.clear();
    load_tcp(r, false, 40001);
    const double plain_v4 = packets_per_second(classify, r, packets, true);

    // The owner-cache hit alone (shared lock, hash probe, reference count).
    const std::uint8_t local[4] = {192, 0, 2, 10};
    const std::uint8_t remote[4] = {198, 51, 100, 7};
    iphelper::flow_key_v4 key{};
    std::memcpy(&key.local_address, local, 4);
    std::memcpy(&key.remote_address, remote, 4);
    key.local_port = 40001;
    key.remote_port = 443;
    auto& cache = iphelper::process_lookup_v4::instance();
    long misses = 0;
    const auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < packets; ++i)
        if (cache.lookup_tcp(key) == cache.system_process())
            ++misses;
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    const double hits = static_cast<double>(packets) / took.count();

    // The same key through a memo of the last answer, as the classification asks it.
    iphelper::process_lookup_v4::tcp_memo memo;
    const auto memo_start = std::chrono::steady_clock::now();
    for (long i = 0; i < packets; ++i)
        if (&cache.lookup_tcp(key, memo) == cache.system_process().get())
            ++misses;
    const std::chrono::duration<double> memo_took = std::chrono::steady_clock::now() - memo_start;
    const double memo_hits = static_cast<double>(packets) / memo_took.count();

    std::printf("classification of a known TCP flow, AllowedApps set, IPv4: %.0f packets/s (%.0f ns each)\n", apps_v4,
                1e9 / apps_v4);
    std::printf("classification of a known TCP flow, AllowedApps set, IPv6: %.0f packets/s (%.0f ns each)\n", apps_v6,
                1e9 / apps_v6);
    std::printf("classification without application lists, IPv4:          %.0f packets/s (%.0f ns each)\n", plain_v4,
                1e9 / plain_v4);
    std::printf("owner cache hit alone, IPv4:                             %.0f lookups/s (%.0f ns each)%s\n", hits,
                1e9 / hits, misses ? " (misses!)" : "");
    std::printf("owner memo hit, IPv4:                                    %.0f lookups/s (%.0f ns each)\n", memo_hits,
                1e9 / memo_hits);
    std::printf("ratio with AllowedApps to without (IPv4): %.2f\n", apps_v4 / plain_v4);
    return 0;
}
