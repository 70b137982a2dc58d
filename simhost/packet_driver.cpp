#include "packet_driver.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace simhost
{
namespace
{
// The driver's codes and record layouts, written out here from the driver's
// description rather than taken from the library's headers, so that a wrong record in
// the library shows up as a wrong record here.
constexpr DWORD code_get_adapter_list = 0x830020C4;
constexpr DWORD code_set_adapter_mode = 0x830020D4;
constexpr DWORD code_flush_adapter_queue = 0x830020D8;
constexpr DWORD code_set_packet_event = 0x830020DC;
constexpr DWORD code_set_adapter_list_change_event = 0x830020EC;
constexpr DWORD code_get_adapter_mode = 0x830020F4;
constexpr DWORD code_set_static_filters = 0x830020F8;
constexpr DWORD code_get_ras_links = 0x8300210C;
constexpr DWORD code_send_to_adapter = 0x83002110;
constexpr DWORD code_send_to_stack = 0x83002114;
constexpr DWORD code_read_packets = 0x83002118;

// filter_adapter_list
constexpr DWORD adapter_list_size = 8836;
constexpr std::size_t max_adapters = 32;
constexpr std::size_t list_names = 4;
constexpr std::size_t name_size = 256;
constexpr std::size_t list_handles = 8196;
constexpr std::size_t list_media = 8452;
constexpr std::size_t list_macs = 8580;
constexpr std::size_t list_mtus = 8772;

// adapter_mode, packet_event_request
constexpr DWORD adapter_mode_size = 12;
constexpr DWORD packet_event_request_size = 16;

// packet_request: one block of 4096 bytes, aligned to 4096
constexpr std::size_t request_header = 16;
constexpr std::uintptr_t request_alignment = 4096;
constexpr std::uint32_t max_request_packets = 510;

// _INTERMEDIATE_BUFFER
constexpr std::size_t record_direction = 16;
constexpr std::size_t record_length = 20;
constexpr std::size_t record_frame = 52;
constexpr std::size_t min_frame = 14;
constexpr std::size_t max_frame = 1514;

// WAN link list
constexpr std::size_t max_ras_links = 256;
constexpr std::size_t ras_link_size = 2072;
constexpr DWORD ras_links_size = 4 + max_ras_links * ras_link_size; // 530,436

constexpr std::uint32_t valid_mode_flags = 3;

// The driver keeps a reference of its own to an event of the program: `own` (null for
// null); false when the handle is not one of this process.
bool own_reference(HANDLE event, HANDLE& own)
{
    own = nullptr;
    return event == nullptr ||
           ::DuplicateHandle(::GetCurrentProcess(), event, ::GetCurrentProcess(), &own, 0, FALSE,
                             DUPLICATE_SAME_ACCESS) != FALSE;
}
} // namespace

void ras_link::set_ipv4_address(const std::array<std::uint8_t, 4>& address)
{
    std::memcpy(protocol_buffer.data() + (608 - 24), address.data(), address.size());
}

void ras_link::set_ipv6_interface_id(const std::array<std::uint8_t, 8>& interface_id)
{
    std::memcpy(protocol_buffer.data() + (612 - 24), interface_id.data(), interface_id.size());
}

packet_driver& packet_driver::instance()
{
    static packet_driver driver;
    return driver;
}

void packet_driver::close_event(HANDLE& event)
{
    if (event != nullptr)
        ::CloseHandle(event);
    event = nullptr;
}

void packet_driver::release_adapter_events()
{
    for (auto& adapter : adapters_)
        close_event(adapter.packet_event);
    close_event(list_change_event_);
}

void packet_driver::reset()
{
    std::lock_guard lock(mutex_);
    release_adapter_events();
    present_ = true;
    reset_device();
    adapters_.clear();
    unbound_.clear();
    static_table_.clear();
    static_rows_.clear();
    deliveries_.clear();
    calls_.clear();
    errors_.clear();
    flushed_ = 0;
    output_hooks_.clear();
    empty_reads_succeed_ = false;
}

void packet_driver::set_present(bool present)
{
    std::lock_guard lock(mutex_);
    present_ = present;
}

packet_driver::bound_adapter* packet_driver::find(std::uint64_t handle)
{
    for (auto& adapter : adapters_)
        if (adapter.handle == handle)
            return &adapter;
    return nullptr;
}

packet_driver::outcome packet_driver::no_adapter(std::uint64_t handle, const char* text) const
{
    if (std::find(unbound_.begin(), unbound_.end(), handle) != unbound_.end())
        return {ERROR_DEVICE_NOT_CONNECTED, {}};
    return {ERROR_INVALID_PARAMETER, text};
}

const packet_driver::bound_adapter& packet_driver::known(std::uint64_t handle) const
{
    for (const auto& adapter : adapters_)
        if (adapter.handle == handle)
            return adapter;
    throw std::invalid_argument("simhost: no adapter with handle " + std::to_string(handle));
}

void packet_driver::signal_list_change()
{
    if (list_change_event_ != nullptr)
        ::SetEvent(list_change_event_);
}

void packet_driver::signal_packets(bound_adapter& adapter)
{
    if (adapter.packet_event != nullptr && !adapter.held.empty())
        ::SetEvent(adapter.packet_event);
}

void packet_driver::deliver(std::uint64_t handle, destination to, bool by_program,
                            std::uint64_t call, std::uint32_t direction, frame_bytes frame)
{
    delivery d;
    d.sequence = deliveries_.size() + 1;
    d.adapter_handle = handle;
    d.to = to;
    d.by_program = by_program;
    d.call = call;
    d.direction = direction;
    d.frame = std::move(frame);
    const bound_adapter* adapter = find(handle);
    if (to == destination::wire && wire_tap_ && !(adapter != nullptr && adapter->off_wire)) {
        try {
            wire_tap_(handle, d.frame);
        } catch (...) {
            // The frame is still recorded; the wire only loses it.
        }
    }
    deliveries_.push_back(std::move(d));
    delivered_.notify_all();
}

// ---- adapters -------------------------------------------------------------------

std::uint64_t packet_driver::bind_adapter(const std::string& guid, const std::string& driver_name,
                                          const mac_address& mac, std::uint16_t mtu,
                                          std::uint32_t medium)
{
    std::lock_guard lock(mutex_);
    if (driver_name.size() >= name_size)
        throw std::invalid_argument("simhost: driver name longer than 255 bytes");
    if (adapters_.size() >= max_adapters)
        throw std::length_error("simhost: the packet filter driver lists at most 32 adapters");
    bound_adapter adapter;
    adapter.handle = 0xFFFF9A0000001000ull + 0x1000ull * ++next_handle_;
    adapter.guid = guid;
    adapter.name = driver_name;
    adapter.mac = mac;
    adapter.mtu = mtu;
    adapter.medium = medium;
    adapters_.push_back(std::move(adapter));
    signal_list_change();
    return adapters_.back().handle;
}

void packet_driver::unbind_adapter(std::uint64_t adapter_handle)
{
    std::lock_guard lock(mutex_);
    auto found = std::find_if(adapters_.begin(), adapters_.end(),
                              [&](const bound_adapter& a) { return a.handle == adapter_handle; });
    if (found == adapters_.end())
        return;
    flushed_ += found->held.size();
    close_event(found->packet_event);
    unbound_.push_back(adapter_handle);
    adapters_.erase(found);
    signal_list_change();
}

void packet_driver::set_listed(std::uint64_t adapter_handle, bool listed)
{
    std::lock_guard lock(mutex_);
    const_cast<bound_adapter&>(known(adapter_handle)).listed = listed;
    signal_list_change();
}

void packet_driver::rename_adapter(std::uint64_t adapter_handle, const std::string& driver_name)
{
    std::lock_guard lock(mutex_);
    if (driver_name.size() >= name_size)
        throw std::invalid_argument("simhost: driver name longer than 255 bytes");
    if (bound_adapter* adapter = find(adapter_handle)) {
        adapter->name = driver_name;
        signal_list_change();
    }
}

void packet_driver::set_wire_tap(wire_tap tap)
{
    std::lock_guard lock(mutex_);
    wire_tap_ = std::move(tap);
}

void packet_driver::keep_off_wire(std::uint64_t adapter_handle)
{
    std::lock_guard lock(mutex_);
    if (bound_adapter* adapter = find(adapter_handle))
        adapter->off_wire = true;
}

void packet_driver::set_wan_links(std::uint64_t adapter_handle, std::vector<ras_link> links)
{
    std::lock_guard lock(mutex_);
    if (links.size() > max_ras_links)
        throw std::invalid_argument("simhost: at most 256 RAS links");
    bound_adapter* adapter = find(adapter_handle);
    if (adapter == nullptr)
        throw std::invalid_argument("simhost: no adapter with that handle");
    adapter->wan_links = std::move(links);
}

// ---- traffic ----------------------------------------------------------------------

void packet_driver::inject(std::uint64_t adapter_handle, std::uint32_t direction,
                           std::span<const std::uint8_t> frame)
{
    inject(adapter_handle, direction, std::vector<frame_bytes>{frame_bytes(frame.begin(), frame.end())});
}

void packet_driver::inject(std::uint64_t adapter_handle, std::uint32_t direction,
                           const std::vector<frame_bytes>& frames)
{
    if (direction != 1 && direction != 2)
        throw std::invalid_argument("simhost: direction must be 1 (sent) or 2 (received)");
    for (const auto& frame : frames)
        if (frame.size() < min_frame || frame.size() > max_frame)
            throw std::invalid_argument("simhost: frame of " + std::to_string(frame.size()) +
                                        " bytes");

    std::lock_guard lock(mutex_);
    bound_adapter* adapter = find(adapter_handle);
    if (adapter == nullptr)
        throw std::invalid_argument("simhost: no adapter with handle " +
                                    std::to_string(adapter_handle));
    bool held = false;
    for (const auto& frame : frames) {
        const std::uint32_t action =
            static_filter_action(static_rows_, adapter_handle, direction, frame);
        const bool to_program = action != filter_action_pass;
        if (to_program && (adapter->mode & direction) != 0) {
            adapter->held.push_back({direction, frame});
            held = true;
        } else {
            deliver(adapter_handle, direction == 1 ? destination::wire : destination::stack, false,
                    0, direction, frame);
        }
    }
    if (held)
        signal_packets(*adapter);
}

std::vector<delivery> packet_driver::deliveries() const
{
    std::lock_guard lock(mutex_);
    return deliveries_;
}

std::size_t packet_driver::delivery_count() const
{
    std::lock_guard lock(mutex_);
    return deliveries_.size();
}

void packet_driver::clear_deliveries()
{
    std::lock_guard lock(mutex_);
    deliveries_.clear();
}

bool packet_driver::wait_for_deliveries(std::size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(mutex_);
    return delivered_.wait_for(lock, timeout, [&] { return deliveries_.size() >= count; });
}

std::uint32_t packet_driver::mode(std::uint64_t adapter_handle) const
{
    std::lock_guard lock(mutex_);
    return known(adapter_handle).mode;
}

std::size_t packet_driver::held_frames(std::uint64_t adapter_handle) const
{
    std::lock_guard lock(mutex_);
    return known(adapter_handle).held.size();
}

bool packet_driver::packet_event_registered(std::uint64_t adapter_handle) const
{
    std::lock_guard lock(mutex_);
    return known(adapter_handle).packet_event != nullptr;
}

bool packet_driver::adapter_list_event_registered() const
{
    std::lock_guard lock(mutex_);
    return list_change_event_ != nullptr;
}

std::size_t packet_driver::flushed_frames() const
{
    std::lock_guard lock(mutex_);
    return flushed_;
}

std::vector<std::uint8_t> packet_driver::static_filter_table() const
{
    std::lock_guard lock(mutex_);
    return static_table_;
}

std::vector<io_call> packet_driver::calls() const
{
    std::lock_guard lock(mutex_);
    return calls_;
}

std::size_t packet_driver::call_count(DWORD code) const
{
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count_if(
        calls_.begin(), calls_.end(), [&](const io_call& c) { return c.code == code; }));
}

