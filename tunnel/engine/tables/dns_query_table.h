#pragma once
// A table of DNS queries that a tunnel sent and whose answers it awaits, keyed by the
// query's UDP source port and DNS id (u32: the port in the high half, the id in the low
// half). A query waits for its answer as long as a DNS slot's record does
// (dns_slot_table::answer_timeout_ns from the query; a repeat under the same key starts
// the wait again) and is taken by its answer. The table holds at most its capacity: a
// new query takes the place of the oldest, so that unanswered queries hold no more than
// a fixed amount of memory.
//
// Every operation holds the table's own reader-writer lock for its whole duration
// (lookups shared, changes exclusive) and takes no other lock. The clock is a function
// returning monotonic nanoseconds; the tunnels use steady_time_ns, tests pass a clock
// they set themselves.
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <list>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <unordered_map>
#include <utility>

#include "dns_slot_table.h"
#include "locked_set.h"
#include "srw_lock.h"
#include "table_keys.h"

namespace wireguard
{
// One query: the server it went to, and whether its source address was switched to
// the tunnel's.
template <class Address>
struct dns_query {
    Address server{};
    bool switched = false;
};

template <class Address>
class dns_query_table
{
public:
    using clock_function = dns_slot_table::clock_function;

    // Room for 8,192 queries a second, each awaited for 2 s: far more than a client's
    // resolvers send, in about 1.5 MB at the most.
    static constexpr std::size_t default_capacity = 16384;

    explicit dns_query_table(std::size_t capacity = default_capacity, clock_function clock = steady_time_ns)
        : capacity_(capacity == 0 ? 1 : capacity), clock_(clock ? std::move(clock) : steady_time_ns)
    {
    }
    dns_query_table(const dns_query_table&) = delete;
    dns_query_table& operator=(const dns_query_table&) = delete;

    // Records a query that was sent; it replaces a query under the same key.
    void insert(std::uint32_t key, const dns_query<Address>& query)
    {
        std::unique_lock<srw_lock> guard(lock_);
        const std::int64_t now = clock_();
        drop_waited_out(now);
        if (const auto found = index_.find(key); found != index_.end()) {
            order_.splice(order_.end(), order_, found->second);
            *found->second = entry{key, query, now};
            return;
        }
        if (index_.size() >= capacity_)
            drop_oldest();
        order_.push_back(entry{key, query, now});
        index_.emplace(key, std::prev(order_.end()));
    }

    // True when the query under the key went to `server` and still awaits its answer.
    bool awaits(std::uint32_t key, const Address& server) const
    {
        std::shared_lock<srw_lock> guard(lock_);
        const auto found = index_.find(key);
        return found != index_.end() && found->second->query.server == server &&
               !dns_slot_table::waited_out(found->second->sent, clock_());
    }

    // Takes the query under the key; none when there is none or it has waited out its
    // time.
    std::optional<dns_query<Address>> take(std::uint32_t key)
    {
        std::unique_lock<srw_lock> guard(lock_);
        const auto found = index_.find(key);
        if (found == index_.end())
            return std::nullopt;
        const entry taken = *found->second;
        order_.erase(found->second);
        index_.erase(found);
        if (dns_slot_table::waited_out(taken.sent, clock_()))
            return std::nullopt;
        return taken.query;
    }

    void clear()
    {
        std::unique_lock<srw_lock> guard(lock_);
        index_.clear();
        order_.clear();
    }

    // The queries held, awaited or not yet dropped.
    std::size_t size() const
    {
        std::shared_lock<srw_lock> guard(lock_);
        return index_.size();
    }

private:
    struct entry {
        std::uint32_t key = 0;
        dns_query<Address> query;
        std::int64_t sent = 0; // the clock reading at the query
    };

    void drop_oldest()
    {
        index_.erase(order_.front().key);
        order_.pop_front();
    }
    // The queries are in the order of their clock readings: those that waited out their
    // time are at the front.
    void drop_waited_out(std::int64_t now)
    {
        while (!order_.empty() && dns_slot_table::waited_out(order_.front().sent, now))
            drop_oldest();
    }

    mutable srw_lock lock_;
    std::list<entry> order_; // oldest first
    std::unordered_map<std::uint32_t, typename std::list<entry>::iterator, dns_query_hash> index_;
    std::size_t capacity_;
    clock_function clock_;
};

using dns_query_table_v4 = dns_query_table<ipv4_key>;
using dns_query_table_v6 = dns_query_table<ipv6_key>;
} // namespace wireguard
