// The Lorrivan virtual adapter while the dual tunnel holds it.
#include "virtnet_adapter.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "platform.h"
#include "registry_key.h"

namespace wireguard
{
namespace
{
constexpr const char* connection_name = "Lorrivan";
constexpr const wchar_t* connection_wide_name = L"Lorrivan";

// A refused delete is tried this often in all, with a short pause in between.
constexpr int delete_attempts = 3;
constexpr DWORD delete_retry_pause_ms = 10;

// The message of a failed step, with the thread's last error appended when asked.
std::runtime_error failure(const char* text, bool with_last_error = true)
{
    std::string message = text;
    if (with_last_error)
        message += std::to_string(::GetLastError());
    return std::runtime_error(message);
}

// The entry is gone: deleted now, or not there any more (nor its interface).
bool gone(DWORD result)
{
    return result == NO_ERROR || result == ERROR_NOT_FOUND || result == ERROR_FILE_NOT_FOUND;
}

// Deletes a system entry; a refusal is tried again a few times. The last result.
template <class Row> DWORD delete_entry(DWORD (*remove)(const Row*), const Row& row)
{
    DWORD result = NO_ERROR;
    for (int attempt = 0; attempt < delete_attempts; ++attempt) {
        if (attempt != 0)
            ::Sleep(delete_retry_pause_ms);
        result = remove(&row);
        if (gone(result))
            break;
    }
    return result;
}

bool all_zero(const std::array<std::uint8_t, 16>& bytes)
{
    return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
}
} // namespace

bool rename_connection(iphelper::adapter_info& record, const char* name)
{
    const std::string path =
        std::string(netaccess::network_connections_key) + record.adapter_name + "\\Connection";
    netaccess::registry_key key;
    LONG result = key.open(HKEY_LOCAL_MACHINE, path.c_str(), KEY_WRITE);
    if (result == ERROR_SUCCESS)
        result = ::RegSetValueExA(key.get(), "Name", 0, REG_SZ, reinterpret_cast<const BYTE*>(name),
                                  static_cast<DWORD>(std::strlen(name) + 1));
    if (result != ERROR_SUCCESS) {
        ::SetLastError(static_cast<DWORD>(result));
        return false;
    }
    const std::string narrow = name;
    record.friendly_name.assign(narrow.begin(), narrow.end());
    return true;
}

void wg_virtnet_adapter::prepare(const std::optional<ipv4_interface_address>& ipv4,
                                 const std::optional<ipv6_interface_address>& ipv6,
                                 const std::vector<ip_address>& dns_servers)
{
    if (!is_open())
        throw failure("[TUN]: Lorrivan virtual adapter driver is not loaded! lasterror: ");
    if (!get_adapter_list(adapter_list_))
        throw failure("[TUN]: Failed to query Lorrivan virtual adapters list! lasterror: ");

    NET_LUID luid{};
    luid.Value = adapter_list_.luid;
    adapter_information_ = iphelper::get_adapter_by_luid(luid);
    if (!adapter_information_)
        throw failure("[TUN]: Failed to obtain Lorrivan virtual adapter info! lasterror: ");

    if (adapter_information_->friendly_name != connection_wide_name &&
        !rename_connection(*adapter_information_, connection_name))
        throw failure("[TUN]: Failed to rename Lorrivan virtual adapter connection! lasterror: ");

    dns_settings_ = std::make_unique<iphelper::adapter_dns_config>(
        std::string(adapter_information_->adapter_name));
    if (!iphelper::assign_dns(*dns_settings_, dns_servers))
        throw failure("[TUN]: Failed to assign DNS to Lorrivan virtual adapter!", false);

    iphelper::reset_adapter_config(*adapter_information_);
    configure_interface(ipv4, ipv6);
    deactivation_pending_ = true;
}

void wg_virtnet_adapter::configure_interface(const std::optional<ipv4_interface_address>& ipv4,
                                             const std::optional<ipv6_interface_address>& ipv6)
{
    if (ipv6 && !all_zero(ipv6->address)) {
        remove_ipv6_address();
        IN6_ADDR address{};
        std::memcpy(&address, ipv6->address.data(), sizeof(address));
        ipv6_address_ = iphelper::create_unicast_address(*adapter_information_, address,
                                                         ipv6->prefix_length);
    }
    if (ipv4 && ipv4->address != 0) {
        remove_ipv4_address();
        ipv4_address_ = iphelper::create_unicast_address(*adapter_information_, ipv4->address,
                                                         ipv4->prefix_length);
    }
    if (!ipv4_address_ && !ipv6_address_)
        throw failure("[TUN]: Failed to assign IP to the Lorrivan virtual adapter! lasterror: ");

    if ((adapter_list_.flags & virtnet::flag_no_activation) != 0)
        return;
    if (!activate_adapter(adapter_list_.adapter_id))
        throw failure("[TUN]: Failed to activate Lorrivan virtual adapter! lasterror: ");
}

wg_virtnet_adapter::~wg_virtnet_adapter()
{
    undo();
    undeleted_routes_.clear();
    adapter_information_.reset();
    dns_settings_.reset();
}

bool wg_virtnet_adapter::undo()
{
    remove_routes();
    bool routes_gone = false;
    {
        std::lock_guard lock(route_lock_);
        routes_gone = undeleted_routes_.empty() && ipv4_routes_.empty() && ipv6_routes_.empty() &&
                      !ipv4_default_route_ && !ipv6_default_route_;
    }

    deactivate();

    remove_ipv4_address();
    remove_ipv6_address();

    if (dns_settings_) {
        const std::string& name = dns_settings_->adapter_name();
        bool gone = true;
        for (const auto stack : {iphelper::ip_stack::ipv4, iphelper::ip_stack::ipv6})
            if (!delete_name_server_value(stack, name))
                gone = false;
        // The settings object deletes both values once more as it goes.
        if (gone)
            dns_settings_.reset();
    }
    return routes_gone && !deactivation_pending_ && !ipv4_address_ && !ipv6_address_ && !dns_settings_;
}

void wg_virtnet_adapter::delete_route_rows(std::vector<route_row>& rows)
{
    for (auto& row : rows) {
        const DWORD result = delete_entry(netaccess::platform::delete_ip_forward_entry2, *row);
        if (result != NO_ERROR)
            ::SetLastError(result);
        if (!gone(result))
            undeleted_routes_.push_back(std::move(row));
    }
    rows.clear();
}

void wg_virtnet_adapter::delete_default_route(route_row& row)
{
    if (!row)
        return;
    ::SetLastError(0);
    const DWORD result = delete_entry(netaccess::platform::delete_ip_forward_entry2, *row);
    if (result != NO_ERROR)
        ::SetLastError(result);
    if (gone(result))
        row.reset();
    else
        undeleted_routes_.push_back(std::move(row));
}

void wg_virtnet_adapter::delete_address(iphelper::unicast_address_row& row)
{
    if (!row)
        return;
    ::SetLastError(0);
    const DWORD result = delete_entry(netaccess::platform::delete_unicast_ip_address_entry, *row);
    ::SetLastError(result);
    // A refused delete keeps the row for the next try.
    if (gone(result))
        row.reset();
}

bool wg_virtnet_adapter::delete_name_server_value(iphelper::ip_stack stack, const std::string& adapter_name)
{
    for (int attempt = 0; attempt < delete_attempts; ++attempt) {
        if (attempt != 0)
            ::Sleep(delete_retry_pause_ms);
        // False also when the value is not there (any more): only a value that is not
        // known to be absent is a refusal.
        if (iphelper::delete_name_server(stack, adapter_name) || iphelper::name_server_absent(stack, adapter_name))
            return true;
    }
    return false;
}

void wg_virtnet_adapter::deactivate()
{
    for (int attempt = 0; deactivation_pending_ && attempt < delete_attempts && is_open(); ++attempt) {
        if (attempt != 0)
            ::Sleep(delete_retry_pause_ms);
        // A device that the driver answers is gone behind this handle (the driver
        // unloaded or restarted, the adapter disabled) has nothing left to deactivate,
        // even when an adapter with the same LUID is back: that one is another device.
        if (deactivate_adapter(adapter_list_.adapter_id) || ::GetLastError() == ERROR_DEVICE_NOT_CONNECTED)
            deactivation_pending_ = false;
    }
    if (deactivation_pending_) {
        // Without the device there is nothing to deactivate through; an adapter removed
        // from the system (its driver unloaded, or another adapter in its place) refuses
        // every try and has nothing left to deactivate.
        NET_LUID luid{};
        luid.Value = adapter_list_.luid;
        if (!is_open() || iphelper::interface_exists(luid) == false)
            deactivation_pending_ = false;
    }
    // The device served the deactivation alone: it is not held any longer than that.
    if (!deactivation_pending_)
        close_device();
}

void wg_virtnet_adapter::remove_routes()
{
    std::lock_guard lock(route_lock_);
    std::vector<route_row> earlier = std::move(undeleted_routes_);
    undeleted_routes_.clear();
    delete_route_rows(earlier);
    delete_route_rows(ipv4_routes_);
    delete_route_rows(ipv6_routes_);
    delete_default_route(ipv6_default_route_);
    delete_default_route(ipv4_default_route_);
}

void wg_virtnet_adapter::remove_ipv4_address()
{
    delete_route_rows(ipv4_routes_);
    delete_address(ipv4_address_);
}

void wg_virtnet_adapter::remove_ipv6_address()
{
    delete_route_rows(ipv6_routes_);
    delete_address(ipv6_address_);
}
} // namespace wireguard
