#include "dual_packet_filter.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <string>

#include "adapter_list.h"
#include "frame_batches.h"

namespace rimcap
{
dual_packet_filter::dual_packet_filter(log_function log)
    : log_(std::move(log)), change_event_(make_manual_reset_event())
{
    set_adapter_list_change_event(change_event_.get());
    for (slot& s : slots_)
        s.block = std::make_unique<slot_block>(); // zeroed
    rimcap::load_adapter_list(*this, adapters_);
    watcher_ = std::thread(&dual_packet_filter::adapter_watch_loop, this);
}

dual_packet_filter::~dual_packet_filter()
{
    stop_flag_ = true;
    if (change_event_)
        ::SetEvent(change_event_.get());
    stop_filter(virtual_slot);
    stop_filter(default_slot);
    if (watcher_.joinable())
        watcher_.join();
}

void dual_packet_filter::set_outgoing_handler(std::size_t slot_index, packet_handler handler)
{
    std::unique_lock lock(lock_);
    if (slot_index < slot_count)
        slots_[slot_index].outgoing_handler = std::move(handler);
}

void dual_packet_filter::set_incoming_handler(std::size_t slot_index, packet_handler handler)
{
    std::unique_lock lock(lock_);
    if (slot_index < slot_count)
        slots_[slot_index].incoming_handler = std::move(handler);
}

dual_packet_filter::adapter_list dual_packet_filter::adapters() const
{
    std::shared_lock lock(lock_);
    return adapters_;
}

void dual_packet_filter::add_adapter_change_callback(std::function<void()> callback)
{
    std::unique_lock lock(lock_);
    adapter_change_callbacks_.push_back(std::move(callback));
}

std::uint32_t dual_packet_filter::slot_state(std::size_t slot_index) const noexcept
{
    return slot_index < slot_count ? slots_[slot_index].state.load() : slot_stopped;
}

std::uint64_t dual_packet_filter::slot_handle(std::size_t slot_index) const noexcept
{
    return slot_index < slot_count ? slots_[slot_index].handle.load() : 0;
}

bool dual_packet_filter::slot_has_thread(std::size_t slot_index) const
{
    std::shared_lock lock(lock_);
    return slot_index < slot_count && slots_[slot_index].thread.joinable();
}

std::shared_ptr<network_adapter> dual_packet_filter::find_adapter(std::uint64_t handle) const
{
    auto found = std::find_if(adapters_.begin(), adapters_.end(),
                              [&](const auto& adapter) { return adapter->handle() == handle; });
    return found == adapters_.end() ? nullptr : *found;
}

bool dual_packet_filter::update_adapter_list()
{
    auto list = std::make_unique<filter_adapter_list>();
    if (!query_adapter_list(*this, *list))
        return false;
    auto entries = read_adapter_entries(*list);
    std::unique_lock lock(lock_);
    merge_adapter_list(*this, adapters_, std::move(entries));
    return true;
}

// ---- start and stop ------------------------------------------------------------------

std::shared_ptr<network_adapter> dual_packet_filter::start_adapter_filtering(std::size_t slot_index)
{
    slot& s = slots_[slot_index];
    const std::uint64_t handle = s.handle.load();
    auto adapter = find_adapter(handle);
    if (!adapter || adapter->packet_event() == nullptr)
        return nullptr;

    init_packet_block(s.block->own, handle);
    std::memset(&s.block->to_other_adapter, 0, sizeof(packet_request));
    std::memset(&s.block->to_other_stack, 0, sizeof(packet_request));

    if (!set_packet_event(handle, adapter->packet_event()))
        return nullptr;
    // Both directions, whatever handlers are installed.
    adapter->set_mode(mode_hold_outgoing | mode_hold_incoming);
    return adapter;
}

bool dual_packet_filter::start_filter(std::uint64_t adapter_handle, std::size_t slot_index)
{
    if (slot_index >= slot_count)
        return false;
    std::unique_lock lock(lock_);
    slot& s = slots_[slot_index];
    if (s.state.load() == slot_running)
        return s.handle.load() == adapter_handle;

    s.handle = adapter_handle;
    auto adapter = start_adapter_filtering(slot_index);
    if (!adapter) {
        // Left set, the watcher would find this handle "removed" at every list change.
        s.handle = 0;
        return false;
    }

    s.adapter = adapter;
    s.state = slot_running;
    try {
        s.thread = std::thread(&dual_packet_filter::slot_working_thread, this, slot_index, adapter);
    } catch (...) {
        // Nobody reads the adapter: give its frames back and take the slot down again.
        s.state = slot_stopped;
        adapter->release_mode();
        flush_adapter_queue(adapter_handle);
        s.adapter.reset();
        s.handle = 0;
        throw;
    }
    return true;
}

bool dual_packet_filter::stop_filter(std::size_t slot_index)
{
    if (slot_index < slot_count) {
        std::unique_lock lock(lock_);
        stop_slot(slot_index, true);
    }
    return true;
}

void dual_packet_filter::stop_slot(std::size_t slot_index, bool listed)
{
    slot& s = slots_[slot_index];
    if (s.state.load() == slot_stopped)
        return;
    s.state = slot_stopped;

    // Wake the working thread through the adapter it holds, which may have left the
    // list already; the driver hears only of an adapter that is still in it.
    if (s.adapter && s.adapter->packet_event() != nullptr)
        ::SetEvent(s.adapter->packet_event());
    const std::uint64_t handle = s.handle.load();
    if (auto adapter = find_adapter(handle)) {
        // A refused release stays pending with the device (release_refused_adapters).
        if (listed || !answers_gone(handle)) {
            adapter->release_mode();
            flush_adapter_queue(handle);
        }
    }
    if (s.thread.joinable())
        s.thread.join();
    s.adapter.reset();
    s.handle = 0;
}

bool dual_packet_filter::answers_gone(std::uint64_t handle)
{
    adapter_mode mode{handle, 0};
    return !get_adapter_mode(mode) && ::GetLastError() == ERROR_DEVICE_NOT_CONNECTED;
}

// ---- the working threads ---------------------------------------------------------------

void dual_packet_filter::slot_working_thread(std::size_t slot_index,
                                             std::shared_ptr<network_adapter> adapter) noexcept
{
    slot& own = slots_[slot_index];
    slot& other = slots_[1 - slot_index];
    const HANDLE packet_event = adapter->packet_event();
    const std::uint64_t handle = adapter->handle();
    packet_request& read = own.block->own.read_request;

    while (own.state.load() == slot_running) {
        if (::WaitForSingleObject(packet_event, INFINITE) != WAIT_OBJECT_0)
            return;
        ::ResetEvent(packet_event);
        // A busy adapter is read again at once; a read that fails or fills nothing
        // means that nothing waits, and the thread waits for the event again.
        while (own.state.load() == slot_running) {
            rearm_read_request(read, handle);
            if (!read_packets(read) || filled_records(read) == 0)
                break;
            handle_read(own, other, reinterpret_cast<void*>(handle));
        }
    }
}

void dual_packet_filter::handle_read(slot& own, slot& other, void* adapter_handle) noexcept
{
    slot_block& block = *own.block;
    packet_request& to_adapter = block.own.to_adapter_request;
    packet_request& to_stack = block.own.to_stack_request;

    const std::uint32_t filled = filled_records(block.own.read_request);
    for (std::uint32_t i = 0; i < filled; ++i) {
        _INTERMEDIATE_BUFFER& record = block.own.records[i];
        const bool outgoing = record.direction == direction_outgoing;
        const std::uint32_t action = handle_record(
            outgoing ? own.outgoing_handler : own.incoming_handler, adapter_handle, record);
        switch (batch_for(action, outgoing, true)) {
        case batch_kind::own_adapter:
            place_record(to_adapter, &record);
            break;
        case batch_kind::own_stack:
            place_record(to_stack, &record);
            break;
        case batch_kind::other_adapter:
            place_record(block.to_other_adapter, &record);
            break;
        case batch_kind::other_stack:
            place_record(block.to_other_stack, &record);
            break;
        case batch_kind::none:
            break;
        }
    }

    if (to_adapter.packet_count != 0) {
        send_packets_to_adapter(to_adapter);
        to_adapter.packet_count = 0;
    }
    if (to_stack.packet_count != 0) {
        send_packets_to_mstcp(to_stack);
        to_stack.packet_count = 0;
    }

    // Frames for a slot that is not running are dropped. The handle is read once: a
    // stop of the other slot between the two reads leaves it 0.
    const bool other_has_frames =
        block.to_other_adapter.packet_count != 0 || block.to_other_stack.packet_count != 0;
    if (other_has_frames && other.state.load() == slot_running) {
        if (const std::uint64_t other_handle = other.handle.load(); other_handle != 0) {
            if (block.to_other_adapter.packet_count != 0) {
                block.to_other_adapter.adapter_handle = other_handle;
                send_packets_to_adapter(block.to_other_adapter);
            }
            if (block.to_other_stack.packet_count != 0) {
                block.to_other_stack.adapter_handle = other_handle;
                send_packets_to_mstcp(block.to_other_stack);
            }
        }
    }
    block.to_other_adapter.packet_count = 0;
    block.to_other_stack.packet_count = 0;
}

// ---- the watcher -------------------------------------------------------------------------

void dual_packet_filter::adapter_watch_loop() noexcept
{
    const HANDLE event = change_event_.get();
    while (!stop_flag_.load()) {
        if (event == nullptr || ::WaitForSingleObject(event, INFINITE) != WAIT_OBJECT_0)
            return;
        ::ResetEvent(event);
        if (stop_flag_.load())
            return;
        try {
            handle_adapter_list_change();
        } catch (...) {
            // Out of memory in this pass: the next change of the list is handled again.
        }
    }
}

void dual_packet_filter::handle_adapter_list_change()
{
    auto list = std::make_unique<filter_adapter_list>();
    // A list that cannot be read says nothing about which adapters are gone.
    if (!query_adapter_list(*this, *list))
        return;

    std::array<std::uint64_t, slot_count> removed{};
    std::array<bool, slot_count> listed{};
    std::array<std::string, slot_count> lines;
    {
        std::shared_lock lock(lock_);
        for (std::size_t i = 0; i < slot_count; ++i) {
            const std::uint64_t handle = slots_[i].handle.load();
            listed[i] = handle != 0 && lists_handle(*list, handle);
            if (handle == 0 || listed[i])
                continue;
            removed[i] = handle;
            if (auto adapter = find_adapter(handle))
                lines[i] = "[dual_packet_filter] : " + adapter->friendly_name() + " : removed. Stopping filter!";
        }
    }

    for (std::size_t i = 0; i < slot_count; ++i) {
        if (removed[i] == 0)
            continue;
        if (!lines[i].empty() && log_) {
            try {
                log_(lines[i]);
            } catch (...) {
                // A log sink that fails does not keep the slot running.
            }
        }
        std::unique_lock lock(lock_);
        // Unless a control thread has restarted the slot on another adapter meanwhile.
        if (slots_[i].handle.load() == removed[i])
            stop_slot(i, false);
    }

    if (!(listed[virtual_slot] && listed[default_slot]))
        update_adapter_list();

    std::shared_lock lock(lock_);
    for (const auto& callback : adapter_change_callbacks_) {
        try {
            callback();
        } catch (...) {
            // One failing callback does not keep the others from running.
        }
    }
}
} // namespace rimcap
