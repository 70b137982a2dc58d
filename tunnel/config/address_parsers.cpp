#include "address_parsers.h"

#include <cstring>
#include <optional>

#include "win32.h"

// ntdll's IPv6 literal converter (ip2string.h, which MinGW does not ship; its
// mstcpip.h declares the IPv4 one only).
extern "C" LONG NTAPI RtlIpv6StringToAddressA(PCSTR text, PCSTR* terminator, IN6_ADDR* address);

namespace wireguard
{
namespace
{
// A strict dotted IPv4 literal of four decimal parts at the start of `text`; what
// follows the literal is ignored.
std::optional<std::array<std::uint8_t, 4>> ipv4_literal(const std::string& text)
{
    IN_ADDR address{};
    LPSTR terminator = nullptr;
    if (RtlIpv4StringToAddressA(text.c_str(), TRUE, &terminator, &address) != 0)
        return std::nullopt;
    std::array<std::uint8_t, 4> bytes;
    std::memcpy(bytes.data(), &address, bytes.size());
    return bytes;
}

// An IPv6 literal at the start of `text`; what follows it (a scope, for instance)
// is ignored.
std::optional<std::array<std::uint8_t, 16>> ipv6_literal(const std::string& text)
{
    IN6_ADDR address{};
    PCSTR terminator = nullptr;
    if (RtlIpv6StringToAddressA(text.c_str(), &terminator, &address) != 0)
        return std::nullopt;
    std::array<std::uint8_t, 16> bytes;
    std::memcpy(bytes.data(), &address, bytes.size());
    return bytes;
}

// The literal of either family, IPv4 tried first.
std::optional<ip_address> address_literal(const std::string& text)
{
    ip_address result;
    if (const auto v4 = ipv4_literal(text)) {
        std::memcpy(result.address.data(), v4->data(), v4->size());
        result.family = family_ipv4;
        return result;
    }
    if (const auto v6 = ipv6_literal(text)) {
        result.address = *v6;
        result.family = family_ipv6;
        return result;
    }
    return std::nullopt;
}

// The top `length` bits set; length 0 gives all zero bytes.
template <std::size_t N>
std::array<std::uint8_t, N> prefix_mask(unsigned length)
{
    std::array<std::uint8_t, N> mask{};
    const unsigned full = length / 8;
    for (unsigned i = 0; i < full && i < N; ++i)
        mask[i] = 0xFF;
    const unsigned rest = length % 8;
    if (full < N && rest != 0)
        mask[full] = static_cast<std::uint8_t>(0xFF00u >> rest);
    return mask;
}

std::vector<ip_endpoint> resolve_name(const std::string& host, std::uint16_t port)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_protocol = IPPROTO_UDP;
    addrinfo* results = nullptr;
    const std::string service = std::to_string(port);
    if (::getaddrinfo(host.c_str(), service.c_str(), &hints, &results) != 0)
        return {};

    std::vector<ip_endpoint> endpoints;
    for (const addrinfo* info = results; info != nullptr; info = info->ai_next) {
        ip_endpoint endpoint;
        endpoint.port = port;
        if (info->ai_family == AF_INET && info->ai_addrlen >= sizeof(sockaddr_in)) {
            const auto* v4 = reinterpret_cast<const sockaddr_in*>(info->ai_addr);
            std::memcpy(endpoint.address.data(), &v4->sin_addr, 4);
            endpoint.family = family_ipv4;
        } else if (info->ai_family == AF_INET6 && info->ai_addrlen >= sizeof(sockaddr_in6)) {
            const auto* v6 = reinterpret_cast<const sockaddr_in6*>(info->ai_addr);
            std::memcpy(endpoint.address.data(), &v6->sin6_addr, 16);
            endpoint.family = family_ipv6;
        } else {
            continue;
        }
        endpoints.push_back(endpoint);
    }
    ::freeaddrinfo(results);
    return endpoints;
}
} // namespace

void parse_prefix(std::string_view item, std::vector<ip_subnet>& list)
{
    const std::size_t slash = item.find('/');
    const auto address = address_literal(std::string(item.substr(0, slash)));
    if (!address)
        return;

    const unsigned max_length = address->family == family_ipv4 ? 32 : 128;
    unsigned length = max_length;
    if (slash != std::string_view::npos) {
        const std::string_view length_text = item.substr(slash + 1);
        std::uint8_t value = 0;
        const auto [end, error] = std::from_chars(length_text.data(),
                                                  length_text.data() + length_text.size(), value);
        (void)end;
        if (error != std::errc() || value > max_length)
            return;
        length = value;
    }

    ip_subnet subnet;
    subnet.family = address->family;
    if (address->family == family_ipv4) {
        ipv4_subnet v4;
        std::memcpy(v4.address.data(), address->address.data(), v4.address.size());
        v4.mask = prefix_mask<4>(length);
        subnet.subnet = v4;
    } else {
        subnet.subnet = ipv6_subnet{address->address, prefix_mask<16>(length)};
    }
    list.push_back(subnet);
}

std::vector<ip_subnet> parse_prefix_list(std::string_view text)
{
    std::vector<ip_subnet> list;
    for (const std::string_view item : split_list(text))
        parse_prefix(item, list);
    return list;
}

std::vector<ip_address> parse_ip_list(std::string_view text)
{
    std::vector<ip_address> list;
    for (const std::string_view item : split_list(text)) {
        if (const auto address = address_literal(std::string(item)))
            list.push_back(*address);
    }
    return list;
}

std::vector<ip_endpoint> resolve_endpoint(std::string_view text)
{
    const std::size_t colon = text.rfind(':');
    if (text.empty() || colon == std::string_view::npos)
        return {};

    const std::string_view port_text = text.substr(colon + 1);
    std::uint16_t port = 0;
    if (std::from_chars(port_text.data(), port_text.data() + port_text.size(), port).ec
        != std::errc())
        return {};

    std::string_view host = text.substr(0, colon);
    // The bracketed form of WireGuard configurations: "[2001:db8::1]:51820".
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    const std::string host_text(host);

    if (const auto address = address_literal(host_text)) {
        ip_endpoint endpoint;
        endpoint.address = address->address;
        endpoint.family = address->family;
        endpoint.port = port;
        return {endpoint};
    }
    return resolve_name(host_text, port);
}

std::from_chars_result parse_decimal(const char* first, const char* last, std::int32_t& out)
{
    std::uint32_t value = 0;
    const auto result = std::from_chars(first, last, value);
    if (result.ec == std::errc())
        out = static_cast<std::int32_t>(value);
    return result;
}
} // namespace wireguard
