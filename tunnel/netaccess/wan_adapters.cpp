#include "wan_adapters.h"

#include <cstring>

#include "rimcap.h"

namespace rimcap
{
namespace
{
struct wan_adapter {
    const char* device_name;
    const char* component_id;
};

constexpr wan_adapter wan_ip{"\\DEVICE\\NDISWANIP", "ms_ndiswanip"};
constexpr wan_adapter wan_ipv6{"\\DEVICE\\NDISWANIPV6", "ms_ndiswanipv6"};
constexpr wan_adapter wan_monitor{"\\DEVICE\\NDISWANBH", "ms_ndiswanbh"};

bool is_wan_adapter(const char* internal_name, const wan_adapter& wan, bool older_than_10)
{
    if (older_than_10 && ::_stricmp(internal_name, wan.device_name) == 0)
        return true;
    return CRimCap::is_adapter_of_component(internal_name, wan.component_id);
}
} // namespace

std::uint32_t wan_kind_of(const char* internal_name)
{
    const bool older_than_10 = !is_windows_version_or_greater(10, 0);
    if (is_wan_adapter(internal_name, wan_ip, older_than_10))
        return wan_kind_ip;
    if (is_wan_adapter(internal_name, wan_ipv6, older_than_10))
        return wan_kind_ipv6;
    if (is_wan_adapter(internal_name, wan_monitor, older_than_10))
        return wan_kind_monitor;
    return wan_kind_none;
}

const char* wan_connection_name(const char* internal_name)
{
    const bool older_than_10 = !is_windows_version_or_greater(10, 0);
    if (is_wan_adapter(internal_name, wan_ip, older_than_10))
        return "WAN Network Interface (IP)";
    if (is_wan_adapter(internal_name, wan_monitor, older_than_10))
        return "WAN Network Interface (BH)";
    if (is_wan_adapter(internal_name, wan_ipv6, older_than_10))
        return "WAN Network Interface (IPv6)";
    return nullptr;
}
} // namespace rimcap
