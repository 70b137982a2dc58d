#pragma once
// The tunnel's addresses as text for its log lines (the system's address printers).
#include <array>
#include <cstdint>
#include <string>

#include "config/ip_types.h"

namespace wireguard
{
std::string ipv4_text(std::uint32_t address); // network order
std::string ipv6_text(const std::array<std::uint8_t, 16>& address);
std::string address_text(const ip_address& address);
} // namespace wireguard
