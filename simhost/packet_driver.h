#pragma once
// The simulated Norvask packet filter driver (device \\.\KESTRAL), in memory, behind
// the platform boundary of test programs. It answers the driver's I/O controls with the
// driver's records, checks every length, count and adapter handle exactly, and records
// what the program asked for: each I/O control (calls()), each violation of the
// driver's rules (errors(), the call then fails with a last error), and every frame
// that left toward the wire or the protocol stack (deliveries()).
//
// Traffic: a test injects frames as if the stack sent them (direction 1) or the network
// delivered them (direction 2). The static filter table is applied first (first
// matching row wins: action 1 passes the frame straight on, action 3 hands it to the
// program); then a frame is held for the program only when the adapter's mode holds
// its direction, otherwise it goes straight on: sent frames to the wire, received
// frames to the stack. A mode that stops holding a direction lets the frames of that
// direction that are still held go on the same way.
//
// Thread-safe: the filters' threads and the test call it at once.
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "host.h"
#include "simulated_device.h"
#include "static_filter_rules.h"
#include "win32.h"

namespace simhost
{
using frame_bytes = std::vector<std::uint8_t>;

enum class destination : std::uint8_t {
    wire,  // sent to the adapter, out onto the network
    stack, // handed to the protocol stack
};

// A frame that left the driver.
struct delivery {
    std::uint64_t sequence = 0;       // 1, 2, ... across all deliveries
    std::uint64_t adapter_handle = 0;
    destination to = destination::wire;
    bool by_program = false;          // sent with a send I/O control; false: passed on by the driver
    std::uint64_t call = 0;           // number of that send I/O control (io_call::number), else 0
    std::uint32_t direction = 0;      // the record's direction flags, or the injected direction
    frame_bytes frame;
};

// One I/O control as the program issued it.
struct io_call {
    std::uint64_t number = 0; // 1, 2, ...
    DWORD code = 0;
    DWORD in_size = 0;
    DWORD out_size = 0;
    std::uint64_t adapter_handle = 0; // of the adapter it names, if any
    std::uint32_t packet_count = 0;   // read and send requests
    std::uint32_t packets_done = 0;   // reads: records filled
    bool ok = false;
    DWORD error = 0;                  // last error when it failed
};

// A request that broke the driver's rules.
struct driver_error {
    std::uint64_t call = 0; // io_call::number
    DWORD code = 0;         // the I/O control code
    std::string text;
};

// One RAS link of a WAN adapter in the driver's format (2072 bytes).
struct ras_link {
    std::uint32_t link_speed = 0;
    std::uint32_t maximum_total_size = 0;
    mac_address remote_address{};
    mac_address local_address{};
    std::array<std::uint8_t, 2048> protocol_buffer{};

    // The link's IPv4 address (entry offset 608) and IPv6 interface identifier (612).
    void set_ipv4_address(const std::array<std::uint8_t, 4>& address);
    void set_ipv6_interface_id(const std::array<std::uint8_t, 8>& interface_id);
};

class packet_driver final : public simulated_device
{
public:
    static packet_driver& instance();

    // Back to a present driver with no adapter, no table, no registered event and
    // empty records. Registered events are released; open device handles are forgotten.
    // Tests call simhost::host::reset(), which resets the host's adapters with it.
    void reset();

    // Absent: opening \\.\KESTRAL fails with error 2 (file not found).
    void set_present(bool present);

    // Traffic. Throws std::invalid_argument for an unknown adapter, a direction other
    // than 1 or 2, or a frame outside 14..1514 bytes. A batch is added at once, so one
    // read can take all of it.
    void inject(std::uint64_t adapter_handle, std::uint32_t direction,
                std::span<const std::uint8_t> frame);
    void inject(std::uint64_t adapter_handle, std::uint32_t direction,
                const std::vector<frame_bytes>& frames);

    // Every frame that left, in order.
    std::vector<delivery> deliveries() const;
    std::size_t delivery_count() const;
    void clear_deliveries();
    // Waits until at least count frames were delivered in all; false on time-out.
    bool wait_for_deliveries(std::size_t count, std::chrono::milliseconds timeout) const;

    // Adapter state as the driver sees it (std::invalid_argument for an unknown handle).
    std::uint32_t mode(std::uint64_t adapter_handle) const;
    std::size_t held_frames(std::uint64_t adapter_handle) const;
    bool packet_event_registered(std::uint64_t adapter_handle) const;
    bool adapter_list_event_registered() const;
    // Frames discarded by flushes and by removed adapters.
    std::size_t flushed_frames() const;

    // The static filter table as last loaded (raw bytes; empty when none).
    std::vector<std::uint8_t> static_filter_table() const;

    // The wire (wire.h): every frame that leaves toward the wire, whether the driver
    // passed it on or the program sent it, is also handed to the tap, under the driver's
    // lock and in delivery order. The tap must not call the driver. Empty: no tap.
    // reset() keeps the tap; its owner removes it.
    using wire_tap = std::function<void(std::uint64_t adapter_handle, const frame_bytes& frame)>;
    void set_wire_tap(wire_tap tap);
    // The adapter's frames toward the network go to its own driver (a virtual adapter's):
    // they are recorded as deliveries but never handed to the wire tap.
    void keep_off_wire(std::uint64_t adapter_handle);

