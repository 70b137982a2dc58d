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
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "host.h"
#include "single_tunnel_bench.h"

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
    std::vector<handler_case> cases = {
        {"single outgoing_handler", "wireguard_write", [&](long n) { return b.outgoing_ns(n); },
         [&](long n) { return f.write_ns(n); }},
        {"single incoming_handler", "wireguard_read",
         [&](long n) { return b.incoming_ns(f.sealed_frames(static_cast<std::size_t>(n))); },
         [&](long n) { return f.read_ns(f.sealed_frames(static_cast<std::size_t>(n))); }},
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
        std::printf("%-24s %9.0f frames/s  bare %-15s %9.0f /s  ratio %5.1f%%  beyond the engine %4.0f ns\n",
                    cases[c].handler, rate(h), cases[c].engine, rate(e), 100.0 * e / h, h - e);
    }
    std::printf("single outgoing classification (manager's classifier against one that tunnels all): %.0f ns\n",
                median(handler[0]) - median(unclassified));
    return 0;
}
