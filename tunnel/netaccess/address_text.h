#pragma once
// IPv4 and IPv6 addresses as text, for log lines and comparisons.
#include <string>

#include "win32.h"

namespace iphelper
{
// Dotted decimal ("255.255.255.255" at most).
std::string ipv4_to_string(const IN_ADDR* address);

// The system's compressed form ("::1").
std::string ipv6_to_string(const IN6_ADDR* address);

// The same family and the same address; ports and scopes are not compared.
bool same_address(const SOCKADDR_STORAGE& a, const SOCKADDR_STORAGE& b);
} // namespace iphelper
