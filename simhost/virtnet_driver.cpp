#include "virtnet_driver.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "host_network.h"
#include "packet_driver.h"

namespace simhost
{
namespace
{
// The driver's codes and record layouts, written out here from the driver's description
// rather than taken from the library's headers.
constexpr DWORD code_get_adapter_list = 0x830020C0;
constexpr DWORD code_activate = 0x830020C4;
constexpr DWORD code_deactivate = 0x830020C8;
constexpr DWORD code_statistics = 0x830020CC;

constexpr DWORD list_size = 4100;
constexpr std::size_t list_adapter_id = 4;
constexpr std::size_t list_luid = 1028;
constexpr std::size_t list_flags = 3076;
constexpr std::uint8_t list_filler = 0xA5; // the bytes that the library must not read
constexpr DWORD adapter_id_size = 4;
constexpr DWORD statistics_size = 36;
constexpr std::uint8_t flag_no_activation = 0x10;

constexpr const char* tcpip_interfaces = "SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters\\Interfaces\\";
constexpr const char* tcpip6_interfaces = "SYSTEM\\CurrentControlSet\\Services\\Tcpip6\\Parameters\\Interfaces\\";
constexpr const char* connection_suffix = "\\Connection";

// Creates the key, with a string value when one is named.
void create_key(const std::string& path, const char* value = nullptr, const std::string& text = {})
{
    HKEY key = nullptr;
    LONG result = ::RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                    nullptr);
    if (result == ERROR_SUCCESS && value != nullptr)
        result = ::RegSetValueExA(key, value, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                                  static_cast<DWORD>(text.size() + 1));
    if (key != nullptr)
        ::RegCloseKey(key);
    if (result != ERROR_SUCCESS)
        throw std::runtime_error("simhost: cannot write the registry key " + path);
}

// The adapter's own keys: its network key (with Connection below it) and its interface
// keys of both stacks.
std::vector<std::string> adapter_keys(const std::string& guid)
{
    std::string network = connection_key_path(guid);
    network.resize(network.size() - std::strlen(connection_suffix));
    return {network, tcpip_interfaces + guid, tcpip6_interfaces + guid};
}

void delete_keys(const std::string& guid)
{
    for (const auto& path : adapter_keys(guid))
        ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, path.c_str());
}

void create_keys(const std::string& guid, const virtnet_options& options)
{
    if (!options.connection_name.empty())
        create_key(connection_key_path(guid), "Name", options.connection_name);
    create_key(tcpip_interfaces + guid);
    create_key(tcpip6_interfaces + guid);
}
} // namespace

virtnet_driver& virtnet_driver::instance()
{
    static virtnet_driver driver;
    return driver;
}

virtnet_driver::~virtnet_driver()
{
    if (adapter_)
        delete_keys(adapter_->guid);
}

void virtnet_driver::reset()
{
    std::lock_guard lock(mutex_);
    if (adapter_)
        delete_keys(adapter_->guid);
    adapter_.reset();
    options_ = {};
    activated_ = false;
    reset_device();
    statistics_.clear();
    call_counts_.clear();
    errors_.clear();
}

adapter virtnet_driver::load(virtnet_options options)
{
    {
        std::lock_guard lock(mutex_);
        if (adapter_)
            throw std::logic_error("simhost: the virtual adapter driver is loaded already");
    }
    const adapter added = add_adapter(std::move(options), nullptr);
    host_network& network = host_network::instance();
    network.announce_interface_change(network.interface_of(added.guid), MibAddInstance);
    return added;
}

void virtnet_driver::unload()
{
    std::optional<adapter> removed;
    if (const std::optional<ip_interface> left = remove_adapter(removed))
        host_network::instance().announce_interface_change(*left, MibDeleteInstance);
}

adapter virtnet_driver::reload()
{
    std::optional<adapter> removed;
    const std::optional<ip_interface> left = remove_adapter(removed); // the options stay
    if (!left)
        throw std::logic_error("simhost: the virtual adapter driver is not loaded");
    const adapter back = add_adapter(options_, &*removed);
    host_network& network = host_network::instance();
    network.announce_interface_change(*left, MibDeleteInstance);
    network.announce_interface_change(network.interface_of(back.guid), MibAddInstance);
    return back;
}

adapter virtnet_driver::add_adapter(virtnet_options options, const adapter* same)
{
    adapter_spec spec;
    spec.guid = same != nullptr ? same->guid : host::random_guid();
    if (same != nullptr) {
        spec.ip.luid = same->luid;
        spec.ip.if_index = same->if_index;
    }
    spec.ip.physical_medium = 0; // a virtual interface
    spec.ip.hardware_interface = false;
    spec.ip.metric = virtual_adapter_metric; // below a physical adapter's, as a tunnel adapter's is
    spec.ip.description = L"Lorrivan Virtual Adapter";
    spec.ip.friendly_name = options.friendly_name;
    spec.ip.name_from_connection_key = true;
    spec.ip.oper_status = (options.flags & flag_no_activation) != 0 ? IfOperStatusUp : IfOperStatusDown;
    adapter added;
    try {
        create_keys(spec.guid, options);
        added = host::instance().add_adapter(spec);
        // What it sends toward the network is this driver's, never the wire's.
        packet_driver::instance().keep_off_wire(added.filter_handle);
    } catch (...) {
        delete_keys(spec.guid);
        throw;
    }
    std::lock_guard lock(mutex_);
    adapter_ = added;
    options_ = std::move(options);
    activated_ = false;
    return added;
}

