#pragma once
// Dotted-decimal text of an IPv4 address for log lines. A local stand-in with the
// signature of iphelper's ipv4_to_string, to be replaced by it.
#include <string>

#include "win32.h"

namespace wireguard
{
std::string local_ipv4_to_string(const IN_ADDR* address);
} // namespace wireguard
