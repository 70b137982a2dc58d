#pragma once
// The list rule of every comma-separated configuration value.
#include <string_view>
#include <vector>

namespace wireguard
{
// Cuts a list at every comma and skips the blanks (spaces only) after each comma.
// Items are not trimmed at their end; an empty text gives one empty item, and
// adjacent or trailing commas give empty items.
std::vector<std::string_view> split_list(std::string_view text);
std::vector<std::wstring_view> split_list(std::wstring_view text);
} // namespace wireguard