std::optional<ip_interface> virtnet_driver::remove_adapter(std::optional<adapter>& removed)
{
    {
        std::lock_guard lock(mutex_);
        removed = std::exchange(adapter_, std::nullopt);
        activated_ = false;
        make_open_handles_stale();
    }
    if (!removed)
        return std::nullopt;
    const std::optional<ip_interface> left = host_network::instance().find_interface(removed->guid);
    host::instance().remove_adapter(removed->guid);
    delete_keys(removed->guid);
    return left;
}

bool virtnet_driver::activated() const
{
    std::lock_guard lock(mutex_);
    return activated_;
}

std::vector<virtnet_statistics_record> virtnet_driver::statistics() const
{
    std::lock_guard lock(mutex_);
    return statistics_;
}

std::size_t virtnet_driver::call_count(DWORD code) const
{
    std::lock_guard lock(mutex_);
    const auto found = call_counts_.find(code);
    return found == call_counts_.end() ? 0 : found->second;
}

std::vector<std::string> virtnet_driver::errors() const
{
    std::lock_guard lock(mutex_);
    return errors_;
}

// ---- the device -------------------------------------------------------------------

BOOL virtnet_driver::io_control(HANDLE device, DWORD code, void* in, DWORD in_size, void* out,
                                DWORD out_size, DWORD* bytes_returned, OVERLAPPED* overlapped)
{
    DWORD returned = 0;
    std::lock_guard lock(mutex_);
    ++call_counts_[code];
    std::string violation;
    DWORD error = check_request(device, in, in_size, out, out_size, overlapped, violation);
    if (!violation.empty())
        errors_.push_back(std::move(violation));
    else if (!adapter_ || stale(device))
        error = ERROR_DEVICE_NOT_CONNECTED; // unloaded while the handle was open
    else
        error = handle_call(code, in, in_size, out, out_size, returned);
    if (error != NO_ERROR) {
        ::SetLastError(error);
        return FALSE;
    }
    if (bytes_returned != nullptr)
        *bytes_returned = returned;
    return TRUE;
}

DWORD virtnet_driver::handle_call(DWORD code, void* in, DWORD in_size, void* out, DWORD out_size,
                                  DWORD& returned)
{
    auto broken = [&](std::string text) {
        char hex[16];
        std::snprintf(hex, sizeof(hex), "0x%08lX", static_cast<unsigned long>(code));
        errors_.push_back(std::string(hex) + ": " + std::move(text));
        return static_cast<DWORD>(ERROR_INVALID_PARAMETER);
    };
    DWORD expected_in = 0;
    DWORD expected_out = 0;
    switch (code) {
    case code_get_adapter_list: expected_out = list_size; break;
    case code_activate:
    case code_deactivate: expected_in = adapter_id_size; break;
    case code_statistics: expected_in = statistics_size; break;
    default: errors_.push_back("unknown I/O control code " + std::to_string(code)); return ERROR_INVALID_FUNCTION;
    }
    if (auto bad = check_sizes(in_size, expected_in, out_size, expected_out); !bad.empty())
        return broken(std::move(bad));
    if (code != code_get_adapter_list && simhost::load<std::uint32_t>(in, 0) != options_.adapter_id)
        return broken("unknown adapter id " + std::to_string(simhost::load<std::uint32_t>(in, 0)));
    if (const auto error = injected_failure(code))
        return *error;

    switch (code) {
    case code_get_adapter_list:
        std::memset(out, list_filler, list_size);
        store<std::uint32_t>(out, 0, 1);
        store<std::uint32_t>(out, list_adapter_id, options_.adapter_id);
        store<std::uint64_t>(out, list_luid, adapter_->luid);
        store<std::uint8_t>(out, list_flags, options_.flags);
        returned = list_size;
        break;
    case code_activate:
    case code_deactivate: {
        const bool connects = activated_ != (code == code_activate);
        activated_ = code == code_activate;
        if ((options_.flags & flag_no_activation) != 0)
            break;
        host_network& network = host_network::instance();
        network.set_oper_status(adapter_->guid, activated_ ? IfOperStatusUp : IfOperStatusDown);
        // The interface connects or disconnects, which Windows announces.
        if (connects)
            network.announce_interface_change(network.interface_of(adapter_->guid), MibParameterNotification);
        break;
    }
    case code_statistics: {
        virtnet_statistics_record r;
        r.adapter_id = simhost::load<std::uint32_t>(in, 0);
        r.received_bytes = simhost::load<std::uint64_t>(in, 4);
        r.received_packets = simhost::load<std::uint64_t>(in, 12);
        r.sent_bytes = simhost::load<std::uint64_t>(in, 20);
        r.sent_packets = simhost::load<std::uint64_t>(in, 28);
        statistics_.push_back(r);
        break;
    }
    }
    return NO_ERROR;
}
} // namespace simhost
