#include "route_checks.h"

#include "platform.h"

namespace iphelper
{
bool has_no_route::operator()(adapter_info adapter) const
{
    SOCKADDR_INET destination{};
    if (ipv4_ != nullptr) {
        destination.Ipv4.sin_family = AF_INET;
        destination.Ipv4.sin_addr = *ipv4_;
    } else {
        destination.Ipv6.sin6_family = AF_INET6;
        destination.Ipv6.sin6_addr = *ipv6_;
    }
    MIB_IPFORWARD_ROW2 best_route{};
    SOCKADDR_INET best_source{};
    const DWORD result = netaccess::platform::get_best_route2(
        nullptr, adapter.if_index, nullptr, &destination, 0, &best_route, &best_source);
    if (result != NO_ERROR) {
        ::SetLastError(result);
        return true;
    }
    return false;
}
} // namespace iphelper
