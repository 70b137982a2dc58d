// The Lorrivan virtual adapter object on the simulated host: each construction failure
// with its message and the host left as it was, a construction and destruction that
// leave the host as it was, the address families, activation, the connection name, and
// the undo of addresses and the deactivation that are refused for a while.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "test_support.h"
#include "virtnet_adapter.h"
#include <sddl.h> // after windows.h

namespace
{
using test_support::server_address;
using simhost::iphelper_function;
using wireguard::ipv4_interface_address;
using wireguard::ipv6_interface_address;
using wireguard::wg_virtnet_adapter;

constexpr DWORD activate_code = 0x830020C4;
constexpr DWORD deactivate_code = 0x830020C8;

ipv4_interface_address ipv4(std::string_view text, std::uint8_t length)
{
    return {simhost::parse_ip(text).Ipv4.sin_addr.s_addr, length};
}

ipv6_interface_address ipv6(std::string_view text, std::uint8_t length)
{
    ipv6_interface_address a;
    std::memcpy(a.address.data(), simhost::address_bytes(simhost::parse_ip(text)).data(), 16);
    a.prefix_length = length;
    return a;
}

// While it lives, a registry key's access list is the given one (SDDL).
struct key_access {
    HKEY key = nullptr;
    std::vector<BYTE> original = std::vector<BYTE>(4096);
    key_access(const std::string& path, const char* dacl)
    {
        DWORD size = static_cast<DWORD>(original.size());
        PSECURITY_DESCRIPTOR changed = nullptr;
        if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, READ_CONTROL | WRITE_DAC, &key) != ERROR_SUCCESS ||
            ::RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, original.data(), &size) != ERROR_SUCCESS ||
            !::ConvertStringSecurityDescriptorToSecurityDescriptorA(dacl, SDDL_REVISION_1, &changed, nullptr))
            throw std::runtime_error("cannot change the access to " + path);
        ::RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, changed);
        ::LocalFree(changed);
    }
    ~key_access() { ::RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, original.data()), ::RegCloseKey(key); }
};

const std::optional<ipv4_interface_address> tunnel_ipv4 = ipv4("10.9.0.2", 24);
const std::optional<ipv6_interface_address> tunnel_ipv6 = ipv6("fd00::2", 64);
const std::vector<wireguard::ip_address> dns_servers{server_address("10.9.0.1"), server_address("fd00::1")};

class virtnet_adapter_test : public test_support::simulated_host_test
{
protected:
    void TearDown() override
    {
        made.reset();
        check_virtnet();
        simulated_host_test::TearDown();
    }

    static simhost::virtnet_driver& virtnet() { return simhost::virtnet_driver::instance(); }

    void check_virtnet()
    {
        for (const auto& error : virtnet().errors())
            ADD_FAILURE() << "virtual adapter driver rule broken: " << error;
        EXPECT_EQ(virtnet().open_device_count(), 0u) << "the device was left open";
    }

    // A fresh host with the driver loaded; the host's state then.
    test_support::virtual_adapter_state load(simhost::virtnet_options options = {})
    {
        host().reset();
        adapter = virtnet().load(std::move(options));
        return state();
    }

    test_support::virtual_adapter_state state() const { return test_support::read_virtual_adapter_state(adapter); }
    std::vector<std::string> addresses() const { return test_support::address_texts(network().snapshot(), adapter.guid); }
    std::optional<std::string> connection_name() const
    {
        return test_support::registry_text(simhost::connection_key_path(adapter.guid), "Name");
    }

    // The construction's exception message; empty when it succeeded (the object is kept
    // in made).
    std::string construct(const std::optional<ipv4_interface_address>& v4 = tunnel_ipv4,
                          const std::optional<ipv6_interface_address>& v6 = tunnel_ipv6,
                          const std::vector<wireguard::ip_address>& dns = dns_servers)
    {
        made = std::make_unique<wg_virtnet_adapter>();
        try {
            made->prepare(v4, v6, dns);
            return {};
        } catch (const std::runtime_error& e) {
            made.reset(); // undone as it goes
            return e.what();
        }
    }

    simhost::adapter adapter;
    std::unique_ptr<wg_virtnet_adapter> made;
};

// ---- construction failures --------------------------------------------------------------

struct failure_case {
    const char* name;
    std::function<void()> arrange;
    std::vector<wireguard::ip_address> dns;
    const char* message;
};

