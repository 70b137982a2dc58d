// The DNS slot table: query records per configured server, failover order.
#include "dns_slot_table.h"

#include <algorithm>
#include <limits>
#include <mutex>
#include <shared_mutex>
#include <utility>

namespace wireguard
{
namespace
{
ipv4_key ipv4_key_of(const ip_address& a) noexcept
{
    ipv4_key k;
    std::copy_n(a.address.begin(), 4, reinterpret_cast<std::uint8_t*>(&k));
    return k;
}

// Drops the records that have waited more than the time-out since their latest query.
// True when a record holds a query that has waited more than the time-out while the
// server answered nothing: the server is failing.
template <class Address>
bool drop_expired(dns_slot<Address>& slot, std::int64_t now)
{
    bool failing = false;
    for (auto it = slot.requests.begin(); it != slot.requests.end();) {
        const dns_request<Address>& r = it->second;
        failing = failing ||
                  (dns_slot_table::waited_out(r.unanswered_since, now) && slot.last_answer <= r.unanswered_since);
        if (dns_slot_table::waited_out(r.queried, now))
            it = slot.requests.erase(it);
        else
            ++it;
    }
    return failing;
}

template <class Address>
std::optional<Address> acquire(std::vector<dns_slot<Address>>& slots, std::uint16_t port, const Address& requested,
                               std::int64_t now)
{
    if (slots.empty())
        return std::nullopt;

    // The first slot whose server is not failing takes the query; records that waited
    // out their time are dropped on the way, records still waiting are kept.
    auto chosen = slots.end();
    for (auto it = slots.begin(); it != slots.end(); ++it) {
        if (!drop_expired(*it, now)) {
            chosen = it;
            break;
        }
    }
    // The slots before the chosen one move, in their order, behind the last one. When
    // every server is failing, the order stays.
    if (chosen != slots.end() && chosen != slots.begin())
        std::rotate(slots.begin(), chosen, slots.end());

    dns_slot<Address>& slot = slots.front();
    auto [record, inserted] = slot.requests.try_emplace(port, dns_request<Address>{requested, 1, now, now});
    if (!inserted) {
        dns_request<Address>& r = record->second;
        if (r.requested == requested) {
            if (r.count < std::numeric_limits<std::int32_t>::max())
                ++r.count;
            r.queried = now;
            // The queries before the server's last answer count as answered.
            if (slot.last_answer > r.unanswered_since)
                r.unanswered_since = now;
        } else {
            r = dns_request<Address>{requested, 1, now, now};
        }
    }
    return slot.server;
}
} // namespace

dns_slot_table::dns_slot_table(const std::vector<ip_address>& dns, clock_function clock) : clock_(std::move(clock))
{
    if (!clock_)
        clock_ = steady_time_ns;
    for (const ip_address& a : dns) {
        if (a.family == family_ipv4) {
            slots_v4_.push_back(dns_slot_v4{ipv4_key_of(a), 0, {}});
        } else {
            dns_slot_v6 slot;
            slot.server = a.address;
            slots_v6_.push_back(std::move(slot));
        }
    }
}

dns_slot_table::dns_slot_table(dns_slot_table&& other)
{
    std::unique_lock<srw_lock> guard(other.lock_);
    slots_v4_ = std::move(other.slots_v4_);
    slots_v6_ = std::move(other.slots_v6_);
    clock_ = other.clock_;
}

dns_slot_table& dns_slot_table::operator=(dns_slot_table&& other)
{
    if (this == &other)
        return *this;
    std::scoped_lock guard(lock_, other.lock_);
    slots_v4_ = std::move(other.slots_v4_);
    slots_v6_ = std::move(other.slots_v6_);
    clock_ = other.clock_;
    return *this;
}

std::optional<ipv4_key> dns_slot_table::acquire_port_slot(std::uint16_t port, ipv4_key requested)
{
    std::unique_lock<srw_lock> guard(lock_);
    return acquire(slots_v4_, port, requested, clock_());
}

std::optional<ipv6_key> dns_slot_table::acquire_port_slot(std::uint16_t port, const ipv6_key& requested)
{
    std::unique_lock<srw_lock> guard(lock_);
    return acquire(slots_v6_, port, requested, clock_());
}

template <class Address>
std::optional<Address> dns_slot_table::release_port_slot(std::uint16_t port)
{
    std::unique_lock<srw_lock> guard(lock_);
    for (dns_slot<Address>& slot : slots<Address>()) {
        const auto record = slot.requests.find(port);
        if (record == slot.requests.end())
            continue;
        const Address requested = record->second.requested;
        if (--record->second.count <= 0)
            slot.requests.erase(record);
        // 0 means "never answered", so an answer at clock reading 0 is stamped 1.
        const std::int64_t now = clock_();
        slot.last_answer = now != 0 ? now : 1;
        return requested;
    }
    return std::nullopt;
}

template std::optional<ipv4_key> dns_slot_table::release_port_slot<ipv4_key>(std::uint16_t);
template std::optional<ipv6_key> dns_slot_table::release_port_slot<ipv6_key>(std::uint16_t);

bool dns_slot_table::is_dns_server(ipv4_key address) const
{
    std::shared_lock<srw_lock> guard(lock_);
    return std::any_of(slots_v4_.begin(), slots_v4_.end(),
                       [&](const dns_slot_v4& s) { return s.server == address; });
}

bool dns_slot_table::is_dns_server(const ipv6_key& address) const
{
    std::shared_lock<srw_lock> guard(lock_);
    return std::any_of(slots_v6_.begin(), slots_v6_.end(),
                       [&](const dns_slot_v6& s) { return s.server == address; });
}

namespace
{
template <class Address>
bool awaits(const std::vector<dns_slot<Address>>& slots, const Address& server, std::uint16_t port, std::int64_t now)
{
    return std::any_of(slots.begin(), slots.end(), [&](const dns_slot<Address>& s) {
        if (s.server != server)
            return false;
        const auto record = s.requests.find(port);
        return record != s.requests.end() && !dns_slot_table::waited_out(record->second.queried, now);
    });
}
} // namespace

bool dns_slot_table::awaits_answer(const ip_address& server, std::uint16_t port) const
{
    std::shared_lock<srw_lock> guard(lock_);
    if (server.family == family_ipv6)
        return awaits(slots_v6_, server.address, port, clock_());
    return awaits(slots_v4_, ipv4_key_of(server), port, clock_());
}

std::vector<dns_slot_v4> dns_slot_table::slots_v4() const
{
    std::shared_lock<srw_lock> guard(lock_);
    return slots_v4_;
}

std::vector<dns_slot_v6> dns_slot_table::slots_v6() const
{
    std::shared_lock<srw_lock> guard(lock_);
    return slots_v6_;
}
} // namespace wireguard
