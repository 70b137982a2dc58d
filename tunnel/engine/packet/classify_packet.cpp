// Packet classification.
#include "classify_packet.h"

#include <array>
#include <cstring>
#include <optional>
#include <string>

#include "app_match.h"
#include "ipv6_walk.h"
#include "link_scope.h"
#include "netaccess/address_text.h"
#include "netaccess/frame_view.h"
#include "subnet_match.h"

namespace wireguard
{
namespace
{
constexpr std::uint32_t filter_log_level = 3;
constexpr std::uint16_t dns_port = 53;
constexpr std::uint8_t tcp_syn = 0x02;
constexpr std::uint8_t tcp_syn_ack_mask = 0x12;

// The per-family parts of the rules.
struct ipv4_family {
    using address = std::array<std::uint8_t, 4>;
    static constexpr std::uint8_t family = family_ipv4;
    static constexpr std::size_t source_offset = rimcap::ip_header_offset + 12;
    static constexpr std::size_t destination_offset = rimcap::ip_header_offset + 16;

    static std::string text(const address& a)
    {
        IN_ADDR in;
        std::memcpy(&in, a.data(), a.size());
        return iphelper::ipv4_to_string(&in);
    }
    static const iphelper::network_process& tcp_owner(const owner_caches& owners, owner_memos& memos,
                                                      const rimcap::frame_view& f, const rimcap::transport_header& t)
    {
        return owners.ipv4().lookup_tcp(iphelper::tcp_owner_key_v4(f, t), memos.tcp_v4);
    }
    static const iphelper::network_process& udp_owner(const owner_caches& owners, owner_memos& memos,
                                                      const rimcap::frame_view& f, const rimcap::transport_header& t,
                                                      bool& refreshed)
    {
        return owners.ipv4().lookup_udp(iphelper::udp_owner_key_v4(f, t), refreshed, memos.udp_v4);
    }
};

struct ipv6_family {
    using address = std::array<std::uint8_t, 16>;
    static constexpr std::uint8_t family = family_ipv6;
    static constexpr std::size_t source_offset = rimcap::ip_header_offset + 8;
    static constexpr std::size_t destination_offset = rimcap::ip_header_offset + 24;

    static std::string text(const address& a)
    {
        IN6_ADDR in;
        std::memcpy(&in, a.data(), a.size());
        return iphelper::ipv6_to_string(&in);
    }
    static const iphelper::network_process& tcp_owner(const owner_caches& owners, owner_memos& memos,
                                                      const rimcap::frame_view& f, const rimcap::transport_header& t)
    {
        return owners.ipv6().lookup_tcp(iphelper::tcp_owner_key_v6(f, t), memos.tcp_v6);
    }
    static const iphelper::network_process& udp_owner(const owner_caches& owners, owner_memos& memos,
                                                      const rimcap::frame_view& f, const rimcap::transport_header& t,
                                                      bool& refreshed)
    {
        return owners.ipv6().lookup_udp(iphelper::udp_owner_key_v6(f, t), refreshed, memos.udp_v6);
    }
};

// A path as 8-bit text: the low byte of each UTF-16 unit. A unit whose low byte is 0
// (U+0100, say) becomes '?', so that it cannot end the line early.
std::string narrow(const std::wstring& text)
{
    std::string out(text.size(), '\0');
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto low = static_cast<unsigned char>(text[i] & 0xFF);
        out[i] = low == 0 ? '?' : static_cast<char>(low);
    }
    return out;
}

std::string address_text(const ip_address& a)
{
    if (a.family == family_ipv6) {
        ipv6_family::address bytes;
        std::memcpy(bytes.data(), a.address.data(), 16);
        return ipv6_family::text(bytes);
    }
    ipv4_family::address bytes;
    std::memcpy(bytes.data(), a.address.data(), 4);
    return ipv4_family::text(bytes);
}

bool is_extension_header(std::uint8_t next) noexcept
{
    return next == 0 || next == 43 || next == 44 || next == 60;
}

// One decision on one IP packet of family F.
template <class F>
class classification
{
public:
    classification(const classification_input& input, const rimcap::frame_view& f, owner_caches owners,
                   owner_memos& memos) noexcept
        : input_(input), config_(*input.config), f_(f), owners_(owners), memos_(memos)
    {
        f_.read(F::source_offset, source_.data(), source_.size());
        f_.read(F::destination_offset, destination_.data(), destination_.size());
    }