    void set_wan_links(std::uint64_t adapter_handle, std::vector<ras_link> links);

    std::vector<io_call> calls() const;
    std::size_t call_count(DWORD code) const;
    std::vector<driver_error> errors() const;

    // Fault injection (also simulated_device::fail_next): rewrites the output of every successful call of that code (for driver data that
    // the program must not trust). Empty function: no hook.
    void set_output_hook(DWORD code, std::function<void(void* out, DWORD out_size)> hook);
    // A read when no frame waits: fails with ERROR_NO_MORE_ITEMS (false, the default),
    // or succeeds with 0 frames (true), as a driver may.
    void set_empty_reads_succeed(bool succeed);

    // Bound to simhost::host: adapters enter and leave the driver's list here.
    std::uint64_t bind_adapter(const std::string& guid, const std::string& driver_name,
                               const mac_address& mac, std::uint16_t mtu, std::uint32_t medium);
    // A removed adapter's handle: reading or setting its mode and flushing it fail with
    // ERROR_DEVICE_NOT_CONNECTED (the driver answers that the adapter is gone), no rule
    // broken.
    void unbind_adapter(std::uint64_t adapter_handle);
    void rename_adapter(std::uint64_t adapter_handle, const std::string& driver_name);
    // The adapter leaves the driver's list (false) or comes back (true) while it stays
    // bound and its handle still answers, as while a binding is taken down.
    void set_listed(std::uint64_t adapter_handle, bool listed);

    // The platform boundary's side (with open, owns and close).
    BOOL io_control(HANDLE device, DWORD code, void* in, DWORD in_size, void* out, DWORD out_size,
                    DWORD* bytes_returned, OVERLAPPED* overlapped);

private:
    struct held_frame {
        std::uint32_t direction;
        frame_bytes bytes;
    };

    struct bound_adapter {
        std::uint64_t handle = 0;
        std::string guid;
        std::string name;
        mac_address mac{};
        std::uint16_t mtu = 0;
        std::uint32_t medium = 0;
        std::uint32_t mode = 0;
        HANDLE packet_event = nullptr; // our own duplicate of the program's event
        std::deque<held_frame> held;
        std::vector<ras_link> wan_links;
        bool off_wire = false;
        bool listed = true;
    };

    // The outcome of one I/O control's handling.
    struct outcome {
        DWORD error = 0;         // 0: success
        std::string violation;   // non-empty: recorded in errors()
        DWORD returned = 0;      // bytes of output on success
    };

    packet_driver() : simulated_device(L"\\\\.\\KESTRAL", 0x4B530000u) {}
    bool present() const override { return present_; }
    void record_violation(std::string text) override { errors_.push_back({0, 0, std::move(text)}); }

    bound_adapter* find(std::uint64_t handle);
    // The answer for a handle that names no bound adapter: gone, for one that was
    // removed; else a broken rule with that text.
    outcome no_adapter(std::uint64_t handle, const char* text) const;
    const bound_adapter& known(std::uint64_t handle) const;
    void signal_list_change();
    void signal_packets(bound_adapter& adapter);
    void deliver(std::uint64_t handle, destination to, bool by_program, std::uint64_t call,
                 std::uint32_t direction, frame_bytes frame);
    void release_adapter_events();
    static void close_event(HANDLE& event);
    // The failure injected for the next call of that code, if any (used up).
    std::optional<outcome> injected_failure(DWORD code);

    outcome handle_call(io_call& call, void* in, DWORD in_size, void* out, DWORD out_size);
    outcome get_adapter_list(void* in, DWORD in_size, void* out, DWORD out_size);
    outcome set_adapter_mode(io_call& call, void* in, DWORD in_size, DWORD out_size);
    outcome get_adapter_mode(io_call& call, void* in, DWORD in_size, void* out, DWORD out_size);
    outcome flush_adapter_queue(io_call& call, void* in, DWORD in_size, DWORD out_size);
    outcome set_packet_event(io_call& call, void* in, DWORD in_size, DWORD out_size);
    outcome set_adapter_list_change_event(void* in, DWORD in_size, DWORD out_size);
    outcome set_static_filters(void* in, DWORD in_size, DWORD out_size);
    outcome get_ras_links(io_call& call, void* in, DWORD in_size, void* out, DWORD out_size);
    outcome read_packets(io_call& call, void* in, DWORD in_size, void* out, DWORD out_size);
    outcome send_packets(io_call& call, destination to, void* in, DWORD in_size, DWORD out_size);

    mutable std::condition_variable delivered_;
    bool present_ = true;
    std::vector<bound_adapter> adapters_;
    std::vector<std::uint64_t> unbound_; // handles of removed adapters
    std::uint64_t next_handle_ = 0;
    HANDLE list_change_event_ = nullptr;
    std::vector<std::uint8_t> static_table_;
    std::vector<static_filter_row> static_rows_;
    std::vector<delivery> deliveries_;
    std::vector<io_call> calls_;
    std::vector<driver_error> errors_;
    std::size_t flushed_ = 0;
    std::map<DWORD, std::function<void(void*, DWORD)>> output_hooks_;
    bool empty_reads_succeed_ = false;
    wire_tap wire_tap_;
};
} // namespace simhost
