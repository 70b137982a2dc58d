#pragma once
// Capture files in the classic libpcap format (Ethernet link type, snapshot length
// 1514), written from the frames of packet filter records.
#include <cstdint>
#include <fstream>
#include <string>

#include "driver_records.h"

namespace rimcap
{
// One capture file. Its owner opens it before any thread writes to it; records of all
// writers in the process are serialised by one process-wide mutex.
class pcap_file_writer
{
public:
    explicit pcap_file_writer(const std::string& file_name);

    std::ofstream stream;
};

// Opens (truncating) the file for binary output, closing a file that the writer had
// open before, and writes the 24-byte global header. A file that cannot be opened
// leaves the writer in a failed state: its records write nothing.
void open_capture_file(pcap_file_writer& writer, const std::string& file_name);

// Appends one record for the record's frame as it is now and flushes the file. The
// captured length is the record's frame length, at most the 1514 bytes of the frame
// area.
pcap_file_writer& write_capture_record(pcap_file_writer& writer, const _INTERMEDIATE_BUFFER& record);

// Timestamp of a record: the wall-clock reference (whole seconds since 1970, taken on
// the process's first record) plus the steady-clock time elapsed since then, counted
// in whole milliseconds.
struct capture_timestamp {
    std::uint32_t seconds;
    std::uint32_t microseconds; // a multiple of 1000
};
capture_timestamp make_capture_timestamp(std::uint64_t reference_seconds, std::uint64_t elapsed_ns) noexcept;
} // namespace rimcap
