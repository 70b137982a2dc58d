// Pipeline speed: the single-adapter tunnel's queued filter with its real handlers on
// the simulated packet filter driver, all four worker threads (read, process, send to
// the stack, send to the adapter), frames per second end to end: from the frames'
// arrival in the driver until the last of them has left it. Beside each direction, the
// engine's one-core figure for the same packets (bare wireguard_write or
// wireguard_read), measured in the same run, and their ratio.
//
// Outgoing: 1420-byte TCP segments that the stack sends to an address in AllowedIPs;
// they leave toward the wire as datagrams to the server. Incoming: transport data from
// the server holding such segments; they go up to the stack decrypted. Frames are
// injected in chunks of 510 (one driver read), with at most sixteen chunks waiting, in
// rounds of 32 chunks whose deliveries are checked and cleared between rounds; the time
// spent making the frames and checking them is not counted, and the median round's
// rate is the figure.
//
//   wine pipeline_bench.exe [frames]     (default 200000 each way)
// Exits with 1 when frames go missing or leave the wrong way.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

#include "host.h"
#include "packet_driver.h"
#include "single_tunnel_bench.h"

namespace
{
using namespace single_bench;

constexpr std::size_t chunk = 510;               // frames injected at once: one driver read
constexpr std::size_t in_flight = 16 * chunk;    // injected but not yet delivered, at most
constexpr std::size_t round_frames = 32 * chunk; // made, sent and checked at a time

simhost::packet_driver& driver()
{
    return simhost::packet_driver::instance();
}

// What every frame of a direction must look like when it leaves the driver.
struct expected_delivery {
    simhost::destination to;
    std::size_t length;
};

// Frames per second through the pipeline: rounds of frames made by make_round (not
// timed), each injected chunk by chunk and waited for until all of it left; the median
// round stands for the pipeline (other work on the machine only ever slows a round).
double pipeline_rate(tunnel_fixture& f, std::uint64_t handle, std::uint32_t direction, std::size_t total,
                     const std::function<std::vector<frame_bytes>(std::size_t)>& make_round,
                     expected_delivery expected)
{
    std::vector<double> rates;
    for (std::size_t done = 0; done < total;) {
        const std::size_t count = std::min(round_frames, total - done);
        const std::vector<frame_bytes> frames = make_round(count);
        std::vector<std::vector<frame_bytes>> chunks;
        for (std::size_t i = 0; i < count; i += chunk)
            chunks.emplace_back(frames.begin() + static_cast<std::ptrdiff_t>(i),
                                frames.begin() + static_cast<std::ptrdiff_t>(std::min(count, i + chunk)));
        driver().clear_deliveries();

        const auto start = clock_type::now();
        std::size_t sent = 0;
        for (const auto& c : chunks) {
            if (sent >= in_flight && !driver().wait_for_deliveries(sent - in_flight, std::chrono::seconds(20)))
                f.fail("frames went missing");
            driver().inject(handle, direction, c);
            sent += c.size();
        }
        if (!driver().wait_for_deliveries(count, std::chrono::seconds(20)))
            f.fail("frames went missing");
        const double seconds = std::chrono::duration<double>(clock_type::now() - start).count();
        rates.push_back(seconds > 0 ? static_cast<double>(count) / seconds : 0);

        for (const auto& d : driver().deliveries()) {
            if (d.adapter_handle != handle || !d.by_program || d.to != expected.to ||
                d.frame.size() != expected.length)
                f.fail("a frame left the wrong way");
        }
        done += count;
    }
    std::sort(rates.begin(), rates.end());
    return rates[rates.size() / 2];
}

// The engine's frames per second on one core: the median of batches of 1000.
double engine_rate(std::size_t total, const std::function<double(long)>& batch_ns)
{
    std::vector<double> ns;
    for (std::size_t done = 0; done < total; done += 1000)
        ns.push_back(batch_ns(1000));
    std::sort(ns.begin(), ns.end());
    return 1e9 / ns[ns.size() / 2];
}
} // namespace

int main(int argc, char** argv)
{
    const std::size_t total =
        std::max<std::size_t>(chunk, argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 200000);
    auto& host = simhost::host::instance();
    host.reset();
    const std::uint64_t handle = host.add_adapter({}).filter_handle;

    tunnel_fixture f("pipeline_bench");
    auto& tunnel = f.tunnel();
    tunnel.set_packet_filter(wireguard::classify_packet<bench_manager>(f.manager()));
    const auto& adapters = tunnel.filter->adapters();
    const auto adapter = std::find_if(adapters.begin(), adapters.end(),
                                      [&](const auto& a) { return a->handle() == handle; });
    if (adapter == adapters.end() ||
        !tunnel.filter->start_filter(static_cast<std::uint64_t>(adapter - adapters.begin())))
        f.fail("the filter did not start");

    // Warm up, then both directions through the pipeline.
    const auto outgoing_round = [&](std::size_t n) { return std::vector<frame_bytes>(n, f.outgoing_frame()); };
    const auto incoming_round = [&](std::size_t n) { return f.sealed_frames(n); };
    const expected_delivery to_wire{simhost::destination::wire, 14 + 28 + packet_size + 32};
    const expected_delivery to_stack{simhost::destination::stack, 14 + packet_size};
    pipeline_rate(f, handle, rimcap::direction_outgoing, chunk, outgoing_round, to_wire);
    const double outgoing = pipeline_rate(f, handle, rimcap::direction_outgoing, total, outgoing_round, to_wire);
    const double incoming = pipeline_rate(f, handle, rimcap::direction_incoming, total, incoming_round, to_stack);
    tunnel.filter.reset(); // stops the filter's threads
    driver().clear_deliveries();

    const std::size_t engine_packets = std::min<std::size_t>(total, 100000);
    const double write = engine_rate(engine_packets, [&](long n) { return f.write_ns(n); });
    const double read = engine_rate(engine_packets, [&](long n) {
        return f.read_ns(f.sealed_frames(static_cast<std::size_t>(n)));
    });

    std::printf("1420-byte tunnelled packets, %zu frames each way through the queued filter's four threads\n",
                total);
    std::printf("pipeline outgoing %9.0f frames/s  engine wireguard_write on one core %9.0f /s  ratio %5.1f%%\n",
                outgoing, write, 100.0 * outgoing / write);
    std::printf("pipeline incoming %9.0f frames/s  engine wireguard_read on one core  %9.0f /s  ratio %5.1f%%\n",
                incoming, read, 100.0 * incoming / read);
    return 0;
}
