#pragma once
// The SOCKS5 control connection of a tunnel (RFC 1928, with user name and password
// authentication after RFC 1929): it connects to an IPv4 proxy, negotiates the
// method, asks for a UDP association and keeps the relay's port and a ready flag.
// The tunnels send their handshake initiations through that relay, at the proxy's
// own address and the relay port.
//
// The negotiation runs on the client's association thread with plain blocking socket
// calls. disconnect() may be called at any time and from any thread, as often as
// wanted: it clears the ready flag, closes the control socket (which ends a call that
// blocks on a silent proxy) and joins the association thread. The socket is closed
// exactly once, whoever gets there first; an association thread that only gets its
// socket after a disconnect closes it itself and ends at once.
//
// The packet threads read ready(), relay_port() and proxy_address() without locks:
// the association thread stores the relay port before it sets the ready flag.
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "unique_socket.h"

namespace wireguard
{
class socks5_client
{
public:
    using log_function = std::function<void(const char*)>;

    // proxy_address: IPv4 address in network order; proxy_port in host order. Lines
    // are written through log when log_level is 2 or more (the per-datagram lines of
    // the relay at 3 or more).
    socks5_client(std::uint32_t proxy_address, std::uint16_t proxy_port, std::optional<std::string> username,
                  std::optional<std::string> password, log_function log, std::uint32_t log_level);
    ~socks5_client();

    socks5_client(const socks5_client&) = delete;
    socks5_client& operator=(const socks5_client&) = delete;

    // disconnect(), then a new association on the association thread. Throws
    // std::system_error when the thread cannot be created.
    void start_association();

    // Back to idle: not ready, control connection closed, association thread joined.
    // Called on the association thread itself (from a log function), it does all but
    // the join, which the next call from another thread (or the destructor) does.
    void disconnect();

    bool ready() const noexcept { return ready_.load(); }
    // True from start_association until the association thread has ended (ready or
    // failed).
    bool associating() const noexcept { return associating_.load(); }
    // The relay's UDP port (host order) from the last association; empty until one
    // succeeded.
    std::optional<std::uint16_t> relay_port() const noexcept;
    std::uint32_t proxy_address() const noexcept { return proxy_address_; }
    std::uint16_t proxy_port() const noexcept { return proxy_port_; }

    std::uint32_t log_level() const noexcept { return log_level_; }
    // Hands one line to the log function (when there is one); the caller checks the
    // level.
    void log(const std::string& line) const;

private:
    void association_thread();
    // Stops the association: no ready flag, the socket closed, the thread joined when
    // join is true. The caller holds thread_mutex_ when it joins.
    void stop_association(bool join);
    bool connect_to_socks5_proxy();
    std::optional<std::uint16_t> associate_to_socks5_proxy();
    std::optional<std::uint16_t> authenticate_and_associate(std::uint8_t method);
    void log_info(const std::string& line) const;

    const std::uint32_t proxy_address_;
    const std::uint16_t proxy_port_;
    const std::optional<std::string> username_;
    const std::optional<std::string> password_;
    const std::uint32_t log_level_;
    const log_function log_;

    // The control socket and the stop request, under socket_mutex_. The association
    // thread uses the raw handle in control_ without the lock while it negotiates.
    std::mutex socket_mutex_;
    unique_socket socket_;
    bool stopping_ = false;
    SOCKET control_ = INVALID_SOCKET;

    std::atomic<std::int32_t> relay_port_{-1}; // -1: none
    std::atomic<bool> ready_{false};
    std::atomic<bool> associating_{false};

    // The association thread, created and joined under thread_mutex_.
    std::mutex thread_mutex_;
    std::thread thread_;
    std::atomic<std::thread::id> thread_id_{};
};
} // namespace wireguard
