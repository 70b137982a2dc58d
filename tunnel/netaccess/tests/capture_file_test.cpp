// Capture files: the header bytes, the records, timestamps, concurrent writers, and
// every file read back by tshark with checksum validation.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>

#include "capture_file.h"
#include "checksum.h"
#include "packet_builder.h"
#include "tshark_check.h"

using namespace testpkt;
namespace fs = std::filesystem;

namespace
{
// A folder of its own for each test, removed afterwards.
struct temp_folder {
    fs::path path;
    temp_folder()
    {
        std::random_device rd;
        path = fs::temp_directory_path() /
               ("lorrivan-capture-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) +
                "-" + std::to_string(rd()));
        fs::create_directories(path);
    }
    ~temp_folder()
    {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    std::string file(const char* name) const { return (path / name).string(); }
};

bytes read_file(const std::string& name)
{
    std::ifstream f(name, std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

std::uint32_t le32(const bytes& b, std::size_t at)
{
    return std::uint32_t{b[at]} | std::uint32_t{b[at + 1]} << 8 | std::uint32_t{b[at + 2]} << 16 |
           std::uint32_t{b[at + 3]} << 24;
}

struct parsed_record {
    std::uint32_t seconds, microseconds, captured, wire;
    bytes frame;
};

// Parses a whole capture file; fails the test on a torn or short record.
std::vector<parsed_record> parse_records(const bytes& file)
{
    std::vector<parsed_record> out;
    EXPECT_GE(file.size(), 24u);
    std::size_t at = 24;
    while (at < file.size()) {
        EXPECT_LE(at + 16, file.size());
        if (at + 16 > file.size())
            break;
        parsed_record r{le32(file, at), le32(file, at + 4), le32(file, at + 8), le32(file, at + 12), {}};
        at += 16;
        EXPECT_LE(at + r.captured, file.size());
        if (at + r.captured > file.size())
            break;
        r.frame.assign(file.begin() + static_cast<std::ptrdiff_t>(at),
                       file.begin() + static_cast<std::ptrdiff_t>(at + r.captured));
        at += r.captured;
        out.push_back(std::move(r));
    }
    return out;
}

// A frame with valid checksums, of the kind the tunnels capture.
_INTERMEDIATE_BUFFER valid_frame(const bytes& ip, std::uint16_t ether_type = 0x0800)
{
    _INTERMEDIATE_BUFFER r{};
    load(r, ether_type, ip);
    rimcap::recalculate_ip_checksum(r);
    rimcap::recalculate_icmp_checksum(r);
    rimcap::recalculate_tcp_checksum(r);
    rimcap::recalculate_udp_checksum(r);
    return r;
}

// tshark reads the file: count packets, none malformed, no error, every checksum it
// validates is good.
void expect_tshark_clean(const std::string& file, std::size_t packets)
{
    ASSERT_TRUE(tshark_available()) << "tshark is needed (scripts/setup.sh installs it)";
    const auto lines = tshark_packet_lines(file);
    ASSERT_TRUE(lines.has_value()) << "tshark did not run on " << file;
    EXPECT_EQ(lines->size(), packets);
    for (const std::string& problem : tshark_problems(*lines))
        ADD_FAILURE() << problem;
}
} // namespace

TEST(capture_file, new_file_holds_the_global_header)
{
    temp_folder dir;
    rimcap::pcap_file_writer w(dir.file("lorrivan_enc.pcap"));
    ASSERT_TRUE(w.stream.good());
    const bytes expected = {0xd4, 0xc3, 0xb2, 0xa1, 0x02, 0x00, 0x04, 0x00, 0, 0, 0, 0,
                            0,    0,    0,    0,    0xea, 0x05, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00};
    EXPECT_EQ(read_file(dir.file("lorrivan_enc.pcap")), expected);
}

TEST(capture_file, records_hold_the_frames_as_they_are)
{
    temp_folder dir;
    const std::string name = dir.file("lorrivan_tun.pcap");
    rimcap::pcap_file_writer w(name);
    const auto now = static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count());
    struct row {
        bytes ip;
        std::uint16_t ether_type;
    };
    const row rows[] = {
        {ipv4(17, udp(40000, 40001, pattern(3))), 0x0800},
        {ipv4(6, tcp(40000, 40002, pattern(1460))), 0x0800},
        {ipv4(1, echo(8, pattern(56)), 7), 0x0800},
        {ipv6(17, udp(40000, 40001, pattern(10))), 0x86DD},
        {bytes(28, 0), 0x0806},
    };
    std::vector<_INTERMEDIATE_BUFFER> frames;
    for (const row& r : rows) {
        frames.push_back(valid_frame(r.ip, r.ether_type));
        rimcap::write_capture_record(w, frames.back());
    }
    // Rewriting a frame afterwards does not change what was written.
    frames[0].frame[40] ^= 0xFF;
    const auto records = parse_records(read_file(name));
    ASSERT_EQ(records.size(), std::size(rows));
    frames[0].frame[40] ^= 0xFF;
    for (std::size_t i = 0; i < records.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(records[i].captured, std::uint32_t{frames[i].length});
        EXPECT_EQ(records[i].wire, std::uint32_t{frames[i].length});
        EXPECT_TRUE(std::equal(records[i].frame.begin(), records[i].frame.end(), frames[i].frame));
        EXPECT_EQ(records[i].microseconds % 1000, 0u);
        EXPECT_LT(records[i].microseconds, 1000000u);
        EXPECT_GE(records[i].seconds + 5, now);
        EXPECT_LE(records[i].seconds, now + 5);
    }
}

TEST(capture_file, timestamps_from_elapsed_milliseconds)
{
    struct row {
        std::uint64_t reference, elapsed_ns;
        std::uint32_t seconds, microseconds;
    };
    const row rows[] = {
        {1700000000, 0, 1700000000, 0},
        {1700000000, 999999, 1700000000, 0},
        {1700000000, 1000000, 1700000000, 1000},
        {1700000000, 999999999, 1700000000, 999000},
        {1700000000, 1000000000, 1700000001, 0},
        {1700000000, 1500000000, 1700000001, 500000},
        {1700000000, 3600000000000ull + 1234567890, 1700003601, 234000},
    };
    for (const row& r : rows) {
        const auto t = rimcap::make_capture_timestamp(r.reference, r.elapsed_ns);
        EXPECT_EQ(t.seconds, r.seconds) << r.elapsed_ns;
        EXPECT_EQ(t.microseconds, r.microseconds) << r.elapsed_ns;
    }
    // Two records 1.5 seconds apart.
    const auto a = rimcap::make_capture_timestamp(1700000000, 250000000);
    const auto b = rimcap::make_capture_timestamp(1700000000, 1750000000);
    EXPECT_EQ(b.seconds - a.seconds, 1u);
    EXPECT_EQ(b.microseconds - a.microseconds, 500000u);
}

TEST(capture_file, records_in_real_time_move_forward)
{
    temp_folder dir;
    const std::string name = dir.file("lorrivan_lcl.pcap");
    rimcap::pcap_file_writer w(name);
    const auto frame = valid_frame(ipv4(17, udp(40000, 40001, pattern(8))));
    rimcap::write_capture_record(w, frame);
    std::this_thread::sleep_for(std::chrono::milliseconds(120));
    rimcap::write_capture_record(w, frame);
    const auto records = parse_records(read_file(name));
    ASSERT_EQ(records.size(), 2u);
    const auto ms = [](const parsed_record& r) { return std::uint64_t{r.seconds} * 1000 + r.microseconds / 1000; };
    EXPECT_GE(ms(records[1]) - ms(records[0]), 110u);
    EXPECT_LE(ms(records[1]) - ms(records[0]), 5000u);
}

TEST(capture_file, recreating_truncates_and_reopening_switches_files)
{
    temp_folder dir;
    const std::string first = dir.file("lorrivan_ext.pcap");
    const std::string second = dir.file("lorrivan_ext2.pcap");
    const auto frame = valid_frame(ipv4(17, udp(40000, 40001, pattern(8))));
    {
        rimcap::pcap_file_writer w(first);
        rimcap::write_capture_record(w, frame);
        rimcap::write_capture_record(w, frame);
        EXPECT_EQ(read_file(first).size(), 24u + 2 * (16 + frame.length));
    }
    {
        rimcap::pcap_file_writer w(first);
        EXPECT_EQ(read_file(first).size(), 24u);
        rimcap::write_capture_record(w, frame);
        rimcap::open_capture_file(w, second);
        rimcap::write_capture_record(w, frame);
        rimcap::write_capture_record(w, frame);
    }
    EXPECT_EQ(read_file(first).size(), 24u + 16 + frame.length);
    EXPECT_EQ(read_file(second).size(), 24u + 2 * (16 + frame.length));
}

TEST(capture_file, unopenable_file_leaves_writer_silent)
{
    temp_folder dir;
    const std::string missing = (dir.path / "no-such-folder" / "lorrivan_enc.pcap").string();
    rimcap::pcap_file_writer w(missing);
    EXPECT_FALSE(w.stream.good());
    const auto frame = valid_frame(ipv4(17, udp(40000, 40001, pattern(8))));
    EXPECT_NO_THROW(rimcap::write_capture_record(w, frame));
    EXPECT_EQ(&rimcap::write_capture_record(w, frame), &w);
    EXPECT_FALSE(fs::exists(missing));
    // The same writer opens a good name later.
    const std::string good = dir.file("lorrivan_enc.pcap");
    rimcap::open_capture_file(w, good);
    EXPECT_TRUE(w.stream.good());
    rimcap::write_capture_record(w, frame);
    EXPECT_EQ(read_file(good).size(), 24u + 16 + frame.length);
}

TEST(capture_file, never_copies_more_than_the_frame_area)
{
    temp_folder dir;
    const std::string name = dir.file("lorrivan_tun.pcap");
    rimcap::pcap_file_writer w(name);
    struct row {
        std::uint32_t length;
        std::uint32_t captured;
    };
    const row rows[] = {{1514, 1514}, {1515, 1514}, {70000, 1514}, {0xFFFFFFFF, 1514}, {0, 0}, {14, 14}};
    auto record = std::make_unique<_INTERMEDIATE_BUFFER>();
    std::memset(record.get(), 0x33, sizeof *record);
    for (const row& r : rows) {
        record->length = r.length;
        rimcap::write_capture_record(w, *record);
    }
    const auto records = parse_records(read_file(name));
    ASSERT_EQ(records.size(), std::size(rows));
    for (std::size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(records[i].captured, rows[i].captured) << i;
        EXPECT_EQ(records[i].wire, rows[i].captured) << i;
    }
}

// Four threads write at once, each to its own file and all to one shared file: no
// record is torn, each thread's frames arrive whole, and the shared file's
// timestamps never go back.
TEST(capture_file, four_threads_write_at_once)
{
    temp_folder dir;
    constexpr int threads = 4;
    constexpr int per_thread = 300;
    rimcap::pcap_file_writer shared(dir.file("lorrivan_shared.pcap"));
    std::vector<std::unique_ptr<rimcap::pcap_file_writer>> own;
    std::vector<_INTERMEDIATE_BUFFER> frames;
    for (int t = 0; t < threads; ++t) {
        own.push_back(std::make_unique<rimcap::pcap_file_writer>(dir.file(("lorrivan_t" + std::to_string(t) + ".pcap").c_str())));
        frames.push_back(valid_frame(ipv4(17, udp(static_cast<std::uint16_t>(40000 + t), 40100,
                                                   pattern(static_cast<std::size_t>(100 + 301 * t),
                                                           static_cast<std::uint8_t>(t))))));
    }
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&, t] {
            for (int i = 0; i < per_thread; ++i) {
                rimcap::write_capture_record(shared, frames[t]);
                rimcap::write_capture_record(*own[t], frames[t]);
            }
        });
    for (auto& w : workers)
        w.join();
    shared.stream.flush();

