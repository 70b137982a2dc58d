// wireguard::wg_tunnel: construction, engine handle, destruction, setters, logging and
// the packet filter set-up.
#include "wg_tunnel.h"

#include <exception>
#include <mutex>
#include <stdexcept>
#include <utility>

#include "netaccess/driver_records.h"
#include "netaccess/platform.h"
#include "library_module.h"
#include "netaccess/static_filters.h"
#include "own_datagram.h"

namespace wireguard
{
wg_tunnel::wg_tunnel(const std::string& private_key, const std::string& peer_public_key,
                     const std::optional<std::string>& preshared_key, std::uint16_t keep_alive,
                     log_callback callback, std::int32_t level)
{
    engine_handle = make_tunnel_handle(private_key, peer_public_key, preshared_key, keep_alive);
    if (callback != nullptr) {
        callback_ = callback;
        logger = callback;
    }
    log_level = level;
    send_wsabuf.len = static_cast<ULONG>(send_buffer.size());
    send_wsabuf.buf = reinterpret_cast<char*>(send_buffer.data());
}

wg_tunnel::wg_tunnel(const std::string& capture_base_name, const std::string& private_key,
                     const std::string& peer_public_key, const std::optional<std::string>& preshared_key,
                     std::uint16_t keep_alive, log_callback callback, std::int32_t level)
    : wg_tunnel(private_key, peer_public_key, preshared_key, keep_alive, callback, level)
{
    capture_enc.emplace(capture_base_name + "_enc.pcap");
    capture_tun.emplace(capture_base_name + "_tun.pcap");
    capture_ext.emplace(capture_base_name + "_ext.pcap");
    capture_lcl.emplace(capture_base_name + "_lcl.pcap");
}

wg_tunnel::~wg_tunnel()
{
    stop();
    // A registration that stop() could not cancel: once more. Then no callback reaches
    // the tunnel any more; the token goes with it unless a registration still names it.
    if (notification_handle != nullptr)
        cancel_notify_ip_interface_change();
    notification_token_->detach();
    if (notification_handle != nullptr) {
        // Left to the live registration, together with the code it calls: the library
        // stays loaded until the process ends.
        static_cast<void>(notification_token_.release());
        reference_library_module(true);
    }
    try {
        socks5.reset();
    } catch (...) {
        // The client is gone all the same.
    }
    capture_lcl.reset();
    capture_ext.reset();
    capture_tun.reset();
    capture_enc.reset();
    default_adapter.reset();
    dns_redirect_table.reset();
    filter.reset();
    event_callback = nullptr;
    logger = nullptr;
    // stop() has joined the keep-alive thread, unless the tunnel is being destroyed on
    // that very thread (a callback that drops the tunnel from inside its own keep-alive
    // thread): the thread would go on in a freed tunnel, so the process ends here instead.
    if (keep_alive.joinable())
        std::terminate();
    engine_handle.reset();
    address_switching.remove_ipv4();
    address_switching.remove_ipv6();
    socks5_username.reset();
    socks5_password.reset();
}

void wg_tunnel::log(std::int32_t importance, const std::string& text) const
{
    if (importance < log_level.load() && logger)
        logger(text.c_str());
}

void wg_tunnel::set_socks5_credentials(std::string username, std::string password)
{
    socks5_username = std::move(username);
    socks5_password = std::move(password);
}

void wg_tunnel::set_dns_redirect_table(dns_slot_table table)
{
    dns_redirect_table = std::move(table);
}

void wg_tunnel::raise_event(std::int32_t type, std::int64_t value) const
{
    if (event_callback)
        event_callback(wg_tunnel_event{type, value});
}

std::string wg_tunnel::adapter_name() const
{
    return default_adapter ? default_adapter->adapter_name : std::string();
}

std::uint32_t wg_tunnel::outer_ipv6_header_word() const noexcept
{
    return wireguard::outer_ipv6_header_word(ipv6_header_word.load());
}

void wg_tunnel::install_packet_filter(rimcap::queued_packet_filter::packet_handler outgoing)
{
    try {
        auto created = std::make_unique<rimcap::queued_packet_filter>();
        created->set_incoming_handler(
            [this](void* adapter, _INTERMEDIATE_BUFFER& record) { return incoming_handler(adapter, record); });
        created->set_outgoing_handler(std::move(outgoing));
        filter = std::move(created);
    } catch (const std::exception& e) {
        log(log_importance::error, std::string("[TUN]: ") + e.what());
        throw;
    }
}

bool wg_tunnel::load_static_filters()
{
    if (!filter)
        return false;
    auto table = rimcap::build_static_filter_table();
    return filter->device_io_control(rimcap::ioctl::set_static_filters, table.data(),
                                     static_cast<DWORD>(table.size()), nullptr, 0);
}
} // namespace wireguard
