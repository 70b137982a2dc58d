#include "queued_packet_filter.h"

#include <new>
#include <stdexcept>

#include "adapter_list.h"
#include "frame_batches.h"

namespace rimcap
{
queued_packet_filter::queued_packet_filter()
{
    if (!open_flag())
        throw std::runtime_error("Norvask driver is not available!");
    load_adapter_list();
}

queued_packet_filter::~queued_packet_filter()
{
    std::uint32_t expected = state_running;
    if (filter_state.compare_exchange_strong(expected, state_stopping)) {
        try {
            stop_filter();
        } catch (...) {
            // Only a join from one of the filter's own threads can fail here.
        }
        filter_state = state_idle;
    }
}

void queued_packet_filter::load_adapter_list()
{
    rimcap::load_adapter_list(*this, adapters_);
}

bool queued_packet_filter::start_filter(std::uint64_t adapter_index)
{
    if (filter_state.load() != state_idle || adapter_index >= adapters_.size())
        return false;
    std::uint32_t expected = state_idle;
    if (!filter_state.compare_exchange_strong(expected, state_starting))
        return false;
    selected_adapter_ = adapter_index;

    if (!start_adapter_filtering()) {
        free_blocks();
        filter_state = state_idle;
        return false;
    }

    filter_state = state_running;
    try {
        read_thread_ = std::thread(&queued_packet_filter::packet_read_thread, this);
        process_thread_ = std::thread(&queued_packet_filter::packet_process_thread, this);
        write_mstcp_thread_ = std::thread(&queued_packet_filter::packet_write_mstcp_thread, this);
        write_adapter_thread_ =
            std::thread(&queued_packet_filter::packet_write_adapter_thread, this);
    } catch (...) {
        // Stop what did start, so that the filter is idle again.
        filter_state = state_stopping;
        stop_filter();
        filter_state = state_idle;
        throw;
    }
    return true;
}

bool queued_packet_filter::start_adapter_filtering()
{
    network_adapter& adapter = *adapters_[selected_adapter_];

    try {
        for (std::size_t i = 0; i < block_count; ++i) {
            auto block = make_packet_block(adapter.handle());
            std::lock_guard lock(free_queue_.mutex);
            free_queue_.blocks.push_back(std::move(block));
        }
    } catch (const std::bad_alloc&) {
        return false;
    }

    if (adapter.packet_event() == nullptr ||
        !set_packet_event(adapter.handle(), adapter.packet_event()))
        return false;

    std::uint32_t flags = 0;
    if (incoming_handler_)
        flags |= mode_hold_incoming;
    if (outgoing_handler_)
        flags |= mode_hold_outgoing;
    adapter.set_mode(flags);
    return true;
}

void queued_packet_filter::stop_filter()
{
    // Never leave the threads waiting for a state that stays running.
    std::uint32_t expected = state_running;
    filter_state.compare_exchange_strong(expected, state_stopping);

    if (selected_adapter_ < adapters_.size()) {
        network_adapter& adapter = *adapters_[selected_adapter_];
        if (adapter.packet_event() != nullptr)
            ::SetEvent(adapter.packet_event());
        // A refused release is tried again at once, and at destruction when it still
        // fails: an adapter left holding frames that nobody reads cuts its traffic.
        adapter.release_mode();
        flush_adapter_queue(adapter.handle());
    }

    // Each notify under its queue's mutex: a thread between testing the state and
    // starting to wait cannot miss it.
    for (block_queue* queue : {&free_queue_, &read_queue_, &handled_queue_, &stack_sent_queue_}) {
        std::lock_guard lock(queue->mutex);
        queue->ready.notify_all();
    }

    for (std::thread* thread :
         {&read_thread_, &process_thread_, &write_mstcp_thread_, &write_adapter_thread_}) {
        if (thread->joinable())
            thread->join();
    }

    free_blocks();
}

void queued_packet_filter::free_blocks()
{
    for (block_queue* queue : {&free_queue_, &read_queue_, &handled_queue_, &stack_sent_queue_}) {
        std::lock_guard lock(queue->mutex);
        queue->blocks.clear();
    }
}

std::size_t queued_packet_filter::queued_block_count()
{
    std::size_t count = 0;
    for (block_queue* queue : {&free_queue_, &read_queue_, &handled_queue_, &stack_sent_queue_}) {
        std::lock_guard lock(queue->mutex);
        count += queue->blocks.size();
    }
    return count;
}

std::unique_ptr<packet_block> queued_packet_filter::take_block(block_queue& queue)
{
    std::unique_lock lock(queue.mutex);
    queue.ready.wait(lock, [&] { return !running() || !queue.blocks.empty(); });
    if (!running())
        return nullptr;
    auto block = std::move(queue.blocks.front());
    queue.blocks.pop_front();
    return block;
}

void queued_packet_filter::put_block(block_queue& queue, std::unique_ptr<packet_block> block)
{
    std::lock_guard lock(queue.mutex);
    queue.blocks.push_back(std::move(block));
    queue.ready.notify_one();
}

void queued_packet_filter::packet_read_thread()
{
    const HANDLE packet_event = adapters_[selected_adapter_]->packet_event();
    const std::uint64_t adapter_handle = adapters_[selected_adapter_]->handle();
    while (running()) {
        auto block = take_block(free_queue_);
        if (!block)
            return;
        bool read = false;
        while (running()) {
            ::WaitForSingleObject(packet_event, INFINITE);
            ::ResetEvent(packet_event);
            // Every read offers the block's 510 records afresh; one that filled nothing
            // counts as none, and the thread waits for the event again.
            rearm_read_request(block->read_request, adapter_handle);
            if (read_packets(block->read_request) && filled_records(block->read_request) != 0) {
                read = true;
                break;
            }
        }
        put_block(read ? read_queue_ : free_queue_, std::move(block));
    }
}

void queued_packet_filter::packet_process_thread()
{
    // The handle the read requests were given, not what the driver left in them.
    void* adapter_handle = reinterpret_cast<void*>(adapters_[selected_adapter_]->handle());
    while (running()) {
        auto block = take_block(read_queue_);
        if (!block)
            return;

        packet_request& read = block->read_request;
        const std::uint32_t done = filled_records(read);
        for (std::uint32_t i = 0; i < done; ++i) {
            _INTERMEDIATE_BUFFER& record = block->records[i];
            const bool outgoing = record.direction == direction_outgoing;
            const std::uint32_t action =
                handle_record(outgoing ? outgoing_handler_ : incoming_handler_, adapter_handle,
                              record);
            switch (batch_for(action, outgoing, false)) {
            case batch_kind::own_adapter:
                place_record(block->to_adapter_request, &record);
                break;
            case batch_kind::own_stack:
                place_record(block->to_stack_request, &record);
                break;
            default: // drop, and any value that is no action of this filter
                break;
            }
        }
        read.packets_done = 0;
        put_block(handled_queue_, std::move(block));
    }
}

void queued_packet_filter::packet_write_mstcp_thread()
{
    while (running()) {
        auto block = take_block(handled_queue_);
        if (!block)
            return;
        if (block->to_stack_request.packet_count != 0) {
            send_packets_to_mstcp(block->to_stack_request);
            block->to_stack_request.packet_count = 0;
        }
        put_block(stack_sent_queue_, std::move(block));
    }
}

void queued_packet_filter::packet_write_adapter_thread()
{
    while (running()) {
        auto block = take_block(stack_sent_queue_);
        if (!block)
            return;
        if (block->to_adapter_request.packet_count != 0) {
            send_packets_to_adapter(block->to_adapter_request);
            block->to_adapter_request.packet_count = 0;
        }
        put_block(free_queue_, std::move(block));
    }
}
} // namespace rimcap
