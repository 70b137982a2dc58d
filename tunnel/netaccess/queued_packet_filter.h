#pragma once
// The packet filter of the single-adapter tunnel: holds one adapter's frames in the
// driver, reads them in batches, hands each frame to a per-packet handler and gives it
// back toward the adapter or the protocol stack. Four threads (read, process, send to
// the stack, send to the adapter) pass ten blocks round a ring of four queues.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "network_adapter.h"
#include "packet_block.h"
#include "rimcap.h"

namespace rimcap
{
class queued_packet_filter : public CRimCap
{
public:
    enum class packet_action : std::uint32_t {
        pass = 0,   // on in the frame's own direction
        drop = 1,
        revert = 2, // back the way it came
    };

    using packet_handler = std::function<packet_action(void*, _INTERMEDIATE_BUFFER&)>;

    // filter_state values.
    static constexpr std::uint32_t state_idle = 0;
    static constexpr std::uint32_t state_starting = 1;
    static constexpr std::uint32_t state_running = 2;
    static constexpr std::uint32_t state_stopping = 3;

    static constexpr std::size_t block_count = 10;

    // Opens the driver and loads its adapter list; throws std::runtime_error
    // "Norvask driver is not available!" when the driver cannot be opened.
    queued_packet_filter();
    ~queued_packet_filter() override;

    // Installed by the owner before start_filter; an empty handler passes every frame
    // of its direction. Outgoing: frames with direction 1 (sent by the stack);
    // incoming: every other frame.
    void set_outgoing_handler(packet_handler handler) { outgoing_handler_ = std::move(handler); }
    void set_incoming_handler(packet_handler handler) { incoming_handler_ = std::move(handler); }

    // Starts filtering the adapter at that index of adapters(); false when the filter
    // is not idle, the index is out of range or the driver refuses the packet event (the
    // filter is then idle again with no block left).
    bool start_filter(std::uint64_t adapter_index);

    // Stops filtering and the four threads; the caller has set filter_state to
    // stopping (3) and sets it to idle (0) afterwards.
    void stop_filter();

    // 0 idle, 1 starting, 2 running, 3 stopping.
    std::atomic<std::uint32_t> filter_state{state_idle};

    // The driver's adapters in list order. The owner may empty the vector, reload it and
    // reset the adapters' modes while the filter is not running.
    std::vector<std::unique_ptr<network_adapter>>& adapters() noexcept { return adapters_; }
    const std::vector<std::unique_ptr<network_adapter>>& adapters() const noexcept
    {
        return adapters_;
    }

    // Appends one adapter for each entry of the driver's list.
    void load_adapter_list();

    // Blocks currently held by the four queues: 0 when stopped; while running, the ten
    // blocks less those that a thread holds (the read thread keeps one while it waits).
    std::size_t queued_block_count();

private:
    struct block_queue {
        std::deque<std::unique_ptr<packet_block>> blocks;
        std::condition_variable ready;
        std::mutex mutex;
    };

    bool start_adapter_filtering();
    void free_blocks();

    std::unique_ptr<packet_block> take_block(block_queue& queue);
    void put_block(block_queue& queue, std::unique_ptr<packet_block> block);
    bool running() const noexcept { return filter_state.load() == state_running; }

    void packet_read_thread();
    void packet_process_thread();
    void packet_write_mstcp_thread();
    void packet_write_adapter_thread();

    packet_handler outgoing_handler_;
    packet_handler incoming_handler_;
    std::vector<std::unique_ptr<network_adapter>> adapters_;
    std::thread read_thread_;
    std::thread process_thread_;
    std::thread write_mstcp_thread_;
    std::thread write_adapter_thread_;
    std::uint64_t selected_adapter_ = 0;
    // In ring order: free, read, handled, stack-sent.
    block_queue free_queue_;
    block_queue read_queue_;
    block_queue handled_queue_;
    block_queue stack_sent_queue_;
};
} // namespace rimcap
