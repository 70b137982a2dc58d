// Loading the driver's adapter list into adapter records, and merging a fresh list.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <set>

#include "adapter_list.h"
#include "wan_adapters.h"
#include "queued_packet_filter.h"
#include "test_support.h"

namespace
{
using test_support::unique_guid;
using adapter_list = test_support::simulated_host_test;

simhost::adapter_spec spec_for(const std::string& guid, std::uint16_t mtu = 1500,
                               std::uint32_t medium = 0)
{
    simhost::adapter_spec spec;
    spec.guid = guid;
    spec.mtu = mtu;
    spec.medium = medium;
    return spec;
}

TEST_F(adapter_list, loads_every_entry_in_driver_order)
{
    const std::string ethernet_guid = unique_guid(100);
    test_support::connection_name_key ethernet_name(ethernet_guid, "Ethernet");
    const auto ethernet = host().add_adapter(spec_for(ethernet_guid, 1500, 0));
    simhost::adapter_spec wan;
    wan.driver_name = simhost::ndiswan_ip_name;
    wan.mtu = 1400;
    wan.medium = 3;
    const auto wan_ip = host().add_adapter(wan);
    const auto wifi = host().add_adapter(spec_for(unique_guid(101), 2304, 16));

    rimcap::queued_packet_filter filter;
    const auto& adapters = filter.adapters();
    ASSERT_EQ(adapters.size(), 3u);

    EXPECT_EQ(adapters[0]->handle(), ethernet.filter_handle);
    EXPECT_EQ(adapters[0]->internal_name(), "\\DEVICE\\" + ethernet_guid);
    EXPECT_EQ(adapters[0]->friendly_name(), "Ethernet");
    EXPECT_EQ(adapters[0]->mac(), ethernet.mac);
    EXPECT_EQ(adapters[0]->mtu(), 1500);
    EXPECT_EQ(adapters[0]->wan_kind(), rimcap::wan_kind_none);

    EXPECT_EQ(adapters[1]->handle(), wan_ip.filter_handle);
    EXPECT_EQ(adapters[1]->internal_name(), "\\DEVICE\\NDISWANIP");
    EXPECT_EQ(adapters[1]->friendly_name(), "WAN Network Interface (IP)");
    EXPECT_EQ(adapters[1]->wan_kind(), rimcap::wan_kind_ip);
    EXPECT_EQ(adapters[1]->mtu(), 1400);
    EXPECT_EQ(adapters[1]->medium(), 3u);

    EXPECT_EQ(adapters[2]->handle(), wifi.filter_handle);
    EXPECT_EQ(adapters[2]->mtu(), 2304);
    EXPECT_EQ(adapters[2]->medium(), 16u);

    std::set<HANDLE> events;
    for (const auto& adapter : adapters) {
        EXPECT_NE(adapter->packet_event(), nullptr);
        events.insert(adapter->packet_event());
        EXPECT_EQ(adapter->mode().flags, 0u);
        EXPECT_EQ(adapter->mode().adapter_handle, adapter->handle());
        EXPECT_EQ(adapter->owner(), &filter);
    }
    EXPECT_EQ(events.size(), 3u) << "each adapter has its own packet event";
    EXPECT_EQ(driver().call_count(rimcap::ioctl::get_adapter_list), 1u);
}

TEST_F(adapter_list, a_missing_connection_name_is_empty_not_the_previous_one)
{
    const std::string named = unique_guid(110);
    test_support::connection_name_key name(named, "Named adapter");
    host().add_adapter(spec_for(named));
    host().add_adapter(spec_for(unique_guid(111)));

    rimcap::queued_packet_filter filter;
    ASSERT_EQ(filter.adapters().size(), 2u);
    EXPECT_EQ(filter.adapters()[0]->friendly_name(), "Named adapter");
    EXPECT_EQ(filter.adapters()[1]->friendly_name(), "");
}

TEST_F(adapter_list, reloading_after_emptying_reads_the_current_list)
{
    host().add_adapter({});
    rimcap::queued_packet_filter filter;
    ASSERT_EQ(filter.adapters().size(), 1u);
    host().add_adapter({});
    filter.adapters().clear();
    filter.load_adapter_list();
    EXPECT_EQ(filter.adapters().size(), 2u);
}

TEST_F(adapter_list, a_count_above_32_is_clamped)
{
    host().add_adapter({});
    driver().set_output_hook(rimcap::ioctl::get_adapter_list, [](void* out, DWORD) {
        const std::uint32_t count = 4000;
        std::memcpy(out, &count, 4);
    });
    rimcap::queued_packet_filter filter;
    EXPECT_EQ(filter.adapters().size(), 32u);
}

TEST_F(adapter_list, names_are_read_only_up_to_their_256_bytes)
{
    host().add_adapter({});
    host().add_adapter({});
    driver().set_output_hook(rimcap::ioctl::get_adapter_list, [](void* out, DWORD) {
        // The first name fills its 256 bytes without a terminator.
        std::memset(static_cast<std::uint8_t*>(out) + 4, 'N', 256);
    });
    rimcap::queued_packet_filter filter;
    ASSERT_EQ(filter.adapters().size(), 2u);
    EXPECT_EQ(filter.adapters()[0]->internal_name(), std::string(256, 'N'));
    EXPECT_EQ(filter.adapters()[1]->internal_name().substr(0, 8), "\\DEVICE\\");
}

TEST_F(adapter_list, a_failed_list_adds_nothing)
{
    host().add_adapter({});
    driver().fail_next(rimcap::ioctl::get_adapter_list, ERROR_GEN_FAILURE);
    rimcap::queued_packet_filter filter;
    EXPECT_TRUE(filter.adapters().empty());
}

// The merge that the dual filter makes of a fresh list.
class adapter_merge : public test_support::simulated_host_test
{
protected:
    std::vector<rimcap::adapter_entry> current(CRimCap& cap)
    {
        auto list = std::make_unique<rimcap::filter_adapter_list>();
        EXPECT_TRUE(rimcap::query_adapter_list(cap, *list));
        return rimcap::read_adapter_entries(*list);
    }
};

TEST_F(adapter_merge, keeps_unchanged_replaces_changed_and_removes_missing)
{
    const auto a = host().add_adapter({});
    const auto b = host().add_adapter({});
    const auto c = host().add_adapter({});
    CRimCap cap;
    std::vector<std::shared_ptr<rimcap::network_adapter>> adapters;
    rimcap::merge_adapter_list(cap, adapters, current(cap));
    ASSERT_EQ(adapters.size(), 3u);
    const auto first = adapters[0];
    const auto renamed_old = adapters[1];

    host().rename_adapter(b.guid, "\\DEVICE\\" + unique_guid(120));
    host().remove_adapter(c.guid);
    const auto d = host().add_adapter({});
    rimcap::merge_adapter_list(cap, adapters, current(cap));

    ASSERT_EQ(adapters.size(), 3u);
    EXPECT_EQ(adapters[0], first) << "an unchanged adapter keeps its record";
    EXPECT_EQ(adapters[1]->handle(), b.filter_handle);
    EXPECT_NE(adapters[1], renamed_old) << "a renamed adapter gets a new record";
    EXPECT_EQ(adapters[1]->internal_name(), "\\DEVICE\\" + unique_guid(120));
    EXPECT_EQ(adapters[2]->handle(), d.filter_handle);
    EXPECT_EQ(renamed_old.use_count(), 1) << "the old record lives only while someone holds it";
}

TEST_F(adapter_merge, a_changed_connection_name_moves_the_adapter_to_the_end)
{
    const std::string guid = unique_guid(130);
    auto name = std::make_unique<test_support::connection_name_key>(guid, "Before");
    host().add_adapter(spec_for(guid));
    host().add_adapter({});
    CRimCap cap;
    std::vector<std::shared_ptr<rimcap::network_adapter>> adapters;
    rimcap::merge_adapter_list(cap, adapters, current(cap));
    ASSERT_EQ(adapters.size(), 2u);
    EXPECT_EQ(adapters[0]->friendly_name(), "Before");

    name->key().set_string("Connection", "Name", "After");
    rimcap::merge_adapter_list(cap, adapters, current(cap));
    ASSERT_EQ(adapters.size(), 2u);
    EXPECT_EQ(adapters[1]->friendly_name(), "After");
    EXPECT_EQ(adapters[1]->internal_name(), "\\DEVICE\\" + guid);
}

TEST_F(adapter_merge, an_empty_list_removes_every_adapter)
{
    const auto a = host().add_adapter({});
    CRimCap cap;
    std::vector<std::shared_ptr<rimcap::network_adapter>> adapters;
    rimcap::merge_adapter_list(cap, adapters, current(cap));
    ASSERT_EQ(adapters.size(), 1u);
    host().remove_adapter(a.guid);
    rimcap::merge_adapter_list(cap, adapters, current(cap));
    EXPECT_TRUE(adapters.empty());
}
} // namespace
