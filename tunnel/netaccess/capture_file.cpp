// Capture files in the classic libpcap format.
#include "capture_file.h"

#include <algorithm>
#include <chrono>
#include <mutex>

namespace rimcap
{
namespace
{
constexpr std::uint32_t pcap_magic = 0xa1b2c3d4;
constexpr std::uint16_t pcap_version_major = 2;
constexpr std::uint16_t pcap_version_minor = 4;
constexpr std::uint32_t pcap_snapshot_length = max_frame_size;
constexpr std::uint32_t pcap_link_ethernet = 1;

void put_u16(char* p, std::uint16_t v)
{
    p[0] = static_cast<char>(v);
    p[1] = static_cast<char>(v >> 8);
}

void put_u32(char* p, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<char>(v >> (8 * i));
}

std::uint64_t steady_now_ns()
{
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

std::uint64_t wall_now_seconds()
{
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
            .count());
}
} // namespace

pcap_file_writer::pcap_file_writer(const std::string& file_name)
{
    open_capture_file(*this, file_name);
}

void open_capture_file(pcap_file_writer& writer, const std::string& file_name)
{
    // A stream that failed earlier may still hold its file: close it in any state,
    // so that the new file opens.
    if (writer.stream.is_open())
        writer.stream.close();
    writer.stream.clear();
    writer.stream.open(file_name, std::ios::binary | std::ios::out | std::ios::trunc);
    if (!writer.stream.good())
        return;
    char header[24] = {};
    put_u32(header + 0, pcap_magic);
    put_u16(header + 4, pcap_version_major);
    put_u16(header + 6, pcap_version_minor);
    put_u32(header + 16, pcap_snapshot_length);
    put_u32(header + 20, pcap_link_ethernet);
    writer.stream.write(header, sizeof header);
    writer.stream.flush();
}

capture_timestamp make_capture_timestamp(std::uint64_t reference_seconds, std::uint64_t elapsed_ns) noexcept
{
    const std::uint64_t elapsed_ms = elapsed_ns / 1000000;
    capture_timestamp t;
    t.seconds = static_cast<std::uint32_t>(reference_seconds + elapsed_ms / 1000);
    t.microseconds = static_cast<std::uint32_t>(elapsed_ms % 1000 * 1000);
    return t;
}

pcap_file_writer& write_capture_record(pcap_file_writer& writer, const _INTERMEDIATE_BUFFER& record)
{
    static std::mutex capture_mutex;
    static const std::uint64_t steady_reference_ns = steady_now_ns();
    static const std::uint64_t wall_reference_seconds = wall_now_seconds();

    std::lock_guard lock(capture_mutex);
    if (!writer.stream.good())
        return writer; // the file did not open, or a write failed: stay silent

    const std::uint64_t now = steady_now_ns();
    const capture_timestamp t =
        make_capture_timestamp(wall_reference_seconds, now >= steady_reference_ns ? now - steady_reference_ns : 0);
    // Never more than the frame area, whatever the record's length field says.
    const std::uint32_t length_field = record.length;
    const std::uint32_t length = std::min<std::uint32_t>(length_field, max_frame_size);

    char header[16];
    put_u32(header + 0, t.seconds);
    put_u32(header + 4, t.microseconds);
    put_u32(header + 8, length);
    put_u32(header + 12, length);
    writer.stream.write(header, sizeof header);
    writer.stream.write(reinterpret_cast<const char*>(record.frame), length);
    writer.stream.flush();
    return writer;
}
} // namespace rimcap
