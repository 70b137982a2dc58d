#pragma once
// The Lorrivan virtual adapter driver (device \\.\LORRIVAN): its I/O controls, its
// records (packed, little-endian; every offset and size is the driver's), and
// virtnet_api, the owner of the device through which every I/O control is issued.
#include <cstddef>
#include <cstdint>

#include "win32.h"

namespace virtnet
{
// I/O control codes (device type 0x8300, buffered, any access).
namespace ioctl
{
inline constexpr DWORD get_adapter_list = 0x830020C0;   // out: virtnet_adapter_list
inline constexpr DWORD activate_adapter = 0x830020C4;   // in: u32 adapter_id
inline constexpr DWORD deactivate_adapter = 0x830020C8; // in: u32 adapter_id
inline constexpr DWORD report_statistics = 0x830020CC;  // in: virtnet_statistics
} // namespace ioctl

// Bit of virtnet_adapter_list::flags: the adapter needs no activation.
inline constexpr std::uint8_t flag_no_activation = 0x10;
} // namespace virtnet

#pragma pack(push, 1)

// The driver's adapter (4100 bytes). Only adapter_id, luid and flags are read; the other
// bytes are the driver's.
struct virtnet_adapter_list {
    std::uint8_t not_read_0[4];
    std::uint32_t adapter_id;
    std::uint8_t not_read_8[1020];
    std::uint64_t luid; // NET_LUID of the adapter's interface
    std::uint8_t not_read_1036[2040];
    std::uint8_t flags;
    std::uint8_t not_read_3077[1023];
};

// Tunnel traffic since the last report (36 bytes).
struct virtnet_statistics {
    std::uint32_t adapter_id;
    std::uint64_t received_bytes;
    std::uint64_t received_packets;
    std::uint64_t sent_bytes;
    std::uint64_t sent_packets;
};

#pragma pack(pop)

static_assert(sizeof(virtnet_adapter_list) == 4100);
static_assert(offsetof(virtnet_adapter_list, adapter_id) == 4);
static_assert(offsetof(virtnet_adapter_list, luid) == 1028);
static_assert(offsetof(virtnet_adapter_list, flags) == 3076);
static_assert(sizeof(virtnet_statistics) == 36);
static_assert(offsetof(virtnet_statistics, received_bytes) == 4);
static_assert(offsetof(virtnet_statistics, received_packets) == 12);
static_assert(offsetof(virtnet_statistics, sent_bytes) == 20);
static_assert(offsetof(virtnet_statistics, sent_packets) == 28);

// Owner of the device. It opens \\.\LORRIVAN at construction (overlapped) and makes the
// event of its OVERLAPPED record only when the device opened; both are closed at
// destruction. Every I/O control uses that record and the byte count field, and
// counts as done only when DeviceIoControl itself returns TRUE (nothing waits for a
// pending completion).
class virtnet_api
{
public:
    virtnet_api();
    virtual ~virtnet_api();

    virtnet_api(const virtnet_api&) = delete;
    virtnet_api& operator=(const virtnet_api&) = delete;

    // The device opened (when it did not, the open's error was left in the thread's last
    // error by the constructor).
    bool is_open() const noexcept { return virtnet_device_ != INVALID_HANDLE_VALUE; }
    HANDLE device() const noexcept { return virtnet_device_; }
    // Closes the device before destruction; is_open() is false afterwards.
    void close_device() noexcept;

    // False without calling the driver when the device is not open.
    bool get_adapter_list(virtnet_adapter_list& list);
    bool activate_adapter(std::uint32_t adapter_id);
    bool deactivate_adapter(std::uint32_t adapter_id);
    bool report_statistics(const virtnet_statistics& statistics);

private:
    bool io_control(DWORD code, void* in, DWORD in_size, void* out, DWORD out_size);

    OVERLAPPED overlapped_{};
    HANDLE virtnet_device_ = INVALID_HANDLE_VALUE;
    DWORD bytes_returned_ = 0;
    DWORD event_ok_ = 0;
    wchar_t device_name_[MAX_PATH] = L"LORRIVAN";
};
