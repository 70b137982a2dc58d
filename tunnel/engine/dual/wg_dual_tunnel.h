#pragma once
// wireguard::wg_dual_tunnel: the tunnel of the tdlp_ family, which pairs the default
// physical adapter with the Lorrivan virtual adapter. Windows routes the tunnelled
// traffic into the virtual adapter (its addresses, DNS servers and routes are the
// tunnel's); the dual packet filter's slot 0 takes it there and the tunnel sends it out,
// encrypted, through slot 1, the physical adapter. Decrypted traffic goes up the
// virtual adapter's stack, or up the physical adapter's stack for flows that it sent.
//
// Files:
//   wg_dual_tunnel.cpp             construction, destruction, logging, the filter set-up
//   wg_dual_tunnel_lifecycle.cpp   start, stop, the handshake initiation, keep-alive
//   wg_dual_tunnel_watchdog.cpp    watchdog, restart, interface changes, interfaces
//   wg_dual_tunnel_activation.cpp  handshake response, activation, reset, the adapter
//   virtual_adapter_routes.*       the routes into the virtual adapter
//   wg_dual_tunnel_virtual_path.cpp   frames the stack sends on the virtual adapter
//   wg_dual_tunnel_physical_path.cpp  frames the stack sends on the physical adapter
//   wg_dual_tunnel_incoming.cpp       frames the physical adapter receives
//
// Life cycle (run_state): 3 stopped -> 0 starting -> 1 running -> 2 stopping -> 3.
// start and stop_dual_tunnel run one at a time, each whole (start_stop_mutex_, taken
// before any other lock); start, stop_dual_tunnel, internal_restart and
// ip_interface_changed_callback exclude each other through restart_mutex; adapter_mutex (the virtual adapter) is taken alone
// or after restart_mutex, never before it. Problems found on any thread are reported to
// the watchdog through event_word; the watchdog restarts, re-handshakes or ends.
//
// Threads: the caller's (create, start, stop, destroy), the filter's two slot threads
// (slot 0: the virtual adapter's outgoing handler; slot 1: the physical adapter's
// outgoing and incoming handlers), the keep-alive thread, the watchdog, the activation
// threads (joined by stop and destruction) and the system's notification threads
// (counted; stop and destruction wait for them). Fields shared between threads are atomics, or guarded as
// noted at each; the values that slot 1 learns from frames are one record that slot 0
// reads without a lock (seqlock_record).
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "classifier_ref.h"
#include "config/ip_types.h"
#include "config/log_callback.h"
#include "dns_query_table.h"
#include "dns_slot_table.h"
#include "fragment_addresses.h"
#include "inner_source.h"
#include "ipv6_walk.h"
#include "locked_set.h"
#include "netaccess/adapter_info.h"
#include "netaccess/capture_file.h"
#include "netaccess/dual_packet_filter.h"
#include "netaccess/frame_view.h"
#include "netaccess/virtnet_adapter.h"
#include "notification_token.h"
#include "own_datagram.h"
#include "oversize_reply.h"
#include "seqlock_record.h"
#include "socks5_client_slot.h"
#include "tunnel_basics.h"
#include "unique_socket.h"
#include "wgengine/wireguard_engine.h"
#include "win32.h"

namespace wireguard
{
// Requests to the watchdog (values of event_word).
namespace wg_dual_tunnel_event_type
{
inline constexpr std::int32_t none = 0;
inline constexpr std::int32_t network_config_change = 1; // restart
inline constexpr std::int32_t rehandshake = 2;
inline constexpr std::int32_t exit = 3;
} // namespace wg_dual_tunnel_event_type

// What the physical path learns from the tunnel's own datagrams and tunnelled packets:
// the physical adapter's local addresses and the two MAC addresses of every frame that
// the tunnel builds for the physical adapter. Written only on slot 1's thread; valid
// only with the default adapter record it was learned under (generation).
struct physical_addressing {
    std::uint32_t local_ipv4 = 0;               // network order, as held in memory
    std::array<std::uint8_t, 16> local_ipv6{};
    std::array<std::uint8_t, 6> local_mac{};    // Ethernet source
    std::array<std::uint8_t, 6> next_hop_mac{}; // Ethernet destination
    std::uint32_t generation = 0;               // view_generation when learned
};

// What the packet paths read of the default adapter record, published whole when
// update_network_interfaces replaces or drops the record (the record itself changes
// under restart_mutex while slot 0 keeps running).
struct default_adapter_view {
    std::uint16_t mtu = 0; // 0: no record
    std::string adapter_name;
    // The record's local address of each family (0 / all zero: none): the source of
    // frames outside the tunnel until the physical path has learned one.
    std::uint32_t local_ipv4 = 0;
    std::array<std::uint8_t, 16> local_ipv6{};
};

class wg_dual_tunnel
{
public:
    using packet_action = rimcap::dual_packet_filter::packet_action;

