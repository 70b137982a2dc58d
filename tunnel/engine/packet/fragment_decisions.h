#pragma once
// The decisions made for the first fragments of split datagrams, so that the later
// fragments of a datagram go where its first fragment went: only the first fragment
// carries the ports that the application rules need, and the UDP header by which a DNS
// answer finds its query.
//
// A fixed table of 256 entries, keyed by (family, source, destination, protocol, IP
// identification); a new entry replaces the oldest. Nothing is allocated after
// construction. Not locked: the classification of a tunnel family uses its table under
// the family's classification lock, the incoming paths theirs on the one thread that
// decrypts.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "ipv6_walk.h"
#include "netaccess/frame_view.h"

namespace wireguard
{
struct fragment_key {
    std::uint8_t family = 0;   // family_ipv4 or family_ipv6
    std::uint8_t protocol = 0; // upper-layer protocol
    std::uint32_t identification = 0;
    std::array<std::uint8_t, 16> source{};      // IPv4: the first 4 bytes
    std::array<std::uint8_t, 16> destination{}; // IPv4: the first 4 bytes

    bool operator==(const fragment_key&) const = default;
};

// Where a packet stands in its datagram: whole, the first of several fragments, or a
// later fragment (which carries no upper-layer header).
enum class fragment_role { none, first, later };

struct fragment_place {
    fragment_role role = fragment_role::none;
    fragment_key key; // of its datagram; filled for a fragment only
};

// The place of a packet in a frame that passed the view's checks as IPv4 or IPv6; `walk`
// is the frame's IPv6 extension-header walk (not read for IPv4). The key's protocol is
// IPv4's protocol field or the walk's upper-layer protocol.
fragment_place fragment_place_of(const rimcap::frame_view& frame, const ipv6_upper_layer_info& walk) noexcept;

// What was decided for the first fragments of split datagrams, for their later fragments.
template <class Value>
class fragment_memory
{
public:
    static constexpr std::size_t capacity = 256;

    // What was decided for a first fragment that has more fragments behind it.
    void remember(const fragment_key& key, const Value& value) noexcept
    {
        entries_[next_] = entry{key, true, value};
        next_ = (next_ + 1) % capacity;
    }
    // What was remembered for a later fragment's datagram, the newest entry first; none
    // when its first fragment was not seen (lost, or not yet arrived).
    std::optional<Value> find(const fragment_key& key) const noexcept
    {
        for (std::size_t n = 1; n <= capacity; ++n) {
            const entry& e = entries_[(next_ + capacity - n) % capacity];
            if (!e.used)
                break; // entries are filled in order: the rest are unused too
            if (e.key.identification == key.identification && e.key == key)
                return e.value;
        }
        return std::nullopt;
    }
    // Forgets everything (it was decided under a configuration that is gone).
    void clear() noexcept
    {
        entries_.fill(entry{});
        next_ = 0;
    }

private:
    struct entry {
        fragment_key key;
        bool used = false;
        Value value{};
    };
    std::array<entry, capacity> entries_{};
    std::size_t next_ = 0; // the oldest entry, replaced next
};

// Whether the datagram goes into the tunnel.
using fragment_decisions = fragment_memory<bool>;
} // namespace wireguard