    // A frame that passed the frame view's checks.
    bool decide()
    {
        std::uint8_t protocol = 0;
        std::optional<rimcap::transport_header> transport;
        bool chain_cut = false;
        ipv6_upper_layer_info walk;
        if constexpr (F::family == family_ipv4) {
            protocol = f_.ip_protocol();
            transport = f_.ipv4_transport(); // none for a fragment other than the first
        } else {
            walk = ipv6_upper_layer(f_);
            protocol = walk.protocol;
            transport = walk.header; // none for a later fragment or a cut chain
            chain_cut = !transport && is_extension_header(protocol);
        }
        const fragment_place place = fragment_place_of(f_, walk);

        if (is_link_scope(f_, transport) && !is_unicast_dns_query(transport))
            return settle(place, false);
        if (disallowed()) {
            log_ignored(protocol);
            return false;
        }
        if (place.role == fragment_role::later && input_.fragments) {
            if (const std::optional<bool> first = input_.fragments->find(place.key)) {
                if (*first)
                    log_protocol(protocol);
                return *first;
            }
        }
        return settle(place, decide_packet(protocol, transport, chain_cut));
    }

private:
    // The decision, remembered for the later fragments when this is a first fragment.
    bool settle(const fragment_place& place, bool tunnel)
    {
        if (place.role == fragment_role::first && input_.fragments)
            input_.fragments->remember(place.key, tunnel);
        return tunnel;
    }

    // A DNS query to a unicast address while DNS servers are configured: it follows the
    // DNS rule whatever the scope of its destination (a router may announce its
    // link-local address as the resolver).
    bool is_unicast_dns_query(const std::optional<rimcap::transport_header>& t) const noexcept
    {
        const bool multicast = F::family == family_ipv4 ? destination_[0] >= 224 : destination_[0] == 0xFF;
        return !multicast && t && t->protocol == rimcap::ip_protocol_udp && f_.header_complete(*t) &&
               follows_dns_rule(*t);
    }

    // A whole UDP header to port 53 while DNS servers are configured.
    bool follows_dns_rule(const rimcap::transport_header& udp) const noexcept
    {
        return !config_.interface_config.dns.empty() && f_.u16(udp.offset + 2u) == dns_port;
    }

    // The rules for a packet whose destination is not in DisallowedIPs.
    bool decide_packet(std::uint8_t protocol, const std::optional<rimcap::transport_header>& transport, bool chain_cut)
    {
        const bool ports = transport && f_.header_complete(*transport);
        if (protocol == rimcap::ip_protocol_tcp && ports)
            return decide_tcp(*transport);
        if (protocol == rimcap::ip_protocol_udp && ports)
            return decide_udp(*transport);
        if (protocol == rimcap::ip_protocol_tcp || protocol == rimcap::ip_protocol_udp || chain_cut)
            return by_destination(protocol);
        if (!config_.peer_config.allowed_apps.empty())
            return false;
        return by_destination(protocol);
    }

public:
    // A frame that failed the frame view's checks but holds the destination address.
    bool decide_malformed(std::uint8_t protocol, bool udp_possible)
    {
        if (disallowed()) {
            log_ignored(protocol);
            return false;
        }
        if (allowed()) {
            log_protocol(protocol);
            return true;
        }
        return !config_.interface_config.dns.empty() && udp_possible;
    }

private:
    bool disallowed() const noexcept { return any_subnet_holds(config_.peer_config.disallowed_ips, destination_); }
    bool allowed() const noexcept { return any_subnet_holds(config_.peer_config.allowed_ips, destination_); }
    bool logging() const noexcept { return input_.logger && input_.log_level >= filter_log_level; }

    // Packets without ports: by AllowedIPs alone.
    bool by_destination(std::uint8_t protocol)
    {
        if (!allowed())
            return false;
        log_protocol(protocol);
        return true;
    }

    bool decide_tcp(const rimcap::transport_header& t)
    {
        if (!allowed())
            return false;
        const auto& peer = config_.peer_config;
        const bool log = logging() && (f_.u8(t.offset + 13u) & tcp_syn_ack_mask) == tcp_syn;
        const iphelper::network_process* owner = nullptr;
        const auto owner_of = [&]() -> const iphelper::network_process& {
            if (!owner)
                owner = &F::tcp_owner(owners_, memos_, f_, t);
            return *owner;
        };
        if (!peer.allowed_apps.empty() && find_app(peer.allowed_apps, owner_of())) {
            if (log)
                log_connection("", *owner, "TCP", t);
            return true;
        }
        if (!peer.disallowed_apps.empty() && find_app(peer.disallowed_apps, owner_of())) {
            if (log)
                log_connection("Skipping ", *owner, "TCP", t);
            return false;
        }
        if (!peer.allowed_apps.empty())
            return false;
        if (log)
            log_connection("", owner_of(), "TCP", t);
        return true;
    }