    // Base name of the capture files: base + "_enc" / "_tun" / "_ext" / "_lcl" + ".pcap".
    wg_dual_tunnel(const std::string& private_key, const std::string& peer_public_key,
                   const std::optional<std::string>& preshared_key, std::uint16_t keep_alive,
                   log_callback callback, std::int32_t log_level);
    wg_dual_tunnel(const std::string& capture_base_name, const std::string& private_key,
                   const std::string& peer_public_key, const std::optional<std::string>& preshared_key,
                   std::uint16_t keep_alive, log_callback callback, std::int32_t log_level);
    // Stops the tunnel, waits for its threads and undoes everything on the host.
    ~wg_dual_tunnel();

    wg_dual_tunnel(const wg_dual_tunnel&) = delete;
    wg_dual_tunnel& operator=(const wg_dual_tunnel&) = delete;

    // ---- setters and logging ------------------------------------------------------------
    // Hands the text to the logger when the importance is below the tunnel's level.
    void tunnel_log(std::int32_t importance, const std::string& text) const;
    // True when a line of that importance would be written (build its text only then).
    bool logs(std::int32_t importance) const noexcept { return importance < log_level.load() && logger; }
    void set_log_level(std::int32_t level) noexcept { log_level = level; }
    void set_socks5_credentials(std::string username, std::string password);
    void set_dns_redirect_table(dns_slot_table table);
    log_callback raw_log_callback() const noexcept { return callback_; }
    void raise_event(std::int32_t type, std::int64_t value = 0) const;

    // ---- start, stop and keep-alive -----------------------------------------------------
    // Optional run state: empty when nothing was done, else the state after the work.
    std::optional<std::int32_t> start();
    std::optional<std::int32_t> start_internal();
    std::optional<std::int32_t> stop_internal(bool stop_virtual_side);
    void stop_dual_tunnel();
    bool force_handshake();
    void keep_alive_thread() noexcept;

    // ---- watchdog, restart and interface changes -----------------------------------------
    void watchdog() noexcept;
    std::optional<std::int32_t> internal_restart();
    // The entry registered with NotifyIpInterfaceChange.
    static void CALLBACK interface_change_entry(void* context, MIB_IPINTERFACE_ROW* row,
                                                MIB_NOTIFICATION_TYPE type);
    // The changed interface's row and the kind of change, as the entry received them
    // (the row may be null).
    void ip_interface_changed_callback(const MIB_IPINTERFACE_ROW* row, MIB_NOTIFICATION_TYPE type) noexcept;
    bool update_network_interfaces();
    // event_word: 0 -> 1, else 2 -> 1 (a pending exit stays).
    void request_restart() noexcept;
    // event_word: 0 -> 2 (any pending request stays).
    void request_rehandshake() noexcept;

    // ---- activation and the virtual adapter ----------------------------------------------
    // The server's handshake response in the frame: the reply built in place and the
    // activation started; revert. Nothing for any other frame.
    std::optional<packet_action> process_handshake_response(_INTERMEDIATE_BUFFER& record);
    void set_tunnel_active() noexcept;
    bool reset_tunnel_state() noexcept;
    bool recreate_virtual_adapter();

