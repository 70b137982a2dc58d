#include "address_text.h"

#include <cstring>

// ntdll's address printers (ip2string.h, which MinGW lacks).
extern "C" {
NTSYSAPI PSTR NTAPI RtlIpv4AddressToStringA(const IN_ADDR* address, PSTR text);
NTSYSAPI PSTR NTAPI RtlIpv6AddressToStringA(const IN6_ADDR* address, PSTR text);
}

namespace iphelper
{
std::string ipv4_to_string(const IN_ADDR* address)
{
    char text[16]{};
    ::RtlIpv4AddressToStringA(address, text);
    return std::string(text, ::strnlen(text, sizeof(text)));
}

std::string ipv6_to_string(const IN6_ADDR* address)
{
    char text[48]{};
    ::RtlIpv6AddressToStringA(address, text);
    return std::string(text, ::strnlen(text, sizeof(text)));
}

bool same_address(const SOCKADDR_STORAGE& a, const SOCKADDR_STORAGE& b)
{
    if (a.ss_family != b.ss_family)
        return false;
    if (a.ss_family == AF_INET)
        return std::memcmp(&reinterpret_cast<const sockaddr_in&>(a).sin_addr,
                           &reinterpret_cast<const sockaddr_in&>(b).sin_addr, 4) == 0;
    if (a.ss_family == AF_INET6)
        return std::memcmp(&reinterpret_cast<const sockaddr_in6&>(a).sin6_addr,
                           &reinterpret_cast<const sockaddr_in6&>(b).sin6_addr, 16) == 0;
    return false;
}
} // namespace iphelper
