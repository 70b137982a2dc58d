#include "tunnel.h"

#include "engine_clock.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace wireguard::engine {
namespace {

std::uint16_t load_be16(const std::uint8_t* p)
{
    return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}

std::uint64_t unix_nanoseconds() noexcept
{
    using namespace std::chrono;
    const auto t = duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
    return t > 0 ? static_cast<std::uint64_t>(t) : 0;
}

bool valid_tai64n(const tai64n& t)
{
    const std::uint32_t nanoseconds = static_cast<std::uint32_t>(t[8]) << 24 | static_cast<std::uint32_t>(t[9]) << 16
        | static_cast<std::uint32_t>(t[10]) << 8 | t[11];
    return nanoseconds < 1000000000u;
}

}  // namespace

std::unique_ptr<tunnel> tunnel::create(const key32& static_private, const key32& peer_public,
                                       const std::optional<key32>& preshared_key, std::uint16_t keep_alive,
                                       std::uint32_t index)
{
    if (!crypto::initialise())
        return nullptr;
    static const key32 no_preshared_key{};
    handshake_identity identity;
    if (!make_identity(identity, static_private, peer_public, preshared_key ? *preshared_key : no_preshared_key))
        return nullptr;
    return std::unique_ptr<tunnel>(new tunnel(identity, keep_alive, index));
}

tunnel::tunnel(const handshake_identity& identity, std::uint16_t keep_alive, std::uint32_t index)
    : identity_(identity), index_base_(index), keep_alive_(keep_alive), now_(clock_now()),
      last_session_established_(now_), last_persistent_keepalive_(now_), rate_period_start_(now_)
{
}

tunnel::~tunnel()
{
    // Keys and handshake secrets wipe themselves; the queued packets are plaintext of
    // the caller's traffic.
    for (auto& packet : queue_)
        crypto::secure_wipe(packet.data(), packet.size());
}

std::uint32_t tunnel::next_index() noexcept
{
    ++index_counter_;
    return index_base_ << 8 | index_counter_;
}

tai64n tunnel::next_timestamp() noexcept
{
    // Strictly newer than the last one even when the wall clock stands still or
    // steps back, or the peer would drop the initiation.
    last_own_timestamp_ = std::max(unix_nanoseconds(), last_own_timestamp_ + 1);
    return make_tai64n(last_own_timestamp_);
}

tunnel::slot* tunnel::slot_of(std::uint32_t local_index) noexcept
{
    slot& s = slots_[local_index % session_slots];
    return s.value && s.value->local_index() == local_index ? &s : nullptr;
}

tunnel::slot* tunnel::current_slot() noexcept
{
    if (!current_)
        return nullptr;
    slot* s = slot_of(*current_);
    return s && s->value->can_send() ? s : nullptr;
}

void tunnel::make_current(std::uint32_t local_index) noexcept
{
    if (current_ == local_index)
        return;
    slot* candidate = slot_of(local_index);
    slot* present = current_ ? slot_of(*current_) : nullptr;
    if (candidate && (!present || candidate->value->sequence() > present->value->sequence()))
        current_ = local_index;
}

bool tunnel::under_load() noexcept
{
    if (handshakes_in_period_ >= handshakes_per_second)
        return true;
    ++handshakes_in_period_;
    return false;
}

void tunnel::packet_sent() noexcept
{
    keepalive_owed_.reset();
}

void tunnel::packet_received() noexcept
{
    unanswered_since_.reset();
}

void tunnel::finish_handshake_message(std::span<std::uint8_t> message, std::uint32_t sender_index) noexcept
{
    write_mac1(identity_.mac1_key_peer, message);
    if (cookie_ && now_ - cookie_received_ < cookie_lifetime)
        write_mac2(*cookie_, message);
    cookie mac1{};
    std::memcpy(mac1.data(), message.data() + message.size() - 32, mac1.size());
    last_mac1_ = mac1;
    last_mac1_sender_ = sender_index;
}

result tunnel::format_initiation(std::span<std::uint8_t> dst)
{
    if (dst.size() < initiation::size)
        return result::failed(error::destination_too_small);
    if (expired_) {
        // A new start after expiry: every timer counts from now.
        expired_ = false;
        last_session_established_ = now_;
        last_persistent_keepalive_ = now_;
    }
    const bool starting = !initiation_;
    pending_initiation pending;
    secret32 ephemeral;
    crypto::x25519_generate(ephemeral.data());
    const std::uint32_t sender = next_index();
    auto message = dst.first<initiation::size>();
    if (!write_initiation(identity_, ephemeral, next_timestamp(), sender, message, pending.state))
        return result::failed(error::wrong_key);
    finish_handshake_message(message, sender);
    pending.sent_clock = clock_now();
    previous_initiation_ = std::move(initiation_);
    initiation_ = std::move(pending);
    if (starting)
        handshake_started_ = now_;
    last_initiation_sent_ = now_;
    packet_sent();
    return result::network(initiation::size);
}

