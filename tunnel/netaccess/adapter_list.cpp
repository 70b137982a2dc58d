#include "adapter_list.h"

#include <algorithm>
#include <cstring>

#include "rimcap.h"

namespace rimcap
{
bool query_adapter_list(CRimCap& owner, filter_adapter_list& list)
{
    std::memset(&list, 0, sizeof(list));
    if (!owner.get_adapter_list(list)) {
        list.count = 0;
        return false;
    }
    return true;
}

std::vector<adapter_entry> read_adapter_entries(const filter_adapter_list& list)
{
    const std::uint32_t count = std::min<std::uint32_t>(list.count, max_adapters);
    std::vector<adapter_entry> entries;
    entries.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        adapter_entry entry;
        entry.handle = list.handles[i];
        std::memcpy(entry.mac.data(), list.macs[i], entry.mac.size());
        entry.internal_name.assign(list.names[i], ::strnlen(list.names[i], adapter_name_size));
        entry.medium = list.media[i];
        entry.mtu = list.mtus[i];

        // Cleared for every adapter, so that a missing name is empty rather than the
        // name of the adapter read before.
        char name[connection_name_buffer_size] = {};
        if (CRimCap::get_connection_name(entry.internal_name.c_str(), name, sizeof(name)))
            entry.friendly_name.assign(name, ::strnlen(name, sizeof(name)));
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::unique_ptr<network_adapter> make_adapter(CRimCap& owner, adapter_entry entry)
{
    return std::make_unique<network_adapter>(&owner, entry.handle, entry.mac.data(),
                                             std::move(entry.internal_name),
                                             std::move(entry.friendly_name), entry.medium,
                                             entry.mtu);
}

bool lists_handle(const filter_adapter_list& list, std::uint64_t handle)
{
    const std::uint32_t count = std::min<std::uint32_t>(list.count, max_adapters);
    return std::find(list.handles, list.handles + count, handle) != list.handles + count;
}

void merge_adapter_list(CRimCap& owner, std::vector<std::shared_ptr<network_adapter>>& adapters,
                        std::vector<adapter_entry> entries)
{
    std::vector<std::uint64_t> listed;
    listed.reserve(entries.size());
    for (const auto& entry : entries)
        listed.push_back(entry.handle);

    for (auto& entry : entries) {
        auto found = std::find_if(adapters.begin(), adapters.end(),
                                  [&](const auto& a) { return a->handle() == entry.handle; });
        if (found != adapters.end()) {
            if ((*found)->internal_name() == entry.internal_name &&
                (*found)->friendly_name() == entry.friendly_name)
                continue;
            adapters.erase(found);
        }
        adapters.push_back(make_adapter(owner, std::move(entry)));
    }
    std::erase_if(adapters, [&](const auto& adapter) {
        return std::find(listed.begin(), listed.end(), adapter->handle()) == listed.end();
    });
}
} // namespace rimcap
