// Dotted-decimal text of an IPv4 address.
#include "local_ipv4_to_string.h"

// ntdll's converter; the MinGW headers do not declare it.
extern "C" PSTR NTAPI RtlIpv4AddressToStringA(const IN_ADDR* address, PSTR text);

namespace wireguard
{
std::string local_ipv4_to_string(const IN_ADDR* address)
{
    char text[16] = {};
    RtlIpv4AddressToStringA(address, text);
    return std::string(text);
}
} // namespace wireguard
