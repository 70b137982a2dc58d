#pragma once
// The simulated Lorrivan virtual adapter driver (device \\.\LORRIVAN), behind the
// platform boundary of test programs. Absent until a test loads it: opening the device
// then fails with error 2.
//
// Loading it adds its adapter to the host (simhost::host): the packet filter driver
// lists it as "\DEVICE\{GUID}" (its frames toward the network are the driver's own and
// never reach the wire), IP Helper shows its interface, and the registry gets the
// adapter's Connection key (its "Name" is the interface's friendly name, as on
// Windows) and its Tcpip and Tcpip6 interface keys; unloading removes the adapter and
// deletes those keys. The interface is down until the adapter is activated (or when
// its flags say that it needs no activation), and it has a lower interface metric than
// a physical adapter, as a tunnel adapter has, so that a default route on each picks
// the virtual adapter. As on Windows, its interface's arrival and leaving with the
// driver and its connecting and disconnecting on activation and deactivation are
// announced to the interface change registrations (host_network).
//
// The driver answers its four I/O controls with their records and checks every length
// and the adapter id exactly; a call that breaks the driver's rules fails and is
// recorded in errors(). A test makes any I/O control fail, and reads the activation
// state and every statistics record received.
//
// Thread-safe.
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host.h"
#include "host_network.h"
#include "simulated_device.h"
#include "win32.h"

namespace simhost
{
// The interface metric of the virtual adapter; a physical adapter's is 25.
inline constexpr std::uint32_t virtual_adapter_metric = 5;

struct virtnet_options {
    std::uint32_t adapter_id = 0x2A;
    std::uint8_t flags = 0;                     // the list's flags byte (0x10: no activation)
    std::string connection_name = "Ethernet 7"; // the Connection key's Name; empty: no key
    std::wstring friendly_name;                 // the name while there is no Connection key
};

// A statistics record as the driver received it.
struct virtnet_statistics_record {
    std::uint32_t adapter_id = 0;
    std::uint64_t received_bytes = 0;
    std::uint64_t received_packets = 0;
    std::uint64_t sent_bytes = 0;
    std::uint64_t sent_packets = 0;
    bool operator==(const virtnet_statistics_record&) const = default;
};

class virtnet_driver final : public simulated_device
{
public:
    static virtnet_driver& instance();

    // Unloaded (its keys deleted), no records, no failures; open handles are forgotten.
    // Called by host::reset(), which removes the adapter itself.
    void reset();

    // A fresh random GUID each time. Throws std::logic_error when loaded already.
    adapter load(virtnet_options options = {});
    // Handles opened before stay stale: their I/O controls fail with
    // ERROR_DEVICE_NOT_CONNECTED, also once the driver is loaded again.
    void unload();
    // The driver restarted, or the adapter disabled and enabled again: the adapter is
    // unloaded and at once back, not activated, with its options, GUID, LUID and
    // interface index, as Windows brings it back; both changes are announced once it is
    // back. Throws std::logic_error when not loaded.
    adapter reload();

    bool activated() const;
    std::vector<virtnet_statistics_record> statistics() const;
    std::size_t call_count(DWORD code) const;
    std::vector<std::string> errors() const;

    // The platform boundary's side (with is_device_path, open, owns and close).
    BOOL io_control(HANDLE device, DWORD code, void* in, DWORD in_size, void* out, DWORD out_size,
                    DWORD* bytes_returned, OVERLAPPED* overlapped);

private:
    virtnet_driver() : simulated_device(L"\\\\.\\LORRIVAN", 0x4C560000u) {}
    bool present() const override { return adapter_.has_value(); }
    void record_violation(std::string text) override { errors_.push_back(std::move(text)); }
    // A test program that ends with the driver loaded leaves no keys behind.
    ~virtnet_driver();

    DWORD handle_call(DWORD code, void* in, DWORD in_size, void* out, DWORD out_size,
                      DWORD& returned);
    // The adapter added to the host with its keys, unannounced; `same` names the GUID,
    // LUID and index of an adapter that comes back (else they are fresh).
    adapter add_adapter(virtnet_options options, const adapter* same);
    // The adapter taken off the host with its keys, unannounced: its interface as it
    // was (empty when it was not loaded).
    std::optional<ip_interface> remove_adapter(std::optional<adapter>& removed);

    std::optional<adapter> adapter_;
    virtnet_options options_;
    bool activated_ = false;
    std::vector<virtnet_statistics_record> statistics_;
    std::map<DWORD, std::size_t> call_counts_;
    std::vector<std::string> errors_;
};
} // namespace simhost
