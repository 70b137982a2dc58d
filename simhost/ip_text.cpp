#include "ip_text.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace simhost
{
namespace
{
[[noreturn]] void bad(std::string_view text)
{
    throw std::invalid_argument("simhost: not an IP address: \"" + std::string(text) + "\"");
}

// A decimal number of one to `most` digits (a scope or a prefix length of `text`).
std::uint32_t decimal(std::string_view digits, std::size_t most, std::string_view text)
{
    if (digits.empty() || digits.size() > most)
        bad(text);
    std::uint32_t value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9')
            bad(text);
        value = value * 10 + static_cast<std::uint32_t>(c - '0');
    }
    return value;
}

bool parse_ipv4(std::string_view text, std::uint8_t (&out)[4])
{
    int part = 0;
    std::size_t i = 0;
    while (part < 4) {
        unsigned value = 0;
        std::size_t digits = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9' && digits < 4) {
            value = value * 10 + static_cast<unsigned>(text[i] - '0');
            ++i;
            ++digits;
        }
        if (digits == 0 || digits > 3 || value > 255)
            return false;
        out[part++] = static_cast<std::uint8_t>(value);
        if (part < 4) {
            if (i >= text.size() || text[i] != '.')
                return false;
            ++i;
        }
    }
    return i == text.size();
}

bool parse_groups(std::string_view text, std::vector<std::uint16_t>& groups, bool& tail_v4,
                  std::uint8_t (&v4)[4])
{
    if (text.empty())
        return true;
    std::size_t start = 0;
    while (true) {
        const std::size_t colon = text.find(':', start);
        const std::string_view part =
            text.substr(start, colon == std::string_view::npos ? std::string_view::npos
                                                                : colon - start);
        if (colon == std::string_view::npos && part.find('.') != std::string_view::npos) {
            if (!parse_ipv4(part, v4))
                return false;
            tail_v4 = true;
            return true;
        }
        if (part.empty() || part.size() > 4)
            return false;
        std::uint16_t value = 0;
        for (char c : part) {
            int digit;
            if (c >= '0' && c <= '9')
                digit = c - '0';
            else if (c >= 'a' && c <= 'f')
                digit = c - 'a' + 10;
            else if (c >= 'A' && c <= 'F')
                digit = c - 'A' + 10;
            else
                return false;
            value = static_cast<std::uint16_t>(value * 16 + digit);
        }
        groups.push_back(value);
        if (colon == std::string_view::npos)
            return true;
        start = colon + 1;
    }
}

bool parse_ipv6(std::string_view text, std::uint8_t (&out)[16])
{
    const std::size_t gap = text.find("::");
    if (gap != std::string_view::npos && text.find("::", gap + 1) != std::string_view::npos)
        return false;
    std::vector<std::uint16_t> head, tail;
    bool head_v4 = false, tail_v4 = false;
    std::uint8_t v4[4]{};
    if (gap == std::string_view::npos) {
        if (!parse_groups(text, head, head_v4, v4))
            return false;
    } else {
        if (!parse_groups(text.substr(0, gap), head, head_v4, v4) || head_v4)
            return false;
        if (!parse_groups(text.substr(gap + 2), tail, tail_v4, v4))
            return false;
    }
    const bool with_v4 = head_v4 || tail_v4;
    const std::size_t groups = head.size() + tail.size() + (with_v4 ? 2 : 0);
    if (gap == std::string_view::npos ? groups != 8 : groups > 7)
        return false;
    std::uint16_t words[8]{};
    for (std::size_t i = 0; i < head.size(); ++i)
        words[i] = head[i];
    const std::size_t tail_words = tail.size() + (with_v4 ? 2 : 0);
    for (std::size_t i = 0; i < tail.size(); ++i)
        words[8 - tail_words + i] = tail[i];
    if (with_v4) {
        words[6] = static_cast<std::uint16_t>(v4[0] << 8 | v4[1]);
        words[7] = static_cast<std::uint16_t>(v4[2] << 8 | v4[3]);
    }
    for (int i = 0; i < 8; ++i) {
        out[2 * i] = static_cast<std::uint8_t>(words[i] >> 8);
        out[2 * i + 1] = static_cast<std::uint8_t>(words[i]);
    }
    return true;
}
} // namespace