std::vector<driver_error> packet_driver::errors() const
{
    std::lock_guard lock(mutex_);
    return errors_;
}

void packet_driver::set_output_hook(DWORD code, std::function<void(void*, DWORD)> hook)
{
    std::lock_guard lock(mutex_);
    if (hook)
        output_hooks_[code] = std::move(hook);
    else
        output_hooks_.erase(code);
}

void packet_driver::set_empty_reads_succeed(bool succeed)
{
    std::lock_guard lock(mutex_);
    empty_reads_succeed_ = succeed;
}

std::optional<packet_driver::outcome> packet_driver::injected_failure(DWORD code)
{
    if (const auto error = simulated_device::injected_failure(code))
        return outcome{*error, {}};
    return std::nullopt;
}

// ---- the device -----------------------------------------------------------------

BOOL packet_driver::io_control(HANDLE device, DWORD code, void* in, DWORD in_size, void* out,
                               DWORD out_size, DWORD* bytes_returned, OVERLAPPED* overlapped)
{
    std::function<void(void*, DWORD)> hook;
    BOOL result = FALSE;
    DWORD error = 0;
    {
        std::lock_guard lock(mutex_);
        io_call call;
        call.number = calls_.size() + 1;
        call.code = code;
        call.in_size = in_size;
        call.out_size = out_size;

        outcome done;
        done.error = check_request(device, in, in_size, out, out_size, overlapped, done.violation);
        if (done.error == NO_ERROR)
            done = handle_call(call, in, in_size, out, out_size);

        call.ok = done.error == 0;
        call.error = done.error;
        if (!done.violation.empty())
            errors_.push_back({call.number, code, done.violation});
        calls_.push_back(call);
        if (call.ok) {
            if (bytes_returned != nullptr)
                *bytes_returned = done.returned;
            auto found = output_hooks_.find(code);
            if (found != output_hooks_.end())
                hook = found->second;
            result = TRUE;
        }
        error = done.error;
    }
    if (result) {
        if (hook)
            hook(out, out_size);
        return TRUE;
    }
    ::SetLastError(error);
    return FALSE;
}