    const auto records = parse_records(read_file(dir.file("lorrivan_shared.pcap")));
    ASSERT_EQ(records.size(), std::size_t{threads * per_thread});
    int counts[threads] = {};
    std::uint64_t last = 0;
    for (const auto& r : records) {
        const std::uint64_t ms = std::uint64_t{r.seconds} * 1000 + r.microseconds / 1000;
        EXPECT_GE(ms, last);
        last = ms;
        int which = -1;
        for (int t = 0; t < threads; ++t)
            if (r.captured == frames[t].length && std::equal(r.frame.begin(), r.frame.end(), frames[t].frame))
                which = t;
        ASSERT_GE(which, 0) << "a record matches no thread's frame";
        ++counts[which];
    }
    for (int t = 0; t < threads; ++t) {
        EXPECT_EQ(counts[t], per_thread);
        const auto mine = parse_records(read_file(dir.file(("lorrivan_t" + std::to_string(t) + ".pcap").c_str())));
        EXPECT_EQ(mine.size(), std::size_t{per_thread});
    }
    expect_tshark_clean(dir.file("lorrivan_shared.pcap"), threads * per_thread);
    expect_tshark_clean(dir.file("lorrivan_t3.pcap"), per_thread);
}

// Frames whose checksums this library computed, read back by tshark: every checksum
// good, no malformed packet.
TEST(capture_file, tshark_reads_recomputed_frames)
{
    temp_folder dir;
    const std::string name = dir.file("lorrivan_lcl.pcap");
    const bytes ips[] = {
        ipv4(6, tcp(40000, 40002, {}, 0x02, 1)),
        ipv4(6, tcp(40000, 40002, pattern(1), 0x18)),
        ipv4(6, tcp(40000, 40002, pattern(1459), 0x18)),
        ipv4(6, tcp(40000, 40002, pattern(77), 0x18, 3), 6),
        ipv4(6, tcp(40000, 40002, pattern(100), 0x18), 15),
        ipv4(17, udp(40000, 40001, {})),
        ipv4(17, udp(40000, 40001, pattern(1))),
        ipv4(17, udp(40000, 40001, pattern(1471))),
        ipv4(17, udp(40000, 40001, pattern(333)), 10),
        ipv4(1, echo(8, pattern(56))),
        ipv4(1, echo(8, pattern(57)), 6),
        ipv4(1, echo(0, pattern(1471))),
    };
    {
        rimcap::pcap_file_writer w(name);
        for (const bytes& ip : ips) {
            auto frame = valid_frame(ip);
            ASSERT_TRUE(ipv4_header_verifies(frame));
            ASSERT_TRUE(ipv4_transport_verifies(frame));
            rimcap::write_capture_record(w, frame);
        }
    }
    expect_tshark_clean(name, std::size(ips));
}

