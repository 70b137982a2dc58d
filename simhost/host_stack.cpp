#include "host_stack.h"

#include <atomic>
#include <cstring>
#include <thread>

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

// The frame's IP destination and its transport part, when it carries IPv4 or IPv6.
struct ip_parts {
    SOCKADDR_INET destination{};
    std::uint8_t protocol = 0;
    std::size_t transport = 0; // offset in the frame
};

std::optional<ip_parts> parts_of(const frame_bytes& f)
{
    ip_parts p;
    if (f.size() >= ethernet_header_size + 20 && get16(f, 12) == 0x0800 && f[14] >> 4 == 4) {
        p.destination.Ipv4.sin_family = AF_INET;
        std::memcpy(&p.destination.Ipv4.sin_addr, &f[30], 4);
        p.protocol = f[23];
        p.transport = ethernet_header_size + (f[14] & 0x0Fu) * 4u;
    } else if (f.size() >= ethernet_header_size + 40 && get16(f, 12) == 0x86DD && f[14] >> 4 == 6) {
        p.destination.Ipv6.sin6_family = AF_INET6;
        std::memcpy(&p.destination.Ipv6.sin6_addr, &f[38], 16);
        p.protocol = f[20];
        p.transport = ethernet_header_size + 40;
    } else {
        return std::nullopt;
    }
    return p;
}
} // namespace

application::application() : seen_(packet_driver::instance().delivery_count())
{
}

application::application(std::string_view bound_address)
    : bound_(parse_ip(bound_address)), seen_(packet_driver::instance().delivery_count())
{
}

sent_packet application::send(std::string_view destination_text, std::uint8_t protocol,
                              std::span<const std::uint8_t> transport)
{
    sent_packet sent;
    const SOCKADDR_INET destination = parse_ip(destination_text);
    const auto route =
        host_network::instance().choose_route(destination, bound_ ? &*bound_ : nullptr);
    const auto via = route ? host::instance().find_adapter(route->guid) : std::nullopt;
    if (!route)
        sent.refused = bound_ ? "no interface holds the bound address" : "no route";
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
    const ADDRESS_FAMILY family = parse_ip(destination).si_family;
    return send(destination, family == AF_INET6 ? 58 : 1, echo_request(family, id, sequence, data));
}

bool application::addressed_to_me(const frame_bytes& frame) const
{
    const auto parts = parts_of(frame);
    return parts && (!bound_ || same_ip(parts->destination, *bound_));
}

std::optional<frame_bytes> application::receive(const std::function<bool(const frame_bytes&)>& match,
                                                std::chrono::milliseconds timeout)
{
    auto& driver = packet_driver::instance();
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (true) {
        const auto deliveries = driver.deliveries();
        for (const auto& d : deliveries) {
            if (d.sequence <= seen_)
                continue;
            if (d.to == destination::stack && addressed_to_me(d.frame) && match(d.frame)) {
                seen_ = d.sequence;
                return d.frame;
            }
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= end)
            return std::nullopt;
        driver.wait_for_deliveries(deliveries.size() + 1,
                                   std::min(std::chrono::duration_cast<std::chrono::milliseconds>(end - now),
                                            std::chrono::milliseconds(50)));
    }
}

std::optional<frame_bytes> application::receive_echo_reply(std::uint16_t id, std::uint16_t sequence,
                                                           std::chrono::milliseconds timeout)
{
    return receive(
        [&](const frame_bytes& f) {
            const auto p = parts_of(f);
            if (!p || f.size() < p->transport + 8)
                return false;
            const bool reply = (p->protocol == 1 && f[p->transport] == 0) ||
                               (p->protocol == 58 && f[p->transport] == 129);
            return reply && get16(f, p->transport + 4) == id && get16(f, p->transport + 6) == sequence;
        },
        timeout);
}
} // namespace simhost
