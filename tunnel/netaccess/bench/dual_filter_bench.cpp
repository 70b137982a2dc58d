// Dual packet filter speed on the simulated driver: frames per second through one slot
// with a pass handler, and from slot 0 across to slot 1's adapter with action 3, each
// beside the simulated driver's own cost for the same frames measured in the same run:
// frames injected, read in batches of 510 and sent back out by one thread with no
// filter around it. The ratios say what the filter's threads, events and handling add.
//
//   wine dual_filter_bench.exe [frames]     (default 200000 per measurement)
// Exits with 1 when frames go missing.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "dual_packet_filter.h"
#include "host.h"
#include "packet_block.h"
#include "packet_driver.h"

namespace
{
using clock_type = std::chrono::steady_clock;
using rimcap::dual_packet_filter;

constexpr std::size_t frame_size = 256;
constexpr std::uint32_t chunk = 510;        // frames injected at once
constexpr std::uint32_t in_flight = 4 * chunk; // injected but not yet delivered, at most

simhost::packet_driver& driver()
{
    return simhost::packet_driver::instance();
}

std::vector<simhost::frame_bytes> make_chunk(std::uint32_t first, std::uint32_t count)
{
    std::vector<simhost::frame_bytes> frames(count, simhost::frame_bytes(frame_size, 0));
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint32_t sequence = first + i;
        frames[i][12] = 0x88;
        frames[i][13] = 0xB5;
        std::memcpy(frames[i].data() + 14, &sequence, 4);
    }
    return frames;
}

double seconds_since(clock_type::time_point start)
{
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

// The driver alone: inject a chunk, read it into one block, send it all out.
double driver_rate(std::uint64_t handle, std::uint32_t total)
{
    CRimCap cap;
    cap.set_adapter_mode({handle, 3});
    auto block = rimcap::make_packet_block(handle);
    driver().clear_deliveries();
    const auto start = clock_type::now();
    for (std::uint32_t done = 0; done < total;) {
        const std::uint32_t count = std::min(chunk, total - done);
        driver().inject(handle, rimcap::direction_outgoing, make_chunk(done, count));
        block->read_request.packets_done = 0;
        if (!cap.read_packets(block->read_request))
            return 0;
        for (std::uint32_t i = 0; i < block->read_request.packets_done; ++i)
            block->to_adapter_request.packets[i] = &block->records[i];
        block->to_adapter_request.packet_count = block->read_request.packets_done;
        cap.send_packets_to_adapter(block->to_adapter_request);
        done += count;
    }
    const double rate = total / seconds_since(start);
    cap.set_adapter_mode({handle, 0});
    return driver().delivery_count() == total ? rate : 0;
}

// Frames injected on `in`, paced so that at most in_flight wait, until all `total`
// left the driver.
double filter_rate(std::uint64_t in, std::uint32_t total)
{
    driver().clear_deliveries();
    const auto start = clock_type::now();
    for (std::uint32_t done = 0; done < total;) {
        const std::uint32_t count = std::min(chunk, total - done);
        if (done >= in_flight &&
            !driver().wait_for_deliveries(done - in_flight, std::chrono::seconds(20)))
            return 0;
        driver().inject(in, rimcap::direction_outgoing, make_chunk(done, count));
        done += count;
    }
    if (!driver().wait_for_deliveries(total, std::chrono::seconds(20)))
        return 0;
    return total / seconds_since(start);
}

// True when every frame left through that adapter, sent by the filter.
bool all_left_by(std::uint64_t handle, std::uint32_t total)
{
    const auto sent = driver().deliveries();
    if (sent.size() != total)
        return false;
    for (const auto& d : sent)
        if (d.adapter_handle != handle || !d.by_program || d.to != simhost::destination::wire)
            return false;
    return true;
}
} // namespace

int main(int argc, char** argv)
{
    const std::uint32_t total =
        argc > 1 ? static_cast<std::uint32_t>(std::strtoul(argv[1], nullptr, 10)) : 200000;
    auto& host = simhost::host::instance();
    host.reset();
    const std::uint64_t virtual_handle = host.add_adapter({}).filter_handle;
    const std::uint64_t default_handle = host.add_adapter({}).filter_handle;

    const double baseline = driver_rate(default_handle, total);

    auto filter = std::make_unique<dual_packet_filter>();
    filter->set_outgoing_handler(dual_packet_filter::default_slot,
                                 [](void*, _INTERMEDIATE_BUFFER&) { return dual_packet_filter::packet_action::pass; });
    filter->set_outgoing_handler(dual_packet_filter::virtual_slot,
                                 [](void*, _INTERMEDIATE_BUFFER&) { return dual_packet_filter::packet_action::other_pass; });
    filter->start_filter(default_handle, dual_packet_filter::default_slot);
    const double one_slot = filter_rate(default_handle, total);
    const bool one_slot_ok = all_left_by(default_handle, total);

    filter->start_filter(virtual_handle, dual_packet_filter::virtual_slot);
    const double across = filter_rate(virtual_handle, total);
    const bool across_ok = all_left_by(default_handle, total);
    filter.reset();
    driver().clear_deliveries();

    std::printf("%u frames of %zu bytes per measurement\n", total, frame_size);
    std::printf("driver read and send, no filter:  %12.0f frames/s\n", baseline);
    std::printf("one slot, pass handler:           %12.0f frames/s  ratio %.3f\n", one_slot,
                baseline > 0 ? one_slot / baseline : 0.0);
    std::printf("slot 0 to slot 1, action 3:       %12.0f frames/s  ratio %.3f\n", across,
                baseline > 0 ? across / baseline : 0.0);
    if (baseline <= 0 || one_slot <= 0 || across <= 0 || !one_slot_ok || !across_ok) {
        std::printf("frames went missing\n");
        return 1;
    }
    return 0;
}