// The failures of the adapter list, IP Helper, the rename, the NameServer values, an
// address and the activation are each injected into a dual tunnel's start as well
// (dual_failure_injection_test.cpp), with their messages and the host left as it was.
TEST_F(virtnet_adapter_test, each_construction_failure_has_its_message_and_leaves_the_host_as_it_was)
{
    auto& net = network();
    auto& driver = virtnet();
    const failure_case cases[] = {
        {"no DNS server", [] {}, {}, "[TUN]: Failed to assign DNS to Lorrivan virtual adapter!"},
        {"both addresses are refused",
         [&] { net.fail_next(iphelper_function::create_unicast_ip_address_entry, ERROR_INVALID_PARAMETER, 2); },
         dns_servers, "[TUN]: Failed to assign IP to the Lorrivan virtual adapter! lasterror: 87"},
        {"the activation is refused and so is one address delete",
         [&] {
             driver.fail_next(activate_code, ERROR_DEVICE_NOT_CONNECTED);
             net.fail_next(iphelper_function::delete_unicast_ip_address_entry, ERROR_ACCESS_DENIED);
         },
         dns_servers, "[TUN]: Failed to activate Lorrivan virtual adapter! lasterror: 1167"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto before = load();
        c.arrange();
        EXPECT_EQ(construct(tunnel_ipv4, tunnel_ipv6, c.dns), c.message);
        EXPECT_EQ(state(), before);
        EXPECT_TRUE(network().take_violations().empty());
        check_virtnet();
    }
}

TEST_F(virtnet_adapter_test, without_the_driver_nothing_but_the_device_is_tried)
{
    EXPECT_EQ(construct(), "[TUN]: Lorrivan virtual adapter driver is not loaded! lasterror: 2");
    EXPECT_TRUE(network().calls().empty()) << "no IP Helper call";
    EXPECT_TRUE(network().service_calls().empty()) << "no DHCP notification";
}

// ---- construction and destruction ---------------------------------------------------------

TEST_F(virtnet_adapter_test, construction_prepares_the_interface_and_destruction_leaves_it_as_it_was)
{
    const auto before = load();
    ASSERT_EQ(construct(), "");
    EXPECT_EQ(made->adapter_id(), simhost::virtnet_options{}.adapter_id);
    EXPECT_EQ(made->adapter_information()->adapter_name, adapter.guid);
    EXPECT_EQ(iphelper::get_adapter_by_luid(test_support::luid_of(adapter))->friendly_name, L"Lorrivan")
        << "IP Helper shows the new connection name";

    const auto during = state();
    EXPECT_EQ(addresses(), (std::vector<std::string>{"10.9.0.2/24", "fd00::2/64"}));
    for (const auto& row : during.network.addresses) {
        EXPECT_EQ(row.prefix_origin, 1u);
        EXPECT_EQ(row.suffix_origin, 1u);
        EXPECT_EQ(row.dad_state, 4u);
    }
    EXPECT_EQ(during.ipv4_name_server, "10.9.0.1");
    EXPECT_EQ(during.ipv6_name_server, "fd00::1");
    EXPECT_TRUE(during.activated);

    made.reset();
    EXPECT_EQ(state(), before);
    EXPECT_EQ(virtnet().call_count(deactivate_code), 1u);
    EXPECT_EQ(connection_name(), "Lorrivan") << "the name stays";
}

struct address_case {
    const char* name;
    std::optional<ipv4_interface_address> v4;
    std::optional<ipv6_interface_address> v6;
    std::vector<std::string> addresses; // empty: the construction fails
};

TEST_F(virtnet_adapter_test, one_family_is_enough_and_zero_addresses_count_as_absent)
{
    const address_case cases[] = {
        {"IPv6 only", std::nullopt, tunnel_ipv6, {"fd00::2/64"}},
        {"IPv4 only", tunnel_ipv4, std::nullopt, {"10.9.0.2/24"}},
        {"0.0.0.0 is no IPv4 address", ipv4("0.0.0.0", 24), tunnel_ipv6, {"fd00::2/64"}},
        {":: is no IPv6 address", tunnel_ipv4, ipv6("::", 64), {"10.9.0.2/24"}},
        {"0.0.0.0 and ::", ipv4("0.0.0.0", 24), ipv6("::", 64), {}},
        {"neither", std::nullopt, std::nullopt, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto before = load();
        const std::string message = construct(c.v4, c.v6);
        if (c.addresses.empty()) {
            EXPECT_EQ(message.rfind("[TUN]: Failed to assign IP to the Lorrivan virtual adapter! lasterror: ", 0), 0u)
                << message;
            EXPECT_EQ(network().call_count(iphelper_function::create_unicast_ip_address_entry), 0u);
        } else {
            ASSERT_EQ(message, "");
            EXPECT_EQ(addresses(), c.addresses);
            EXPECT_EQ(made->has_ipv4_address(), c.addresses.front().find('.') != std::string::npos);
            made.reset();
        }
        EXPECT_EQ(state(), before);
        check_virtnet();
    }
}

TEST_F(virtnet_adapter_test, an_adapter_that_needs_no_activation_is_never_activated_but_deactivated)
{
    simhost::virtnet_options options;
    options.flags = 0x10;
    load(options);
    ASSERT_EQ(construct(), "");
    EXPECT_EQ(made->flags(), 0x10);
    EXPECT_EQ(virtnet().call_count(activate_code), 0u);
    made.reset();
    EXPECT_EQ(virtnet().call_count(deactivate_code), 1u);
}

struct name_case {
    const char* connection_name; // the Connection key's Name; "" no key
    const wchar_t* friendly_name; // the name without a key
    bool renamed;
};

TEST_F(virtnet_adapter_test, the_connection_is_renamed_unless_it_is_exactly_lorrivan)
{
    // Without a Connection key a rename would fail the construction.
    const name_case cases[] = {
        {"Ethernet 7", L"", true}, {"lorrivan", L"", true}, {"Lorrivan 2", L"", true}, {"", L"Lorrivan", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.connection_name);
        simhost::virtnet_options options;
        options.connection_name = c.connection_name;
        options.friendly_name = c.friendly_name;
        load(options);
        ASSERT_EQ(construct(), "");
        EXPECT_EQ(made->adapter_information()->friendly_name, L"Lorrivan");
        EXPECT_EQ(connection_name(), c.renamed ? std::optional<std::string>("Lorrivan") : std::nullopt);
        made.reset();
    }
}

TEST_F(virtnet_adapter_test, an_address_that_exists_already_is_taken_as_created_and_deleted_at_the_end)
{
    load();
    network().add_address(adapter.guid, "10.9.0.2", 24);
    // The clearing of old addresses fails, so the address is still there.
    network().fail_next(iphelper_function::get_unicast_ip_address_table, ERROR_NOT_ENOUGH_MEMORY);
    ASSERT_EQ(construct(), "");
    EXPECT_TRUE(made->has_ipv4_address());
    EXPECT_EQ(network().calls(iphelper_function::create_unicast_ip_address_entry).back().result,
              static_cast<DWORD>(ERROR_OBJECT_ALREADY_EXISTS));
    made.reset();
    EXPECT_TRUE(addresses().empty());
}

// ---- undo ---------------------------------------------------------------------------------
// (The undo of routes is tested with the routes, in the dual tunnel's tests.)

TEST_F(virtnet_adapter_test, an_undo_step_refused_is_tried_again_at_once_and_then_left_pending_for_the_next_undo)
{
    for (const bool deactivation : {false, true}) // or an address delete
        for (const unsigned times : {1u, 2u, 3u}) {
            SCOPED_TRACE(testing::Message() << (deactivation ? "the deactivation" : "an address delete") << " refused "
                                            << times << " times");
            const auto before = load();
            ASSERT_EQ(construct(), "");
            if (deactivation)
                virtnet().fail_next(deactivate_code, ERROR_GEN_FAILURE, times);
            else
                network().fail_next(iphelper_function::delete_unicast_ip_address_entry, ERROR_ACCESS_DENIED, times);
            EXPECT_EQ(made->undo(), times < 3) << "three tries at once";
            if (times == 3) {
                EXPECT_NE(state(), before) << "something is left";
                EXPECT_FALSE(state().ipv4_name_server) << "the other steps ran";
            }
            const auto deactivations = virtnet().call_count(deactivate_code);
            EXPECT_TRUE(made->undo());
            EXPECT_EQ(state(), before);
            EXPECT_TRUE(made->undo()) << "nothing left to do";
            made.reset();
            EXPECT_EQ(virtnet().call_count(deactivate_code), deactivations + (times == 3 && deactivation))
                << "a step done is not repeated";
            check_virtnet();
        }
}

TEST_F(virtnet_adapter_test, a_refused_name_server_delete_is_done_only_once_the_value_is_known_to_be_absent)
{
    for (const bool too_long : {true, false}) { // longer than a read takes, or a key that cannot be read
        SCOPED_TRACE(too_long);
        const auto before = load();
        ASSERT_EQ(construct(), "");
        const std::string key = test_support::interface_key("Tcpip", adapter.guid);
        if (too_long)
            test_support::write_registry_text(key, "NameServer", std::string(1100, '1'));
        {
            const key_access locked(key, too_long ? "D:P(A;;KR;;;WD)" : "D:P");
            EXPECT_FALSE(made->undo()) << "the value is still set";
        }
        EXPECT_TRUE(state().ipv4_name_server);
        EXPECT_TRUE(made->undo());
        EXPECT_EQ(state(), before);
        made.reset();
    }
}
} // namespace
