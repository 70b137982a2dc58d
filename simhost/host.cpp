#include "host.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <stdexcept>

#include "host_network.h"
#include "packet_driver.h"
#include "socket_owners.h"
#include "virtnet_driver.h"

namespace simhost
{
host& host::instance()
{
    static host the_host;
    return the_host;
}

void host::reset()
{
    // First, without the host's lock: notification callbacks that are still running may
    // call into the host, and the reset waits for them; the virtual adapter driver's
    // loading calls into the host.
    virtnet_driver::instance().reset();
    host_network::instance().reset();
    std::lock_guard lock(mutex_);
    adapters_.clear();
    next_number_ = 1;
    packet_driver::instance().reset();
    socket_owners::instance().reset();
}

std::string host::make_guid(std::uint32_t number)
{
    char text[64];
    std::snprintf(text, sizeof(text), "{5A1F%04X-C0DE-4E11-8A7B-%012X}", number & 0xFFFFu,
                  number);
    return text;
}

std::string host::random_guid()
{
    static std::mutex mutex;
    static std::mt19937_64 generator = [] {
        std::random_device device;
        std::seed_seq seed{static_cast<std::uint64_t>(device()), static_cast<std::uint64_t>(device()),
                           static_cast<std::uint64_t>(::GetCurrentProcessId()),
                           static_cast<std::uint64_t>(
                               std::chrono::steady_clock::now().time_since_epoch().count())};
        return std::mt19937_64(seed);
    }();
    std::lock_guard lock(mutex);
    const std::uint64_t a = generator();
    const std::uint64_t b = generator();
    char text[64];
    std::snprintf(text, sizeof(text), "{%08X-%04X-%04X-%04X-%012llX}", static_cast<unsigned>(a >> 32),
                  static_cast<unsigned>(a >> 16 & 0xFFFF), static_cast<unsigned>(0x4000 | (a & 0x0FFF)),
                  static_cast<unsigned>(0x8000 | (b >> 48 & 0x3FFF)),
                  static_cast<unsigned long long>(b & 0xFFFFFFFFFFFFull));
    return text;
}

std::string host::device_name(std::string_view guid)
{
    return "\\DEVICE\\" + std::string(guid);
}

adapter host::add_adapter(adapter_spec spec)
{
    std::lock_guard lock(mutex_);
    const std::uint32_t number = next_number_++;
    adapter a;
    a.guid = spec.guid.empty() ? make_guid(number) : spec.guid;
    if (find(a.guid) != adapters_.end())
        throw std::invalid_argument("simhost: adapter " + a.guid + " exists already");
    a.driver_name = spec.driver_name.empty() ? device_name(a.guid) : spec.driver_name;
    a.mac = spec.mac;
    if (a.mac == mac_address{})
        a.mac = {0x02, 0x4C, 0x52, static_cast<std::uint8_t>(number >> 16),
                 static_cast<std::uint8_t>(number >> 8), static_cast<std::uint8_t>(number)};
    a.mtu = spec.mtu;
    a.medium = spec.medium;
    if (spec.ip.listed) {
        host_network::instance().attach(a, spec.ip);
        const ip_interface added = host_network::instance().interface_of(a.guid);
        a.luid = added.luid.Value;
        a.if_index = added.if_index;
    }
    if (spec.filtered) {
        try {
            a.filter_handle = packet_driver::instance().bind_adapter(a.guid, a.driver_name,
                                                                     a.mac, a.mtu, a.medium);
        } catch (...) {
            host_network::instance().detach(a.guid);
            throw;
        }
    }
    adapters_.push_back(a);
    return a;
}

std::vector<adapter>::iterator host::find(std::string_view guid)
{
    return std::find_if(adapters_.begin(), adapters_.end(),
                        [&](const adapter& a) { return a.guid == guid; });
}

bool host::remove_adapter(std::string_view guid)
{
    std::lock_guard lock(mutex_);
    auto found = find(guid);
    if (found == adapters_.end())
        return false;
    if (found->filter_handle != 0)
        packet_driver::instance().unbind_adapter(found->filter_handle);
    host_network::instance().detach(found->guid);
    adapters_.erase(found);
    return true;
}

bool host::rename_adapter(std::string_view guid, std::string driver_name)
{
    std::lock_guard lock(mutex_);
    auto found = find(guid);
    if (found == adapters_.end())
        return false;
    if (found->filter_handle != 0)
        packet_driver::instance().rename_adapter(found->filter_handle, driver_name);
    found->driver_name = std::move(driver_name);
    return true;
}

std::optional<adapter> host::find_adapter(std::string_view guid) const
{
    std::lock_guard lock(mutex_);
    for (const adapter& a : adapters_)
        if (a.guid == guid)
            return a;
    return std::nullopt;
}

std::optional<adapter> host::find_adapter_by_handle(std::uint64_t filter_handle) const
{
    std::lock_guard lock(mutex_);
    for (const adapter& a : adapters_)
        if (a.filter_handle != 0 && a.filter_handle == filter_handle)
            return a;
    return std::nullopt;
}

std::vector<adapter> host::adapters() const
{
    std::lock_guard lock(mutex_);
    return adapters_;
}
} // namespace simhost