    bool decide_udp(const rimcap::transport_header& t)
    {
        const auto& peer = config_.peer_config;
        bool refreshed = false;
        const iphelper::network_process* owner = nullptr;
        const auto owner_of = [&]() -> const iphelper::network_process& {
            if (!owner)
                owner = &F::udp_owner(owners_, memos_, f_, t, refreshed);
            return *owner;
        };

        if (follows_dns_rule(t)) {
            if (input_.dns_cache_bypass && contains_upper(owner_of().name, L"DNSCACHE"))
                return false;
            if (logging()) {
                owner_of();
                if (refreshed)
                    log_dns(*owner, t);
            }
            return true;
        }

        if (!allowed())
            return false;
        if (!peer.allowed_apps.empty() && find_app(peer.allowed_apps, owner_of())) {
            if (logging() && refreshed)
                log_connection("", *owner, "UDP", t);
            return true;
        }
        if (!peer.disallowed_apps.empty() && find_app(peer.disallowed_apps, owner_of())) {
            if (logging() && refreshed)
                log_connection("Skipping ", *owner, "UDP", t);
            return false;
        }
        if (!peer.allowed_apps.empty())
            return false;
        if (logging()) {
            owner_of();
            if (refreshed)
                log_connection("", *owner, "UDP", t);
        }
        return true;
    }

    void write(const std::string& line) const { input_.logger(line.c_str()); }

    void log_ignored(std::uint8_t protocol) const
    {
        if (logging())
            write("[FILTER]: Skipping ignored IP: PROTOCOL " + std::to_string(protocol) + " : " + F::text(source_) +
                  " -> " + F::text(destination_));
    }

    void log_protocol(std::uint8_t protocol) const
    {
        if (logging())
            write("[FILTER]: PROTOCOL " + std::to_string(protocol) + " : " + F::text(source_) + " -> " +
                  F::text(destination_));
    }

    void log_connection(const char* prefix, const iphelper::network_process& owner, const char* protocol,
                        const rimcap::transport_header& t) const
    {
        write(std::string("[FILTER]: ") + prefix + narrow(owner.path) + " : " + protocol + " : " + F::text(source_) +
              ":" + std::to_string(f_.u16(t.offset)) + " -> " + F::text(destination_) + ":" +
              std::to_string(f_.u16(t.offset + 2u)));
    }

    void log_dns(const iphelper::network_process& owner, const rimcap::transport_header& t) const
    {
        write("[FILTER]: " + narrow(owner.path) + " : DNS : " + F::text(source_) + ":" +
              std::to_string(f_.u16(t.offset)) + " -> " + address_text(config_.interface_config.dns.front()) + "[" +
              F::text(destination_) + "]:" + std::to_string(f_.u16(t.offset + 2u)));
    }

    const classification_input& input_;
    const wg_config& config_;
    const rimcap::frame_view& f_;
    owner_caches owners_;
    owner_memos& memos_;
    typename F::address source_{};
    typename F::address destination_{};
};

// A frame that failed the frame view's checks (see the header for the rules).
bool classify_malformed(const classification_input& input, const rimcap::frame_view& f, owner_caches owners,
                        owner_memos& memos)
{
    const std::uint32_t length = f.record().length;
    if (length > rimcap::max_frame_size)
        return true;
    if (f.ether_type() == rimcap::ether_type_ipv4) {
        if (!f.has(ipv4_family::destination_offset, 4))
            return false;
        const std::uint8_t protocol = f.u8(rimcap::ip_header_offset + 9);
        return classification<ipv4_family>(input, f, owners, memos)
            .decide_malformed(protocol, protocol == rimcap::ip_protocol_udp);
    }
    if (f.ether_type() == rimcap::ether_type_ipv6) {
        if (!f.has(ipv6_family::destination_offset, 16))
            return false;
        const bool version6 = f.u8(rimcap::ip_header_offset) >> 4 == 6;
        const std::uint8_t protocol = version6 ? f.u8(rimcap::ip_header_offset + 6) : 0;
        return classification<ipv6_family>(input, f, owners, memos).decide_malformed(protocol, true);
    }
    return false; // too short for an Ethernet header, or not IP
}
} // namespace

bool classify_frame(const classification_input& input, _INTERMEDIATE_BUFFER& record, owner_caches owners)
{
    if (!input.config)
        return false;
    // Without the family's memos, a set of this call's own (it answers nothing twice).
    owner_memos own_memos;
    owner_memos& memos = input.memos ? *input.memos : own_memos;
    const rimcap::frame_view f(record);
    if (!f.ok())
        return classify_malformed(input, f, owners, memos);
    if (f.is_ipv4())
        return classification<ipv4_family>(input, f, owners, memos).decide();
    if (f.is_ipv6())
        return classification<ipv6_family>(input, f, owners, memos).decide();
    return false;
}
} // namespace wireguard
