#pragma once
// Loading the packet filter driver's adapter list into adapter records.
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "driver_records.h"
#include "network_adapter.h"

class CRimCap;

namespace rimcap
{
inline constexpr std::uint32_t connection_name_buffer_size = 1040;

// One entry of the driver's list, read defensively: the count is clamped to 32 and
// each name is read only up to its 256 bytes.
struct adapter_entry {
    std::uint64_t handle = 0;
    std::array<std::uint8_t, 6> mac{};
    std::string internal_name;
    std::string friendly_name; // empty when the connection name cannot be read
    std::uint32_t medium = 0;
    std::uint16_t mtu = 0;
};

// Fills a zeroed list from the driver; false (and count 0) when the device is absent
// or the call fails.
bool query_adapter_list(CRimCap& owner, filter_adapter_list& list);

// The list's entries in list order, each with its connection name read from the
// registry into a freshly cleared buffer.
std::vector<adapter_entry> read_adapter_entries(const filter_adapter_list& list);

std::unique_ptr<network_adapter> make_adapter(CRimCap& owner, adapter_entry entry);

// Appends one adapter for each entry of the driver's list, in list order (none when the
// device is absent or the list cannot be read). Pointer: an owning or a shared pointer.
template <class Pointer>
void load_adapter_list(CRimCap& owner, std::vector<Pointer>& adapters)
{
    auto list = std::make_unique<filter_adapter_list>();
    query_adapter_list(owner, *list);
    for (auto& entry : read_adapter_entries(*list))
        adapters.push_back(make_adapter(owner, std::move(entry)));
}

// True when the list names that handle among its first (at most 32) entries.
bool lists_handle(const filter_adapter_list& list, std::uint64_t handle);

// Merges a fresh list into shared adapter records: a record whose handle and names are
// unchanged stays; a changed one is replaced by a new record at the end; records whose
// handle is no longer listed are removed; new entries are appended in list order.
void merge_adapter_list(CRimCap& owner, std::vector<std::shared_ptr<network_adapter>>& adapters,
                        std::vector<adapter_entry> entries);
} // namespace rimcap
