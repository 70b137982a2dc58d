#include "list_split.h"

namespace wireguard
{
namespace
{
template <class Char>
std::vector<std::basic_string_view<Char>> split_items(std::basic_string_view<Char> text)
{
    std::vector<std::basic_string_view<Char>> items;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = text.find(Char(','), start);
        if (comma == std::basic_string_view<Char>::npos) {
            items.push_back(text.substr(start));
            return items;
        }
        items.push_back(text.substr(start, comma - start));
        start = comma + 1;
        while (start < text.size() && text[start] == Char(' '))
            ++start;
    }
}
} // namespace

std::vector<std::string_view> split_list(std::string_view text)
{
    return split_items(text);
}

std::vector<std::wstring_view> split_list(std::wstring_view text)
{
    return split_items(text);
}
} // namespace wireguard
