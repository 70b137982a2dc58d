// wireguard::wg_dual_tunnel: construction, destruction, setters, logging and the packet
// filter set-up.
#include "wg_dual_tunnel.h"

#include <stdexcept>
#include <utility>

#include "netaccess/platform.h"
#include "netaccess/static_filters.h"

namespace wireguard
{
wg_dual_tunnel::wg_dual_tunnel(const std::string& private_key, const std::string& peer_public_key,
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
    default_view.store(std::make_shared<const default_adapter_view>());
}

wg_dual_tunnel::wg_dual_tunnel(const std::string& capture_base_name, const std::string& private_key,
                               const std::string& peer_public_key, const std::optional<std::string>& preshared_key,
                               std::uint16_t keep_alive, log_callback callback, std::int32_t level)
    : wg_dual_tunnel(private_key, peer_public_key, preshared_key, keep_alive, callback, level)
{
    capture_enc.emplace(capture_base_name + "_enc.pcap");
    capture_tun.emplace(capture_base_name + "_tun.pcap");
    capture_ext.emplace(capture_base_name + "_ext.pcap");
    capture_lcl.emplace(capture_base_name + "_lcl.pcap");
}

void wg_dual_tunnel::tunnel_log(std::int32_t importance, const std::string& text) const
{
    if (logs(importance))
        logger(text.c_str());
}

void wg_dual_tunnel::set_socks5_credentials(std::string username, std::string password)
{
    socks5_username = std::move(username);
    socks5_password = std::move(password);
}

void wg_dual_tunnel::set_dns_redirect_table(dns_slot_table table)
{
    dns_redirect_table = std::move(table);
}

void wg_dual_tunnel::raise_event(std::int32_t type, std::int64_t value) const
{
    if (event_callback)
        event_callback(wg_tunnel_event{type, value});
}

void wg_dual_tunnel::capture(std::optional<rimcap::pcap_file_writer>& writer, const _INTERMEDIATE_BUFFER& record)
{
    if (writer)
        rimcap::write_capture_record(*writer, record);
}

bool wg_dual_tunnel::install_packet_filter(rimcap::dual_packet_filter::packet_handler virtual_outgoing,
                                           rimcap::dual_packet_filter::packet_handler default_outgoing)
{
    try {
        auto created = std::make_unique<rimcap::dual_packet_filter>(
            [this](const std::string& line) { tunnel_log(log_importance::information, line); });
        created->set_outgoing_handler(rimcap::dual_packet_filter::virtual_slot, std::move(virtual_outgoing));
        created->set_outgoing_handler(rimcap::dual_packet_filter::default_slot, std::move(default_outgoing));
        created->set_incoming_handler(rimcap::dual_packet_filter::default_slot,
                                      [this](void*, _INTERMEDIATE_BUFFER& record) { return process_server_packet(record); });
        filter = std::move(created);
        auto table = rimcap::build_static_filter_table();
        return filter->device_io_control(rimcap::ioctl::set_static_filters, table.data(),
                                         static_cast<DWORD>(table.size()), nullptr, 0);
    } catch (const std::exception& e) {
        tunnel_log(log_importance::error, std::string("[TUN]: ") + e.what());
        throw;
    }
}
} // namespace wireguard
