#pragma once
// The packet filter of the dual tunnel: filters a pair of adapters, slot 0 the virtual
// adapter and slot 1 the default physical adapter. Each running slot has one working
// thread that reads its adapter's frames, calls that slot's handlers and sends the
// results in four batches: out of its own adapter, up its own stack, out of the other
// slot's adapter and up the other slot's stack. A watcher thread follows the driver's
// adapter list and stops a slot whose adapter disappears; it tells of that through the
// owner's log function.
//
// The driver's mode I/O controls for an adapter of a slot (read 0x830020F4, set
// 0x830020D4) are the base's get_adapter_mode and set_adapter_mode, on this filter's
// device.
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "srw_lock.h"
#include "event_handle.h"
#include "network_adapter.h"
#include "packet_block.h"
#include "rimcap.h"

namespace rimcap
{
class dual_packet_filter : public CRimCap
{
public:
    enum class packet_action : std::uint32_t {
        pass = 0,         // on in the frame's own direction
        drop = 1,
        revert = 2,       // back the way it came
        other_pass = 3,   // on in its own direction, through the other slot's adapter
        other_revert = 4, // back the way it came, through the other slot's adapter
    };

    using packet_handler = std::function<packet_action(void*, _INTERMEDIATE_BUFFER&)>;
    using adapter_list = std::vector<std::shared_ptr<network_adapter>>;
    // Takes one line of the filter's own (without a line end); may be empty.
    using log_function = std::function<void(const std::string&)>;

    static constexpr std::size_t slot_count = 2;
    static constexpr std::size_t virtual_slot = 0;
    static constexpr std::size_t default_slot = 1;

    // slot_state values.
    static constexpr std::uint32_t slot_stopped = 0;
    static constexpr std::uint32_t slot_running = 2;

    // Loads the driver's adapter list and starts the watcher. Without the driver the
    // list is empty and no slot can start. Throws std::system_error when the watcher
    // cannot be started.
    explicit dual_packet_filter(log_function log = {});
    // Stops both slots and the watcher.
    ~dual_packet_filter() override;

    // Installed by the owner before the slot first starts. Outgoing: frames with
    // direction 1 (sent by the stack); incoming: every other frame. An empty handler
    // passes every frame of its direction. A handler that throws drops that frame.
    // Slots other than 0 and 1 are ignored.
    void set_outgoing_handler(std::size_t slot, packet_handler handler);
    void set_incoming_handler(std::size_t slot, packet_handler handler);

    // Starts filtering the adapter with that driver handle in that slot. True when the
    // slot runs on that adapter afterwards (a slot already running is left as it is);
    // false when the slot is out of range, the adapter is not in the list or the driver
    // refuses its packet event (the slot then stays stopped with handle 0). Throws
    // std::system_error when the working thread cannot be started (the adapter is then
    // released again).
    bool start_filter(std::uint64_t adapter_handle, std::size_t slot);

    // Stops the slot: its adapter is released (mode 0) and flushed, its thread joined.
    // Always true.
    bool stop_filter(std::size_t slot);

    // Merges the driver's current adapter list into adapters(); false (and nothing
    // changed) when the device is absent or the list cannot be read.
    bool update_adapter_list();

    // The adapters as they are now, in the filter's order (shared with the filter).
    adapter_list adapters() const;

    // Called by the watcher after each change of the driver's list has been handled.
    void add_adapter_change_callback(std::function<void()> callback);

    std::uint32_t slot_state(std::size_t slot) const noexcept;
    // The slot's adapter handle; 0 when the slot is not set.
    std::uint64_t slot_handle(std::size_t slot) const noexcept;
    // True while the slot has a working thread that has not been joined.
    bool slot_has_thread(std::size_t slot) const;

private:
    // A slot's records and requests: the records with the read request and the own
    // adapter and own stack batches, then the batches for the other slot.
    struct slot_block {
        packet_block own;
        packet_request to_other_adapter;
        packet_request to_other_stack;
    };

    struct slot {
        packet_handler outgoing_handler;
        packet_handler incoming_handler;
        std::atomic<std::uint32_t> state{slot_stopped};
        std::atomic<std::uint64_t> handle{0};
        std::thread thread;
        // The adapter that the working thread holds; kept for the stop's wake-up.
        std::shared_ptr<network_adapter> adapter;
        std::unique_ptr<slot_block> block;
    };

    std::shared_ptr<network_adapter> find_adapter(std::uint64_t handle) const;
    std::shared_ptr<network_adapter> start_adapter_filtering(std::size_t slot);
    // With the lock held exclusively. The adapter is released and flushed while it is in
    // adapters(); when it has left the driver's list (listed false), unless the driver
    // answers that it is gone.
    void stop_slot(std::size_t slot, bool listed);
    // The driver answers a read of the adapter's mode with "gone" (a removed adapter's
    // handle); any other failure of the read may pass and says nothing.
    bool answers_gone(std::uint64_t handle);

    void slot_working_thread(std::size_t slot, std::shared_ptr<network_adapter> adapter) noexcept;
    void handle_read(slot& own, slot& other, void* adapter_handle) noexcept;
    void adapter_watch_loop() noexcept;
    void handle_adapter_list_change();

    const log_function log_;
    std::thread watcher_;
    std::atomic<bool> stop_flag_{false};
    unique_event change_event_;
    std::array<slot, slot_count> slots_;
    adapter_list adapters_;
    mutable wireguard::srw_lock lock_;
    std::vector<std::function<void()>> adapter_change_callbacks_;
};
} // namespace rimcap
