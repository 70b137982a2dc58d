// The scripted WireGuard engine and its C interface.
#include "scripted_engine.h"

#include <algorithm>
#include <cstring>

#include "wgengine/engine_clock.h"

struct wireguard_tunnel {
    int tag = 0x5C81;
};

namespace scripted
{
engine& engine::instance()
{
    static engine e;
    return e;
}

void engine::reset()
{
    std::lock_guard lock(mutex_);
    ticks_script_.clear();
    reads_script_.clear();
    writes_script_.clear();
    reads_.clear();
    writes_.clear();
    force_ = {WIREGUARD_DONE, 0};
    stats_ = stats{};
    stats_.time_since_last_handshake = -1;
    stats_.estimated_rtt = -1;
    ticks_ = 0;
    forces_ = 0;
    created_.clear();
    clock_ = 5'000'000'000'000ull;
}

void engine::push_tick(result_type op, std::size_t size)
{
    std::lock_guard lock(mutex_);
    ticks_script_.push_back({op, size});
}

void engine::push_read(result_type op, std::size_t size, std::vector<std::uint8_t> content)
{
    std::lock_guard lock(mutex_);
    reads_script_.push_back({{op, size}, std::move(content)});
}

void engine::push_write(result_type op, std::size_t size, std::vector<std::uint8_t> content)
{
    std::lock_guard lock(mutex_);
    writes_script_.push_back({{op, size}, std::move(content)});
}

std::vector<engine::packet_call> engine::reads() const
{
    std::lock_guard lock(mutex_);
    return reads_;
}

std::vector<engine::packet_call> engine::writes() const
{
    std::lock_guard lock(mutex_);
    return writes_;
}

void engine::set_force_handshake(result_type op, std::size_t size)
{
    std::lock_guard lock(mutex_);
    force_ = {op, size};
}

void engine::set_stats(std::int64_t since_handshake, std::uint64_t tx, std::uint64_t rx)
{
    std::lock_guard lock(mutex_);
    stats_.time_since_last_handshake = since_handshake;
    stats_.tx_bytes = tx;
    stats_.rx_bytes = rx;
}

void engine::advance_clock(std::chrono::nanoseconds by)
{
    std::lock_guard lock(mutex_);
    clock_ += static_cast<std::uint64_t>(by.count());
}

std::uint64_t engine::clock() const
{
    std::lock_guard lock(mutex_);
    return clock_;
}

std::size_t engine::ticks() const
{
    std::lock_guard lock(mutex_);
    return ticks_;
}

std::size_t engine::force_handshakes() const
{
    std::lock_guard lock(mutex_);
    return forces_;
}

std::size_t engine::live_tunnels() const
{
    std::lock_guard lock(mutex_);
    return live_;
}

std::vector<created_tunnel> engine::created() const
{
    std::lock_guard lock(mutex_);
    return created_;
}

bool engine::wait_for_ticks(std::size_t n, std::chrono::milliseconds limit) const
{
    std::unique_lock lock(mutex_);
    return ticked_.wait_for(lock, limit, [&] { return ticks_ >= n; });
}

wireguard_tunnel* engine::create(const char* private_key, const char* public_key, const char* preshared_key,
                                 std::uint16_t keep_alive, std::uint32_t index)
{
    std::lock_guard lock(mutex_);
    created_tunnel c;
    c.private_key = private_key ? private_key : "";
    c.public_key = public_key ? public_key : "";
    if (preshared_key)
        c.preshared_key = preshared_key;
    c.keep_alive = keep_alive;
    c.index = index;
    created_.push_back(c);
    if (c.private_key.rfind("bad", 0) == 0 || c.public_key.rfind("bad", 0) == 0 ||
        (c.preshared_key && c.preshared_key->rfind("bad", 0) == 0))
        return nullptr;
    ++live_;
    return new wireguard_tunnel;
}

void engine::destroy(wireguard_tunnel* tunnel)
{
    std::lock_guard lock(mutex_);
    if (tunnel != nullptr) {
        --live_;
        delete tunnel;
    }
}

namespace
{
wireguard_result fill(wireguard_result r, std::uint8_t* dst, std::uint32_t size)
{
    if (r.op == WRITE_TO_NETWORK || r.op == WRITE_TO_TUNNEL_IPV4 || r.op == WRITE_TO_TUNNEL_IPV6)
        for (std::size_t i = 0; i < std::min<std::size_t>(r.size, size); ++i)
            dst[i] = pattern_byte(i);
    return r;
}
} // namespace

wireguard_result engine::tick(std::uint8_t* dst, std::uint32_t size)
{
    std::lock_guard lock(mutex_);
    wireguard_result r{WIREGUARD_DONE, 0};
    if (!ticks_script_.empty()) {
        r = ticks_script_.front();
        ticks_script_.pop_front();
    }
    ++ticks_;
    ticked_.notify_all();
    return fill(r, dst, size);
}

wireguard_result engine::force(std::uint8_t* dst, std::uint32_t size)
{
    std::lock_guard lock(mutex_);
    ++forces_;
    return fill(force_, dst, size);
}

wireguard_result engine::answer(std::deque<scripted_answer>& script, std::vector<packet_call>& calls,
                                std::uint32_t src_size, std::uint8_t* dst, std::uint32_t size)
{
    calls.push_back({src_size, size});
    if (script.empty())
        return {WIREGUARD_DONE, 0};
    const scripted_answer a = script.front();
    script.pop_front();
    if (a.content.empty())
        return fill(a.result, dst, size);
    std::copy_n(a.content.begin(), std::min<std::size_t>(a.content.size(), size), dst);
    return a.result;
}

wireguard_result engine::read(std::uint32_t src_size, std::uint8_t* dst, std::uint32_t size)
{
    std::lock_guard lock(mutex_);
    return answer(reads_script_, reads_, src_size, dst, size);
}

wireguard_result engine::write(std::uint32_t src_size, std::uint8_t* dst, std::uint32_t size)
{
    std::lock_guard lock(mutex_);
    return answer(writes_script_, writes_, src_size, dst, size);
}

stats engine::read_stats() const
{
    std::lock_guard lock(mutex_);
    return stats_;
}
} // namespace scripted

