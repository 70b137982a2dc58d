// The RAS links of WAN filter adapters, read through the simulated packet filter driver.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "driver_records.h"
#include "network_adapter.h"
#include "ras_links.h"
#include "rimcap.h"
#include "test_support.h"
#include "wan_adapters.h"

namespace
{
using ras_links_test = test_support::simulated_host_test;

simhost::ras_link make_link(std::uint32_t number)
{
    simhost::ras_link link;
    link.link_speed = 0x01000000u + number;
    link.maximum_total_size = 0xABCD0000u + 1400 + number;
    link.remote_address = {0x20, 0x41, 0x53, 0x59, 0x4E, static_cast<std::uint8_t>(number)};
    link.local_address = {0x20, 0x4C, 0x4F, 0x43, 0x41, static_cast<std::uint8_t>(number)};
    link.set_ipv4_address({100, 64, 0, static_cast<std::uint8_t>(number)});
    link.set_ipv6_interface_id({0x02, 0x11, 0x22, 0xFF, 0xFE, 0x33, 0x44,
                                static_cast<std::uint8_t>(number)});
    // Bytes around the two positions that must not be read.
    link.protocol_buffer[607 - 24] = 0xEE;
    link.protocol_buffer[620 - 24] = 0xEE;
    return link;
}

// A filter adapter record for a host adapter, owned by its own driver object.
struct wan_adapter {
    explicit wan_adapter(const char* driver_name)
    {
        simhost::adapter_spec spec;
        spec.driver_name = driver_name;
        spec.ip.listed = false;
        host = simhost::host::instance().add_adapter(spec);
        owner = std::make_unique<CRimCap>();
        adapter = std::make_unique<rimcap::network_adapter>(owner.get(), host.filter_handle,
                                                            host.mac.data(), driver_name, "",
                                                            0, 1500);
    }
    simhost::adapter host;
    std::unique_ptr<CRimCap> owner;
    std::unique_ptr<rimcap::network_adapter> adapter;
};

TEST_F(ras_links_test, ipv4_links_with_their_fields)
{
    wan_adapter wan(simhost::ndiswan_ip_name);
    ASSERT_EQ(wan.adapter->wan_kind(), rimcap::wan_kind_ip);
    driver().set_wan_links(wan.host.filter_handle, {make_link(1), make_link(2)});

    const auto links = iphelper::get_ras_links(*wan.adapter);
    ASSERT_TRUE(links.has_value());
    ASSERT_EQ(links->size(), 2u);
    for (std::uint32_t n = 1; n <= 2; ++n) {
        SCOPED_TRACE("link " + std::to_string(n));
        const auto& link = (*links)[n - 1];
        const auto source = make_link(n);
        EXPECT_EQ(link.link_speed, source.link_speed);
        EXPECT_EQ(link.maximum_total_size, static_cast<std::uint16_t>(1400 + n));
        EXPECT_EQ(link.remote_address, source.remote_address);
        EXPECT_EQ(link.local_address, source.local_address);
        SOCKADDR_STORAGE expected{};
        auto& in = reinterpret_cast<sockaddr_in&>(expected);
        in.sin_family = AF_INET;
        const std::uint8_t bytes[4] = {100, 64, 0, static_cast<std::uint8_t>(n)};
        std::memcpy(&in.sin_addr, bytes, 4);
        EXPECT_EQ(std::memcmp(&link.address, &expected, sizeof(expected)), 0);
    }
    ASSERT_EQ(driver().call_count(rimcap::ioctl::get_ras_links), 1u);
}

// On the IPv6 WAN adapter: eight zero bytes, then the link's interface identifier.
TEST_F(ras_links_test, ipv6_links_carry_the_interface_identifier)
{
    wan_adapter wan(simhost::ndiswan_ipv6_name);
    ASSERT_EQ(wan.adapter->wan_kind(), rimcap::wan_kind_ipv6);
    driver().set_wan_links(wan.host.filter_handle, {make_link(7)});

    const auto links = iphelper::get_ras_links(*wan.adapter);
    ASSERT_TRUE(links.has_value());
    ASSERT_EQ(links->size(), 1u);
    SOCKADDR_STORAGE expected{};
    auto& in6 = reinterpret_cast<sockaddr_in6&>(expected);
    in6.sin6_family = AF_INET6;
    const std::uint8_t bytes[16] = {0, 0, 0, 0, 0, 0, 0, 0,
                                    0x02, 0x11, 0x22, 0xFF, 0xFE, 0x33, 0x44, 7};
    std::memcpy(&in6.sin6_addr, bytes, 16);
    EXPECT_EQ(std::memcmp(&(*links)[0].address, &expected, sizeof(expected)), 0);
    EXPECT_EQ((*links)[0].maximum_total_size, 1407);
}

TEST_F(ras_links_test, non_wan_adapter_asks_nothing)
{
    const auto host_adapter = host().add_adapter({});
    CRimCap owner;
    rimcap::network_adapter adapter(&owner, host_adapter.filter_handle, host_adapter.mac.data(),
                                    host_adapter.driver_name, "", 0, 1500);
    EXPECT_FALSE(iphelper::get_ras_links(adapter).has_value());
    EXPECT_EQ(driver().call_count(rimcap::ioctl::get_ras_links), 0u);
}

TEST_F(ras_links_test, monitor_adapter_has_no_links_of_its_own)
{
    wan_adapter wan(simhost::ndiswan_monitor_name);
    ASSERT_EQ(wan.adapter->wan_kind(), rimcap::wan_kind_monitor);
    driver().set_wan_links(wan.host.filter_handle, {make_link(1)});
    EXPECT_FALSE(iphelper::get_ras_links(*wan.adapter).has_value());
}

TEST_F(ras_links_test, no_links_failure_and_absent_device_give_nothing)
{
    {
        wan_adapter wan(simhost::ndiswan_ip_name);
        EXPECT_FALSE(iphelper::get_ras_links(*wan.adapter).has_value()) << "no link";
        driver().set_wan_links(wan.host.filter_handle, {make_link(1)});
        driver().fail_next(rimcap::ioctl::get_ras_links, ERROR_GEN_FAILURE);
        EXPECT_FALSE(iphelper::get_ras_links(*wan.adapter).has_value()) << "refused";
        EXPECT_TRUE(iphelper::get_ras_links(*wan.adapter).has_value()) << "then answered";
    }
    driver().set_present(false);
    CRimCap absent;
    const std::uint8_t mac[6] = {};
    rimcap::network_adapter adapter(&absent, 1, mac, simhost::ndiswan_ip_name, "", 0, 1500);
    EXPECT_FALSE(iphelper::get_ras_links(adapter).has_value()) << "device absent";
}

struct clamp_case {
    std::uint32_t reported;
    std::size_t links;
};

// The driver's count is never trusted beyond the 256 entries of the list.
TEST_F(ras_links_test, link_count_is_clamped_to_the_list)
{
    const clamp_case cases[] = {{1, 1}, {255, 255}, {256, 256}, {257, 256}, {0x7FFFFFFF, 256},
                                {0xFFFFFFFF, 256}};
    for (const auto& c : cases) {
        SCOPED_TRACE("count " + std::to_string(c.reported));
        simhost::host::instance().reset();
        wan_adapter wan(simhost::ndiswan_ip_name);
        std::vector<simhost::ras_link> links;
        for (std::uint32_t n = 0; n < 256; ++n)
            links.push_back(make_link(n));
        driver().set_wan_links(wan.host.filter_handle, links);
        driver().set_output_hook(rimcap::ioctl::get_ras_links, [&](void* out, DWORD) {
            std::memcpy(out, &c.reported, 4);
        });
        const auto read = iphelper::get_ras_links(*wan.adapter);
        ASSERT_TRUE(read.has_value());
        ASSERT_EQ(read->size(), c.links);
        EXPECT_EQ(read->back().link_speed, 0x01000000u + (c.links - 1));
    }
}
} // namespace
