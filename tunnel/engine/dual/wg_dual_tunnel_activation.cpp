// wireguard::wg_dual_tunnel: the server's handshake response, the activation that puts
// the virtual adapter and its routes in place, its reset, and the virtual adapter.
//
// The handshake response is hostile input like every frame: it is taken only when it
// is a whole, unfragmented UDP datagram from the server's address and port whose UDP
// length field says exactly 92 bytes of payload and lies within the frame (IPv6: behind
// extension headers that lie within the frame), and it is answered only when the engine
// produced exactly the 32-byte reply. Anything else is no action.
//
// Activation threads are joined: a stop joins those at work before it resets the routes,
// and the destruction joins every one, so that none runs the library's code after it. An activation that finds the tunnel
// no longer running returns at once.
#include <algorithm>
#include <array>
#include <cstring>
#include <exception>
#include <string>
#include <thread>

#include "ipv6_walk.h"
#include "name_spin_lock.h"
#include "netaccess/adapter_config.h"
#include "netaccess/adapter_dns_config.h"
#include "netaccess/frame_view.h"
#include "outer_datagram.h"
#include "own_datagram.h"
#include "virtual_adapter_routes.h"
#include "wg_dual_tunnel.h"

namespace wireguard
{
namespace
{
// Where the UDP header of a whole datagram lies; none for a fragment or a frame that
// carries no complete UDP header.
std::optional<rimcap::transport_header> whole_udp_header(const rimcap::frame_view& frame)
{
    std::optional<rimcap::transport_header> header;
    if (frame.is_ipv4()) {
        if (frame.is_fragment())
            return std::nullopt;
        header = frame.ipv4_transport();
    } else if (frame.is_ipv6()) {
        const ipv6_upper_layer_info walk = ipv6_upper_layer(frame);
        if (walk.first_fragment)
            return std::nullopt;
        header = walk.header;
    }
    if (!header || header->protocol != rimcap::ip_protocol_udp || !frame.header_complete(*header))
        return std::nullopt;
    return header;
}

// The UDP header of the server's handshake response in the frame: from the server's
// address and port, in the server's family, with a UDP length of exactly 8 + 92 that
// lies within the frame.
std::optional<rimcap::transport_header> handshake_response_header(const rimcap::frame_view& frame,
                                                                  const ip_endpoint& server)
{
    const bool ipv6 = server.family == family_ipv6;
    if (ipv6 ? !frame.is_ipv6() : !frame.is_ipv4())
        return std::nullopt;
    const auto header = whole_udp_header(frame);
    if (!header)
        return std::nullopt;
    const std::size_t source = rimcap::ip_header_offset + (ipv6 ? 8 : 12);
    if (!frame.equal(source, server.address.data(), ipv6 ? 16 : 4) || frame.u16(header->offset) != server.port)
        return std::nullopt;
    if (frame.udp_length(*header) != rimcap::udp_header_size + handshake_response_size)
        return std::nullopt;
    return header;
}
} // namespace

// ---- the handshake response -------------------------------------------------------------

std::optional<wg_dual_tunnel::packet_action> wg_dual_tunnel::process_handshake_response(_INTERMEDIATE_BUFFER& record)
{
    try {
        rimcap::frame_view frame(record);
        const auto header = handshake_response_header(frame, server_endpoint);
        if (!header)
            return std::nullopt;
        const std::span<const std::uint8_t> message =
            frame.bytes(header->offset + rimcap::udp_header_size, handshake_response_size);
        if (message.size() != handshake_response_size)
            return std::nullopt;

        capture(capture_enc, record);
        std::array<std::uint8_t, handshake_reply_size> reply{};
        const wireguard_result result =
            wireguard_read(engine_handle.get(), message.data(), static_cast<std::uint32_t>(message.size()),
                           reply.data(), static_cast<std::uint32_t>(reply.size()));
        if (result.op != WRITE_TO_NETWORK || result.size != handshake_reply_size)
            return std::nullopt;

        // The checks above leave the turn-round nothing to refuse; a frame it could not
        // finish is not sent anywhere.
        if (!turn_round_handshake_response(frame, header->offset, reply,
                                           outer_ipv6_header_word(ipv6_header_word.load())))
            return packet_action::drop;
        raise_event(tunnel_event::handshake_response_accepted);
        capture(capture_enc, record);
        start_activation();
        return packet_action::revert;
    } catch (...) {
        // An event hook or a capture that threw: the frame is not the tunnel's business.
        return std::nullopt;
    }
}

bool wg_dual_tunnel::start_activation() noexcept
{
    try {
        std::lock_guard lock(activations_mutex_);
        // Those that have ended are past their last touch of the tunnel: joined at once.
        activations_.remove_if([](activation_thread& a) {
            if (!a.ended.load())
                return false;
            a.thread.join();
            return true;
        });
        activation_thread& activation = activations_.emplace_back();
        try {
            activation.thread = std::thread([this, &activation] {
                set_tunnel_active();
                activation.ended = true;
            });
        } catch (...) {
            activations_.pop_back();
            throw;
        }
        return true;
    } catch (const std::exception& e) {
        // The reply goes out all the same; the next handshake response tries again.
        try {
            tunnel_log(log_importance::information,
                       std::string("[TUN]: Failed to start the activation thread: ") + e.what());
        } catch (...) {
        }
        return false;
    }
}

void wg_dual_tunnel::wait_for_activations() noexcept
{
    // Those started while the taken ones are joined are taken in the next round. An
    // activation that stops its own tunnel (a log callback) is left to a later wait.
    for (;;) {
        std::list<activation_thread> taken;
        {
            std::lock_guard lock(activations_mutex_);
            taken.swap(activations_);
        }
        bool joined = false;
        for (auto a = taken.begin(); a != taken.end();) {
            if (a->thread.get_id() == std::this_thread::get_id()) {
                ++a;
                continue;
            }
            a->thread.join();
            joined = true;
            a = taken.erase(a);
        }
        if (!taken.empty()) {
            std::lock_guard lock(activations_mutex_);
            activations_.splice(activations_.end(), taken);
        }
        if (!joined)
            return;
    }
}

int wg_dual_tunnel::activations_in_flight() const noexcept
{
    std::lock_guard lock(activations_mutex_);
    return static_cast<int>(
        std::count_if(activations_.begin(), activations_.end(), [](const activation_thread& a) { return !a.ended.load(); }));
}

// ---- activation -----------------------------------------------------------------------------

void wg_dual_tunnel::set_tunnel_active() noexcept
{
    try {
        if (active.load() || run_state.load() != run_states::running)
            return;

        if (!virtual_adapter_record()) {
            tunnel_log(log_importance::information,
                       "[TUN]: set_tunnel_active: Lorrivan virtual adapter not available. Trying to activate!");
            if (!recreate_virtual_adapter()) {
                request_restart();
                tunnel_log(log_importance::information, "[TUN]: set_tunnel_active: Failed to activate Lorrivan virtual "
                                                        "adapter. Schedule tunnel restart!");
                return;
            }
            tunnel_log(log_importance::information, "[TUN]: set_tunnel_active: Lorrivan virtual adapter successfully "
                                                    "activated. Starting tunneling.");
        }
        // A side that runs already is left as it is; one that cannot start leaves the
        // tunnel inactive, and the next handshake response tries again.
        bool side_running = false;
        try {
            side_running = filter && filter->start_filter(virtual_adapter_handle.load(),
                                                          rimcap::dual_packet_filter::virtual_slot);
        } catch (const std::exception&) {
            side_running = false;
        }
        if (!side_running) {
            tunnel_log(log_importance::information,
                       "[TUN]: set_tunnel_active: Failed to start filtering on Lorrivan virtual adapter!");
            return;
        }

        bool routed = false;
        {
            std::lock_guard lock(adapter_mutex);
            if (virtual_adapter)
                routed = enable_default_gateway(*virtual_adapter, allowed_ips, default_route);
        }
        const DWORD route_error = ::GetLastError();
        if (!routed) {
            if (logs(log_importance::information))
                tunnel_log(log_importance::information,
                           "[TUN]: Failed to enable default gateway on virtual adapter, lasterror: " +
                               std::to_string(route_error));
            return;
        }
        active.exchange(true);
        raise_event(tunnel_event::tunnel_active);
        default_adapter_remotes_v4.clear();
        default_adapter_remotes_v6.clear();
        virtual_adapter_bypass_v4.clear();
        virtual_adapter_bypass_v6.clear();
        virtual_adapter_dns_ports_v4.clear();
        virtual_adapter_dns_ports_v6.clear();
        default_adapter_udp_ports_v4.clear();
        default_adapter_udp_ports_v6.clear();
    } catch (...) {
        // Nothing leaves the activation thread; the watchdog restarts an inactive tunnel.
    }
}

bool wg_dual_tunnel::reset_tunnel_state() noexcept
{
    try {
        // Also when inactive: a default route that an activation made before it failed
        // goes with the others.
        std::lock_guard lock(adapter_mutex);
        if (virtual_adapter)
            virtual_adapter->remove_routes();
    } catch (...) {
        // The lock could not be taken: the routes go with the adapter at the stop.
    }
    if (!active.exchange(false))
        return false;
    try {
        raise_event(tunnel_event::tunnel_reset);
    } catch (...) {
        // An event hook that throws changes nothing of the reset.
    }
    default_adapter_remotes_v4.clear();
    default_adapter_remotes_v6.clear();
    virtual_adapter_bypass_v4.clear();
    virtual_adapter_bypass_v6.clear();
    return true;
}

// ---- the virtual adapter ----------------------------------------------------------------------

bool wg_dual_tunnel::recreate_virtual_adapter()
{
    std::array<char, 260> name{};
    {
        std::lock_guard lock(adapter_mutex);
        if (virtual_adapter && virtual_adapter->adapter_information())
            return true;

        // An earlier object whose undo was refused in part keeps the interface until it
        // is undone: a new object would find its leftovers, and its undo would later
        // take the new object's addresses and values with it.
        if (retired_adapter_) {
            if (!retired_adapter_->undo()) {
                tunnel_log(log_importance::information,
                           "[TUN]: Lorrivan virtual adapter of the last run is not released yet!");
                return false;
            }
            retired_adapter_.reset();
        }

        std::unique_ptr<wg_virtnet_adapter> made;
        try {
            std::optional<ipv4_interface_address> ipv4 = ipv4_interface_address{tunnel_ipv4_address, ipv4_prefix_length};
            std::optional<ipv6_interface_address> ipv6 = ipv6_interface_address{tunnel_ipv6_address, ipv6_prefix_length};
            made = std::make_unique<wg_virtnet_adapter>();
            made->prepare(ipv4, ipv6, dns_servers);
            release_virtual_adapter_locked();
            virtual_adapter = std::move(made);
        } catch (const std::exception& e) {
            tunnel_log(log_importance::information, e.what());
            // What the failed preparation did and cannot undo yet is kept like the undo
            // of an adapter that was in use (there is no older one: see above).
            if (made && !made->undo())
                retired_adapter_ = std::move(made);
            return false;
        }
        virtual_adapter_luid = virtual_adapter->adapter_information()->luid;
        const std::string& adapter_name = virtual_adapter->adapter_information()->adapter_name;
        std::memcpy(name.data(), adapter_name.data(), std::min(adapter_name.size(), name.size()));
    }
    const name_spin_guard guard(name_lock);
    virtnet_name = name;
    return true;
}

void wg_dual_tunnel::release_virtual_adapter_locked() noexcept
{
    if (retired_adapter_ && retired_adapter_->undo())
        retired_adapter_.reset();
    if (!virtual_adapter)
        return;
    std::unique_ptr<wg_virtnet_adapter> adapter = std::move(virtual_adapter);
    if (adapter->undo())
        return; // freed here
    // Kept for the next try. (A new object is made only once an older one is undone,
    // so there is never an older one to replace here.)
    retired_adapter_ = std::move(adapter);
}

void wg_dual_tunnel::release_virtual_adapter() noexcept
{
    try {
        std::lock_guard lock(adapter_mutex);
        release_virtual_adapter_locked();
    } catch (...) {
        // The lock could not be taken: the adapter stays for the next stop or the drop.
    }
}

void wg_dual_tunnel::undo_host_changes_at_exit() noexcept
{
    // No lock: the threads that held them are gone. Every address and route of the
    // interface is the tunnel's (the adapter's construction cleared the interface).
    for (wg_virtnet_adapter* adapter : {virtual_adapter.get(), retired_adapter_.get()}) {
        if (adapter == nullptr || !adapter->adapter_information())
            continue;
        const iphelper::adapter_info& info = *adapter->adapter_information();
        iphelper::reset_adapter_config(info);
        if (adapter->is_open())
            adapter->deactivate_adapter(adapter->adapter_id());
        iphelper::delete_name_server(iphelper::ip_stack::ipv4, info.adapter_name);
        iphelper::delete_name_server(iphelper::ip_stack::ipv6, info.adapter_name);
    }
}
} // namespace wireguard
