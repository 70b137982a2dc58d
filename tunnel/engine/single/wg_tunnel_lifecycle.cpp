// wireguard::wg_tunnel: start, stop, handshakes, the keep-alive thread and restarts.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <exception>
#include <system_error>

#include "address_texts.h"
#include "netaccess/platform.h"
#include "network_change.h"
#include "server_route.h"
#include "wg_tunnel.h"
#include "wgengine/engine_clock.h"

namespace wireguard
{
namespace
{
constexpr auto keep_alive_period = std::chrono::milliseconds(100);
constexpr auto socks5_poll_period = std::chrono::milliseconds(500);
constexpr int socks5_polls = 10;
constexpr std::size_t handshake_initiation_size = 148;
constexpr std::size_t keep_alive_size = 32;

} // namespace

// ---- start ------------------------------------------------------------------------------

std::optional<std::int32_t> wg_tunnel::start_internal() noexcept
{
    if (!notification_flag.load())
        return std::nullopt;
    std::int32_t expected = run_states::stopped;
    if (!run_state.compare_exchange_strong(expected, run_states::starting))
        return std::nullopt;

    try {
        if (!update_default_interface())
            return fail_start();

        if (unspecified_address(server_endpoint)) {
            log(log_importance::error, "[TUN]: No endpoint address found!");
            return fail_start();
        }

        reset_socks5_client();

        const int family = server_endpoint.family == family_ipv6 ? AF_INET6 : AF_INET;
        socket.reset(::WSASocketW(family, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, 0));
        if (socket) {
            SOCKADDR_STORAGE wildcard{};
            wildcard.ss_family = static_cast<ADDRESS_FAMILY>(family);
            ::bind(socket.get(), reinterpret_cast<sockaddr*>(&wildcard),
                   family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in));
        }
        SOCKADDR_STORAGE server{};
        const int server_size = server_socket_address(server_endpoint, server);
        if (!socket || ::connect(socket.get(), reinterpret_cast<sockaddr*>(&server), server_size) == SOCKET_ERROR)
            return fail_start();

        SOCKADDR_STORAGE bound{};
        int bound_size = sizeof(bound);
        if (::getsockname(socket.get(), reinterpret_cast<sockaddr*>(&bound), &bound_size) == 0)
            local_udp_port = ::ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(bound).sin6_port
                                                                 : reinterpret_cast<sockaddr_in&>(bound).sin_port);
        // A failure of an earlier socket says nothing about this one.
        critical_error = false;

        if (!filter || !filter->start_filter(adapter_index))
            return fail_start();

        if (!force_handshake())
            return fail_start();

        // A thread of an earlier run that is still being ended (see join_keep_alive).
        if (!join_keep_alive())
            return fail_start();
        // The thread waits for the lock before it looks at the run state, so that it
        // sees running; a stop that comes in between waits for the lock to take the
        // thread and join it.
        std::lock_guard lock(keep_alive_mutex_);
        keep_alive = std::thread(&wg_tunnel::keep_alive_thread, this);
        run_state = run_states::running;
        return run_states::running;
    } catch (...) {
        return fail_start();
    }
}

// What a start set up, undone in the order of a stop: the socket, the filter, the address
// switching, the SOCKS5 client. False when ending the client threw (it is gone all the same).
bool wg_tunnel::release_started() noexcept
{
    socket.reset();
    stop_filter();
    active = false;
    remove_address_switching(family_ipv4);
    remove_address_switching(family_ipv6);
    try {
        socks5.reset();
    } catch (...) {
        return false;
    }
    return true;
}

std::int32_t wg_tunnel::fail_start() noexcept
{
    release_started();
    // Last: from here on another start may begin.
    run_state = run_states::stopped;
    return run_states::stopped;
}

