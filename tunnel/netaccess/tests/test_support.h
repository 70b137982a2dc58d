#pragma once
// Shared helpers of the network access tests: a fixture over the simulated host, test
// frames that carry a sequence number, IP interfaces of the host network, and registry
// keys that clean up after themselves.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/ip_types.h"
#include "host.h"
#include "host_network.h"
#include "packet_driver.h"
#include "virtual_adapter_state.h"
#include "win32.h"

namespace test_support
{
// Every test starts with a present driver and no adapters, and ends with no broken
// driver or IP Helper rule, no device left open and no IP Helper table left unfreed.
class simulated_host_test : public ::testing::Test
{
protected:
    void SetUp() override { simhost::host::instance().reset(); }
    void TearDown() override
    {
        for (const auto& error : driver().errors())
            ADD_FAILURE() << "driver rule broken by call " << error.call << " (code 0x" << std::hex
                          << error.code << std::dec << "): " << error.text;
        EXPECT_EQ(driver().open_device_count(), 0u) << "a device handle was left open";
        for (const auto& text : network().violations())
            ADD_FAILURE() << "IP Helper rule broken: " << text;
        EXPECT_EQ(network().open_tables(), 0u) << "an IP Helper table was not freed";
        simhost::host::instance().reset();
    }

    static simhost::packet_driver& driver() { return simhost::packet_driver::instance(); }
    static simhost::host& host() { return simhost::host::instance(); }
    static simhost::host_network& network() { return simhost::host_network::instance(); }
};

// A test frame: Ethernet header with a local experimental EtherType, then the sequence
// number (4 bytes) and a byte that tells the test handler what to do.
inline constexpr std::uint16_t test_ether_type = 0x88B5;
inline constexpr std::size_t sequence_offset = 14;
inline constexpr std::size_t request_offset = 18;

inline simhost::frame_bytes make_frame(std::uint32_t sequence, std::uint8_t request = 0,
                                       std::size_t size = 64)
{
    simhost::frame_bytes frame(size, 0);
    for (int i = 0; i < 6; ++i) {
        frame[i] = static_cast<std::uint8_t>(0xA0 + i);
        frame[6 + i] = static_cast<std::uint8_t>(0xB0 + i);
    }
    frame[12] = test_ether_type >> 8;
    frame[13] = test_ether_type & 0xFF;
    std::memcpy(frame.data() + sequence_offset, &sequence, 4);
    frame[request_offset] = request;
    for (std::size_t i = request_offset + 1; i < size; ++i)
        frame[i] = static_cast<std::uint8_t>(sequence + i);
    return frame;
}

inline std::uint32_t frame_sequence(const std::uint8_t* frame)
{
    std::uint32_t sequence = 0;
    std::memcpy(&sequence, frame + sequence_offset, 4);
    return sequence;
}

inline std::uint32_t frame_sequence(const simhost::frame_bytes& frame)
{
    return frame_sequence(frame.data());
}

// A GUID text that no other test process uses at the same time (the test programs
// share one Wine prefix).
inline std::string unique_guid(std::uint32_t number)
{
    char text[64];
    std::snprintf(text, sizeof(text), "{7E570000-%04X-4000-8000-%012lX}", number & 0xFFFFu,
                  static_cast<unsigned long>(::GetCurrentProcessId()));
    return text;
}

// An adapter of the simulated host with the given IP interface settings.
inline simhost::adapter add_ip_adapter(std::uint32_t number, simhost::interface_settings ip = {},
                                       simhost::mac_address mac = {}, bool filtered = true)
{
    simhost::adapter_spec spec;
    spec.guid = unique_guid(number);
    spec.mac = mac;
    spec.filtered = filtered;
    spec.ip = std::move(ip);
    return simhost::host::instance().add_adapter(spec);
}

inline NET_LUID luid_of(const simhost::adapter& adapter)
{
    NET_LUID luid{};
    luid.Value = adapter.luid;
    return luid;
}

// An address of the configuration (a DNS server, say) from its text.
inline wireguard::ip_address server_address(std::string_view text)
{
    const SOCKADDR_INET a = simhost::parse_ip(text);
    wireguard::ip_address r;
    const std::string_view bytes = simhost::address_bytes(a);
    r.family = a.si_family == AF_INET ? wireguard::family_ipv4 : wireguard::family_ipv6;
    std::memcpy(r.address.data(), bytes.data(), bytes.size());
    return r;
}

// A socket address as the adapter records hold it: the sockaddr of the family in a
// zeroed SOCKADDR_STORAGE.
inline SOCKADDR_STORAGE storage_of(std::string_view text)
{
    const SOCKADDR_INET address = simhost::parse_ip(text);
    SOCKADDR_STORAGE storage{};
    std::memcpy(&storage, &address,
                address.si_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6));
    return storage;
}

