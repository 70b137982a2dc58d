#pragma once
// Records and I/O control codes of the Norvask packet filter driver (device
// \\.\KESTRAL). Every offset and size here is the driver's; the records are packed
// and little-endian.
#include <cstddef>
#include <cstdint>

namespace rimcap
{
inline constexpr std::size_t max_frame_size = 1514;        // Ethernet frame area of a record
inline constexpr std::size_t ethernet_header_size = 14;
inline constexpr std::size_t max_adapters = 32;
inline constexpr std::size_t adapter_name_size = 256;
inline constexpr std::size_t max_request_packets = 510;

// Direction flags of a frame record.
inline constexpr std::uint32_t direction_outgoing = 1; // sent by the protocol stack
inline constexpr std::uint32_t direction_incoming = 2; // received from the network

// Adapter mode flags.
inline constexpr std::uint32_t mode_hold_outgoing = 1;
inline constexpr std::uint32_t mode_hold_incoming = 2;

// I/O control codes (device type 0x8300, buffered).
namespace ioctl
{
inline constexpr std::uint32_t get_adapter_list = 0x830020C4;
inline constexpr std::uint32_t set_adapter_mode = 0x830020D4;
inline constexpr std::uint32_t flush_adapter_queue = 0x830020D8;
inline constexpr std::uint32_t set_packet_event = 0x830020DC;
inline constexpr std::uint32_t set_adapter_list_change_event = 0x830020EC;
inline constexpr std::uint32_t get_adapter_mode = 0x830020F4;
inline constexpr std::uint32_t set_static_filters = 0x830020F8;
inline constexpr std::uint32_t get_ras_links = 0x8300210C;
inline constexpr std::uint32_t send_to_adapter = 0x83002110;
inline constexpr std::uint32_t send_to_stack = 0x83002114;
inline constexpr std::uint32_t read_packets = 0x83002118;
} // namespace ioctl
} // namespace rimcap

#pragma pack(push, 1)

// One frame as the driver hands it over and takes it back (1566 bytes).
struct _INTERMEDIATE_BUFFER {
    std::uint8_t driver_link[16];  // adapter handle and queue link: the driver's own
    std::uint32_t direction;       // rimcap::direction_outgoing or direction_incoming
    std::uint32_t length;          // valid bytes in frame
    std::uint8_t driver_fields[28];
    std::uint8_t frame[rimcap::max_frame_size];
};

namespace rimcap
{
// The driver's list of the adapters it is bound to (8836 bytes).
struct filter_adapter_list {
    std::uint32_t count;
    char names[max_adapters][adapter_name_size];
    std::uint64_t handles[max_adapters];
    std::uint32_t media[max_adapters];
    std::uint8_t macs[max_adapters][6];
    std::uint16_t mtus[max_adapters];
};

// An adapter's mode (12 bytes).
struct adapter_mode {
    std::uint64_t adapter_handle;
    std::uint32_t flags;
};

// The event that the driver signals when frames of an adapter wait (16 bytes).
struct packet_event_request {
    std::uint64_t adapter_handle;
    std::uint64_t event_handle;
};
} // namespace rimcap

#pragma pack(pop)

namespace rimcap
{
// Input and output of the read and send I/O controls: one 4096-byte block.
struct alignas(4096) packet_request {
    std::uint64_t adapter_handle;
    std::uint32_t packet_count;  // capacity on a read, number to send on a send
    std::uint32_t packets_done;  // filled records, written by the driver on a read
    _INTERMEDIATE_BUFFER* packets[max_request_packets];
};

// Length handed to the driver for a request of count packets.
constexpr std::uint32_t packet_request_size(std::uint32_t count)
{
    return static_cast<std::uint32_t>(offsetof(packet_request, packets) + 8 * count);
}
} // namespace rimcap
