#pragma once
// Sorting the records of a read into send batches, shared by both filters: how many
// records a read filled, what a handler's result means for a record, and calling a
// handler so that nothing it throws leaves the filter's thread.
#include <algorithm>
#include <cstdint>
#include <functional>

#include "driver_records.h"

namespace rimcap
{
// Before every read: the request names the adapter, offers all 510 records and none is
// done. The driver writes into the request, so what it left there is never used again.
inline void rearm_read_request(packet_request& read, std::uint64_t adapter_handle) noexcept
{
    read.adapter_handle = adapter_handle;
    read.packet_count = max_request_packets;
    read.packets_done = 0;
}

// The records that a read filled: the driver's count, but never more than the 510
// records that the read request names, whatever the driver wrote.
inline std::uint32_t filled_records(const packet_request& read) noexcept
{
    return std::min<std::uint32_t>(read.packets_done, max_request_packets);
}

// The send batch a handled record goes into.
enum class batch_kind : std::uint8_t {
    own_adapter,   // out of the adapter it came from (or was meant for)
    own_stack,     // up that adapter's protocol stack
    other_adapter, // out of the other slot's adapter
    other_stack,   // up the other slot's protocol stack
    none,          // dropped
};

// A handler's result for a record of that direction: 0 passes it on in its own
// direction, 2 reverts it; 3 and 4 do the same through the other slot's adapter where
// the filter has one. Every other value (1 among them) drops it.
constexpr batch_kind batch_for(std::uint32_t action, bool outgoing, bool with_other_slot) noexcept
{
    switch (action) {
    case 0:
        return outgoing ? batch_kind::own_adapter : batch_kind::own_stack;
    case 2:
        return outgoing ? batch_kind::own_stack : batch_kind::own_adapter;
    case 3:
        if (with_other_slot)
            return outgoing ? batch_kind::other_adapter : batch_kind::other_stack;
        break;
    case 4:
        if (with_other_slot)
            return outgoing ? batch_kind::other_stack : batch_kind::other_adapter;
        break;
    default:
        break;
    }
    return batch_kind::none;
}

inline constexpr std::uint32_t action_pass = 0;
inline constexpr std::uint32_t action_drop = 1;

// The handler's result as a number: no handler passes the record; a handler that
// throws drops it, and the caller goes on with the next record.
template <class Action>
std::uint32_t handle_record(const std::function<Action(void*, _INTERMEDIATE_BUFFER&)>& handler,
                            void* adapter_handle, _INTERMEDIATE_BUFFER& record) noexcept
{
    if (!handler)
        return action_pass;
    try {
        return static_cast<std::uint32_t>(handler(adapter_handle, record));
    } catch (...) {
        return action_drop;
    }
}

// Appends a record to a send request.
inline void place_record(packet_request& request, _INTERMEDIATE_BUFFER* record) noexcept
{
    request.packets[request.packet_count++] = record;
}
} // namespace rimcap