packet_driver::outcome packet_driver::handle_call(io_call& call, void* in, DWORD in_size,
                                                  void* out, DWORD out_size)
{
    switch (call.code) {
    case code_get_adapter_list:
        return get_adapter_list(in, in_size, out, out_size);
    case code_set_adapter_mode:
        return set_adapter_mode(call, in, in_size, out_size);
    case code_get_adapter_mode:
        return get_adapter_mode(call, in, in_size, out, out_size);
    case code_flush_adapter_queue:
        return flush_adapter_queue(call, in, in_size, out_size);
    case code_set_packet_event:
        return set_packet_event(call, in, in_size, out_size);
    case code_set_adapter_list_change_event:
        return set_adapter_list_change_event(in, in_size, out_size);
    case code_set_static_filters:
        return set_static_filters(in, in_size, out_size);
    case code_get_ras_links:
        return get_ras_links(call, in, in_size, out, out_size);
    case code_send_to_adapter:
        return send_packets(call, destination::wire, in, in_size, out_size);
    case code_send_to_stack:
        return send_packets(call, destination::stack, in, in_size, out_size);
    case code_read_packets:
        return read_packets(call, in, in_size, out, out_size);
    default:
        return {ERROR_INVALID_FUNCTION, "unknown I/O control code"};
    }
}