result tunnel::send_data(slot& current, std::span<const std::uint8_t> packet, std::span<std::uint8_t> dst)
{
    const std::uint64_t need = std::uint64_t{packet.size()} + transport::overhead;
    if (dst.size() < need)
        return result::failed(error::destination_too_small);
    if (!current.value->seal(dst.data(), packet.data(), packet.size()))
        return result::failed(error::no_current_session);
    packet_sent();
    if (!packet.empty()) {
        tx_bytes_ += packet.size();
        current.sent_data = true;
        if (!unanswered_since_)
            unanswered_since_ = now_;
    }
    return result::network(static_cast<std::size_t>(need));
}

result tunnel::send_keepalive(std::span<std::uint8_t> dst)
{
    if (slot* current = current_slot())
        return send_data(*current, {}, dst);
    if (initiation_)
        return result::done();
    return format_initiation(dst);
}

void tunnel::enqueue(std::span<const std::uint8_t> packet)
{
    if (packet.empty() || queue_.size() >= max_queued_packets)
        return;
    try {
        queue_.emplace_back(packet.begin(), packet.end());
    } catch (...) {
        // Out of memory: the packet is dropped like one over the queue limit.
    }
}

result tunnel::write(std::span<const std::uint8_t> packet, std::span<std::uint8_t> dst)
{
    std::lock_guard lock(mutex_);
    if (slot* current = current_slot())
        return send_data(*current, packet, dst);
    if (initiation_) {
        enqueue(packet);
        return result::done();
    }
    if (dst.size() < initiation::size)
        return result::failed(error::destination_too_small);
    enqueue(packet);
    return format_initiation(dst);
}

result tunnel::release_queued(std::span<std::uint8_t> dst)
{
    if (queue_.empty())
        return result::done();
    slot* current = current_slot();
    if (!current)
        return result::done();
    const result r = send_data(*current, queue_.front(), dst);
    if (r.operation == op::write_to_network) {
        crypto::secure_wipe(queue_.front().data(), queue_.front().size());
        queue_.pop_front();
    }
    return r;
}

result tunnel::read(std::span<const std::uint8_t> datagram, std::span<std::uint8_t> dst)
{
    std::lock_guard lock(mutex_);
    if (datagram.empty())
        return release_queued(dst);
    if (datagram.size() < 4)
        return result::failed(error::invalid_packet);
    // The type is one byte followed by three reserved zero bytes: reading all four as
    // one little-endian word refuses non-zero reserved bytes too.
    switch (static_cast<message_type>(load_le32(datagram.data()))) {
    case message_type::initiation:
        if (datagram.size() == initiation::size)
            return read_initiation(datagram.first<initiation::size>(), dst);
        break;
    case message_type::response:
        if (datagram.size() == response::size)
            return read_response(datagram.first<response::size>(), dst);
        break;
    case message_type::cookie_reply:
        if (datagram.size() == cookie_reply::size)
            return read_cookie_reply(datagram.first<cookie_reply::size>());
        break;
    case message_type::transport:
        if (datagram.size() >= transport::overhead)
            return read_transport(datagram, dst);
        break;
    }
    return result::failed(error::invalid_packet);
}

result tunnel::read_initiation(std::span<const std::uint8_t, initiation::size> message, std::span<std::uint8_t> dst)
{
    if (!check_mac1(identity_.mac1_key_us, message))
        return result::failed(error::invalid_mac);
    if (dst.size() < response::size)
        return result::failed(error::destination_too_small);
    if (under_load())
        return result::failed(error::under_load);
    responder_state incoming;
    if (auto e = engine::read_initiation(identity_, message, incoming))
        return result::failed(*e);
    if (!valid_tai64n(incoming.timestamp))
        return result::failed(error::invalid_tai64n);
    if (last_peer_timestamp_ && !(incoming.timestamp > *last_peer_timestamp_))
        return result::failed(error::wrong_tai64n);

    secret32 ephemeral;
    crypto::x25519_generate(ephemeral.data());
    const std::uint32_t sender = next_index();
    session_keys keys;
    auto reply = dst.first<response::size>();
    if (!write_response(identity_, incoming, ephemeral, sender, reply, keys))
        return result::failed(error::wrong_key);
    auto fresh = std::make_unique<session>(sender, incoming.peer_index, keys, false, now_, ++sessions_created_);
    if (!fresh->valid())
        return result::failed(error::invalid_packet);
    finish_handshake_message(reply, sender);
    last_peer_timestamp_ = incoming.timestamp;
    // The session waits in its slot until the initiator's first packet confirms it.
    slot& s = slots_[sender % session_slots];
    if (current_ && s.value && s.value->local_index() == *current_)
        current_.reset();
    s = slot{std::move(fresh), false, false};
    last_session_established_ = now_;
    packet_received();
    packet_sent();
    return result::network(response::size);
}

