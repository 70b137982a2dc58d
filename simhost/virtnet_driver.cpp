#include "virtnet_driver.h"

#include <algorithm>
#include <cstring>
#include <cwctype>
#include <utility>
#include <stdexcept>

#include "host_network.h"

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

template <class T> T read_at(const void* base, std::size_t offset)
{
    T value{};
    std::memcpy(&value, static_cast<const std::uint8_t*>(base) + offset, sizeof(T));
    return value;
}

template <class T> void store(void* base, std::size_t offset, T value)
{
    std::memcpy(static_cast<std::uint8_t*>(base) + offset, &value, sizeof(T));
}

void create_key(const std::string& path)
{
    HKEY key = nullptr;
    if (::RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                          nullptr) != ERROR_SUCCESS)
        throw std::runtime_error("simhost: cannot create the registry key " + path);
    ::RegCloseKey(key);
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

void create_keys(const virtnet_options& options)
{
    if (!options.connection_name.empty()) {
        const std::string path = connection_key_path(options.guid);
        create_key(path);
        HKEY key = nullptr;
        ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_WRITE, &key);
        const LONG set = ::RegSetValueExA(key, "Name", 0, REG_SZ,
                                          reinterpret_cast<const BYTE*>(options.connection_name.c_str()),
                                          static_cast<DWORD>(options.connection_name.size() + 1));
        ::RegCloseKey(key);
        if (set != ERROR_SUCCESS)
            throw std::runtime_error("simhost: cannot set the connection name");
    }
    if (options.interface_keys) {
        create_key(tcpip_interfaces + options.guid);
        create_key(tcpip6_interfaces + options.guid);
    }
}

bool is_lorrivan(const wchar_t* path)
{
    static constexpr wchar_t name[] = L"\\\\.\\LORRIVAN";
    if (path == nullptr)
        return false;
    std::size_t i = 0;
    for (; name[i] != L'\0'; ++i)
        if (std::towupper(path[i]) != name[i])
            return false;
    return path[i] == L'\0';
}

std::string size_text(const char* what, DWORD size, DWORD expected)
{
    return std::string(what) + " length " + std::to_string(size) + ", expected " + std::to_string(expected);
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
    open_devices_.clear();
    statistics_.clear();
    call_counts_.clear();
    errors_.clear();
    failures_.clear();
}

adapter virtnet_driver::load(virtnet_options options)
{
    {
        std::lock_guard lock(mutex_);
        if (adapter_)
            throw std::logic_error("simhost: the virtual adapter driver is loaded already");
    }
    if (options.guid.empty())
        options.guid = host::random_guid();
    adapter_spec spec;
    spec.guid = options.guid;
    spec.on_wire = false;
    spec.ip.physical_medium = 0; // a virtual interface
    spec.ip.hardware_interface = false;
    spec.ip.metric = virtual_adapter_metric; // below a physical adapter's, as a tunnel adapter's is
    spec.ip.description = L"Lorrivan Virtual Adapter";
    spec.ip.friendly_name = options.friendly_name;
    spec.ip.name_from_connection_key = true;
    spec.ip.oper_status = (options.flags & flag_no_activation) != 0 ? IfOperStatusUp : IfOperStatusDown;
    adapter added;
    try {
        create_keys(options);
        added = host::instance().add_adapter(spec);
    } catch (...) {
        delete_keys(options.guid);
        throw;
    }
    std::lock_guard lock(mutex_);
    adapter_ = added;
    options_ = std::move(options);
    activated_ = false;
    return added;
}

void virtnet_driver::unload()
{
    std::optional<adapter> removed;
    {
        std::lock_guard lock(mutex_);
        removed = std::exchange(adapter_, std::nullopt);
        activated_ = false;
    }
    if (!removed)
        return;
    host::instance().remove_adapter(removed->guid);
    delete_keys(removed->guid);
}

std::optional<adapter> virtnet_driver::loaded_adapter() const
{
    std::lock_guard lock(mutex_);
    return adapter_;
}

void virtnet_driver::show_status() const
{
    if (!adapter_)
        return;
    const bool up = activated_ || (options_.flags & flag_no_activation) != 0;
    host_network::instance().set_oper_status(adapter_->guid, up ? IfOperStatusUp : IfOperStatusDown);
}