packet_driver::outcome packet_driver::get_adapter_list(void* in, DWORD in_size, void* out,
                                                       DWORD out_size)
{
    (void)in;
    if (auto bad = check_sizes(in_size, adapter_list_size, out_size, adapter_list_size);
        !bad.empty())
        return {ERROR_INVALID_PARAMETER, bad};
    if (auto failed = injected_failure(code_get_adapter_list))
        return *failed;
    std::memset(out, 0, adapter_list_size);
    std::vector<const bound_adapter*> listed;
    for (const auto& adapter : adapters_)
        if (adapter.listed)
            listed.push_back(&adapter);
    store<std::uint32_t>(out, 0, static_cast<std::uint32_t>(listed.size()));
    for (std::size_t i = 0; i < listed.size(); ++i) {
        const auto& adapter = *listed[i];
        auto* bytes = static_cast<std::uint8_t*>(out);
        std::memcpy(bytes + list_names + i * name_size, adapter.name.data(), adapter.name.size());
        store<std::uint64_t>(out, list_handles + i * 8, adapter.handle);
        store<std::uint32_t>(out, list_media + i * 4, adapter.medium);
        std::memcpy(bytes + list_macs + i * 6, adapter.mac.data(), 6);
        store<std::uint16_t>(out, list_mtus + i * 2, adapter.mtu);
    }
    return {0, {}, adapter_list_size};
}