result tunnel::read_response(std::span<const std::uint8_t, response::size> message, std::span<std::uint8_t> dst)
{
    if (!check_mac1(identity_.mac1_key_us, message))
        return result::failed(error::invalid_mac);
    if (dst.size() < transport::overhead)
        return result::failed(error::destination_too_small);
    if (under_load())
        return result::failed(error::under_load);
    const std::uint32_t receiver = load_le32(message.data() + response::receiver);
    std::optional<pending_initiation>* answered = nullptr;
    if (initiation_ && initiation_->state.sender_index == receiver)
        answered = &initiation_;
    else if (previous_initiation_ && previous_initiation_->state.sender_index == receiver)
        answered = &previous_initiation_;
    if (!answered)
        return result::failed(error::unexpected_packet);

    session_keys keys;
    if (auto e = engine::read_response(identity_, (*answered)->state, message, keys))
        return result::failed(*e);
    auto fresh = std::make_unique<session>(receiver, load_le32(message.data() + response::sender), keys, true, now_,
                                           ++sessions_created_);
    if (!fresh->valid())
        return result::failed(error::invalid_packet);

    const std::uint64_t received = clock_now();
    const std::uint64_t sent = (*answered)->sent_clock;
    const std::uint64_t elapsed = received > sent ? received - sent : 0;
    rtt_ms_ = static_cast<std::int32_t>(std::min<std::uint64_t>(elapsed / 1000000u, 0x7fffffff));
    initiation_.reset();
    previous_initiation_.reset();
    slots_[receiver % session_slots] = slot{std::move(fresh), false, false};
    current_ = receiver;
    last_session_established_ = now_;
    packet_received();
    // A keep-alive on the new session confirms it to the responder.
    return send_data(slots_[receiver % session_slots], {}, dst);
}

result tunnel::read_cookie_reply(std::span<const std::uint8_t, cookie_reply::size> message)
{
    if (!last_mac1_)
        return result::failed(error::unexpected_packet);
    if (load_le32(message.data() + cookie_reply::receiver) != last_mac1_sender_)
        return result::failed(error::wrong_index);
    cookie value{};
    if (!open_cookie_reply(identity_.cookie_key_peer, *last_mac1_, message, value))
        return result::failed(error::invalid_aead_tag);
    cookie_ = value;
    cookie_received_ = now_;
    return result::done();
}

result tunnel::read_transport(std::span<const std::uint8_t> message, std::span<std::uint8_t> dst)
{
    const std::uint32_t receiver = load_le32(message.data() + transport::receiver);
    slot& s = slots_[receiver % session_slots];
    if (!s.value)
        return result::failed(error::no_current_session);
    if (s.value->local_index() != receiver)
        return result::failed(error::wrong_index);
    const std::size_t size = message.size() - transport::overhead;
    if (dst.size() < size)
        return result::failed(error::destination_too_small);
    if (auto e = s.value->open(dst.data(), message.data(), message.size()))
        return result::failed(*e);
    make_current(receiver);
    packet_received();
    if (size == 0)
        return result::done();  // keep-alive

    // The IP header gives the packet's length; the rest is the peer's padding.
    const std::uint8_t* ip = dst.data();
    std::size_t length = 0;
    op kind = op::done;
    if (ip[0] >> 4 == 4 && size >= 20) {
        length = load_be16(ip + 2);
        kind = op::write_to_tunnel_ipv4;
        if (length < 20)
            return result::failed(error::invalid_packet);
    } else if (ip[0] >> 4 == 6 && size >= 40) {
        length = std::size_t{load_be16(ip + 4)} + 40;
        kind = op::write_to_tunnel_ipv6;
    } else {
        return result::failed(error::invalid_packet);
    }
    if (length > size)
        return result::failed(error::invalid_packet);
    rx_bytes_ += length;
    s.received_data = true;
    if (!keepalive_owed_)
        keepalive_owed_ = now_;
    return {kind, length};
}

