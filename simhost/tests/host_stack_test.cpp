// The simulated host's applications, as far as the product tests rely on them: packets
// leave through the adapter that the routes pick, as frames whose lengths and checksums
// pass the tests' own frame checks; a virtual adapter's frames stay off the wire; its
// lower metric wins a default route on each adapter, but only while it is up.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "host_network.h"
#include "host_stack.h"
#include "ip_text.h"
#include "packet_builder.h"
#include "platform.h"
#include "virtnet_driver.h"

namespace
{
using simhost::frame_bytes;

constexpr simhost::mac_address gateway_mac{0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
const std::vector<std::uint8_t> data{'d', 'a', 't', 'a', '!'};

// The IPv4 frame's lengths and checksums, by the tests' own sums.
bool verifies(const frame_bytes& f)
{
    _INTERMEDIATE_BUFFER r{};
    std::memcpy(r.frame, f.data(), f.size());
    r.length = static_cast<std::uint32_t>(f.size());
    return f[12] == 0x08 && testpkt::get16(&f[16]) == f.size() - 14 &&
           (f[23] != 17 || testpkt::get16(&f[38]) == f.size() - 34) && testpkt::ipv4_header_verifies(r) &&
           testpkt::ipv4_transport_verifies(r);
}

std::string source_of(const frame_bytes& f)
{
    SOCKADDR_INET a{};
    a.si_family = AF_INET;
    std::memcpy(&a.Ipv4.sin_addr, &f[26], 4);
    return simhost::ip_text(a);
}

class host_stack_test : public ::testing::Test
{
protected:
    void SetUp() override
    {
        host().reset();
        physical = host().add_adapter({});
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
    void set_virtual_up(bool up) { network().set_oper_status(virtual_adapter.guid, up ? IfOperStatusUp : IfOperStatusDown); }

    simhost::adapter physical;
    simhost::adapter virtual_adapter;
    std::mutex tapped_mutex;
    std::map<std::uint64_t, std::size_t> tapped;
};

struct send_case {
    const char* destination;
    std::uint8_t protocol; // 17 UDP, else an echo request
    bool through_virtual;
    const char* source;
};

TEST_F(host_stack_test, packets_leave_through_the_adapter_that_the_routes_pick_with_valid_checksums)
{
    network().add_route(virtual_adapter.guid, "10.0.0.0/8");
    set_virtual_up(true);
    const send_case cases[] = {{"10.1.2.3", 17, true, "10.9.0.2"},
                               {"10.200.0.1", 1, true, "10.9.0.2"},
                               {"198.51.100.1", 17, false, "192.168.1.10"},
                               {"198.51.100.2", 1, false, "192.168.1.10"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.destination);
        simhost::application app;
        const std::size_t before = driver().delivery_count();
        const simhost::sent_packet sent = c.protocol == 17 ? app.send_udp(c.destination, 5353, 53, data)
                                                           : app.send_echo(c.destination, 0x77, 1, data);
        ASSERT_TRUE(sent) << sent.refused;
        const simhost::adapter& via = c.through_virtual ? virtual_adapter : physical;
        const auto deliveries = driver().deliveries();
        ASSERT_EQ(deliveries.size(), before + 1);
        const simhost::delivery& d = deliveries.back();
        EXPECT_EQ(d.adapter_handle, via.filter_handle);
        EXPECT_EQ(d.direction, 1u) << "an outgoing frame of the adapter";
        EXPECT_EQ(d.frame, sent.frame);
        EXPECT_TRUE(verifies(d.frame));
        EXPECT_EQ(source_of(d.frame), c.source);
        EXPECT_EQ(d.frame[23], c.protocol);
        EXPECT_TRUE(std::equal(via.mac.begin(), via.mac.end(), d.frame.begin() + 6)) << "from the adapter's MAC";
        if (!c.through_virtual) {
            EXPECT_TRUE(std::equal(gateway_mac.begin(), gateway_mac.end(), d.frame.begin())) << "to the gateway";
        }
    }
    std::lock_guard lock(tapped_mutex);
    EXPECT_EQ(tapped[virtual_adapter.filter_handle], 0u) << "the virtual adapter's frames are its driver's";
    EXPECT_EQ(tapped[physical.filter_handle], 2u) << "the physical adapter's frames go onto the wire";
}

TEST_F(host_stack_test, the_virtual_adapters_lower_metric_wins_a_default_route_on_each_while_it_is_up)
{
    for (const char* destination : {"203.0.113.5", "2001:db8:77::5"}) {
        SCOPED_TRACE(destination);
        SOCKADDR_INET to = simhost::parse_ip(destination);
        network().add_route(virtual_adapter.guid, to.si_family == AF_INET ? "0.0.0.0/0" : "::/0"); // metric 0
        for (const bool up : {false, true}) {
            set_virtual_up(up);
            const simhost::adapter& via = up ? virtual_adapter : physical;
            DWORD index = 0;
            ASSERT_EQ(netaccess::platform::get_best_interface_ex(reinterpret_cast<sockaddr*>(&to), &index), 0u);
            // GetBestInterfaceEx answers with the index of the destination's family.
            EXPECT_EQ(index, network().interface_of(via.guid).index_for(to.si_family));
            if (to.si_family == AF_INET) {
                EXPECT_EQ(simhost::application().send_echo(destination, 1, 1, data).guid, via.guid);
            }
        }
    }
}
} // namespace