packet_driver::outcome packet_driver::set_adapter_mode(io_call& call, void* in, DWORD in_size,
                                                       DWORD out_size)
{
    if (auto bad = check_sizes(in_size, adapter_mode_size, out_size, 0); !bad.empty())
        return {ERROR_INVALID_PARAMETER, bad};
    call.adapter_handle = load<std::uint64_t>(in, 0);
    const auto flags = load<std::uint32_t>(in, 8);
    bound_adapter* adapter = find(call.adapter_handle);
    if (adapter == nullptr)
        return no_adapter(call.adapter_handle, "set mode: unknown adapter handle");
    if (flags & ~valid_mode_flags)
        return {ERROR_INVALID_PARAMETER, "set mode: unknown mode flags " + std::to_string(flags)};
    if (auto failed = injected_failure(call.code))
        return *failed;
    adapter->mode = flags;
    // Frames of a direction no longer held go on their way.
    std::erase_if(adapter->held, [&](held_frame& frame) {
        if ((flags & frame.direction) != 0)
            return false;
        deliver(adapter->handle, frame.direction == 1 ? destination::wire : destination::stack,
                false, 0, frame.direction, std::move(frame.bytes));
        return true;
    });
    return {};
}

packet_driver::outcome packet_driver::get_adapter_mode(io_call& call, void* in, DWORD in_size,
                                                       void* out, DWORD out_size)
{
    if (auto bad = check_sizes(in_size, adapter_mode_size, out_size, adapter_mode_size);
        !bad.empty())
        return {ERROR_INVALID_PARAMETER, bad};
    call.adapter_handle = load<std::uint64_t>(in, 0);
    const bound_adapter* adapter = find(call.adapter_handle);
    if (adapter == nullptr)
        return no_adapter(call.adapter_handle, "get mode: unknown adapter handle");
    if (auto failed = injected_failure(call.code))
        return *failed;
    store<std::uint64_t>(out, 0, adapter->handle);
    store<std::uint32_t>(out, 8, adapter->mode);
    return {0, {}, adapter_mode_size};
}

packet_driver::outcome packet_driver::flush_adapter_queue(io_call& call, void* in, DWORD in_size,
                                                          DWORD out_size)
{
    if (auto bad = check_sizes(in_size, 8, out_size, 0); !bad.empty())
        return {ERROR_INVALID_PARAMETER, bad};
    call.adapter_handle = load<std::uint64_t>(in, 0);
    bound_adapter* adapter = find(call.adapter_handle);
    if (adapter == nullptr)
        return no_adapter(call.adapter_handle, "flush: unknown adapter handle");
    if (auto failed = injected_failure(call.code))
        return *failed;
    flushed_ += adapter->held.size();
    adapter->held.clear();
    return {};
}

packet_driver::outcome packet_driver::set_packet_event(io_call& call, void* in, DWORD in_size,
                                                       DWORD out_size)
{
    if (auto bad = check_sizes(in_size, packet_event_request_size, out_size, 0); !bad.empty())
        return {ERROR_INVALID_PARAMETER, bad};
    call.adapter_handle = load<std::uint64_t>(in, 0);
    HANDLE event = reinterpret_cast<HANDLE>(load<std::uint64_t>(in, 8));
    bound_adapter* adapter = find(call.adapter_handle);
    if (adapter == nullptr)
        return {ERROR_INVALID_PARAMETER, "packet event: unknown adapter handle"};
    if (auto failed = injected_failure(call.code))
        return *failed;
    HANDLE own = nullptr;
    if (!own_reference(event, own))
        return {ERROR_INVALID_HANDLE, "packet event: not a handle of this process"};
    close_event(adapter->packet_event);
    adapter->packet_event = own;
    signal_packets(*adapter);
    return {};
}