    // ---- packet filter and packet paths ---------------------------------------------------
    // Creates the filter with the three handlers (the two outgoing ones classify with
    // the function object, held by value so that it lives as long as the filter) and
    // loads the static filter table; the result is the table's. Throws what the filter's
    // constructor throws, after logging "[TUN]: " and its text.
    template <typename Classifier>
    bool set_packet_filter(Classifier classifier)
    {
        auto shared = std::make_shared<Classifier>(std::move(classifier));
        return install_packet_filter(
            [this, shared](void*, _INTERMEDIATE_BUFFER& record) {
                return process_virtual_adapter_packet(record, classifier_ref(*shared));
            },
            [this, shared](void*, _INTERMEDIATE_BUFFER& record) {
                return process_default_adapter_packet(record, classifier_ref(*shared));
            });
    }
    // Slot 0 outgoing: frames that the stack sends on the virtual adapter.
    packet_action process_virtual_adapter_packet(_INTERMEDIATE_BUFFER& record, classifier_ref classify);
    // Slot 1 outgoing: frames that the stack sends on the physical adapter.
    packet_action process_default_adapter_packet(_INTERMEDIATE_BUFFER& record, classifier_ref classify);
    // Slot 1 incoming: frames that the physical adapter receives.
    packet_action process_server_packet(_INTERMEDIATE_BUFFER& record);

private:
    // ---- steps of the three packet paths --------------------------------------------------
    // Used only by wg_dual_tunnel_virtual_path.cpp, wg_dual_tunnel_physical_path.cpp and
    // wg_dual_tunnel_incoming.cpp. Every step works through the one frame view of its
    // handler; a step that changes a frame's lengths checks the view again.

    // Virtual adapter: the tunnel socket's own datagram to the server, routed into the
    // virtual adapter, leaves through the physical adapter (3); nothing for other frames.
    std::optional<packet_action> reroute_own_datagram(rimcap::frame_view& frame);
    packet_action virtual_ipv4_packet(rimcap::frame_view& frame, bool tunnelled);
    packet_action virtual_ipv6_packet(rimcap::frame_view& frame, bool tunnelled);
    // An IPv6 packet of the virtual adapter's stack sent outside the tunnel (3).
    packet_action route_outside_tunnel_v6(rimcap::frame_view& frame, const ipv6_upper_layer_info& walk,
                                          std::uint16_t physical_mtu);
    // Encrypts the frame's IP packet into a datagram to the server in the same frame:
    // `sent` when one was built, drop when there is no local address of the server's
    // family to send it from, nothing when the engine gave none.
    std::optional<packet_action> encapsulate_to_server(rimcap::frame_view& frame, packet_action sent);
    // No datagram from the engine: re-handshake when no handshake ever completed; drop.
    packet_action no_datagram();
    // encapsulate_to_server, or no_datagram without a datagram; a DNS query (its key
    // given) is recorded in `queries` once it leaves with `sent`.
    template <class Address>
    packet_action send_recording(rimcap::frame_view& frame, packet_action sent, dns_query_table<Address>& queries,
                                 std::optional<std::uint32_t> key, const dns_query<Address>& query)
    {
        const std::optional<packet_action> action = encapsulate_to_server(frame, sent);
        if (!action)
            return no_datagram();
        if (*action == sent && key)
            queries.insert(*key, query);
        return *action;
    }

    // Physical adapter: the tunnel socket's own datagram teaches the local address and
    // the MAC addresses and may go to the SOCKS5 relay (0, or 1 while the relay is not
    // ready); nothing for other frames.
    std::optional<packet_action> switch_local_address(rimcap::frame_view& frame);
    packet_action physical_ipv4_packet(rimcap::frame_view& frame);
    packet_action physical_ipv6_packet(rimcap::frame_view& frame, const ipv6_upper_layer_info& walk);
    // A DNS query of the physical adapter's stack into the tunnel: to a configured server
    // (drop when none is free).
    std::optional<packet_action> redirect_physical_dns(rimcap::frame_view& frame, const rimcap::transport_header& udp,
                                                       std::uint8_t family);
    // AllowedIPs holds the default route of the family.
    bool has_default_route(std::uint8_t family) const noexcept;
    // Stores a newly seen local address of the physical adapter with its line.
    void learn_local_ipv4(physical_addressing& learned_now, std::uint32_t address);
    void learn_local_ipv6(physical_addressing& learned_now, const std::array<std::uint8_t, 16>& address);
    void log_address_switch(const char* family, const std::string& address) const;

