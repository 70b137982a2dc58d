#pragma once
// wireguard::wg_tunnel: the tunnel of the tdl_ family. One WireGuard peer reached
// through the default physical adapter: the packet filter driver holds that adapter's
// frames, the tunnel's two handlers rewrite them in place, and a UDP socket toward the
// server reserves the local port and carries the handshake initiations and keep-alives
// that the engine's timers produce.
//
// Life cycle (run_state): 3 stopped -> 0 starting -> 1 running -> 2 stopping -> 3.
// start_internal and stop_internal keep each other out with compare-exchanges on the run
// state; a start that fails anywhere leaves the tunnel stopped with everything it made
// undone (socket, filter threads, SOCKS5 client, address switching rows). The
// keep-alive thread ticks the engine every 100 ms, watches for a dead tunnel and asks
// for a restart (stop and start on a thread of its own) when the socket fails or the
// tunnel seems down. stop() ends all of it, waits for restarts and interface-change
// callbacks in flight, and cancels the interface-change registration.
//
// Threads: the caller's (create, start, stop, destroy), the filter's process thread
// (both packet handlers), the keep-alive thread, restart threads and the system's
// notification threads. Fields shared between them are atomics, or are written only
// while the filter is stopped (default interface and address switching) or only by the
// process thread (the learned local addresses and next hop).
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "address_switching.h"
#include "classifier_ref.h"
#include "config/ip_types.h"
#include "config/log_callback.h"
#include "dns_redirect.h"
#include "dns_slot_table.h"
#include "fragment_addresses.h"
#include "inner_source.h"
#include "ipv6_walk.h"
#include "mss_clamp.h"
#include "netaccess/adapter_info.h"
#include "netaccess/capture_file.h"
#include "netaccess/frame_view.h"
#include "netaccess/queued_packet_filter.h"
#include "notification_token.h"
#include "outer_datagram.h"
#include "own_datagram.h"
#include "oversize_reply.h"
#include "socks5_client_slot.h"
#include "transport_data.h"
#include "tunnel_basics.h"
#include "unique_socket.h"
#include "wgengine/wireguard_engine.h"
#include "win32.h"

namespace wireguard
{
class wg_tunnel
{
public:
    using packet_action = rimcap::queued_packet_filter::packet_action;

    // Base name of the capture files: base + "_enc" / "_tun" / "_ext" / "_lcl" + ".pcap".
    wg_tunnel(const std::string& private_key, const std::string& peer_public_key,
              const std::optional<std::string>& preshared_key, std::uint16_t keep_alive, log_callback callback,
              std::int32_t log_level);
    wg_tunnel(const std::string& capture_base_name, const std::string& private_key,
              const std::string& peer_public_key, const std::optional<std::string>& preshared_key,
              std::uint16_t keep_alive, log_callback callback, std::int32_t log_level);
    ~wg_tunnel();

    wg_tunnel(const wg_tunnel&) = delete;
    wg_tunnel& operator=(const wg_tunnel&) = delete;

    // ---- setters and logging ----------------------------------------------------------
    // Hands the text to the logger when the importance is below the tunnel's level.
    void log(std::int32_t importance, const std::string& text) const;
    void set_socks5_credentials(std::string username, std::string password);
    void set_dns_redirect_table(dns_slot_table table);
    bool dns_configured() const noexcept { return dns_redirect_table.has_value(); }
    void set_log_level(std::int32_t level) noexcept { log_level = level; }
    log_callback raw_log_callback() const noexcept { return callback_; }

    // ---- start, stop and keep-alive -----------------------------------------------------
    // Optional run state: empty when nothing was done, else the state after the work.
    // Neither throws.
    std::optional<std::int32_t> start_internal() noexcept;
    std::optional<std::int32_t> stop_internal() noexcept;
    // Stops the tunnel for good (no new start begins), waits for restarts and change
    // callbacks in flight and cancels the interface-change registration. Never throws.
    void stop() noexcept;
    bool force_handshake();
    void reset_socks5_client();

    // ---- restart ------------------------------------------------------------------------
    void internal_restart() noexcept;
    // internal_restart on a new thread of the tunnel's own, joined by the next request
    // or by stop() (and so before the destructor frees anything). Throws
    // std::system_error when the thread cannot be created.
    void start_restart_thread();
    // Restart threads that have not ended yet.
    int restarts_in_flight() const noexcept;

