// Packet path speed: frames per second through the tunnels' packet handlers for
// 1420-byte tunnelled packets on one core (the single-adapter tunnel's outgoing_handler
// and incoming_handler, the dual tunnel's process_virtual_adapter_packet and
// process_server_packet), against the engine's bare wireguard_write / wireguard_read on
// the same packets, as a ratio. Each frame is loaded afresh into the record before it is handled, and the bare
// loops copy the same bytes, so both sides pay the same for the harness.
//
// Outgoing: a TCP segment of 1420 bytes to an address in AllowedIPs, classified by the
// manager's classifier (no application lists), gated, readdressed, encrypted and
// rebuilt as the datagram to the server. Incoming: transport data from the server
// holding such a segment, decrypted in place and readdressed. The server's side is a
// second engine in the program. The dual tunnel's rows are the same packets: the
// segment as the virtual adapter sends it (from the tunnel address), sealed into a
// datagram for the physical adapter, and the server's transport data opened for the
// virtual adapter.
//
//   wine handler_bench.exe [packets] [--only NAME]   (default 200000 per measurement)
// Exits with 1 when a handler does not give the expected action.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "host.h"
#include "single_tunnel_bench.h"
#include "wg_dual_tunnel.h"

namespace
{
using namespace single_bench;

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The single tunnel's handlers on the fixture's frames.
class single_handlers
{
public:
    single_handlers() : fixture_("handler_bench") {}

    tunnel_fixture& fixture() { return fixture_; }

    // Nanoseconds per frame through outgoing_handler, with the manager's classifier or
    // one that tunnels everything.
    double outgoing_ns(long packets, bool with_classifier = true)
    {
        wireguard::classify_packet<bench_manager> manager_classify(fixture_.manager());
        auto everything = [](_INTERMEDIATE_BUFFER&) { return true; };
        const wireguard::classifier_ref classify =
            with_classifier ? wireguard::classifier_ref(manager_classify) : wireguard::classifier_ref(everything);
        auto& t = fixture_.tunnel();
        const auto& frame = fixture_.outgoing_frame();
        const auto start = clock_type::now();
        for (long i = 0; i < packets; ++i) {
            load(record_, frame, rimcap::direction_outgoing);
            if (t.outgoing_handler(nullptr, record_, classify) != packet_action::pass)
                fixture_.fail("outgoing_handler did not pass a tunnelled packet");
        }
        return nanoseconds_per(start, packets);
    }

    // Nanoseconds per frame through incoming_handler, on fresh transport data.
    double incoming_ns(const std::vector<frame_bytes>& frames)
    {
        auto& t = fixture_.tunnel();
        const auto start = clock_type::now();
        for (const auto& frame : frames) {
            load(record_, frame, rimcap::direction_incoming);
            if (t.incoming_handler(nullptr, record_) != packet_action::pass || record_.length != 14 + packet_size)
                fixture_.fail("incoming_handler did not deliver transport data");
        }
        return nanoseconds_per(start, static_cast<long>(frames.size()));
    }

private:
    tunnel_fixture fixture_;
    _INTERMEDIATE_BUFFER record_{};
};

// The dual tunnel's two data handlers, active after a handshake with a server engine of
// its own, with the manager's classifier of the single tunnel's fixture.
class dual_handlers
{
public:
    explicit dual_handlers(bench_manager& manager) : manager_(manager)
    {
        const x25519_key client_secret = x25519_secret_key();
        const x25519_key server_secret = x25519_secret_key();
        tunnel_ = std::make_unique<wireguard::wg_dual_tunnel>(
            key_text(client_secret), key_text(x25519_public_key(server_secret)), std::nullopt, 0, nullptr, 0);
        server_ = wireguard::engine_tunnel_handle(new_tunnel(
            key_text(server_secret).c_str(), key_text(x25519_public_key(client_secret)).c_str(), nullptr, 0, 0x4500));
        if (!server_)
            fail("handler_bench", "no server engine for the dual tunnel");
        auto& t = *tunnel_;
        t.server_endpoint.family = wireguard::family_ipv4;
        std::memcpy(t.server_endpoint.address.data(), server4, 4);
        t.server_endpoint.port = server_port;
        t.local_udp_port = local_port;
        std::memcpy(&t.tunnel_ipv4_address, tunnel4, 4);
        t.allowed_ips = wireguard::parse_prefix_list("10.0.0.0/8");
        wireguard::physical_addressing a;
        std::memcpy(&a.local_ipv4, local4, 4);
        std::memcpy(a.next_hop_mac.data(), gateway_mac, 6);
        t.learned.store(a);
        t.default_view.store(std::make_shared<const wireguard::default_adapter_view>(
            wireguard::default_adapter_view{1500, "{5A4B3C2D-0000-4000-8000-00AABBCCDDEE}"}));
        t.active = true;
        handshake();
        virtual_frame_ = ethernet(tcp_packet(tunnel4, remote4, packet_size));
        inner_ = tcp_packet(remote4, tunnel4, packet_size);
    }

