// The registry side of CRimCap: connection names and adapter components.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "registry_key.h"
#include "rimcap.h"
#include "wan_adapters.h"

namespace
{
using netaccess::registry_key;

constexpr const char* adapter_class_key =
    "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}";
constexpr std::size_t key_path_size = 520;
constexpr std::size_t device_prefix_length = 8; // "\DEVICE\"
constexpr DWORD class_value_size = 260;

// Reads a narrow value of at most capacity bytes into buffer (capacity + 1 bytes) and
// terminates it, whether or not the stored value carries a terminator.
bool read_terminated_value(HKEY key, const char* value, char* buffer, DWORD capacity)
{
    DWORD size = capacity;
    if (::RegQueryValueExA(key, value, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size) !=
        ERROR_SUCCESS)
        return false;
    buffer[std::min(size, capacity)] = '\0';
    return true;
}
} // namespace

bool CRimCap::get_connection_name(const char* internal_name, char* buffer,
                                  std::uint32_t buffer_size)
{
    if (internal_name == nullptr || buffer == nullptr || buffer_size == 0)
        return false;

    if (const char* wan_name = rimcap::wan_connection_name(internal_name)) {
        const std::size_t length = std::min<std::size_t>(std::strlen(wan_name), buffer_size - 1);
        std::memcpy(buffer, wan_name, length);
        buffer[length] = '\0';
        return true;
    }

    const std::size_t name_length = std::strlen(internal_name);
    const char* guid_part = internal_name + std::min(name_length, device_prefix_length);
    char path[key_path_size];
    const int written = std::snprintf(path, sizeof(path), "%s%s\\Connection",
                                      netaccess::network_connections_key, guid_part);
    if (written < 0 || static_cast<std::size_t>(written) >= sizeof(path))
        return false;

    registry_key key;
    if (key.open(HKEY_LOCAL_MACHINE, path) != ERROR_SUCCESS)
        return false;

    // Read into a buffer of our own so that a failed read leaves the caller's as it
    // was, and terminate what was read: the value need not carry a terminator.
    std::vector<char> value(static_cast<std::size_t>(buffer_size) + 1, '\0');
    if (!read_terminated_value(key.get(), "Name", value.data(), buffer_size))
        return false;
    const std::size_t length = std::min<std::size_t>(std::strlen(value.data()), buffer_size - 1);
    std::memcpy(buffer, value.data(), length);
    buffer[length] = '\0';
    return true;
}

bool CRimCap::is_adapter_of_component(const char* internal_name, const char* component_id)
{
    if (internal_name == nullptr || component_id == nullptr)
        return false;

    registry_key adapter_class;
    if (adapter_class.open(HKEY_LOCAL_MACHINE, adapter_class_key) != ERROR_SUCCESS)
        return false;

    for (DWORD index = 0;; ++index) {
        wchar_t subkey_name[256];
        DWORD subkey_name_size = static_cast<DWORD>(std::size(subkey_name));
        const LONG result = ::RegEnumKeyExW(adapter_class.get(), index, subkey_name,
                                            &subkey_name_size, nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_NO_MORE_ITEMS)
            return false;
        if (result != ERROR_SUCCESS)
            continue;

        registry_key adapter;
        if (adapter.open(adapter_class.get(), subkey_name) != ERROR_SUCCESS)
            continue;
        char component[class_value_size + 1];
        if (!read_terminated_value(adapter.get(), "ComponentId", component, class_value_size))
            continue;
        if (::_stricmp(component, component_id) != 0)
            continue;

        registry_key linkage;
        if (linkage.open(adapter.get(), "Linkage") != ERROR_SUCCESS)
            continue;
        // Export is a multi-string; the read stops at its first string.
        char exported[class_value_size + 1];
        if (!read_terminated_value(linkage.get(), "Export", exported, class_value_size))
            continue;
        if (::_stricmp(exported, internal_name) == 0)
            return true;
    }
}
