// Addresses as text.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "address_text.h"
#include "ip_text.h"

namespace
{
struct text_case {
    const char* address;
    const char* text;
};

TEST(address_text, ipv4_dotted_decimal)
{
    const text_case cases[] = {
        {"0.0.0.0", "0.0.0.0"},
        {"1.2.3.4", "1.2.3.4"},
        {"10.8.0.1", "10.8.0.1"},
        {"192.168.100.200", "192.168.100.200"},
        {"255.255.255.255", "255.255.255.255"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.address);
        const IN_ADDR address = simhost::parse_ip(c.address).Ipv4.sin_addr;
        EXPECT_EQ(iphelper::ipv4_to_string(&address), c.text);
    }
    const IN_ADDR longest = simhost::parse_ip("255.255.255.255").Ipv4.sin_addr;
    EXPECT_EQ(iphelper::ipv4_to_string(&longest).size(), 15u) << "the longest text fits";
}

TEST(address_text, ipv6_compressed_form)
{
    const text_case cases[] = {
        {"::1", "::1"},
        {"::", "::"},
        {"fe80::1", "fe80::1"},
        {"2001:db8::5", "2001:db8::5"},
        {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},
        {"2001:0:0:1:0:0:0:1", "2001:0:0:1::1"},
        {"fd00:8::ff", "fd00:8::ff"},
        {"2001:db8:1:2:3:4:5:6", "2001:db8:1:2:3:4:5:6"},
        {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
        {"::ffff:192.0.2.1", "::ffff:192.0.2.1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.address);
        const IN6_ADDR address = simhost::parse_ip(c.address).Ipv6.sin6_addr;
        EXPECT_EQ(iphelper::ipv6_to_string(&address), c.text);
    }
    const IN6_ADDR loopback = simhost::parse_ip("::1").Ipv6.sin6_addr;
    EXPECT_EQ(iphelper::ipv6_to_string(&loopback).size(), 3u);
}
} // namespace