    double virtual_ns(long packets)
    {
        wireguard::classify_packet<bench_manager> classify(manager_);
        auto& t = *tunnel_;
        const auto start = clock_type::now();
        for (long i = 0; i < packets; ++i) {
            load(record_, virtual_frame_, rimcap::direction_outgoing);
            if (t.process_virtual_adapter_packet(record_, wireguard::classifier_ref(classify)) !=
                wireguard::wg_dual_tunnel::packet_action::other_pass)
                fail("handler_bench", "the dual tunnel did not send a tunnelled packet to the physical adapter");
        }
        return nanoseconds_per(start, packets);
    }

    double incoming_ns(const std::vector<frame_bytes>& frames)
    {
        auto& t = *tunnel_;
        const auto start = clock_type::now();
        for (const auto& frame : frames) {
            load(record_, frame, rimcap::direction_incoming);
            if (t.process_server_packet(record_) != wireguard::wg_dual_tunnel::packet_action::other_pass || record_.length != 14 + packet_size)
                fail("handler_bench", "the dual tunnel did not deliver transport data to the virtual adapter");
        }
        return nanoseconds_per(start, static_cast<long>(frames.size()));
    }

    std::vector<frame_bytes> sealed(long count)
    {
        auto frames = sealed_frames(server_.get(), inner_, static_cast<std::size_t>(count));
        if (frames.size() != static_cast<std::size_t>(count))
            fail("handler_bench", "the dual tunnel's server did not encrypt");
        return frames;
    }
    double write_ns(long packets) { return checked(bare_write_ns(tunnel_->engine_handle.get(), virtual_frame_, packets)); }
    double read_ns(const std::vector<frame_bytes>& frames)
    {
        return checked(bare_read_ns(tunnel_->engine_handle.get(), frames));
    }

private:
    static double checked(double ns)
    {
        if (ns < 0)
            fail("handler_bench", "the dual tunnel's engine did not seal or open");
        return ns;
    }

    // Initiation, response and the first transport data (the reply that confirms the
    // session to the server), with the bare engines.
    void handshake()
    {
        std::uint8_t a[2048], b[2048];
        auto* engine = tunnel_->engine_handle.get();
        auto r = wireguard_force_handshake(engine, a, sizeof a);
        if (r.op != WRITE_TO_NETWORK)
            fail("handler_bench", "no initiation from the dual tunnel");
        r = wireguard_read(server_.get(), a, r.size, b, sizeof b);
        if (r.op != WRITE_TO_NETWORK)
            fail("handler_bench", "no response to the dual tunnel");
        r = wireguard_read(engine, b, r.size, a, sizeof a);
        if (r.op != WRITE_TO_NETWORK || wireguard_read(server_.get(), a, r.size, b, sizeof b).op != WIREGUARD_DONE)
            fail("handler_bench", "the dual tunnel's session did not open");
    }

    bench_manager& manager_;
    std::unique_ptr<wireguard::wg_dual_tunnel> tunnel_;
    wireguard::engine_tunnel_handle server_;
    _INTERMEDIATE_BUFFER record_{};
    frame_bytes virtual_frame_;
    frame_bytes inner_;
};

// One row of the table: a handler's frames per second beside the bare engine call that
// it wraps, both measured in short batches taken in turn. A tunnel kind adds its
// handlers as rows of its own (a fixture like `single_handlers` above and two lambdas
// each).
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
    single_handlers b;
    tunnel_fixture& f = b.fixture();
    dual_handlers d(f.manager());
    std::vector<handler_case> cases = {
        {"single outgoing_handler", "wireguard_write", [&](long n) { return b.outgoing_ns(n); },
         [&](long n) { return f.write_ns(n); }},
        {"single incoming_handler", "wireguard_read",
         [&](long n) { return b.incoming_ns(f.sealed_frames(static_cast<std::size_t>(n))); },
         [&](long n) { return f.read_ns(f.sealed_frames(static_cast<std::size_t>(n))); }},
        {"dual process_virtual_adapter_packet", "wireguard_write", [&](long n) { return d.virtual_ns(n); },
         [&](long n) { return d.write_ns(n); }},
        {"dual process_server_packet", "wireguard_read", [&](long n) { return d.incoming_ns(d.sealed(n)); },
         [&](long n) { return d.read_ns(d.sealed(n)); }},
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
        fail("handler_bench", "no such handler");
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
        std::printf("%-36s %9.0f frames/s  bare %-15s %9.0f /s  ratio %5.1f%%  beyond the engine %4.0f ns\n",
                    cases[c].handler, rate(h), cases[c].engine, rate(e), 100.0 * e / h, h - e);
    }
    std::printf("single outgoing classification (manager's classifier against one that tunnels all): %.0f ns\n",
                median(handler[0]) - median(unclassified));
    return 0;
}
