#pragma once
// Application matching for AllowedApps and DisallowedApps: list entries (upper-cased
// by the configuration reader) against the process that owns a connection.
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "netaccess/network_process.h"

namespace wireguard
{
// True when the entry occurs in the subject once the subject's letters a to z are
// upper-cased (the same folding as to_upper; nothing else changes). An empty entry
// occurs everywhere. The entry is taken as it is: callers pass upper-case entries.
bool contains_upper(std::wstring_view subject, std::wstring_view entry) noexcept;

// An entry with a backslash or a forward slash is matched against the process's full
// path, any other entry against its name; both as substrings after upper-casing the
// subject. So CHROME.EXE matches chrome.exe, FIREFOX matches firefox.exe, and
// C:\PROGRAM FILES\ every program below that folder.
bool match_app(const iphelper::network_process& process, std::wstring_view entry) noexcept;

// Walks the list in order and stops at the first entry that matches the process.
bool find_app(const std::vector<std::wstring>& list, const iphelper::network_process& process) noexcept;

// True when the entry names the DNS client service: it contains DNSCACHE in any case.
// A DisallowedApps entry of that kind sets the manager's DNS cache bypass.
bool is_dns_cache_entry(std::wstring_view entry) noexcept;
} // namespace wireguard
