#include "host_stack.h"

#include <algorithm>
#include <atomic>

#include "host_network.h"
#include "ip_text.h"
#include "packet_driver.h"

namespace simhost
{
namespace
{
std::atomic<std::uint16_t> next_identification{0x5100};

std::uint16_t get16(const frame_bytes& f, std::size_t at)
{
    return static_cast<std::uint16_t>(f[at] << 8 | f[at + 1]);
}

// An ICMP echo reply of that id and sequence in a frame of IPv4.
bool is_echo_reply(const frame_bytes& f, std::uint16_t id, std::uint16_t sequence)
{
    if (f.size() < ethernet_header_size + 20 || get16(f, 12) != 0x0800 || f[14] >> 4 != 4 || f[23] != 1)
        return false;
    const std::size_t at = ethernet_header_size + (f[14] & 0x0Fu) * 4u;
    return f.size() >= at + 8 && f[at] == 0 && get16(f, at + 4) == id && get16(f, at + 6) == sequence;
}
} // namespace

application::application() : seen_(packet_driver::instance().delivery_count())
{
}

sent_packet application::send(std::string_view destination_text, std::uint8_t protocol,
                              std::span<const std::uint8_t> transport)
{
    sent_packet sent;
    const SOCKADDR_INET destination = parse_ip(destination_text);
    const auto route = host_network::instance().choose_route(destination);
    const auto via = route ? host::instance().find_adapter(route->guid) : std::nullopt;
    if (!route)
        sent.refused = "no route";
    else if (!route->source)
        sent.refused = "no source address";
    else if (!via || via->filter_handle == 0)
        sent.refused = "the adapter is not bound by the packet filter driver";
    if (!sent)
        return sent;

    ip_packet_spec spec;
    spec.destination_mac = route->next_hop_mac.value_or(mac_address{});
    spec.source_mac = via->mac;
    spec.source = *route->source;
    spec.destination = destination;
    spec.protocol = protocol;
    spec.identification = next_identification++;
    sent.guid = via->guid;
    try {
        sent.frame = build_ip_frame(spec, transport);
        packet_driver::instance().inject(via->filter_handle, 1, sent.frame);
    } catch (const std::exception& e) {
        sent.refused = e.what();
    }
    return sent;
}

sent_packet application::send_udp(std::string_view destination, std::uint16_t source_port,
                                  std::uint16_t destination_port,
                                  std::span<const std::uint8_t> payload)
{
    return send(destination, 17, udp_datagram(source_port, destination_port, payload));
}

sent_packet application::send_echo(std::string_view destination, std::uint16_t id,
                                   std::uint16_t sequence, std::span<const std::uint8_t> data)
{
    return send(destination, 1, echo_request(id, sequence, data));
}

std::optional<frame_bytes> application::receive_echo_reply(std::uint16_t id, std::uint16_t sequence,
                                                           std::chrono::milliseconds timeout)
{
    auto& driver = packet_driver::instance();
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (true) {
        const auto deliveries = driver.deliveries();
        for (const auto& d : deliveries)
            if (d.sequence > seen_ && d.to == destination::stack && is_echo_reply(d.frame, id, sequence)) {
                seen_ = d.sequence;
                return d.frame;
            }
        const auto now = std::chrono::steady_clock::now();
        if (now >= end)
            return std::nullopt;
        driver.wait_for_deliveries(deliveries.size() + 1,
                                   std::min(std::chrono::duration_cast<std::chrono::milliseconds>(end - now),
                                            std::chrono::milliseconds(50)));
    }
}
} // namespace simhost
