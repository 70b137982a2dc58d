#include "app_match.h"

namespace wireguard
{
namespace
{
constexpr wchar_t upper(wchar_t c) noexcept
{
    return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c;
}
} // namespace

bool contains_upper(std::wstring_view subject, std::wstring_view entry) noexcept
{
    if (entry.size() > subject.size())
        return false;
    // The same result as to_upper(subject).find(entry), without the copy: this runs for
    // every classified packet while an application list is set.
    if (entry.empty())
        return true;
    const std::size_t last = subject.size() - entry.size();
    const wchar_t first = entry[0];
    for (std::size_t i = 0; i <= last; ++i) {
        if (upper(subject[i]) != first)
            continue;
        std::size_t j = 1;
        while (j < entry.size() && upper(subject[i + j]) == entry[j])
            ++j;
        if (j == entry.size())
            return true;
    }
    return false;
}

bool match_app(const iphelper::network_process& process, std::wstring_view entry) noexcept
{
    bool by_path = false;
    for (const wchar_t c : entry)
        by_path = by_path || c == L'\\' || c == L'/';
    return contains_upper(by_path ? process.path : process.name, entry);
}

bool find_app(const std::vector<std::wstring>& list, const iphelper::network_process& process) noexcept
{
    for (const std::wstring& entry : list)
        if (match_app(process, entry))
            return true;
    return false;
}

bool is_dns_cache_entry(std::wstring_view entry) noexcept
{
    return contains_upper(entry, L"DNSCACHE");
}
} // namespace wireguard