packet_driver::outcome packet_driver::set_adapter_list_change_event(void* in, DWORD in_size,
                                                                    DWORD out_size)
{
    if (auto bad = check_sizes(in_size, 8, out_size, 0); !bad.empty())
        return {ERROR_INVALID_PARAMETER, bad};
    HANDLE event = reinterpret_cast<HANDLE>(load<std::uint64_t>(in, 0));
    if (auto failed = injected_failure(code_set_adapter_list_change_event))
        return *failed;
    HANDLE own = nullptr;
    if (!own_reference(event, own))
        return {ERROR_INVALID_HANDLE, "adapter list event: not a handle of this process"};
    close_event(list_change_event_);
    list_change_event_ = own;
    return {};
}

packet_driver::outcome packet_driver::set_static_filters(void* in, DWORD in_size, DWORD out_size)
{
    if (out_size != 0)
        return {ERROR_INVALID_PARAMETER, size_text("output", out_size, 0)};
    std::span<const std::uint8_t> table(static_cast<const std::uint8_t*>(in), in_size);
    std::vector<static_filter_row> rows;
    if (auto bad = parse_static_filter_table(table, rows))
        return {ERROR_INVALID_PARAMETER, *bad};
    if (auto failed = injected_failure(code_set_static_filters))
        return *failed;
    static_table_.assign(table.begin(), table.end());
    static_rows_ = std::move(rows);
    return {};
}

packet_driver::outcome packet_driver::get_ras_links(io_call& call, void* in, DWORD in_size,
                                                    void* out, DWORD out_size)
{
    if (auto bad = check_sizes(in_size, 8, out_size, ras_links_size); !bad.empty())
        return {ERROR_INVALID_PARAMETER, bad};
    call.adapter_handle = load<std::uint64_t>(in, 0);
    const bound_adapter* adapter = find(call.adapter_handle);
    if (adapter == nullptr)
        return {ERROR_INVALID_PARAMETER, "RAS links: unknown adapter handle"};
    if (auto failed = injected_failure(call.code))
        return *failed;
    std::memset(out, 0, ras_links_size);
    store<std::uint32_t>(out, 0, static_cast<std::uint32_t>(adapter->wan_links.size()));
    auto* bytes = static_cast<std::uint8_t*>(out);
    for (std::size_t i = 0; i < adapter->wan_links.size(); ++i) {
        const ras_link& link = adapter->wan_links[i];
        std::uint8_t* entry = bytes + 4 + i * ras_link_size;
        store<std::uint32_t>(entry, 0, link.link_speed);
        store<std::uint32_t>(entry, 4, link.maximum_total_size);
        std::memcpy(entry + 8, link.remote_address.data(), 6);
        std::memcpy(entry + 14, link.local_address.data(), 6);
        store<std::uint32_t>(entry, 20, static_cast<std::uint32_t>(link.protocol_buffer.size()));
        std::memcpy(entry + 24, link.protocol_buffer.data(), link.protocol_buffer.size());
    }
    return {0, {}, ras_links_size};
}

