#pragma once
// Packet classification: does an outgoing frame go through the tunnel (true) or leave
// untouched (false)?
//
// Rules, in order (the first that decides ends the call):
//  1. Only IPv4 and IPv6 frames can be tunnelled, and never their link-scope traffic
//     (DHCP, DHCPv6, neighbour and router discovery, redirects, multicast listener
//     discovery, and packets to link-local or link-scope destinations: see
//     link_scope.h), whatever the lists below say. While DNS servers are configured,
//     a DNS query to a unicast address (a link-local resolver, say) follows rule 4
//     instead.
//  2. DisallowedIPs: a destination in the list never is (the DNS rule included).
//  3. TCP: the destination must be in AllowedIPs; then AllowedApps (a match tunnels),
//     DisallowedApps (a match does not), and a non-empty AllowedApps that did not
//     match does not; otherwise it is tunnelled.
//  4. UDP: to port 53 while DNS servers are configured it is tunnelled whatever the
//     other lists say, except a query of the DNS client service while the manager's
//     DNS cache bypass is set; any other datagram follows the TCP rules.
//  5. Any other protocol: never while AllowedApps is set, else by AllowedIPs.
// The owning program comes from the socket-owner caches ("SYSTEM" when none is
// found), asked only for an application list, the DNS bypass or a decision line.
//
// Fragments: a fragment other than the first of its datagram (IPv4 fragment offset not
// 0, IPv6 fragment header with an offset) carries no ports; it takes the decision made
// for its datagram's first fragment, which the family's fragment table remembers by
// (source, destination, protocol, identification). Only when that first fragment was
// not seen is it decided by its destination, as below.
//
// Packets without a readable transport header are decided by their destination:
//  - a later fragment whose first fragment was not seen, or a TCP or UDP header cut
//    short, or an IPv6 extension-header chain that ends before any upper-layer header:
//    tunnelled exactly when the destination is in AllowedIPs (and not in
//    DisallowedIPs), whatever the application lists say. Ports and owners are never
//    read from payload bytes.
//  - a frame that fails the frame view's checks (see classify_frame) is left outside
//    only when that cannot leak tunnel traffic; otherwise it is classified as tunnel
//    traffic, and the packet paths drop it, since it cannot be encrypted as it stands.
//
// Decision lines ("[FILTER]: ...") go to the manager's log callback at level 3 or
// more: TCP on a connection's first SYN, UDP and DNS when the lookup had to refresh
// the owner table (once per socket), other protocols for every tunnelled packet.
//
// One mutex per tunnel family, held for the whole decision (owner-table locks and the
// log callback included); the family's fragment table is used under it. The
// configuration is read at every call, not copied.
#include <cstdint>
#include <mutex>

#include "config/log_callback.h"
#include "config/wg_config.h"
#include "fragment_decisions.h"
#include "netaccess/driver_records.h"
#include "netaccess/process_lookup.h"

namespace wireguard
{
// The last owner answers of a tunnel family's classifications, one per table (see
// iphelper::owner_memo): the packets of one connection then find their owner without
// the table's lock or a hash. Used under the family's classification lock.
struct owner_memos {
    iphelper::process_lookup_v4::tcp_memo tcp_v4;
    iphelper::process_lookup_v4::udp_memo udp_v4;
    iphelper::process_lookup_v6::tcp_memo tcp_v6;
    iphelper::process_lookup_v6::udp_memo udp_v6;
};

// What one classification reads from its tunnel family's manager.
struct classification_input {
    const wg_config* config = nullptr; // none: nothing is tunnelled
    bool dns_cache_bypass = false;
    std::uint32_t log_level = 0;
    log_callback logger = nullptr;
    fragment_decisions* fragments = nullptr; // none: later fragments go by destination
    owner_memos* memos = nullptr;            // none: every owner is looked up afresh
};

// The owner caches that a classification asks; a null pointer stands for the
// library's own cache of that family, which is built on its first lookup.
struct owner_caches {
    iphelper::process_lookup_v4* v4 = nullptr;
    iphelper::process_lookup_v6* v6 = nullptr;

    iphelper::process_lookup_v4& ipv4() const { return v4 ? *v4 : iphelper::process_lookup_v4::instance(); }
    iphelper::process_lookup_v6& ipv6() const { return v6 ? *v6 : iphelper::process_lookup_v6::instance(); }
};

// One decision, without the family lock (callers hold it). The record is not changed.
//
// A frame that fails the frame view's checks:
//  - frame length above 1514: true (nothing in it can be judged);
//  - frame length below 14, or an IP frame that ends before its destination address:
//    false (it carries no IP payload);
//  - destination in DisallowedIPs: false, with the DisallowedIPs line;
//  - destination in AllowedIPs: true, with the "PROTOCOL" line (IPv4: the protocol
//    byte; IPv6: the next header, 0 when the version is not 6);
//  - otherwise false when no DNS server is configured (no rule could tunnel it) or the
//    IPv4 protocol is not UDP, and true otherwise (it might be a DNS query).
bool classify_frame(const classification_input& input, _INTERMEDIATE_BUFFER& record, owner_caches owners = {});

// The classification lock of a tunnel family (one per type), built on first use and
// destroyed when the library unloads.
template <class Family>
std::mutex& classification_mutex()
{
    static std::mutex lock;
    return lock;
}

// The fragment table of a tunnel family (one per type), used under its
// classification_mutex. The manager clears it whenever the family's configuration
// comes or goes, so that no decision outlives the configuration it was made under.
template <class Family>
fragment_decisions& fragment_table()
{
    static fragment_decisions table;
    return table;
}

// The owner memos of a tunnel family (one per type), used under its
// classification_mutex.
template <class Family>
owner_memos& owner_memo_table()
{
    static owner_memos memos;
    return memos;
}

// The classifier that the manager builds for its tunnel and that the packet paths call
// with each outgoing record. It holds the manager's address and reads, at every call,
// its members `config` (std::unique_ptr<wg_config>, empty: false), `dns_cache_bypass`
// (bool), `log_level` (an integer, or an atomic one) and `log_callback`; the lock is
// the manager type's classification_mutex, the fragment table its fragment_table and
// the owner memos its owner_memo_table.
template <class Manager>
class classify_packet
{
public:
    explicit classify_packet(Manager& manager) noexcept : manager_(&manager) {}

    bool operator()(_INTERMEDIATE_BUFFER& record) const
    {
        std::lock_guard lock(classification_mutex<Manager>());
        classification_input input;
        input.config = manager_->config.get();
        input.dns_cache_bypass = static_cast<bool>(manager_->dns_cache_bypass);
        input.log_level = static_cast<std::uint32_t>(manager_->log_level);
        input.logger = manager_->log_callback;
        input.fragments = &fragment_table<Manager>();
        input.memos = &owner_memo_table<Manager>();
        return classify_frame(input, record);
    }

private:
    Manager* manager_;
};
} // namespace wireguard