inline std::string text_of(const SOCKADDR_STORAGE& storage)
{
    SOCKADDR_INET address{};
    std::memcpy(&address, &storage, sizeof(address));
    return simhost::ip_text(address);
}

inline std::vector<std::string> texts_of(const std::vector<SOCKADDR_STORAGE>& list)
{
    std::vector<std::string> texts;
    for (const auto& storage : list)
        texts.push_back(text_of(storage));
    return texts;
}

// Creates the key under HKEY_LOCAL_MACHINE unless it is there and, when a value is
// named, sets it.
inline void write_registry_value(const std::string& path, const char* value = nullptr, DWORD type = REG_SZ,
                                 const void* data = nullptr, DWORD size = 0)
{
    HKEY key = nullptr;
    ASSERT_EQ(::RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS)
        << path;
    if (value != nullptr) {
        EXPECT_EQ(::RegSetValueExA(key, value, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
    }
    ::RegCloseKey(key);
}
inline void write_registry_text(const std::string& path, const char* value, const std::string& text)
{
    write_registry_value(path, value, REG_SZ, text.c_str(), static_cast<DWORD>(text.size() + 1));
}

// A registry key under HKEY_LOCAL_MACHINE, created for a test and deleted with its
// subkeys afterwards.
class scoped_registry_key
{
public:
    explicit scoped_registry_key(std::string path) : path_(std::move(path)) { write_registry_value(path_); }
    ~scoped_registry_key() { ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, path_.c_str()); }
    scoped_registry_key(const scoped_registry_key&) = delete;
    scoped_registry_key& operator=(const scoped_registry_key&) = delete;

    void set(const std::string& subkey, const char* value, DWORD type, const void* data,
             DWORD size) const
    {
        write_registry_value(subkey.empty() ? path_ : path_ + "\\" + subkey, value, type, data, size);
    }
    void set_string(const std::string& subkey, const char* value, const std::string& text) const
    {
        set(subkey, value, REG_SZ, text.c_str(), static_cast<DWORD>(text.size() + 1));
    }

private:
    std::string path_;
};

inline constexpr const char* network_key =
    "SYSTEM\\CurrentControlSet\\Control\\Network\\{4D36E972-E325-11CE-BFC1-08002BE10318}";
inline constexpr const char* adapter_class_key =
    "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}";

// The "Connection" key of an adapter GUID with its "Name".
class connection_name_key
{
public:
    connection_name_key(const std::string& guid, const std::string& name)
        : key_(std::string(network_key) + "\\" + guid)
    {
        key_.set_string("Connection", "Name", name);
    }
    const scoped_registry_key& key() const { return key_; }

private:
    scoped_registry_key key_;
};

// A network adapter class entry: ComponentId and Linkage\Export.
class adapter_class_entry
{
public:
    adapter_class_entry(std::uint32_t number, const std::string& component_id,
                        const std::string& exported)
        : key_(std::string(adapter_class_key) + "\\lorrivan-test-" +
               std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(number))
    {
        key_.set_string("", "ComponentId", component_id);
        // A multi-string: the exported name and a second entry after it.
        std::string multi = exported + '\0' + "\\DEVICE\\SECOND" + '\0' + '\0';
        key_.set("Linkage", "Export", REG_MULTI_SZ, multi.data(), static_cast<DWORD>(multi.size()));
    }

private:
    scoped_registry_key key_;
};
} // namespace test_support
