#pragma once
// Application lists (AllowedApps, DisallowedApps): names or path fragments, compared
// in upper case against the processes that own connections.
#include <string>
#include <string_view>
#include <vector>

namespace wireguard
{
// The items of a comma-separated list (split as split_list does), upper-cased. The
// narrow form widens each byte as a signed 8-bit value, without code-page conversion.
// Empty items are dropped: an empty name would match every process.
std::vector<std::wstring> split_app_list(std::string_view text);
std::vector<std::wstring> split_app_list_w(std::wstring_view text);

// "a" to "z" become capitals; every other character stays as it is. One pass, no
// locale: it runs for every classified packet.
std::wstring to_upper(std::wstring_view text);
} // namespace wireguard
