// An interface's NameServer values: the split by family in the configuration's order,
// the DHCP notification and cache flush after each write, the deletion of a family's
// value when it has no server, the tear-down, and reads that stay within their buffer.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "adapter_dns_config.h"
#include "test_support.h"

namespace
{
using test_support::server_address;
using iphelper::ip_stack;

class adapter_dns_config_test : public test_support::simulated_host_test
{
protected:
    std::optional<std::string> value(const char* stack) const
    {
        return test_support::registry_text(test_support::interface_key(stack, guid), "NameServer");
    }
    void set_value(const char* stack, const std::string& text, DWORD type = REG_SZ, DWORD size = 0) const
    {
        keys[stack == std::string("Tcpip") ? 0 : 1]->set("", "NameServer", type, text.c_str(),
                                                         size != 0 ? size : static_cast<DWORD>(text.size() + 1));
    }
    std::string notify() const { return "DhcpNotifyConfigChange(null, " + guid + ", 0, 0, 0, 0, 0)"; }

    const std::string guid = simhost::host::random_guid();
    std::unique_ptr<test_support::scoped_registry_key> keys[2] = {
        std::make_unique<test_support::scoped_registry_key>(test_support::interface_key("Tcpip", guid)),
        std::make_unique<test_support::scoped_registry_key>(test_support::interface_key("Tcpip6", guid))};
};

struct assign_case {
    const char* name;
    std::vector<const char*> servers;
    std::optional<std::string> ipv4_before, ipv6_before;
    std::optional<std::string> ipv4_after, ipv6_after;
    int writes; // each followed by one notification and one flush
    bool result;
};

TEST_F(adapter_dns_config_test, servers_are_split_by_family_in_their_order)
{
    const assign_case cases[] = {
        {"both families, mixed", {"8.8.8.8", "fd00::1", "1.1.1.1"}, {}, {}, "8.8.8.8,1.1.1.1", "fd00::1", 2, true},
        {"IPv4 only deletes the IPv6 value", {"1.1.1.1", "8.8.8.8"}, {}, "fd00::9", "1.1.1.1,8.8.8.8", {}, 1, true},
        {"IPv6 only deletes the IPv4 value", {"2001:db8::53", "fd00::1"}, "9.9.9.9", {}, {}, "2001:db8::53,fd00::1",
         1, true},
        {"one server replaces the old text", {"10.64.0.1"}, "9.9.9.9,8.8.4.4", {}, "10.64.0.1", {}, 1, true},
        {"an address of another family value is ignored", {"odd", "1.1.1.1"}, {}, {}, "1.1.1.1", {}, 1, true},
        {"no server touches nothing", {}, "9.9.9.9", "fd00::9", "9.9.9.9", "fd00::9", 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        host().reset();
        if (c.ipv4_before)
            set_value("Tcpip", *c.ipv4_before);
        if (c.ipv6_before)
            set_value("Tcpip6", *c.ipv6_before);
        std::vector<wireguard::ip_address> servers;
        for (const std::string text : c.servers) {
            servers.push_back(server_address(text == "odd" ? "7.7.7.7" : text));
            servers.back().family = text == "odd" ? 2 : servers.back().family;
        }
        iphelper::adapter_dns_config settings{std::string(guid)};
        EXPECT_EQ(iphelper::assign_dns(settings, servers), c.result);
        EXPECT_EQ(value("Tcpip"), c.ipv4_after);
        EXPECT_EQ(value("Tcpip6"), c.ipv6_after);
        std::vector<std::string> expected;
        for (int i = 0; i < c.writes; ++i) {
            expected.push_back(notify());
            expected.push_back("DnsFlushResolverCache()");
        }
        EXPECT_EQ(network().service_calls(), expected);
    }
}

TEST_F(adapter_dns_config_test, a_missing_interface_key_fails_the_write)
{
    keys[0].reset(); // the Tcpip key is gone
    iphelper::adapter_dns_config settings{std::string(guid)};
    EXPECT_FALSE(iphelper::assign_dns(settings, {server_address("1.1.1.1")}));
    EXPECT_FALSE(value("Tcpip"));
    EXPECT_EQ(network().service_calls(), (std::vector<std::string>{notify(), "DnsFlushResolverCache()"}))
        << "notified and flushed even so";
    // A family without servers whose key is missing too: the failed delete is no failure.
    EXPECT_TRUE(iphelper::assign_dns(settings, {server_address("fd00::1")}));
}

TEST_F(adapter_dns_config_test, the_tear_down_deletes_both_values_and_minds_no_missing_one)
{
    {
        iphelper::adapter_dns_config settings{std::string(guid)};
        ASSERT_TRUE(iphelper::assign_dns(settings, {server_address("1.1.1.1"), server_address("fd00::1")}));
        ASSERT_TRUE(value("Tcpip") && value("Tcpip6"));
    }
    EXPECT_FALSE(value("Tcpip"));
    EXPECT_FALSE(value("Tcpip6"));
    const auto calls = network().service_calls().size();
    { iphelper::adapter_dns_config again{std::string(guid)}; }
    EXPECT_FALSE(value("Tcpip"));
    EXPECT_EQ(network().service_calls().size(), calls) << "nothing is notified at the tear-down";
    EXPECT_FALSE(iphelper::delete_name_server(ip_stack::ipv4, guid)) << "no value to delete";
}

struct read_case {
    const char* name;
    std::string stored;
    DWORD type;
    DWORD size; // bytes stored; 0: the text and its zero
    bool found;
    std::string text;
};

TEST_F(adapter_dns_config_test, a_read_stays_within_its_1040_bytes)
{
    const std::string full(1040, 'a');
    const std::string over(1041, 'b');
    const read_case cases[] = {
        {"a text", "8.8.8.8,1.1.1.1", REG_SZ, 0, true, "8.8.8.8,1.1.1.1"},
        {"1039 bytes and the zero", std::string(1039, 'c'), REG_SZ, 0, true, std::string(1039, 'c')},
        {"1040 bytes without a zero", full, REG_BINARY, 1040, true, full},
        {"a zero inside", std::string("1.1.1.1\0junk", 12), REG_BINARY, 12, true, "1.1.1.1"},
        {"1041 bytes", over, REG_BINARY, 1041, false, "unchanged"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        set_value("Tcpip", c.stored, c.type, c.size);
        std::string text = "unchanged";
        EXPECT_EQ(iphelper::read_name_server(ip_stack::ipv4, guid, text), c.found);
        EXPECT_EQ(text, c.text);
    }
    std::string text = "unchanged";
    EXPECT_FALSE(iphelper::read_name_server(ip_stack::ipv6, guid, text)) << "no value";
    EXPECT_FALSE(iphelper::read_name_server(ip_stack::ipv4, simhost::host::random_guid(), text)) << "no key";
    EXPECT_EQ(text, "unchanged");
}
} // namespace