SOCKADDR_INET parse_ip(std::string_view text)
{
    SOCKADDR_INET address{};
    if (text.find(':') == std::string_view::npos) {
        std::uint8_t bytes[4];
        if (!parse_ipv4(text, bytes))
            bad(text);
        address.Ipv4.sin_family = AF_INET;
        std::memcpy(&address.Ipv4.sin_addr, bytes, 4);
        return address;
    }
    std::string_view body = text;
    ULONG scope = 0;
    if (const std::size_t percent = text.find('%'); percent != std::string_view::npos) {
        body = text.substr(0, percent);
        scope = decimal(text.substr(percent + 1), 9, text);
    }
    std::uint8_t bytes[16];
    if (!parse_ipv6(body, bytes))
        bad(text);
    address.Ipv6.sin6_family = AF_INET6;
    std::memcpy(&address.Ipv6.sin6_addr, bytes, 16);
    address.Ipv6.sin6_scope_id = scope;
    return address;
}

ip_prefix parse_prefix(std::string_view text)
{
    ip_prefix prefix;
    const std::size_t slash = text.find('/');
    prefix.address = parse_ip(text.substr(0, slash));
    const unsigned full = full_length(prefix.address.si_family);
    if (slash == std::string_view::npos) {
        prefix.length = static_cast<std::uint8_t>(full);
        return prefix;
    }
    const std::uint32_t length = decimal(text.substr(slash + 1), 3, text);
    if (length > full)
        bad(text);
    prefix.length = static_cast<std::uint8_t>(length);
    return prefix;
}

std::string ip_text(const SOCKADDR_INET& address)
{
    char text[64];
    if (address.si_family == AF_INET) {
        const auto* b = reinterpret_cast<const std::uint8_t*>(&address.Ipv4.sin_addr);
        std::snprintf(text, sizeof(text), "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
        return text;
    }
    if (address.si_family != AF_INET6)
        return {};
    const auto* b = reinterpret_cast<const std::uint8_t*>(&address.Ipv6.sin6_addr);
    std::uint16_t words[8];
    for (int i = 0; i < 8; ++i)
        words[i] = static_cast<std::uint16_t>(b[2 * i] << 8 | b[2 * i + 1]);
    int best = -1, best_length = 0;
    for (int i = 0; i < 8;) {
        if (words[i] != 0) {
            ++i;
            continue;
        }
        int j = i;
        while (j < 8 && words[j] == 0)
            ++j;
        if (j - i > best_length && j - i >= 2) {
            best = i;
            best_length = j - i;
        }
        i = j;
    }
    std::string out;
    for (int i = 0; i < 8; ++i) {
        if (i == best) {
            out += "::";
            i += best_length - 1;
            continue;
        }
        if (!out.empty() && out.back() != ':')
            out += ':';
        std::snprintf(text, sizeof(text), "%x", words[i]);
        out += text;
    }
    if (address.Ipv6.sin6_scope_id != 0)
        out += "%" + std::to_string(address.Ipv6.sin6_scope_id);
    return out;
}

std::string prefix_text(const ip_prefix& prefix)
{
    return ip_text(prefix.address) + "/" + std::to_string(prefix.length);
}

std::string_view address_bytes(const SOCKADDR_INET& address)
{
    if (address.si_family == AF_INET)
        return {reinterpret_cast<const char*>(&address.Ipv4.sin_addr), 4};
    if (address.si_family == AF_INET6)
        return {reinterpret_cast<const char*>(&address.Ipv6.sin6_addr), 16};
    return {};
}

bool same_ip(const SOCKADDR_INET& a, const SOCKADDR_INET& b)
{
    return a.si_family == b.si_family && address_bytes(a) == address_bytes(b) &&
           !address_bytes(a).empty();
}

bool same_prefix(const SOCKADDR_INET& a, const SOCKADDR_INET& b, unsigned length)
{
    if (a.si_family != b.si_family)
        return false;
    const std::string_view x = address_bytes(a), y = address_bytes(b);
    if (x.empty() || length > x.size() * 8)
        return false;
    for (unsigned bit = 0; bit < length; ++bit) {
        const unsigned byte = bit / 8, mask = 0x80u >> (bit % 8);
        if ((static_cast<unsigned char>(x[byte]) & mask) !=
            (static_cast<unsigned char>(y[byte]) & mask))
            return false;
    }
    return true;
}

unsigned full_length(ADDRESS_FAMILY family)
{
    return family == AF_INET ? 32 : family == AF_INET6 ? 128 : 0;
}
} // namespace simhost