void wg_tunnel::stop_filter() noexcept
{
    if (!filter || filter->filter_state.load() != rimcap::queued_packet_filter::state_running)
        return;
    filter->filter_state = rimcap::queued_packet_filter::state_stopping;
    try {
        filter->stop_filter();
    } catch (...) {
        // Only a join from one of the filter's own threads fails; none of them stops it.
    }
    filter->filter_state = rimcap::queued_packet_filter::state_idle;
}

void wg_tunnel::reset_socks5_client()
{
    // The SOCKS5 client speaks to IPv4 proxies only; an IPv6 proxy leaves the tunnel
    // talking to its server directly.
    recreate_socks5_client(socks5, ipv4_proxy_settings(socks5_proxy_endpoint, socks5_username, socks5_password),
                           callback_, log_level.load());
}

bool wg_tunnel::wait_for_socks5(const std::shared_ptr<socks5_client>& client)
{
    return wait_for_relay(*client, socks5_polls, [&] {
        std::unique_lock lock(keep_alive_mutex_);
        return !keep_alive_wake_.wait_for(lock, socks5_poll_period,
                                          [&] { return run_state.load() == run_states::stopping; });
    });
}

bool wg_tunnel::send_datagram(std::size_t size)
{
    return send_to_server(socket.get(), send_wsabuf, send_buffer, size);
}

bool wg_tunnel::force_handshake()
{
    if (const auto client = socks5.get()) {
        if (!wait_for_socks5(client)) {
            log(log_importance::error, "[TUN]: error connecting SOCKS5 proxy \n");
            return false;
        }
    }

    const wireguard_result result = wireguard_force_handshake(engine_handle.get(), send_buffer.data(),
                                                              static_cast<std::uint32_t>(send_buffer.size()));
    if (result.op != WRITE_TO_NETWORK)
        return true;

    if (server_endpoint.family == family_ipv6)
        ipv6_header_word = 0;

    if (!send_datagram(result.size)) {
        log(log_importance::error, "[TUN]: error sending handshake packet to WireGuard Server \n");
        critical_error = true;
        return false;
    }
    raise_event(tunnel_event::handshake_initiation_sent);
    log(log_importance::information, "[TUN]: Sent handshake packet to the WireGuard server at " +
                                         address_text(server_endpoint) + ":" +
                                         std::to_string(server_endpoint.port) + " \n");
    return true;
}

// ---- keep-alive thread ---------------------------------------------------------------------

void wg_tunnel::keep_alive_thread() noexcept
{
    try {
        {
            // The start holds the lock until the run state says running.
            std::lock_guard gate(keep_alive_mutex_);
        }
        start_dead_tunnel_watch(wireguard_stats(engine_handle.get()), static_cast<std::int64_t>(engine::clock_now()),
                                progress_time, stats_snapshot);
        while (run_state.load() == run_states::running) {
            {
                std::unique_lock lock(keep_alive_mutex_);
                keep_alive_wake_.wait_for(lock, keep_alive_period,
                                          [&] { return run_state.load() != run_states::running; });
            }
            if (run_state.load() != run_states::running)
                break;
            bool go_on = true;
            try {
                go_on = keep_alive_tick();
            } catch (const std::exception& e) {
                log(log_importance::error, std::string("[TUN]: keep_alive_thread: ") + e.what() + " \n");
            } catch (...) {
                log(log_importance::error, "[TUN]: keep_alive_thread: unknown exception \n");
            }
            if (!go_on)
                return; // a restart was requested: the restart thread joins this one
        }
        log(log_importance::information, "[TUN]: keep_alive_thread: exiting \n");
    } catch (...) {
        // Nothing leaves the thread.
    }
}

