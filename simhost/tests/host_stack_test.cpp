// The simulated host's applications: their packets leave through the adapter that the
// routes pick (or the one they are bound to) as outgoing frames in the packet filter
// driver, a virtual adapter's frames stay off the wire, the virtual adapter's lower
// metric wins a default route, and frames sent up a stack reach the applications.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "frame_checks.h"
#include "frames.h"
#include "host.h"
#include "host_network.h"
#include "host_stack.h"
#include "ip_text.h"
#include "packet_driver.h"
#include "platform.h"
#include "virtnet_driver.h"

namespace
{
using namespace std::chrono_literals;
using simhost::frame_bytes;

constexpr simhost::mac_address gateway_mac{0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
const std::vector<std::uint8_t> data{'d', 'a', 't', 'a', '!'};

std::string source_of(const frame_bytes& f)
{
    SOCKADDR_INET a{};
    if (f[12] == 0x08) {
        a.Ipv4.sin_family = AF_INET;
        std::memcpy(&a.Ipv4.sin_addr, &f[26], 4);
    } else {
        a.Ipv6.sin6_family = AF_INET6;
        std::memcpy(&a.Ipv6.sin6_addr, &f[22], 16);
    }
    return simhost::ip_text(a);
}

class host_stack_test : public ::testing::Test
{
protected:
    void SetUp() override
    {
        host().reset();
        simhost::adapter_spec spec;
        spec.guid = simhost::host::random_guid();
        physical = host().add_adapter(spec);
        network().add_address(physical.guid, "192.168.1.10", 24);
        network().add_address(physical.guid, "2001:db8:1::10", 64);
        network().add_default_gateway(physical.guid, "192.168.1.1", gateway_mac);
        network().add_default_gateway(physical.guid, "fe80::1", gateway_mac);
        virtual_adapter = simhost::virtnet_driver::instance().load();
        network().add_address(virtual_adapter.guid, "10.9.0.2", 24);
        network().add_address(virtual_adapter.guid, "fd00::2", 64);
        driver().set_wire_tap([this](std::uint64_t handle, const frame_bytes&) {
            std::lock_guard lock(tapped_mutex);
            ++tapped[handle];
        });
    }
    void TearDown() override
    {
        driver().set_wire_tap({});
        host().reset();
    }
    static simhost::host& host() { return simhost::host::instance(); }
    static simhost::host_network& network() { return simhost::host_network::instance(); }
    static simhost::packet_driver& driver() { return simhost::packet_driver::instance(); }
    static void set_virtual_up(bool up) { simhost::virtnet_driver::instance().set_flags(up ? 0x10 : 0); }

    std::size_t tapped_frames(const simhost::adapter& a)
    {
        std::lock_guard lock(tapped_mutex);
        return tapped[a.filter_handle];
    }

    simhost::adapter physical;
    simhost::adapter virtual_adapter;
    std::mutex tapped_mutex;
    std::map<std::uint64_t, std::size_t> tapped;
};

struct send_case {
    const char* name;
    const char* bound;       // "" unbound
    const char* destination;
    std::uint8_t protocol;   // 17 UDP, else an echo request
    bool through_virtual;
    const char* source;
};

TEST_F(host_stack_test, packets_leave_through_the_adapter_that_the_routes_or_the_binding_pick)
{
    network().add_route(virtual_adapter.guid, "10.0.0.0/8");
    network().add_route(virtual_adapter.guid, "fd00::/16");
    set_virtual_up(true);
    const send_case cases[] = {
        {"UDP routed into the virtual adapter", "", "10.1.2.3", 17, true, "10.9.0.2"},
        {"echo routed into the virtual adapter", "", "10.200.0.1", 1, true, "10.9.0.2"},
        {"IPv6 echo routed into the virtual adapter", "", "fd00:1::5", 58, true, "fd00::2"},
        {"other destinations take the physical default route", "", "198.51.100.1", 17, false, "192.168.1.10"},
        {"IPv6 UDP on the physical default route", "", "2001:db8:99::1", 17, false, "2001:db8:1::10"},
        {"bound to the physical address, whatever the routes say", "192.168.1.10", "10.1.2.3", 17, false,
         "192.168.1.10"},
        {"bound to the virtual address, on-link without a route", "10.9.0.2", "198.51.100.1", 1, true, "10.9.0.2"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        simhost::application app = *c.bound ? simhost::application(c.bound) : simhost::application();
        const std::size_t before = driver().delivery_count();
        const simhost::sent_packet sent = c.protocol == 17 ? app.send_udp(c.destination, 5353, 53, data)
                                                           : app.send_echo(c.destination, 0x77, 1, data);
        ASSERT_TRUE(sent) << sent.refused;
        const simhost::adapter& via = c.through_virtual ? virtual_adapter : physical;
        EXPECT_EQ(sent.guid, via.guid);

        const auto deliveries = driver().deliveries();
        ASSERT_EQ(deliveries.size(), before + 1);
        const simhost::delivery& d = deliveries.back();
        EXPECT_EQ(d.adapter_handle, via.filter_handle);
        EXPECT_EQ(d.direction, 1u) << "an outgoing frame of the adapter";
        EXPECT_EQ(d.to, simhost::destination::wire) << "passed on: the adapter is not filtered";
        EXPECT_EQ(d.frame, sent.frame);
        EXPECT_EQ(frame_checks::problems(d.frame), "");
        EXPECT_EQ(source_of(d.frame), c.source);
        EXPECT_EQ(d.frame[12] == 0x08 ? d.frame[23] : d.frame[20], c.protocol);
        EXPECT_TRUE(std::equal(via.mac.begin(), via.mac.end(), d.frame.begin() + 6)) << "from the adapter's MAC";
        if (!c.through_virtual) {
            EXPECT_TRUE(std::equal(gateway_mac.begin(), gateway_mac.end(), d.frame.begin()))
                << "to the gateway's MAC";
        }
    }
    EXPECT_EQ(tapped_frames(virtual_adapter), 0u) << "the virtual adapter's frames are its driver's";
    EXPECT_EQ(tapped_frames(physical), 3u) << "the physical adapter's frames go onto the wire";
}

TEST_F(host_stack_test, a_packet_without_a_way_out_is_refused)
{
    EXPECT_EQ(simhost::application("192.0.2.99").send_udp("10.1.2.3", 1, 2, data).refused,
              "no interface holds the bound address");
    network().remove_route(physical.guid, "0.0.0.0/0", "192.168.1.1");
    EXPECT_EQ(simhost::application().send_udp("10.1.2.3", 1, 2, data).refused, "no route");
    EXPECT_EQ(driver().delivery_count(), 0u);
}

struct metric_case {
    const char* name;
    const char* default_prefix;
    const char* destination;
};

TEST_F(host_stack_test, the_virtual_adapters_lower_metric_wins_a_default_route_on_each)
{
    const metric_case cases[] = {
        {"IPv4", "0.0.0.0/0", "203.0.113.5"},
        {"IPv6", "::/0", "2001:db8:77::5"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        network().add_route(virtual_adapter.guid, c.default_prefix); // route metric 0, as the gateway's
        SOCKADDR_INET destination = simhost::parse_ip(c.destination);
        DWORD index = 0;
        set_virtual_up(false);
        ASSERT_EQ(netaccess::platform::get_best_interface_ex(reinterpret_cast<sockaddr*>(&destination), &index), 0u);
        // GetBestInterfaceEx answers with the index of the destination's family.
        const ADDRESS_FAMILY family = destination.si_family;
        EXPECT_EQ(index, network().interface_of(physical.guid).index_for(family))
            << "a virtual adapter that is down routes nothing";
        EXPECT_EQ(simhost::application().send_echo(c.destination, 1, 1, data).guid, physical.guid);
        set_virtual_up(true);
        ASSERT_EQ(netaccess::platform::get_best_interface_ex(reinterpret_cast<sockaddr*>(&destination), &index), 0u);
        EXPECT_EQ(index, network().interface_of(virtual_adapter.guid).index_for(family));
        EXPECT_EQ(simhost::application().send_echo(c.destination, 1, 1, data).guid, virtual_adapter.guid);
    }
}

// A reply as a filter sends it up the virtual adapter's stack.
frame_bytes echo_reply(const char* from, const char* to, std::uint16_t sequence)
{
    simhost::ip_packet_spec spec;
    spec.source = simhost::parse_ip(from);
    spec.destination = simhost::parse_ip(to);
    spec.protocol = spec.source.si_family == AF_INET ? 1 : 58;
    frame_bytes message = simhost::echo_request(spec.source.si_family, 0x77, sequence, data);
    message[0] = spec.protocol == 1 ? 0 : 129;
    return simhost::build_ip_frame(spec, message);
}

TEST_F(host_stack_test, frames_sent_up_a_stack_reach_the_applications_they_are_addressed_to)
{
    simhost::application unbound;
    simhost::application bound_virtual("10.9.0.2");
    simhost::application bound_physical("192.168.1.10");
    simhost::application bound_ipv6("fd00::2");
    driver().inject(virtual_adapter.filter_handle, 2, echo_reply("10.1.2.3", "10.9.0.2", 2));
    driver().inject(virtual_adapter.filter_handle, 2, echo_reply("fd00:1::5", "fd00::2", 3));

    EXPECT_FALSE(unbound.receive_echo_reply(0x77, 1, 20ms)) << "another sequence";
    const auto reply = unbound.receive_echo_reply(0x77, 2, 1s);
    ASSERT_TRUE(reply);
    EXPECT_EQ(source_of(*reply), "10.1.2.3");
    EXPECT_FALSE(unbound.receive_echo_reply(0x77, 2, 20ms)) << "taken already";
    EXPECT_TRUE(unbound.receive_echo_reply(0x77, 3, 1s)) << "IPv6";
    EXPECT_TRUE(bound_virtual.receive_echo_reply(0x77, 2, 1s));
    EXPECT_FALSE(bound_physical.receive_echo_reply(0x77, 2, 20ms)) << "not addressed to it";
    EXPECT_TRUE(bound_ipv6.receive_echo_reply(0x77, 3, 1s));
    EXPECT_FALSE(simhost::application().receive_echo_reply(0x77, 2, 20ms)) << "it came before the application";
}
} // namespace
