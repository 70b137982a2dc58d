#pragma once
// Turns the table of a configuration file into the configuration record.
#include <optional>

#include "config_ini.h"
#include "wg_config.h"

namespace wireguard
{
// The record, or an empty result after one message through the reader's log (level 2
// or more): the first missing required entry, an Endpoint that gave no address, or an
// MTU that is not a number from 0 to 65535.
std::optional<wg_config> parse_config(const config_ini& ini);
} // namespace wireguard
