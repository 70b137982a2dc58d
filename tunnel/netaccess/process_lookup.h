#pragma once
// The socket-owner lookup: which process owns the TCP connection or the UDP socket of
// a packet that the local stack sends.
//
// The answers come from the system's TCP and UDP tables with owner-module information,
// cached per address family in two hash maps (TCP by flow, UDP by local endpoint). A
// hit costs a shared lock and one hash probe (two for a UDP socket bound to the
// wildcard address). A miss re-reads that table, under its lock held exclusive, and
// in the same section stores the shared "SYSTEM" process for the key when the fresh
// table does not know it either; so an owner that a concurrent refresh found is never
// replaced by the default, and a key that maps to "SYSTEM" stays a hit until the next
// refresh, which any miss of another key triggers. Every lookup returns a process;
// nothing is logged and no error is reported (only memory exhaustion throws).
//
//   bool refreshed = false;
//   auto owner = iphelper::lookup_udp_process(iphelper::udp_owner_key_v4(view, *t), refreshed);
#include <atomic>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "address_hash.h"
#include "frame_view.h"
#include "network_process.h"
#include "srw_lock.h"
#include "win32.h"

namespace iphelper
{
struct owner_family_v4 {
    using flow_key = flow_key_v4;
    using flow_hash = flow_hash_v4;
    using endpoint_key = endpoint_key_v4;
    using endpoint_hash = endpoint_hash_v4;
};

struct owner_family_v6 {
    using flow_key = flow_key_v6;
    using flow_hash = flow_hash_v6;
    using endpoint_key = endpoint_key_v6;
    using endpoint_hash = endpoint_hash_v6;
};

// The last answer of one kind of lookup, kept by a caller that asks about the same
// keys again and again (the packets of one connection). It answers again only while the
// table has not changed since (the version names the table and its state, and is never
// 0); the caller serialises its own use of it, and it keeps its process alive.
template <class Key>
struct owner_memo {
    Key key{};
    std::uint64_t version = 0;
    std::shared_ptr<network_process> process;
};

// The owner cache of one address family. The library uses one instance per family
// (instance(), built on first use); tests build their own.
template <class Family>
class process_lookup
{
public:
    using flow_key = typename Family::flow_key;
    using endpoint_key = typename Family::endpoint_key;
    using process_ptr = std::shared_ptr<network_process>;

    // Reads the TCP table and then the UDP table.
    process_lookup();
    process_lookup(const process_lookup&) = delete;
    process_lookup& operator=(const process_lookup&) = delete;

    static process_lookup& instance();

    using tcp_memo = owner_memo<flow_key>;
    using udp_memo = owner_memo<endpoint_key>;

    // The owner of the connection, "SYSTEM" when none is found. Never empty.
    process_ptr lookup_tcp(const flow_key& key);
    // The owner of the socket bound to the endpoint, or else of the socket bound to the
    // wildcard address and that port; "SYSTEM" when none is found. Never empty. Sets
    // `refreshed` (and never clears it) when the lookup had to re-read the UDP table.
    process_ptr lookup_udp(const endpoint_key& key, bool& refreshed);

    // The same answers through a memo of the last one: a key that the memo holds, while
    // the table is as it was then, costs neither the table's lock nor a hash. The
    // answer lives in the memo until its next lookup.
    const network_process& lookup_tcp(const flow_key& key, tcp_memo& memo);
    const network_process& lookup_udp(const endpoint_key& key, bool& refreshed, udp_memo& memo);

    // The shared default process {0, "SYSTEM", "SYSTEM"}.
    const process_ptr& system_process() const noexcept { return default_process_; }

private:
    using tcp_map = std::unordered_map<flow_key, process_ptr, typename Family::flow_hash>;
    using udp_map = std::unordered_map<endpoint_key, process_ptr, typename Family::endpoint_hash>;

    // The caller holds the table's lock exclusive (or is the constructor).
    void refresh_tcp_table();
    void refresh_udp_table();
    // A find under no lock of its own: exact endpoint first, then the wildcard address.
    const process_ptr* find_udp(const endpoint_key& key) const;

    tcp_map tcp_table_;
    udp_map udp_table_;
    // Versions of the tables: a fresh process-wide number at every refresh, written
    // under the table's lock held exclusive.
    std::atomic<std::uint64_t> tcp_version_{0};
    std::atomic<std::uint64_t> udp_version_{0};
    wireguard::srw_lock tcp_lock_;
    wireguard::srw_lock udp_lock_;
    process_ptr default_process_;
    std::unique_ptr<std::uint8_t[]> tcp_rows_;
    std::unique_ptr<std::uint8_t[]> udp_rows_;
    DWORD tcp_size_ = 0;
    DWORD udp_size_ = 0;
};

extern template class process_lookup<owner_family_v4>;
extern template class process_lookup<owner_family_v6>;
using process_lookup_v4 = process_lookup<owner_family_v4>;
using process_lookup_v6 = process_lookup<owner_family_v6>;

// The keys of an outgoing packet: local = the IP source, remote = the IP destination,
// ports from the transport header (source port first), in host order. The view must
// hold an IPv4 (or IPv6) packet and t a TCP (or UDP) header that is there in full
// (frame_view::header_complete); otherwise the key's missing fields are 0.
flow_key_v4 tcp_owner_key_v4(const rimcap::frame_view& view, const rimcap::transport_header& t) noexcept;
flow_key_v6 tcp_owner_key_v6(const rimcap::frame_view& view, const rimcap::transport_header& t) noexcept;
endpoint_key_v4 udp_owner_key_v4(const rimcap::frame_view& view, const rimcap::transport_header& t) noexcept;
endpoint_key_v6 udp_owner_key_v6(const rimcap::frame_view& view, const rimcap::transport_header& t) noexcept;

// The lookups on the library's own caches (process_lookup_v4/v6::instance()).
std::shared_ptr<network_process> lookup_tcp_process(const flow_key_v4& key);
std::shared_ptr<network_process> lookup_tcp_process(const flow_key_v6& key);
std::shared_ptr<network_process> lookup_udp_process(const endpoint_key_v4& key, bool& refreshed);
std::shared_ptr<network_process> lookup_udp_process(const endpoint_key_v6& key, bool& refreshed);
} // namespace iphelper
