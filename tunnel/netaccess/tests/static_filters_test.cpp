// The static filter table, byte for byte.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "driver_records.h"
#include "static_filters.h"

namespace
{
void le(std::vector<std::uint8_t>& b, std::size_t at, std::uint64_t v, int size)
{
    for (int i = 0; i < size; ++i)
        b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// The table written out from the driver's field offsets, independently of the
// structures the library uses.
struct expected_row {
    std::uint32_t direction, action, valid_layers;
    std::uint16_t ether_type;                      // data-link part when non-zero
    std::uint32_t network_selector;                // network part when non-zero
    std::uint32_t transport_valid;                 // transport part when non-zero
    std::uint16_t first, last;
};

std::vector<std::uint8_t> expected_table()
{
    const expected_row rows[7] = {
        {1, 1, 6, 0, 1, 1, 67, 68},      {2, 1, 6, 0, 1, 2, 67, 68},
        {1, 1, 6, 0, 2, 1, 546, 547},    {2, 1, 6, 0, 2, 2, 546, 547},
        {3, 1, 1, 0x0806, 0, 0, 0, 0},   {3, 1, 1, 0x8035, 0, 0, 0, 0},
        {3, 3, 0, 0, 0, 0, 0, 0},
    };
    std::vector<std::uint8_t> b(1296, 0);
    le(b, 0, 7, 4);
    for (int i = 0; i < 7; ++i) {
        const expected_row& r = rows[i];
        const std::size_t o = 8 + 184 * static_cast<std::size_t>(i);
        le(b, o + 0, 0, 8);
        le(b, o + 8, r.direction, 4);
        le(b, o + 12, r.action, 4);
        le(b, o + 16, r.valid_layers, 4);
        if (r.ether_type) {
            le(b, o + 56, 1, 4);
            le(b, o + 60, 4, 4);
            le(b, o + 76, r.ether_type, 2);
        }
        if (r.network_selector) {
            le(b, o + 80, r.network_selector, 4);
            le(b, o + 84, 4, 4);
            b[o + 112] = 17;
            le(b, o + 164, 1, 4);
            le(b, o + 168, r.transport_valid, 4);
            le(b, o + (r.transport_valid == 1 ? 172 : 176), r.first, 2);
            le(b, o + (r.transport_valid == 1 ? 174 : 178), r.last, 2);
        }
    }
    return b;
}
} // namespace

TEST(static_filters, table_byte_for_byte)
{
    const auto table = rimcap::build_static_filter_table();
    const auto expected = expected_table();
    ASSERT_EQ(table.size(), 1296u);
    ASSERT_EQ(rimcap::static_filter_table_size, 1296u);
    for (std::size_t i = 0; i < expected.size(); ++i)
        ASSERT_EQ(table[i], expected[i]) << "byte " << i << " (row " << (i < 8 ? -1 : static_cast<long>((i - 8) / 184))
                                         << ", row byte " << (i < 8 ? i : (i - 8) % 184) << ")";
}

TEST(static_filters, rows_as_the_driver_reads_them)
{
    struct row {
        std::uint32_t direction, action, layers;
        std::uint16_t ether_type;
        std::uint32_t network;
        std::uint8_t protocol;
        std::uint32_t transport_valid;
        std::uint16_t src_first, src_last, dst_first, dst_last;
    };
    const row rows[7] = {
        {1, 1, 6, 0, 1, 17, 1, 67, 68, 0, 0},     {2, 1, 6, 0, 1, 17, 2, 0, 0, 67, 68},
        {1, 1, 6, 0, 2, 17, 1, 546, 547, 0, 0},   {2, 1, 6, 0, 2, 17, 2, 0, 0, 546, 547},
        {3, 1, 1, 0x0806, 0, 0, 0, 0, 0, 0, 0},   {3, 1, 1, 0x8035, 0, 0, 0, 0, 0, 0, 0},
        {3, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0},
    };
    const auto bytes = rimcap::build_static_filter_table();
    rimcap::static_filter_table t;
    std::memcpy(&t, bytes.data(), sizeof t);
    EXPECT_EQ(t.row_count, 7u);
    for (int i = 0; i < 7; ++i) {
        SCOPED_TRACE(i);
        const auto& r = t.rows[i];
        EXPECT_EQ(r.adapter_handle, 0u);
        EXPECT_EQ(r.direction, rows[i].direction);
        EXPECT_EQ(r.action, rows[i].action);
        EXPECT_EQ(r.valid_layers, rows[i].layers);
        EXPECT_EQ(r.ether_type, rows[i].ether_type);
        EXPECT_EQ(r.network_selector, rows[i].network);
        EXPECT_EQ(r.protocol, rows[i].protocol);
        EXPECT_EQ(r.transport_valid_fields, rows[i].transport_valid);
        EXPECT_EQ(r.source_port_first, rows[i].src_first);
        EXPECT_EQ(r.source_port_last, rows[i].src_last);
        EXPECT_EQ(r.destination_port_first, rows[i].dst_first);
        EXPECT_EQ(r.destination_port_last, rows[i].dst_last);
    }
}

TEST(static_filters, built_twice_the_same)
{
    EXPECT_EQ(rimcap::build_static_filter_table(), rimcap::build_static_filter_table());
    EXPECT_EQ(rimcap::ioctl::set_static_filters, 0x830020F8u);
}
