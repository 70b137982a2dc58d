#pragma once
// Checks that both end-to-end programs make: what the server's kernel received or sent
// (the pcap files of e2e_server.py), and the capture files read by tshark.
#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "e2e_packets.h"
#include "tshark_check.h"
#include "wait_until.h"

namespace e2e
{
// Waits for a packet that the server's kernel received ("server_in.pcap") or sent
// ("server_out.pcap") and the predicate accepts.
inline std::optional<bytes> wait_for_server_packet(const char* file, const std::function<bool(const ipv4_view&)>& match,
                                                   std::chrono::milliseconds limit = std::chrono::seconds(5))
{
    std::optional<bytes> found;
    tunnel_test::wait_until(
        [&] {
            const auto packets = read_pcap(file);
            if (!packets)
                return false;
            for (const auto& p : *packets) {
                const ipv4_view v{p};
                if (v.valid() && match(v)) {
                    found = p;
                    return true;
                }
            }
            return false;
        },
        limit);
    return found;
}

// tshark reads the capture file with checksum validation: at least `minimum` packets,
// none malformed, no error, no bad checksum, and every packet's own checksums verified
// (those of a quoted packet may stay unverified: the quote of an ICMP error ends after
// 8 bytes of its payload).
inline void expect_capture_clean(const std::string& file, std::size_t minimum)
{
    SCOPED_TRACE(file);
    ASSERT_TRUE(std::filesystem::exists(file)) << "no capture file";
    ASSERT_TRUE(testpkt::tshark_available()) << "tshark is needed (scripts/setup.sh installs it)";
    const auto lines = testpkt::tshark_packet_lines(file);
    ASSERT_TRUE(lines.has_value()) << "tshark did not run";
    EXPECT_GE(lines->size(), minimum);
    for (const std::string& problem : testpkt::tshark_problems(*lines, false))
        ADD_FAILURE() << problem;
}

// The four capture files of a tunnel, each with at least the given number of packets.
struct capture_minimums {
    std::size_t enc = 0, tun = 0, ext = 0, lcl = 0;
};

inline constexpr const char* capture_files[] = {"lorrivan_enc.pcap", "lorrivan_tun.pcap", "lorrivan_ext.pcap",
                                                "lorrivan_lcl.pcap"};

inline void expect_captures_clean(const capture_minimums& minimum)
{
    expect_capture_clean(capture_files[0], minimum.enc);
    expect_capture_clean(capture_files[1], minimum.tun);
    expect_capture_clean(capture_files[2], minimum.ext);
    expect_capture_clean(capture_files[3], minimum.lcl);
}

inline void remove_capture_files()
{
    for (const char* name : capture_files)
        std::filesystem::remove(name);
}
} // namespace e2e