// The tshark check itself: a wrong IPv4 header, UDP or TCP checksum is reported.
TEST(capture_file, tshark_check_sees_bad_checksums)
{
    ASSERT_TRUE(tshark_available());
    temp_folder dir;
    const std::string name = dir.file("lorrivan_bad.pcap");
    struct row {
        bytes ip;
        std::size_t flip;   // frame byte of a checksum to spoil
        std::size_t field;  // tshark field that must say bad: 3 ip, 4 udp, 5 tcp, 6 icmp
    };
    const row rows[] = {
        {ipv4(17, udp(40000, 40001, pattern(8))), 24, 3},
        {ipv4(17, udp(40000, 40001, pattern(8))), 41, 4},
        {ipv4(6, tcp(40000, 40002, pattern(8))), 51, 5},
        {ipv4(1, echo(8, pattern(8))), 37, 6},
    };
    {
        rimcap::pcap_file_writer w(name);
        for (const row& r : rows) {
            auto frame = valid_frame(r.ip);
            frame.frame[r.flip] ^= 0x01;
            rimcap::write_capture_record(w, frame);
        }
    }
    const auto lines = tshark_packet_lines(name);
    ASSERT_TRUE(lines.has_value());
    ASSERT_EQ(lines->size(), std::size(rows));
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const auto fields = tshark_fields((*lines)[i]);
        ASSERT_EQ(fields.size(), 8u);
        EXPECT_EQ(fields[rows[i].field], "0") << (*lines)[i];
    }
}