bool wg_tunnel::keep_alive_tick()
{
    // Asks for a restart; when no thread can be made for it, the next tick asks again.
    auto request_restart = [this] {
        try {
            start_restart_thread();
            return false;
        } catch (...) {
            critical_error = true;
            throw;
        }
    };

    if (critical_error.load()) {
        log(log_importance::error,
            "[TUN]: keep_alive_thread: Critical socket error detected. Trying to restart the tunnel! \n");
        raise_event(tunnel_event::tunnel_down);
        critical_error = false;
        return request_restart();
    }

    // Dead-tunnel watch: data goes out, nothing comes back.
    if (tunnel_seems_dead(wireguard_stats(engine_handle.get()), static_cast<std::int64_t>(engine::clock_now()),
                          progress_time, stats_snapshot)) {
        log(log_importance::error,
            "[TUN]: keep_alive_thread: Tunnel seems to be down. Trying to restart the tunnel! \n");
        raise_event(tunnel_event::tunnel_down);
        return request_restart();
    }

    const wireguard_result result = wireguard_tick(engine_handle.get(), send_buffer.data(),
                                                   static_cast<std::uint32_t>(send_buffer.size()));
    switch (result.op) {
    case WRITE_TO_NETWORK: {
        const std::size_t size = result.size;
        if (size == handshake_initiation_size) {
            if (socks5_pending.load() != 0)
                reset_socks5_client();
            if (const auto client = socks5.get(); client && !wait_for_socks5(client)) {
                log(log_importance::error, "[TUN]: keep_alive_thread: error connecting SOCKS5 proxy \n");
                break;
            }
        }
        if (!send_datagram(size)) {
            log(log_importance::error, "[TUN]: keep_alive_thread: error sending packet to WireGuard Server \n");
            critical_error = true;
            break;
        }
        if (size == handshake_initiation_size) {
            log(log_importance::information,
                "[TUN]: keep_alive_thread: Sending Handshake packet to WireGuard Server success \n");
            raise_event(tunnel_event::handshake_initiation_sent);
        } else if (size == keep_alive_size) {
            log(log_importance::information,
                "[TUN]: keep_alive_thread: Sending Keepalive packet to WireGuard Server success \n");
        }
        break;
    }
    case WIREGUARD_ERROR:
        active = false;
        log(log_importance::error, "[TUN]: keep_alive_thread: Tunnel error detected. Force handshake. \n");
        raise_event(tunnel_event::tunnel_down);
        reset_socks5_client();
        if (!force_handshake())
            log(log_importance::error, "[TUN]: keep_alive_thread: Force handshake has failed. \n");
        break;
    case WRITE_TO_TUNNEL_IPV4:
    case WRITE_TO_TUNNEL_IPV6:
        log(log_importance::error, "[TUN]: keep_alive_thread: WRITE_TO_TUNNEL_IPV should never occur here \n");
        break;
    default:
        break;
    }
    return true;
}

// ---- stop -------------------------------------------------------------------------------

void wg_tunnel::wake_keep_alive()
{
    std::lock_guard lock(keep_alive_mutex_);
    keep_alive_wake_.notify_all();
}

bool wg_tunnel::join_keep_alive()
{
    std::thread thread;
    {
        std::lock_guard lock(keep_alive_mutex_);
        keep_alive_wake_.notify_all();
        // On the keep-alive thread itself (a log or event callback that stops the
        // tunnel) the thread cannot be joined: it stays in place, ends as soon as it
        // sees the run state, and the next start, stop() or the destructor joins it.
        if (keep_alive.get_id() == std::this_thread::get_id())
            return false;
        thread = std::move(keep_alive);
    }
    if (thread.joinable())
        thread.join();
    return true;
}

std::optional<std::int32_t> wg_tunnel::stop_internal() noexcept
{
    std::int32_t expected = run_states::running;
    if (!run_state.compare_exchange_strong(expected, run_states::stopping))
        return std::nullopt;

    bool failed = false;
    // The keep-alive thread goes first, so that it never sends on a closed socket.
    try {
        join_keep_alive();
    } catch (...) {
        failed = true;
    }
    if (!release_started())
        failed = true;
    if (failed) {
        try {
            log(log_importance::error, "[TUN]: An exception raised when stopping tunnel!");
        } catch (...) {
        }
    }
    run_state = run_states::stopped;
    return run_states::stopped;
}