    // ---- interface changes ----------------------------------------------------------------
    // NotifyIpInterfaceChange for all families with interface_change_entry and the
    // tunnel's notification token as context, into notification_handle; a refusal is
    // logged. False when the registration was refused.
    bool set_notify_ip_interface_change();
    // CancelMibChangeNotify2 on notification_handle, tried again at once when refused;
    // the handle is cleared only when the registration is gone, so that a later call
    // (stop, destruction) tries again. The final result.
    DWORD cancel_notify_ip_interface_change() noexcept;
    // The entry registered with NotifyIpInterfaceChange (context: the token, which leads
    // to the tunnel until the tunnel is destroyed). Counts itself in callbacks_in_flight
    // around ip_interface_changed_callback.
    static void CALLBACK interface_change_entry(void* context, MIB_IPINTERFACE_ROW* row,
                                                MIB_NOTIFICATION_TYPE type);
    // Under the library-wide interface-change lock: restarts the tunnel when the
    // default interface toward the server changed (another adapter, other addresses),
    // stops it when the server cannot be reached any more. Never throws.
    void ip_interface_changed_callback() noexcept;

    // ---- default interface and local addresses ------------------------------------------
    bool update_default_interface();
    std::optional<iphelper::adapter_info> get_best_interface() const;
    void select_local_addresses(const iphelper::adapter_info& adapter);
    void setup_address_switching(const iphelper::adapter_info& adapter);
    void remove_address_switching(std::uint8_t family) noexcept;

    // ---- packet filter --------------------------------------------------------------------
    // Creates the filter (throws what its constructor throws, after logging "[TUN]: " and
    // its text; the old filter stays then), installs outgoing_handler with the
    // classification function object (held by value, so it lives as long as the filter)
    // and incoming_handler, and loads the static filter table; the result is the table's.
    template <typename Classifier>
    bool set_packet_filter(Classifier classifier)
    {
        install_packet_filter([this, classifier](void* adapter, _INTERMEDIATE_BUFFER& record) mutable {
            return outgoing_handler(adapter, record, classifier_ref(classifier));
        });
        return load_static_filters();
    }
    bool load_static_filters();
    // Frames that the stack sends on the default adapter; classify says whether a frame
    // goes through the tunnel.
    packet_action outgoing_handler(void* adapter_handle, _INTERMEDIATE_BUFFER& record, classifier_ref classify);
    // Frames that the default adapter receives.
    packet_action incoming_handler(void* adapter_handle, _INTERMEDIATE_BUFFER& record);

    // The word for outer IPv6 headers: the learned one, never 0.
    std::uint32_t outer_ipv6_header_word() const noexcept;

    // ---- fields ---------------------------------------------------------------------------
    HANDLE notification_handle = nullptr;
    std::atomic<std::int32_t> callbacks_in_flight{0};
    ip_endpoint server_endpoint{};
    std::uint16_t local_udp_port = 0;
    std::optional<ip_endpoint> socks5_proxy_endpoint;
    std::optional<std::string> socks5_username;
    std::optional<std::string> socks5_password;
    std::atomic<std::uint32_t> ipv6_header_word{0}; // as read from the header, big-endian
    std::uint16_t ipv4_identification = 0;
    address_switching_state address_switching;
    engine_tunnel_handle engine_handle;
    std::function<void(const char*)> logger;
    std::function<void(wg_tunnel_event)> event_callback;
    std::atomic<std::int32_t> log_level{0};
    unique_socket socket;
    std::atomic<bool> critical_error{false};
    std::atomic<std::int32_t> run_state{run_states::stopped};
    std::atomic<bool> notification_flag{false};
    std::array<std::uint8_t, 4096> send_buffer{};
    WSABUF send_wsabuf{};
    std::thread keep_alive;
    std::unique_ptr<rimcap::queued_packet_filter> filter;
    std::atomic<bool> active{false};
    std::optional<dns_slot_table> dns_redirect_table;
    // The peer's AllowedIPs: the sources from which decrypted packets are delivered.
    std::vector<ip_subnet> allowed_ips;
    // The check of decrypted packets' sources (the process thread); a DNS slot keeps
    // its queries by port alone.
    inner_source_check source_check{[this](const ip_address& server, std::uint32_t query) {
        return dns_redirect_table && dns_redirect_table->awaits_answer(server, static_cast<std::uint16_t>(query >> 16));
    }};
    // The later fragments of DNS answers whose first fragment was translated (the
    // process thread).
    fragment_addresses answer_fragments;
    std::uint16_t mtu = 1420;
    bool mtu_configured = false;
    std::uint64_t adapter_index = 0;
    std::optional<iphelper::adapter_info> default_adapter;
    std::optional<rimcap::pcap_file_writer> capture_enc;
    std::optional<rimcap::pcap_file_writer> capture_tun;
    std::optional<rimcap::pcap_file_writer> capture_ext;
    std::optional<rimcap::pcap_file_writer> capture_lcl;
    socks5_client_slot socks5;
    std::atomic<std::int32_t> socks5_pending{0};
    std::int64_t progress_time = 0; // the engine clock's nanoseconds
    stats stats_snapshot{};

private:
    // Restart threads: each is joined, never detached, so that none runs on in the
    // library's code once stop() has returned.
    struct restart_threads {
        std::mutex mutex;
        std::condition_variable ended;
        std::vector<std::thread> threads;      // not yet joined
        std::vector<std::thread::id> finished; // of those, the ones that have ended
        int running = 0;
    };

