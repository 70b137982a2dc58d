#pragma once
// Addresses of the simulated host's network written as text, for tests and for the
// host network model's records: "10.0.0.5", "fe80::1", "2001:db8::/32". Parsed and
// printed here without help from the system under test.
#include <cstdint>
#include <string>
#include <string_view>

#include "win32.h"

namespace simhost
{
struct ip_prefix {
    SOCKADDR_INET address{};
    std::uint8_t length = 0;
};

// Dotted decimal IPv4 or IPv6 (with "::" and an optional trailing dotted quad and
// "%scope"). Throws std::invalid_argument.
SOCKADDR_INET parse_ip(std::string_view text);

// "address/length"; without "/length" the full length of the family.
ip_prefix parse_prefix(std::string_view text);

// IPv4 dotted decimal; IPv6 in the RFC 5952 form (lower case, longest run of two or more
// zero groups as "::"); "" for any other family.
std::string ip_text(const SOCKADDR_INET& address);
std::string prefix_text(const ip_prefix& prefix);

// The address bytes of the family (4 or 16; none for another family).
std::string_view address_bytes(const SOCKADDR_INET& address);

// Same family and same address bytes (port, flow and scope are not compared).
bool same_ip(const SOCKADDR_INET& a, const SOCKADDR_INET& b);

// Same family and equal in the first length bits.
bool same_prefix(const SOCKADDR_INET& a, const SOCKADDR_INET& b, unsigned length);

// 32 or 128; 0 for any other family.
unsigned full_length(ADDRESS_FAMILY family);
} // namespace simhost
