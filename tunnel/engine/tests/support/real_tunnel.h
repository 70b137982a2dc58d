#pragma once
// A single-adapter tunnel with the real WireGuard engine on the simulated host, with a
// server inside the test process behind the simulated wire.
#include <memory>
#include <optional>

#include "config/address_parsers.h"
#include "tunnel_test_support.h"
#include "wg_responder.h"
#include "wire.h"

namespace tunnel_test
{
class real_tunnel_test : public tunnel_host_test
{
protected:
    void SetUp() override
    {
        tunnel_host_test::SetUp();
        adapter = add_ethernet();
    }
    void TearDown() override
    {
        tunnel.reset();
        wire.reset();
        responder.reset();
        tunnel_host_test::TearDown();
    }

    // The wire and the server; the tunnel's server endpoint is the wire's endpoint.
    void start_server()
    {
        responder = std::make_unique<wg_responder>(server_keys.private_text, client_keys.public_text);
        ASSERT_TRUE(responder->ok());
        wire = std::make_unique<simhost::wire>();
        server_port = wire->add_endpoint("127.0.0.1", responder->port());
    }

    // A tunnel toward 127.0.0.1:server_port with the tunnel address 10.8.0.2/24 and both
    // default routes as AllowedIPs, its filter set up and its start allowed.
    wireguard::wg_tunnel& make_tunnel(std::int32_t level = 3)
    {
        tunnel = std::make_unique<wireguard::wg_tunnel>(client_keys.private_text, server_keys.public_text,
                                                        std::nullopt, 25, &log_lines::callback, level);
        tunnel->server_endpoint = ipv4_endpoint(127, 0, 0, 1, server_port);
        tunnel->address_switching.tunnel_ipv4_address = ipv4(10, 8, 0, 2);
        tunnel->address_switching.ipv4_prefix_length = 24;
        tunnel->allowed_ips = wireguard::parse_prefix_list("0.0.0.0/0, ::/0");
        EXPECT_TRUE(tunnel->set_packet_filter(
            [this](_INTERMEDIATE_BUFFER& record) { return classify ? classify(record) : false; }));
        tunnel->notification_flag = true;
        return *tunnel;
    }

    std::vector<simhost::delivery> deliveries_to(simhost::destination to) const
    {
        std::vector<simhost::delivery> out;
        for (auto& d : driver().deliveries())
            if (d.to == to)
                out.push_back(d);
        return out;
    }

    key_pair client_keys;
    key_pair server_keys;
    simhost::adapter adapter;
    std::unique_ptr<wg_responder> responder;
    std::unique_ptr<simhost::wire> wire;
    std::uint16_t server_port = 51820;
    std::unique_ptr<wireguard::wg_tunnel> tunnel;
    // The classification of the tunnel's filter (empty: nothing is tunnelled); set it
    // before the filter runs.
    std::function<bool(_INTERMEDIATE_BUFFER&)> classify;
};
} // namespace tunnel_test
