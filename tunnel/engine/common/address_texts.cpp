// The tunnel's addresses as text.
#include "address_texts.h"

#include <cstring>

#include "netaccess/address_text.h"
#include "win32.h"

namespace wireguard
{
std::string ipv4_text(std::uint32_t address)
{
    IN_ADDR a;
    std::memcpy(&a, &address, 4);
    return iphelper::ipv4_to_string(&a);
}

std::string ipv6_text(const std::array<std::uint8_t, 16>& address)
{
    IN6_ADDR a;
    std::memcpy(&a, address.data(), 16);
    return iphelper::ipv6_to_string(&a);
}

std::string address_text(const ip_address& address)
{
    if (address.family == family_ipv6)
        return ipv6_text(address.address);
    std::uint32_t v4 = 0;
    std::memcpy(&v4, address.address.data(), 4);
    return ipv4_text(v4);
}
} // namespace wireguard