// ---- the engine's C interface and clock ---------------------------------------------------

extern "C" {
wireguard_tunnel* new_tunnel(const char* static_private, const char* server_static_public,
                             const char* preshared_key, uint16_t keep_alive, uint32_t index)
{
    return scripted::engine::instance().create(static_private, server_static_public, preshared_key, keep_alive,
                                               index);
}

void tunnel_free(wireguard_tunnel* tunnel)
{
    scripted::engine::instance().destroy(tunnel);
}

wireguard_result wireguard_write(const wireguard_tunnel*, const uint8_t*, uint32_t src_size, uint8_t* dst,
                                 uint32_t dst_size)
{
    return scripted::engine::instance().write(src_size, dst, dst_size);
}

wireguard_result wireguard_read(const wireguard_tunnel*, const uint8_t*, uint32_t src_size, uint8_t* dst,
                                uint32_t dst_size)
{
    return scripted::engine::instance().read(src_size, dst, dst_size);
}

wireguard_result wireguard_tick(const wireguard_tunnel*, uint8_t* dst, uint32_t dst_size)
{
    return scripted::engine::instance().tick(dst, dst_size);
}

wireguard_result wireguard_force_handshake(const wireguard_tunnel*, uint8_t* dst, uint32_t dst_size)
{
    return scripted::engine::instance().force(dst, dst_size);
}

stats wireguard_stats(const wireguard_tunnel*)
{
    return scripted::engine::instance().read_stats();
}
}

namespace wireguard::engine
{
void set_clock_source(clock_source) noexcept {}

std::uint64_t clock_now() noexcept
{
    return scripted::engine::instance().clock();
}
} // namespace wireguard::engine
