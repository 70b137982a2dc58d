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
} // namespace iphelper