    void raise_event(std::int32_t type, std::int64_t value = 0) const;
    // True when a line of that importance would be written (build its text only then).
    bool logs(std::int32_t importance) const noexcept { return importance < log_level.load() && logger; }

    // ---- packet paths (the filter's process thread) ---------------------------------------
    // Creates the filter with the two handlers and makes it the tunnel's.
    void install_packet_filter(rimcap::queued_packet_filter::packet_handler outgoing);
    // The socket's own datagram: learn the local address and next hop, relay an
    // initiation through the SOCKS5 proxy, pass.
    packet_action pass_own_datagram(rimcap::frame_view& frame, const own_datagram& own);
    // A tunnelled IPv4 or IPv6 packet that passes the frame checks: the gate, oversize
    // replies, the source switch, DNS redirection, MSS clamping, encryption.
    packet_action tunnel_ipv4(rimcap::frame_view& frame);
    packet_action tunnel_ipv6(rimcap::frame_view& frame);
    // Encrypts the frame's IP packet and rebuilds the frame as the datagram to the
    // server; drop when the engine has nothing to send.
    void rewrite_outgoing_transport(rimcap::frame_view& frame, const rimcap::transport_header& t,
                                    clamp_family family);
    packet_action encrypt_to_server(rimcap::frame_view& frame);
    // A datagram from the server: a handshake response or transport data.
    packet_action handshake_response(rimcap::frame_view& frame, std::size_t udp_offset,
                                     std::span<const std::uint8_t> message);
    packet_action transport_data(rimcap::frame_view& frame, std::span<const std::uint8_t> message);
    // Puts the decrypted packet in the frame: destination, MSS, DNS answers, checksums
    // (the transport checksum from the sum taken while the packet was copied in; the
    // IPv6 packet's extension-header walk). True when a DNS answer's source was
    // translated.
    bool deliver_ipv4(rimcap::frame_view& frame, std::uint32_t destination, summed_transport summed);
    bool deliver_ipv6(rimcap::frame_view& frame, const std::array<std::uint8_t, 16>& destination,
                      const ipv6_upper_layer_info& walk);
    // A DNS answer's source given back as the address the application asked; true when
    // it was.
    bool translate_answer(rimcap::frame_view& frame);
    void capture(std::optional<rimcap::pcap_file_writer>& writer, const _INTERMEDIATE_BUFFER& record);
    // "[TUN]: DNS request to ..." / "[TUN]: DNS response from ..." at level 3 or more.
    void log_dns(const char* first, const dns_rewrite& rewrite, const char* second) const;
    // Stores a newly learned local IPv6 address with its line at level 2 or more.
    void learn_local_ipv6_address(const std::array<std::uint8_t, 16>& address);
    // The MTU that tunnelled packets are held to: the configured one, but no more than
    // a frame to the server carries.
    std::uint16_t packet_mtu() const noexcept { return tunnel_packet_mtu(mtu, server_endpoint.family); }
    tunnel_mtu clamp_mtu() const noexcept { return tunnel_mtu{packet_mtu(), mtu_configured}; }
    // The inputs of the oversize replies and the addressing of outer datagrams.
    oversize_reply_inputs oversize_inputs();
    outer_route route_to_server() const;
    void keep_alive_thread() noexcept;
    // One 100 ms step of the keep-alive thread; false when the thread ends (a restart
    // was requested).
    bool keep_alive_tick();
    // Waits for the SOCKS5 relay (10 x 500 ms at most); false when it is not ready.
    bool wait_for_socks5(const std::shared_ptr<socks5_client>& client);
    // Sends send_buffer[0, size) on the socket; false on a real failure.
    bool send_datagram(std::size_t size);
    // Undoes a start that did not reach running and returns the stopped state.
    std::int32_t fail_start() noexcept;
    bool release_started() noexcept;
    void stop_filter() noexcept;
    // Joins the keep-alive thread, if any; false (nothing joined) on that thread itself.
    bool join_keep_alive();
    void wait_for_restarts() noexcept;
    // Stops until the tunnel is stopped and no restart is left that could start it.
    void settle_stopped() noexcept;
    void wake_keep_alive();
    std::string adapter_name() const;

    log_callback callback_ = nullptr;
    // Guards `keep_alive` (the start creates it, the stop takes it to join it) and the
    // keep-alive thread's sleep, which a stop cuts short.
    std::mutex keep_alive_mutex_;
    std::condition_variable keep_alive_wake_;
    mutable restart_threads restarts_;
    // The context of the interface-change registration (see notification_token.h).
    std::unique_ptr<notification_token<wg_tunnel>> notification_token_ =
        std::make_unique<notification_token<wg_tunnel>>(*this);
};
} // namespace wireguard