packet_driver::outcome packet_driver::read_packets(io_call& call, void* in, DWORD in_size,
                                                   void* out, DWORD out_size)
{
    if (in_size < request_header)
        return {ERROR_INVALID_PARAMETER, size_text("read request", in_size, request_header)};
    if (reinterpret_cast<std::uintptr_t>(in) % request_alignment != 0 ||
        reinterpret_cast<std::uintptr_t>(out) % request_alignment != 0)
        return {ERROR_INVALID_PARAMETER, "read request not aligned to 4096 bytes"};
    call.adapter_handle = load<std::uint64_t>(in, 0);
    const auto count = load<std::uint32_t>(in, 8);
    call.packet_count = count;
    if (count == 0 || count > max_request_packets)
        return {ERROR_INVALID_PARAMETER, "read request for " + std::to_string(count) + " packets"};
    const DWORD expected = static_cast<DWORD>(request_header + 8 * count);
    if (auto bad = check_sizes(in_size, expected, out_size, expected); !bad.empty())
        return {ERROR_INVALID_PARAMETER, "read request: " + bad};
    bound_adapter* adapter = find(call.adapter_handle);
    if (adapter == nullptr)
        return {ERROR_INVALID_PARAMETER, "read: unknown adapter handle"};
    for (std::uint32_t i = 0; i < count; ++i)
        if (load<std::uint64_t>(in, request_header + 8 * i) == 0)
            return {ERROR_INVALID_PARAMETER, "read request: null record pointer " + std::to_string(i)};
    if (auto failed = injected_failure(call.code))
        return *failed;
    if (adapter->held.empty() && !empty_reads_succeed_)
        return {ERROR_NO_MORE_ITEMS, {}};

    if (out != in)
        std::memcpy(out, in, expected);
    std::uint32_t done = 0;
    while (done < count && !adapter->held.empty()) {
        held_frame frame = std::move(adapter->held.front());
        adapter->held.pop_front();
        auto* record = reinterpret_cast<std::uint8_t*>(
            static_cast<std::uintptr_t>(load<std::uint64_t>(in, request_header + 8 * done)));
        store<std::uint64_t>(record, 0, adapter->handle);
        store<std::uint64_t>(record, 8, 0);
        store<std::uint32_t>(record, record_direction, frame.direction);
        store<std::uint32_t>(record, record_length, static_cast<std::uint32_t>(frame.bytes.size()));
        std::memcpy(record + record_frame, frame.bytes.data(), frame.bytes.size());
        ++done;
    }
    store<std::uint32_t>(out, 12, done);
    call.packets_done = done;
    // Frames left behind: the program must hear of them again.
    signal_packets(*adapter);
    return {0, {}, expected};
}

packet_driver::outcome packet_driver::send_packets(io_call& call, destination to, void* in,
                                                   DWORD in_size, DWORD out_size)
{
    const char* what = to == destination::wire ? "send to adapter" : "send to stack";
    if (in_size < request_header)
        return {ERROR_INVALID_PARAMETER,
                std::string(what) + ": " + size_text("request", in_size, request_header)};
    if (reinterpret_cast<std::uintptr_t>(in) % request_alignment != 0)
        return {ERROR_INVALID_PARAMETER, std::string(what) + ": request not aligned to 4096 bytes"};
    call.adapter_handle = load<std::uint64_t>(in, 0);
    const auto count = load<std::uint32_t>(in, 8);
    call.packet_count = count;
    if (count == 0 || count > max_request_packets)
        return {ERROR_INVALID_PARAMETER,
                std::string(what) + " of " + std::to_string(count) + " packets"};
    const DWORD expected = static_cast<DWORD>(request_header + 8 * count);
    if (auto bad = check_sizes(in_size, expected, out_size, 0); !bad.empty())
        return {ERROR_INVALID_PARAMETER, std::string(what) + ": " + bad};
    if (load<std::uint32_t>(in, 12) != 0)
        return {ERROR_INVALID_PARAMETER, std::string(what) + ": packets done is not zero"};
    if (find(call.adapter_handle) == nullptr)
        return {ERROR_INVALID_PARAMETER, std::string(what) + ": unknown adapter handle"};

    std::vector<const std::uint8_t*> records;
    for (std::uint32_t i = 0; i < count; ++i) {
        const auto* record = reinterpret_cast<const std::uint8_t*>(
            static_cast<std::uintptr_t>(load<std::uint64_t>(in, request_header + 8 * i)));
        if (record == nullptr)
            return {ERROR_INVALID_PARAMETER,
                    std::string(what) + ": null record pointer " + std::to_string(i)};
        const auto length = load<std::uint32_t>(record, record_length);
        if (length < min_frame || length > max_frame)
            return {ERROR_INVALID_PARAMETER, std::string(what) + ": record " + std::to_string(i) +
                                                 " has frame length " + std::to_string(length)};
        records.push_back(record);
    }
    if (auto failed = injected_failure(call.code))
        return *failed;
    for (const std::uint8_t* record : records) {
        const auto length = load<std::uint32_t>(record, record_length);
        const std::uint8_t* frame = record + record_frame;
        deliver(call.adapter_handle, to, true, call.number,
                load<std::uint32_t>(record, record_direction), frame_bytes(frame, frame + length));
    }
    return {};
}
} // namespace simhost
