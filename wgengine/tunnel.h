// The state of one WireGuard peer: handshakes as initiator and responder, the
// session ring, cookies, timers, the packet queue and the statistics. Every public
// call takes the tunnel's lock, so calls may come from several threads at once.
#pragma once

#include "handshake.h"
#include "messages.h"
#include "session.h"

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

namespace wireguard::engine {

struct tunnel_statistics {
    std::int64_t time_since_last_handshake = -1;
    std::uint64_t tx_bytes = 0;
    std::uint64_t rx_bytes = 0;
    float estimated_loss = 0;
    std::int32_t estimated_rtt = -1;
};

class tunnel {
public:
    static constexpr std::size_t session_slots = 8;
    static constexpr std::size_t max_queued_packets = 256;
    static constexpr unsigned handshakes_per_second = 10;

    static constexpr std::uint64_t second = 1000000000u;
    static constexpr std::uint64_t rekey_timeout = 5 * second;
    static constexpr std::uint64_t keepalive_timeout = 10 * second;
    static constexpr std::uint64_t rekey_after_time = 120 * second;
    static constexpr std::uint64_t reject_after_time = 180 * second;
    static constexpr std::uint64_t rekey_attempt_time = 90 * second;
    static constexpr std::uint64_t cookie_lifetime = 120 * second;
    static constexpr std::uint64_t unanswered_data_timeout = keepalive_timeout + rekey_timeout;
    static constexpr std::uint64_t rekey_after_receive_time = reject_after_time - keepalive_timeout - rekey_timeout;
    static constexpr std::uint64_t expire_without_session = 3 * reject_after_time;
    static constexpr std::uint64_t rate_limit_period = second;

    // Nothing when a key is unusable (see make_identity) or libgcrypt cannot start.
    static std::unique_ptr<tunnel> create(const key32& static_private, const key32& peer_public,
                                          const std::optional<key32>& preshared_key,
                                          std::uint16_t keep_alive, std::uint32_t index);

    tunnel(const tunnel&) = delete;
    tunnel& operator=(const tunnel&) = delete;
    ~tunnel();

    result write(std::span<const std::uint8_t> packet, std::span<std::uint8_t> dst);
    result read(std::span<const std::uint8_t> datagram, std::span<std::uint8_t> dst);
    result tick(std::span<std::uint8_t> dst);
    result force_handshake(std::span<std::uint8_t> dst);
    tunnel_statistics statistics();

private:
    struct pending_initiation {
        initiator_state state;
        std::uint64_t sent_clock = 0;  // clock reading when formatted, for the round-trip time
    };

    struct slot {
        std::unique_ptr<session> value;
        bool sent_data = false;
        bool received_data = false;
    };

    tunnel(const handshake_identity& identity, std::uint16_t keep_alive, std::uint32_t index);

    std::uint32_t next_index() noexcept;
    tai64n next_timestamp() noexcept;
    slot* current_slot() noexcept;
    slot* slot_of(std::uint32_t local_index) noexcept;
    void make_current(std::uint32_t local_index) noexcept;
    bool under_load() noexcept;
    void finish_handshake_message(std::span<std::uint8_t> message, std::uint32_t sender_index) noexcept;

    result format_initiation(std::span<std::uint8_t> dst);
    result send_data(slot& current, std::span<const std::uint8_t> packet, std::span<std::uint8_t> dst);
    result send_keepalive(std::span<std::uint8_t> dst);
    result release_queued(std::span<std::uint8_t> dst);
    result read_initiation(std::span<const std::uint8_t, initiation::size> message, std::span<std::uint8_t> dst);
    result read_response(std::span<const std::uint8_t, response::size> message, std::span<std::uint8_t> dst);
    result read_cookie_reply(std::span<const std::uint8_t, cookie_reply::size> message);
    result read_transport(std::span<const std::uint8_t> message, std::span<std::uint8_t> dst);
    void enqueue(std::span<const std::uint8_t> packet);
    void expire() noexcept;
    void packet_sent() noexcept;
    void packet_received() noexcept;

    std::mutex mutex_;
    handshake_identity identity_;
    const std::uint32_t index_base_;
    std::uint8_t index_counter_ = 0;
    const std::uint16_t keep_alive_;

    // The engine's "now": read from the clock at creation and by every tick.
    std::uint64_t now_;

    // Our initiations: the last one and the one before it (a late response to it is
    // still taken).
    std::optional<pending_initiation> initiation_;
    std::optional<pending_initiation> previous_initiation_;
    std::uint64_t handshake_started_ = 0;
    std::uint64_t last_initiation_sent_ = 0;
    bool expired_ = false;
    std::uint64_t last_own_timestamp_ = 0;  // ns since 1970 of our last initiation

    // The peer's initiations.
    std::optional<tai64n> last_peer_timestamp_;

    // Cookies: the peer's cookie keys MAC2 of our handshake messages; the cookie reply
    // must answer the last handshake message we sent.
    std::optional<cookie> cookie_;
    std::uint64_t cookie_received_ = 0;
    std::optional<cookie> last_mac1_;
    std::uint32_t last_mac1_sender_ = 0;

    std::array<slot, session_slots> slots_;
    std::uint64_t sessions_created_ = 0;
    std::optional<std::uint32_t> current_;  // local index of the current session

    std::uint64_t last_session_established_;
    std::uint64_t last_persistent_keepalive_;
    std::optional<std::uint64_t> unanswered_since_;  // first data sent since the last packet received
    std::optional<std::uint64_t> keepalive_owed_;    // first data received since the last packet sent

    std::uint64_t rate_period_start_;
    unsigned handshakes_in_period_ = 0;

    std::deque<std::vector<std::uint8_t>> queue_;

    std::uint64_t tx_bytes_ = 0;
    std::uint64_t rx_bytes_ = 0;
    std::int32_t rtt_ms_ = -1;
};

}  // namespace wireguard::engine