    // Incoming: decrypts transport data and delivers it to one of the two stacks.
    packet_action process_transport_data(rimcap::frame_view& frame, std::span<const std::uint8_t> message);
    // True while DNS servers are configured and a query to `server` under `query`
    // (dns_query_key) awaits its answer.
    bool awaits_dns_answer(const ip_address& server, std::uint32_t query) const;
    // The DNS steps of a decrypted answer; true when they rewrote it.
    bool translate_decrypted_dns(rimcap::frame_view& frame, const rimcap::transport_header& udp,
                                 std::uint8_t family, const physical_addressing& learned_now);
    // A reply on the physical adapter to a flow that the virtual adapter's stack sent
    // outside the tunnel: to the tunnel address, up the virtual adapter's stack (3).
    std::optional<packet_action> process_outside_reply(rimcap::frame_view& frame);

    // Shared by the paths: the SOCKS5 relay of an own handshake initiation (false: drop
    // while the relay is not ready), the oversize reply inputs, the physical MTU (0: no
    // default adapter record), and the "address:port -> address:port" DNS lines.
    bool relay_own_datagram(rimcap::frame_view& frame, const own_datagram& own);
    // What slot 1 learned under the current default adapter record; nothing (of the
    // current generation) when it learned it under an earlier one.
    physical_addressing current_learned() const noexcept;
    // The addressing of frames for the physical adapter: what slot 1 learned, and for a
    // family it has not learned, the address of the default adapter record.
    physical_addressing physical_addresses() const;
    // Whether the addressing has a local address of the family; without one, a debug line
    // (the frame, which would leave from no address, is dropped).
    bool has_local_address(const physical_addressing& a, std::uint8_t family) const;
    oversize_reply_inputs oversize_inputs(std::uint16_t tested_mtu, std::uint16_t physical_mtu);
    std::uint16_t physical_mtu() const;
    // The MTU that packets into the tunnel are held to: the tunnel's, but no more than a
    // frame to the server carries.
    std::uint16_t packet_mtu() const noexcept;
    void log_dns_flow(const char* prefix, const rimcap::frame_view& frame, const rimcap::transport_header& udp,
                      std::uint8_t family) const;

public:

    // ---- fields -----------------------------------------------------------------------------
    // Interface-change registration: the handle, and the callbacks in flight.
    HANDLE notification_handle = nullptr;
    std::atomic<std::int32_t> callbacks_in_flight{0};
    ip_endpoint server_endpoint{};
    std::atomic<std::uint16_t> local_udp_port{0};
    // First header word of the tunnel's own IPv6 datagrams, learned by slot 1 and
    // cleared by force_handshake (another thread): an atomic of its own.
    std::atomic<std::uint32_t> ipv6_header_word{0};
    std::atomic<std::uint16_t> ipv4_identification{0};

    // The virtual adapter; null while not created.
    std::mutex adapter_mutex;
    std::unique_ptr<wg_virtnet_adapter> virtual_adapter;
    // The LUID of the interface of the last virtual adapter object made (under
    // adapter_mutex); 0 before the first.
    std::uint64_t virtual_adapter_luid = 0;
    std::vector<ip_address> dns_servers;
    std::vector<ip_subnet> allowed_ips;
    bool default_route = false;
    std::uint32_t tunnel_ipv4_address = 0; // network order; 0: none
    std::array<std::uint8_t, 16> tunnel_ipv6_address{};
    std::uint8_t ipv4_prefix_length = 0;
    std::uint8_t ipv6_prefix_length = 0;

    // Learned by slot 1, read by slot 0. Each default adapter record published counts
    // one generation on (after default_view is stored), so that the values learned
    // about an earlier adapter are forgotten.
    seqlock_record<physical_addressing> learned;
    std::atomic<std::uint32_t> view_generation{0};

