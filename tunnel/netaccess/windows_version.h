#pragma once
// The Windows version test used by the driver wrapper and the adapter records.
#include <cstdint>

// True when the running Windows (as the executable's manifest lets it see itself) is
// at least major.minor with service pack 0 or later.
bool is_windows_version_or_greater(std::uint16_t major, std::uint16_t minor);
