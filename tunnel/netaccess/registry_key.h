#pragma once
// An open registry key, closed when it goes, and the registry locations of the network
// configuration that the library reads and writes (all under HKEY_LOCAL_MACHINE).
#include "win32.h"

namespace netaccess
{
// The network adapters' connection keys: this, then the interface GUID text in braces,
// then "\Connection" (whose "Name" is the connection's friendly name).
inline constexpr const char* network_connections_key =
    "SYSTEM\\CurrentControlSet\\Control\\Network\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\";

class registry_key
{
public:
    registry_key() = default;
    ~registry_key()
    {
        if (key_ != nullptr)
            ::RegCloseKey(key_);
    }
    registry_key(const registry_key&) = delete;
    registry_key& operator=(const registry_key&) = delete;

    // RegOpenKeyEx; its result (ERROR_SUCCESS when the key opened).
    LONG open(HKEY parent, const char* path, REGSAM access = KEY_READ)
    {
        return ::RegOpenKeyExA(parent, path, 0, access, &key_);
    }
    LONG open(HKEY parent, const wchar_t* path, REGSAM access = KEY_READ)
    {
        return ::RegOpenKeyExW(parent, path, 0, access, &key_);
    }
    HKEY get() const noexcept { return key_; }

private:
    HKEY key_ = nullptr;
};
} // namespace netaccess
