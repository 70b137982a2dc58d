#pragma once
// A batch of frame records with its read request and its two send requests; the
// queued filter circulates ten of them between its threads, the dual filter gives one
// to each slot.
#include <cstdint>
#include <memory>

#include "driver_records.h"

namespace rimcap
{
struct packet_block {
    _INTERMEDIATE_BUFFER records[max_request_packets];
    packet_request read_request;
    packet_request to_adapter_request;
    packet_request to_stack_request;
};

// Zeroes the block for an adapter: the read request names the 510 records in order;
// the send requests start empty; all three carry the handle.
void init_packet_block(packet_block& block, std::uint64_t adapter_handle);

// A new block, initialised as above. Throws std::bad_alloc.
std::unique_ptr<packet_block> make_packet_block(std::uint64_t adapter_handle);
} // namespace rimcap