    // The virtual adapter's internal name, under the name spin lock.
    std::atomic<std::uint32_t> name_lock{0};
    std::array<char, 260> virtnet_name{};

    // Drained into the virtual adapter driver by the keep-alive thread.
    struct traffic_counters {
        std::atomic<std::uint64_t> received_bytes{0};
        std::atomic<std::uint64_t> received_packets{0};
        std::atomic<std::uint64_t> sent_bytes{0};
        std::atomic<std::uint64_t> sent_packets{0};
    } counters;

    engine_tunnel_handle engine_handle;
    std::function<void(const char*)> logger;
    std::function<void(wg_tunnel_event)> event_callback;
    std::atomic<std::int32_t> log_level{0};
    unique_socket socket;
    std::atomic<std::int32_t> run_state{run_states::stopped};
    std::atomic<bool> notification_flag{false};
    std::atomic<std::int32_t> event_word{wg_dual_tunnel_event_type::none};
    // The keep-alive thread's timer output; force_handshake has a buffer of its own, so
    // that a re-handshake never writes under a tick.
    std::array<std::uint8_t, 16384> send_buffer{};
    WSABUF send_wsabuf{};
    std::array<std::uint8_t, 16384> handshake_buffer{};
    std::thread keep_alive;
    std::thread watchdog_thread;
    std::mutex restart_mutex;
    std::unique_ptr<rimcap::dual_packet_filter> filter;
    std::atomic<bool> active{false};
    std::optional<dns_slot_table> dns_redirect_table;
    std::atomic<std::uint16_t> mtu{1420}; // update_network_interfaces may change it while slot 0 runs
    bool mtu_configured = false;
    std::atomic<std::uint64_t> virtual_adapter_handle{0};
    std::atomic<std::uint64_t> default_adapter_handle{0};
    // Written under restart_mutex; the packet paths read default_view.
    std::optional<iphelper::adapter_info> default_adapter;
    std::atomic<std::shared_ptr<const default_adapter_view>> default_view;

    ipv4_address_set default_adapter_remotes_v4;
    ipv6_address_set default_adapter_remotes_v6;
    ipv4_address_set virtual_adapter_bypass_v4;
    ipv6_address_set virtual_adapter_bypass_v6;
    // DNS queries (port and DNS id, dns_query_key) sent through the tunnel, each with
    // its server, recorded once sent: those of the virtual adapter's stack (marked when
    // their physical source became the tunnel address) and those of the physical
    // adapter's stack. Each answer takes its own query, so two queries from one socket
    // get both answers; an awaited answer passes the source check (source_check).
    dns_query_table_v4 virtual_adapter_dns_ports_v4;
    dns_query_table_v6 virtual_adapter_dns_ports_v6;
    dns_query_table_v4 default_adapter_udp_ports_v4;
    dns_query_table_v6 default_adapter_udp_ports_v6;
    // The check of decrypted packets' sources (slot 1's thread).
    inner_source_check source_check{
        [this](const ip_address& server, std::uint32_t query) { return awaits_dns_answer(server, query); }};
    // The later fragments of DNS answers whose first fragment the DNS steps readdressed
    // (slot 1's thread).
    fragment_addresses answer_fragments;

    std::optional<rimcap::pcap_file_writer> capture_enc;
    std::optional<rimcap::pcap_file_writer> capture_tun;
    std::optional<rimcap::pcap_file_writer> capture_ext;
    std::optional<rimcap::pcap_file_writer> capture_lcl;

    std::optional<ip_endpoint> socks5_proxy_endpoint;
    std::optional<std::string> socks5_username;
    std::optional<std::string> socks5_password;
    socks5_client_slot socks5;
    std::atomic<std::uint32_t> relay_pending_count{0};
    std::int64_t progress_time = 0; // the engine clock's nanoseconds
    stats stats_snapshot{};

private:
    bool install_packet_filter(rimcap::dual_packet_filter::packet_handler virtual_outgoing,
                               rimcap::dual_packet_filter::packet_handler default_outgoing);
    void capture(std::optional<rimcap::pcap_file_writer>& writer, const _INTERMEDIATE_BUFFER& record);