void wg_tunnel::settle_stopped() noexcept
{
    for (;;) {
        // Waits out a start in progress and stops what it started, and waits out a stop
        // in progress on another thread.
        while (run_state.load() != run_states::stopped) {
            stop_internal();
            if (run_state.load() != run_states::stopped)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        // A restart that had passed its start's first test before the flag was cleared
        // may still start the tunnel: wait for the restarts, then look again.
        wait_for_restarts();
        if (run_state.load() == run_states::stopped)
            return;
    }
}

void wg_tunnel::stop() noexcept
{
    notification_flag.exchange(false);
    settle_stopped();

    // A registration whose cancellation is refused stays in notification_handle; the
    // next stop and the destructor try again.
    if (cancel_notify_ip_interface_change() != NO_ERROR) {
        try {
            log(log_importance::error, "[TUN]: cancel_notify_ip_interface_change has failed!");
        } catch (...) {
        }
    }
    while (callbacks_in_flight.load() != 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // A change callback may have been starting the tunnel when it was cancelled.
    settle_stopped();
    // A keep-alive thread that a stop on that very thread had to leave behind.
    join_keep_alive();
}

// ---- restart ----------------------------------------------------------------------------

void wg_tunnel::internal_restart() noexcept
{
    try {
        // Every start runs under the interface-change lock (see network_change.h); on the
        // notification thread the callback holds it already.
        std::lock_guard lock(interface_change_mutex());
        if (stop_internal() == run_states::stopped)
            log(log_importance::information, "[TUN]: WireGuard tunnel was successfully stopped!");
        if (start_internal() == run_states::running)
            log(log_importance::information, "[TUN]: WireGuard tunnel was successfully started!");
    } catch (...) {
        // Only the lock and the log lines can throw; the tunnel is stopped or running
        // either way.
    }
}

void wg_tunnel::start_restart_thread()
{
    // The threads of earlier requests that have ended are joined first.
    std::vector<std::thread> ended;
    {
        std::lock_guard lock(restarts_.mutex);
        for (const std::thread::id id : restarts_.finished) {
            const auto found = std::find_if(restarts_.threads.begin(), restarts_.threads.end(),
                                            [&](const std::thread& t) { return t.get_id() == id; });
            if (found != restarts_.threads.end()) {
                ended.push_back(std::move(*found));
                restarts_.threads.erase(found);
            }
        }
        restarts_.finished.clear();
    }
    for (std::thread& t : ended)
        t.join();

    std::lock_guard lock(restarts_.mutex);
    restarts_.threads.emplace_back([this] {
        internal_restart();
        std::lock_guard done(restarts_.mutex);
        --restarts_.running;
        restarts_.finished.push_back(std::this_thread::get_id());
        restarts_.ended.notify_all();
    });
    ++restarts_.running; // under the lock, before the thread can count itself out
}

int wg_tunnel::restarts_in_flight() const noexcept
{
    std::lock_guard lock(restarts_.mutex);
    return restarts_.running;
}

void wg_tunnel::wait_for_restarts() noexcept
{
    const std::thread::id self = std::this_thread::get_id();
    std::vector<std::thread> joining;
    {
        std::unique_lock lock(restarts_.mutex);
        // A stop on a restart thread itself (from a log callback) waits for the others.
        const bool on_restart_thread = std::any_of(restarts_.threads.begin(), restarts_.threads.end(),
                                                   [&](const std::thread& t) { return t.get_id() == self; });
        restarts_.ended.wait(lock, [&] { return restarts_.running == (on_restart_thread ? 1 : 0); });
        for (auto it = restarts_.threads.begin(); it != restarts_.threads.end();) {
            if (it->get_id() == self) {
                ++it;
                continue;
            }
            joining.push_back(std::move(*it));
            it = restarts_.threads.erase(it);
        }
        std::erase_if(restarts_.finished, [&](std::thread::id id) { return id != self; });
    }
    for (std::thread& t : joining)
        t.join();
}
} // namespace wireguard
