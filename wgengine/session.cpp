#include "session.h"

namespace wireguard::engine {

session::session(std::uint32_t local_index, std::uint32_t peer_index, const session_keys& keys,
                 bool initiator, std::uint64_t established, std::uint64_t sequence) noexcept
    : local_index_(local_index), peer_index_(peer_index), initiator_(initiator), established_(established),
      sequence_(sequence)
{
    if (!sending_.set(keys.sending.data()) || !receiving_.set(keys.receiving.data())) {
        sending_ = crypto::aead_key();
        receiving_ = crypto::aead_key();
    }
}

bool session::seal(std::uint8_t* out, const std::uint8_t* plaintext, std::size_t size) noexcept
{
    if (!can_send())
        return false;
    const std::uint64_t counter = sending_counter_;
    if (!sending_.seal(out + transport::header_size, counter, plaintext, size))
        return false;
    store_le32(out, static_cast<std::uint32_t>(message_type::transport));
    store_le32(out + transport::receiver, peer_index_);
    store_le64(out + transport::counter, counter);
    ++sending_counter_;
    return true;
}

std::optional<error> session::open(std::uint8_t* out, const std::uint8_t* message, std::size_t size) noexcept
{
    const std::uint64_t counter = load_le64(message + transport::counter);
    if (auto e = window_.check(counter))
        return e;
    if (!receiving_.open(out, counter, message + transport::header_size, size - transport::header_size))
        return error::invalid_aead_tag;
    return window_.accept(counter);
}

}  // namespace wireguard::engine