    log_callback callback_ = nullptr;

    // ==== Life cycle, watchdog and activation: members that only those files use ========
public:
    // CancelMibChangeNotify2 on notification_handle, tried again at once when refused; the
    // handle is cleared only when the registration is gone, so that the next stop and the
    // destruction try again. The final result (also for no registration at all).
    DWORD cancel_notify_ip_interface_change() noexcept;
    // Activation threads that have not ended yet.
    int activations_in_flight() const noexcept;
    // The process is ending and the tunnel's threads are gone: undoes the host changes
    // of the virtual adapter (its routes and addresses, its NameServer values, its
    // activation) without taking any lock, waiting or logging.
    void undo_host_changes_at_exit() noexcept;

private:
    // An activation thread; `ended` is its last touch of the tunnel.
    struct activation_thread {
        std::thread thread;
        std::atomic<bool> ended{false};
    };

    // start: the virtual adapter probe, the registration, start_internal and the watchdog.
    void register_interface_change();
    void start_watchdog();
    // start_internal's failure after the filter's side 1 ran: the socket closed, side 1
    // stopped, activations waited for and reset; state 3.
    std::int32_t fail_running_start() noexcept;
    void stop_filter_side(std::size_t slot) noexcept;
    void join_keep_alive() noexcept;
    // Mode releases of the filter's adapters that the driver refused, tried again.
    void release_refused_modes() noexcept;
    // Waits for the SOCKS5 client's relay (10 x 500 ms at most, cut short when the tunnel
    // stops); false when it is not ready.
    bool wait_for_socks5(const std::shared_ptr<socks5_client>& client);
    // Sleeps for the period or until `stop` holds (checked whenever the tunnel wakes its
    // threads); true when `stop` held.
    bool sleep_unless(std::chrono::milliseconds period, const std::function<bool()>& stop);
    void wake_threads();
    void reset_socks5_client();
    // One pass of the keep-alive loop; false when the thread ends.
    bool keep_alive_pass();
    void report_traffic();
    // One pass of the watchdog after its sleep; false when it ends.
    bool watchdog_pass();
    void reset_stopped_default_adapter();

    // The virtual adapter object undone on the host and freed (under adapter_mutex); what
    // cannot be undone yet keeps it as retired_adapter_ for the next try.
    void release_virtual_adapter_locked() noexcept;
    void release_virtual_adapter() noexcept;
    // The adapter's IP Helper record, when the adapter exists (under adapter_mutex).
    std::optional<iphelper::adapter_info> virtual_adapter_record();
    // True when the tunnel holds no virtual adapter object and the LUID is the interface
    // of the last one it made.
    bool is_released_virtual_interface(std::uint64_t luid);
    void drop_default_adapter() noexcept;
    void publish_default_view() noexcept;

    // Activation threads: started by process_handshake_response (those that have ended
    // are joined then); false when no thread could be made. wait_for_activations joins
    // them all, so that none runs the library's code any more once it returns.
    bool start_activation() noexcept;
    void wait_for_activations() noexcept;

    mutable std::mutex activations_mutex_;
    std::list<activation_thread> activations_;
    // start and stop_dual_tunnel, each whole: a stop never overlaps a start.
    std::mutex start_stop_mutex_;
    // Cuts the keep-alive thread's, the watchdog's and the SOCKS5 waits short.
    std::mutex wake_mutex_;
    std::condition_variable wake_;
    // An adapter object whose undo was refused in part (one that was in use, or one
    // whose preparation failed); tried again before a new adapter object is made, at
    // every stop and at destruction (under adapter_mutex).
    std::unique_ptr<wg_virtnet_adapter> retired_adapter_;
    // The context of the interface-change registration (see notification_token.h).
    std::unique_ptr<notification_token<wg_dual_tunnel>> notification_token_ =
        std::make_unique<notification_token<wg_dual_tunnel>>(*this);
};
} // namespace wireguard
