// One transport session: the two keys of a completed handshake, the send counter
// and the receive window.
#pragma once

#include "crypto.h"
#include "handshake.h"
#include "replay_window.h"

#include <cstdint>
#include <optional>

namespace wireguard::engine {

class session {
public:
    // Messages of one session, and the point from which the initiator rekeys.
    static constexpr std::uint64_t rekey_after_messages = std::uint64_t{1} << 60;

    // False from valid() when libgcrypt could not take the keys.
    // `sequence` orders the sessions of one tunnel by creation (newer is larger);
    // `established` is the engine time of creation.
    session(std::uint32_t local_index, std::uint32_t peer_index, const session_keys& keys,
            bool initiator, std::uint64_t established, std::uint64_t sequence = 0) noexcept;

    bool valid() const noexcept { return sending_.valid() && receiving_.valid(); }
    std::uint32_t local_index() const noexcept { return local_index_; }
    std::uint32_t peer_index() const noexcept { return peer_index_; }
    bool initiator() const noexcept { return initiator_; }
    std::uint64_t established() const noexcept { return established_; }
    std::uint64_t sequence() const noexcept { return sequence_; }
    std::uint64_t sent_messages() const noexcept { return sending_counter_; }
    const replay_window& window() const noexcept { return window_; }

    // Whether another message may be sent.
    bool can_send() const noexcept { return sending_counter_ < replay_window::reject_after_messages; }

    // Writes a transport message of size + 32 bytes to `out` (which must not overlap
    // `plaintext` unless equal to plaintext - 16). False when the counter is spent.
    bool seal(std::uint8_t* out, const std::uint8_t* plaintext, std::size_t size) noexcept;

    // Checks the counter of a transport message of `size` bytes (at least 32, the
    // receiver index already matched) and decrypts its size - 32 plaintext bytes to
    // `out`. The counter is recorded only when the tag is right.
    std::optional<error> open(std::uint8_t* out, const std::uint8_t* message, std::size_t size) noexcept;

private:
    std::uint32_t local_index_;
    std::uint32_t peer_index_;
    bool initiator_;
    std::uint64_t established_;
    std::uint64_t sequence_;
    std::uint64_t sending_counter_ = 0;
    crypto::aead_key sending_;
    crypto::aead_key receiving_;
    replay_window window_;
};

}  // namespace wireguard::engine