void tunnel::expire() noexcept
{
    for (auto& s : slots_)
        s = slot{};
    current_.reset();
    initiation_.reset();
    previous_initiation_.reset();
    for (auto& packet : queue_)
        crypto::secure_wipe(packet.data(), packet.size());
    queue_.clear();
    unanswered_since_.reset();
    keepalive_owed_.reset();
    expired_ = true;
}

result tunnel::tick(std::span<std::uint8_t> dst)
{
    std::lock_guard lock(mutex_);
    now_ = std::max(now_, clock_now());

    if (now_ - rate_period_start_ >= rate_limit_period) {
        handshakes_in_period_ = 0;
        rate_period_start_ = now_;
    }
    for (auto& s : slots_) {
        if (s.value && now_ - s.value->established() >= reject_after_time) {
            if (current_ == s.value->local_index())
                current_.reset();
            s = slot{};
        }
    }
    if (cookie_ && now_ - cookie_received_ >= cookie_lifetime)
        cookie_.reset();
    if (expired_)
        return result::failed(error::connection_expired);
    if (now_ - last_session_established_ >= expire_without_session) {
        expire();
        return result::failed(error::connection_expired);
    }

    bool handshake = false;
    if (initiation_) {
        if (now_ - handshake_started_ >= rekey_attempt_time) {
            expire();
            return result::failed(error::connection_expired);
        }
        handshake = now_ - last_initiation_sent_ >= rekey_timeout;
    } else {
        const slot* current = current_slot();
        if (current && current->value->initiator()) {
            const std::uint64_t age = now_ - current->value->established();
            handshake = (current->sent_data && age >= rekey_after_time)
                || (current->received_data && age >= rekey_after_receive_time)
                || current->value->sent_messages() >= session::rekey_after_messages;
        }
        const bool unanswered = unanswered_since_ && now_ - *unanswered_since_ >= unanswered_data_timeout;
        if (!handshake && unanswered) {
            if (dst.size() < initiation::size)
                return result::failed(error::destination_too_small);
            unanswered_since_.reset();
            handshake = true;
        }
        if (!handshake) {
            if (keepalive_owed_ && now_ - *keepalive_owed_ >= keepalive_timeout)
                return send_keepalive(dst);
            if (keep_alive_ && now_ - last_persistent_keepalive_ >= keep_alive_ * second) {
                const result r = send_keepalive(dst);
                if (!(r.operation == op::error && r.size == static_cast<std::size_t>(error::destination_too_small)))
                    last_persistent_keepalive_ = now_;
                return r;
            }
        }
    }
    if (handshake)
        return format_initiation(dst);
    return result::done();
}

result tunnel::force_handshake(std::span<std::uint8_t> dst)
{
    std::lock_guard lock(mutex_);
    return format_initiation(dst);
}

tunnel_statistics tunnel::statistics()
{
    std::lock_guard lock(mutex_);
    tunnel_statistics out;
    const std::uint64_t now = std::max(now_, clock_now());
    if (const slot* current = current_ ? slot_of(*current_) : nullptr)
        out.time_since_last_handshake = static_cast<std::int64_t>((now - current->value->established()) / second);
    out.tx_bytes = tx_bytes_;
    out.rx_bytes = rx_bytes_;
    out.estimated_rtt = rtt_ms_;

    // Loss from the receive windows: the newest session weighs most.
    std::array<const session*, session_slots> by_age{};
    std::size_t n = 0;
    for (const auto& s : slots_) {
        if (!s.value)
            continue;
        // Insertion by age, newest first.
        std::size_t at = n++;
        while (at > 0 && by_age[at - 1]->sequence() < s.value->sequence()) {
            by_age[at] = by_age[at - 1];
            --at;
        }
        by_age[at] = s.value.get();
    }
    double weight = 9, total = 0, sum = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const replay_window& w = by_age[i]->window();
        const double expected = static_cast<double>(w.next());
        const double loss = expected > 0 ? 1.0 - static_cast<double>(w.accepted()) / expected : 0.0;
        sum += loss * weight;
        total += weight;
        weight /= 3;
    }
    out.estimated_loss = total > 0 ? static_cast<float>(sum / total) : 0.0f;
    return out;
}

}  // namespace wireguard::engine