void virtnet_driver::set_flags(std::uint8_t flags)
{
    std::lock_guard lock(mutex_);
    options_.flags = flags;
    show_status();
}

void virtnet_driver::fail_next(DWORD code, DWORD error, unsigned times)
{
    std::lock_guard lock(mutex_);
    failures_[code] = {error, times};
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

std::size_t virtnet_driver::open_device_count() const
{
    std::lock_guard lock(mutex_);
    return open_devices_.size();
}

// ---- the device -------------------------------------------------------------------

bool virtnet_driver::is_device_path(const wchar_t* path)
{
    return is_lorrivan(path);
}

HANDLE virtnet_driver::open(const wchar_t* path)
{
    std::lock_guard lock(mutex_);
    if (!adapter_ || !is_lorrivan(path)) {
        ::SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    // Values no real handle of this process takes, nor one of the packet filter driver.
    HANDLE device = reinterpret_cast<HANDLE>(0x4C560000u + 4 * ++next_device_);
    open_devices_.push_back(device);
    return device;
}

bool virtnet_driver::owns(HANDLE device) const
{
    std::lock_guard lock(mutex_);
    return std::find(open_devices_.begin(), open_devices_.end(), device) != open_devices_.end();
}

BOOL virtnet_driver::close(HANDLE device)
{
    std::lock_guard lock(mutex_);
    auto found = std::find(open_devices_.begin(), open_devices_.end(), device);
    if (found == open_devices_.end()) {
        errors_.push_back("close of a handle that is not an open device");
        ::SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    open_devices_.erase(found);
    return TRUE;
}

BOOL virtnet_driver::io_control(HANDLE device, DWORD code, void* in, DWORD in_size, void* out,
                                DWORD out_size, DWORD* bytes_returned, OVERLAPPED* overlapped)
{
    DWORD error = NO_ERROR;
    DWORD returned = 0;
    {
        std::lock_guard lock(mutex_);
        ++call_counts_[code];
        auto broken = [&](DWORD code_of_error, std::string text) {
            errors_.push_back(std::move(text));
            return code_of_error;
        };
        if (std::find(open_devices_.begin(), open_devices_.end(), device) == open_devices_.end())
            error = broken(ERROR_INVALID_HANDLE, "I/O control on a handle that is not an open device");
        else if (overlapped == nullptr)
            error = broken(ERROR_INVALID_PARAMETER, "no OVERLAPPED record for the overlapped device");
        else if ((in_size != 0 && in == nullptr) || (out_size != 0 && out == nullptr))
            error = broken(ERROR_INVALID_PARAMETER, "null buffer with a non-zero length");
        else if (!adapter_)
            error = ERROR_DEVICE_NOT_CONNECTED; // unloaded while the handle was open
        else
            error = handle_call(code, in, in_size, out, out_size, returned);
    }
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
    if (in_size != expected_in)
        return broken(size_text("input", in_size, expected_in));
    if (out_size != expected_out)
        return broken(size_text("output", out_size, expected_out));
    if (code != code_get_adapter_list && read_at<std::uint32_t>(in, 0) != options_.adapter_id)
        return broken("unknown adapter id " + std::to_string(read_at<std::uint32_t>(in, 0)));

    if (auto failure = failures_.find(code); failure != failures_.end() && failure->second.second != 0) {
        const DWORD error = failure->second.first;
        if (--failure->second.second == 0)
            failures_.erase(failure);
        return error;
    }

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
    case code_deactivate:
        activated_ = code == code_activate;
        show_status();
        break;
    case code_statistics: {
        virtnet_statistics_record r;
        r.adapter_id = read_at<std::uint32_t>(in, 0);
        r.received_bytes = read_at<std::uint64_t>(in, 4);
        r.received_packets = read_at<std::uint64_t>(in, 12);
        r.sent_bytes = read_at<std::uint64_t>(in, 20);
        r.sent_packets = read_at<std::uint64_t>(in, 28);
        statistics_.push_back(r);
        break;
    }
    }
    return NO_ERROR;
}
} // namespace simhost
