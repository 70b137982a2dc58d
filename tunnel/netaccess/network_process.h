#pragma once
// The process that owns a TCP connection or a UDP socket, as the socket-owner tables
// report it. Always held by std::shared_ptr: the owner caches and their callers share
// one object per owner and table refresh.
#include <cstdint>
#include <memory>
#include <string>

namespace iphelper
{
struct network_process {
    network_process(std::uint32_t id, std::wstring module_name, std::wstring module_path) noexcept
        : process_id(id), name(std::move(module_name)), path(std::move(module_path))
    {
    }

    std::uint32_t process_id;
    std::wstring name; // the owner module's name as reported, not case-folded
    std::wstring path; // the owner module's full path as reported
};

// One allocation for the process and its reference count.
inline std::shared_ptr<network_process> make_network_process(std::uint32_t id, std::wstring name,
                                                             std::wstring path)
{
    return std::make_shared<network_process>(id, std::move(name), std::move(path));
}
} // namespace iphelper
