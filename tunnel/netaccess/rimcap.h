#pragma once
// CRimCap: owner of the Norvask packet filter device (\\.\KESTRAL). Every I/O control
// of the driver is issued here, through the platform boundary; the filters derive from
// this class and the adapters issue their I/O controls through the CRimCap that lists
// them.
#include <cstdint>
#include <mutex>
#include <vector>

#include "driver_records.h"
#include "win32.h"
#include "windows_version.h"

class CRimCap
{
public:
    CRimCap();
    // Tries once more to release every adapter whose release (mode 0) the driver
    // refused (release_refused_adapters), then closes the device.
    virtual ~CRimCap();

    CRimCap(const CRimCap&) = delete;
    CRimCap& operator=(const CRimCap&) = delete;

    // True when the device opened and its event was created.
    bool open_flag() const noexcept { return open_flag_; }

    // Each of these reports false without calling the driver when the device is absent;
    // otherwise the result is DeviceIoControl's immediate result.
    bool get_adapter_list(rimcap::filter_adapter_list& list);
    bool set_adapter_mode(const rimcap::adapter_mode& mode);
    // Mode 0 for that adapter. A refusal is tried again a few times at once, after a
    // short pause; when it still fails the adapter is remembered and released again by
    // the destructor (unless a later mode of it was accepted before).
    bool release_adapter_mode(std::uint64_t adapter_handle);
    // Tries those remembered releases again (each released adapter is flushed); those
    // still refused stay remembered. True when none is left.
    bool release_refused_adapters() noexcept;
    bool get_adapter_mode(rimcap::adapter_mode& mode);
    bool flush_adapter_queue(std::uint64_t adapter_handle);
    bool set_packet_event(std::uint64_t adapter_handle, HANDLE event);
    bool set_adapter_list_change_event(HANDLE event);

    // Batches: the request's length is 16 + 8 x its packet count.
    bool read_packets(rimcap::packet_request& request);
    bool send_packets_to_adapter(rimcap::packet_request& request);
    bool send_packets_to_mstcp(rimcap::packet_request& request);

    // Any other I/O control of the driver (static filter table, WAN links).
    bool device_io_control(DWORD code, void* in, DWORD in_size, void* out, DWORD out_size);

    // The connection ("friendly") name of an adapter: the fixed WAN names, or the
    // registry's "Name" under the adapter's "Connection" key. The buffer holds a
    // terminated string on success and is left as it was when the key is missing.
    static bool get_connection_name(const char* internal_name, char* buffer,
                                    std::uint32_t buffer_size);

    // True when a network adapter class entry with that component id exports that
    // internal name.
    static bool is_adapter_of_component(const char* internal_name, const char* component_id);

private:
    using is_wow64_process_function = BOOL(WINAPI*)(HANDLE, PBOOL);

    bool convert_event_for_driver(HANDLE& event) const;
    void note_release(std::uint64_t adapter_handle, bool released) noexcept;

    OVERLAPPED overlapped_{};
    DWORD bytes_returned_ = 0;
    HANDLE device_ = INVALID_HANDLE_VALUE;
    bool open_flag_ = false;
    is_wow64_process_function is_wow64_process_ = nullptr;
    BOOL is_wow64_ = FALSE;

    // Adapters whose last mode request was a release that the driver refused.
    std::mutex unreleased_mutex_;
    std::vector<std::uint64_t> unreleased_;
};
