#pragma once
// The DNS slot table: one slot per configured DNS server, in configuration order, per
// address family. A redirected DNS query is recorded in a slot under its UDP source
// port together with the destination the application asked for, so that the answer
// can be given that destination back as its source. A record waits for its answer up
// to 2 s from its latest query, however many other queries come meanwhile. The slot
// order is also the failover order: a server that has left a query unanswered for more
// than 2 s, without answering anything since that query, is passed over and the next
// server moves to the front, even while a resolver keeps repeating the query from the
// same port.
//
// Every operation holds the table's own reader-writer lock for its whole duration and
// takes no other lock. The clock is a function returning monotonic nanoseconds;
// the tunnels use steady_time_ns, tests pass a clock they set themselves.
#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <vector>

#include "config/ip_types.h"
#include "srw_lock.h"
#include "steady_time.h"
#include "table_keys.h"

namespace wireguard
{
// One query waiting for its answer: the destination the application asked for, how
// many queries from the same port to that destination are outstanding (at least 1),
// the clock reading at the latest of them (the record waits 2 s from it), and the
// clock reading at the oldest of them that the server has not answered since (the
// failover rule looks at it, so that a resolver's retries do not hide a dead server).
template <class Address>
struct dns_request {
    Address requested{};
    std::int32_t count = 0;
    std::int64_t queried = 0;
    std::int64_t unanswered_since = 0;

    friend bool operator==(const dns_request&, const dns_request&) = default;
};

// One configured server. last_answer is the clock reading at the last answer matched
// to this slot, 0 when it has never answered.
template <class Address>
struct dns_slot {
    Address server{};
    std::int64_t last_answer = 0;
    std::map<std::uint16_t, dns_request<Address>> requests; // by UDP source port, host order

    friend bool operator==(const dns_slot&, const dns_slot&) = default;
};

using dns_request_v4 = dns_request<ipv4_key>;
using dns_request_v6 = dns_request<ipv6_key>;
using dns_slot_v4 = dns_slot<ipv4_key>;
using dns_slot_v6 = dns_slot<ipv6_key>;

class dns_slot_table
{
public:
    using clock_function = std::function<std::int64_t()>;

    // How long a record waits for its answer, from its query.
    static constexpr std::int64_t answer_timeout_ns = 2'000'000'000;
    // True when a wait that began at clock reading `since` has run out at `now`.
    static constexpr bool waited_out(std::int64_t since, std::int64_t now) noexcept
    {
        return now > since && now - since > answer_timeout_ns;
    }

    // One slot per entry of dns, in order, split by family.
    explicit dns_slot_table(const std::vector<ip_address>& dns, clock_function clock = steady_time_ns);

    // Moving locks the source exclusively; assigning locks both tables (without
    // deadlock when two threads assign crosswise).
    dns_slot_table(dns_slot_table&& other);
    dns_slot_table& operator=(dns_slot_table&& other);
    dns_slot_table(const dns_slot_table&) = delete;
    dns_slot_table& operator=(const dns_slot_table&) = delete;

    // Chooses the server for a DNS query from source port `port` (host order) to
    // `requested` and records the query; nothing when the family has no slot. Records
    // that have waited out their time in the slots walked are dropped. Exclusive lock.
    std::optional<ipv4_key> acquire_port_slot(std::uint16_t port, ipv4_key requested);
    std::optional<ipv6_key> acquire_port_slot(std::uint16_t port, const ipv6_key& requested);

    // Takes back the destination recorded for an answer to `port` (its destination
    // port) and stamps the slot's last answer; nothing when no slot of the family holds
    // the port. Exclusive lock. The family is the template argument:
    // release_port_slot<ipv4_key>(port) or release_port_slot<ipv6_key>(port).
    template <class Address>
    std::optional<Address> release_port_slot(std::uint16_t port);

    // True when the address is the server of a slot of its family. Shared lock.
    bool is_dns_server(ipv4_key address) const;
    bool is_dns_server(const ipv6_key& address) const;
    // True when the slot of `server` holds a query from `port` (host order) that has not
    // waited out its time: an answer from that server to that port is awaited. Shared
    // lock.
    bool awaits_answer(const ip_address& server, std::uint16_t port) const;

    // Copies of the slots in their current order (for diagnostics and tests).
    std::vector<dns_slot_v4> slots_v4() const;
    std::vector<dns_slot_v6> slots_v6() const;

private:
    template <class Address>
    std::vector<dns_slot<Address>>& slots() noexcept;

    mutable srw_lock lock_;
    std::vector<dns_slot_v4> slots_v4_;
    std::vector<dns_slot_v6> slots_v6_;
    clock_function clock_;
};

template <>
inline std::vector<dns_slot_v4>& dns_slot_table::slots<ipv4_key>() noexcept
{
    return slots_v4_;
}

template <>
inline std::vector<dns_slot_v6>& dns_slot_table::slots<ipv6_key>() noexcept
{
    return slots_v6_;
}

extern template std::optional<ipv4_key> dns_slot_table::release_port_slot<ipv4_key>(std::uint16_t);
extern template std::optional<ipv6_key> dns_slot_table::release_port_slot<ipv6_key>(std::uint16_t);
} // namespace wireguard
