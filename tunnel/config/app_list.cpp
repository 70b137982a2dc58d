#include "app_list.h"

#include <cstdint>

#include "list_split.h"

namespace wireguard
{
namespace
{
// A byte of the file as a UTF-16 unit: the byte read as signed 8-bit and extended, so
// 0x00-0x7F keep their value and 0x80-0xFF become 0xFF80-0xFFFF.
wchar_t widen_byte(char byte)
{
    const auto extended = static_cast<std::int16_t>(static_cast<std::int8_t>(byte));
    return static_cast<wchar_t>(static_cast<std::uint16_t>(extended));
}
} // namespace

std::wstring to_upper(std::wstring_view text)
{
    std::wstring upper(text);
    for (wchar_t& c : upper) {
        if (c >= L'a' && c <= L'z')
            c = static_cast<wchar_t>(c - L'a' + L'A');
    }
    return upper;
}

std::vector<std::wstring> split_app_list(std::string_view text)
{
    std::vector<std::wstring> names;
    for (const std::string_view item : split_list(text)) {
        if (item.empty())
            continue;
        std::wstring wide;
        wide.reserve(item.size());
        for (const char byte : item)
            wide.push_back(widen_byte(byte));
        names.push_back(to_upper(wide));
    }
    return names;
}

std::vector<std::wstring> split_app_list_w(std::wstring_view text)
{
    std::vector<std::wstring> names;
    for (const std::wstring_view item : split_list(text)) {
        if (!item.empty())
            names.push_back(to_upper(item));
    }
    return names;
}
} // namespace wireguard
