// The engine tunnel of both tunnel kinds.
#include "tunnel_basics.h"

#include <mutex>
#include <random>
#include <stdexcept>

namespace wireguard
{
std::uint32_t make_local_index()
{
    // Shared by every tunnel of the process (both families), so it carries its own lock.
    struct generator {
        std::mutex mutex;
        std::mt19937 engine{std::random_device{}()};
    };
    static generator shared;
    std::lock_guard lock(shared.mutex);
    std::uniform_int_distribution<std::uint32_t> whole_range;
    return whole_range(shared.engine) | 0x80u;
}

engine_tunnel_handle make_tunnel_handle(const std::string& private_key, const std::string& peer_public_key,
                                        const std::optional<std::string>& preshared_key,
                                        std::uint16_t keep_alive)
{
    const std::uint32_t index = make_local_index();
    engine_tunnel_handle handle(new_tunnel(private_key.c_str(), peer_public_key.c_str(),
                                           preshared_key ? preshared_key->c_str() : nullptr, keep_alive, index));
    if (!handle)
        throw std::runtime_error("The WireGuard engine refused the tunnel's keys");
    return handle;
}
bool tunnel_seems_dead(const stats& now, std::int64_t time, std::int64_t& progress_time, stats& snapshot) noexcept
{
    constexpr std::int64_t dead_tunnel_ns = 5'000'000'000;
    constexpr std::uint64_t dead_tunnel_bytes = 1000;
    const std::uint64_t sent = static_cast<std::uint64_t>(now.tx_bytes) - snapshot.tx_bytes;
    if (sent > dead_tunnel_bytes && now.rx_bytes == snapshot.rx_bytes) {
        if (time - progress_time <= dead_tunnel_ns)
            return false;
        progress_time = time;
        snapshot = stats{};
        return true;
    }
    progress_time = time;
    snapshot = now;
    return false;
}

void start_dead_tunnel_watch(const stats& now, std::int64_t time, std::int64_t& progress_time,
                             stats& snapshot) noexcept
{
    progress_time = time;
    snapshot = now;
}
} // namespace wireguard
