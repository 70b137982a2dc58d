// The exported functions: two families of ten, each working on its family's manager,
// whose address is the family's handle. They check the handle, convert the arguments,
// forward to the manager and turn the outcome into a boolean or a record. Nothing is
// ever thrown out of them.
//
// A handle is accepted only when it is the address of the family's own manager and the
// family is initialised; anything else (null, a handle of the other family, any other
// pointer) gets the function's failure value without a line and without being
// dereferenced.
#include <string>
#include <utility>

#include "tundrel.h"
#include "tunnel_records.h"
#include "wg_dual_tunnel.h"
#include "wg_tunnel.h"
#include "wireguard_manager.h"

namespace
{
using tdl_manager = wireguard::wireguard_manager<wireguard::wg_tunnel>;
using tdlp_manager = wireguard::wireguard_manager<wireguard::wg_dual_tunnel>;

template <class Manager>
void* get_handle(log_callback callback, std::uint32_t level, bool capture) noexcept
{
    try {
        static Manager* const handle = &Manager::get_instance(callback, level, capture);
        return handle;
    } catch (...) {
        return nullptr;
    }
}

// Runs the operation on the handle's manager; the failure value when the handle is not
// the family's or when anything is thrown.
template <class Manager, class Result, class Operation>
Result on_manager(void* handle, Result failure, Operation&& operation) noexcept
{
    try {
        if (Manager* manager = Manager::from_handle(handle))
            return std::forward<Operation>(operation)(*manager);
    } catch (...) {
    }
    return failure;
}

template <class Manager>
void set_log_level(void* handle, std::int32_t level) noexcept
{
    try {
        if (Manager* manager = Manager::from_handle(handle))
            manager->set_log_level(level);
    } catch (...) {
    }
}

template <class Manager>
bool create_tunnel(void* handle, const wg_interface_params* interface_params, const wg_peer_params* peer_params,
                   const wg_extra_params* extra_params) noexcept
{
    return on_manager<Manager>(handle, false, [&](Manager& manager) {
        std::optional<wireguard::wg_config> config =
            wireguard::config_from_records(interface_params, peer_params, extra_params);
        return config && manager.create_tunnel(std::move(*config));
    });
}

template <class Manager, class Char>
bool create_tunnel_from_file(void* handle, const Char* path) noexcept
{
    return on_manager<Manager>(handle, false, [&](Manager& manager) {
        return path != nullptr && manager.create_tunnel_from_file(std::basic_string<Char>(path));
    });
}

template <class Manager>
bool drop_tunnel(void* handle) noexcept
{
    return on_manager<Manager>(handle, false, [](Manager& manager) { return manager.drop_tunnel(); });
}

template <class Manager>
bool start_tunnel(void* handle) noexcept
{
    return on_manager<Manager>(handle, false, [](Manager& manager) { return manager.start_tunnel(); });
}

template <class Manager>
bool stop_tunnel(void* handle) noexcept
{
    return on_manager<Manager>(handle, false, [](Manager& manager) { return manager.stop_tunnel(); });
}

template <class Manager>
tunnel_state get_tunnel_state(void* handle) noexcept
{
    return on_manager<Manager>(handle, tunnel_state{}, [](Manager& manager) { return manager.get_tunnel_state(); });
}

template <class Manager>
bool get_tunnel_active(void* handle) noexcept
{
    return on_manager<Manager>(handle, false, [](Manager& manager) { return manager.get_tunnel_active(); });
}
} // namespace

// ---- tdl_: the single-adapter tunnel ------------------------------------------------------

TUNDREL_API void* tdl_get_handle(log_callback callback, std::uint32_t level, bool capture)
{
    return get_handle<tdl_manager>(callback, level, capture);
}

TUNDREL_API void tdl_set_log_level(void* handle, std::int32_t level)
{
    set_log_level<tdl_manager>(handle, level);
}

TUNDREL_API bool tdl_create_tunnel(void* handle, const wg_interface_params* interface_params,
                                   const wg_peer_params* peer_params, const wg_extra_params* extra_params)
{
    return create_tunnel<tdl_manager>(handle, interface_params, peer_params, extra_params);
}

TUNDREL_API bool tdl_create_tunnel_from_file(void* handle, const char* path)
{
    return create_tunnel_from_file<tdl_manager>(handle, path);
}

TUNDREL_API bool tdl_create_tunnel_from_file_w(void* handle, const wchar_t* path)
{
    return create_tunnel_from_file<tdl_manager>(handle, path);
}

TUNDREL_API bool tdl_drop_tunnel(void* handle)
{
    return drop_tunnel<tdl_manager>(handle);
}

TUNDREL_API bool tdl_start_tunnel(void* handle)
{
    return start_tunnel<tdl_manager>(handle);
}

TUNDREL_API bool tdl_stop_tunnel(void* handle)
{
    return stop_tunnel<tdl_manager>(handle);
}

TUNDREL_API tunnel_state tdl_get_tunnel_state(void* handle)
{
    return get_tunnel_state<tdl_manager>(handle);
}

TUNDREL_API bool tdl_get_tunnel_active(void* handle)
{
    return get_tunnel_active<tdl_manager>(handle);
}

// ---- tdlp_: the dual tunnel -----------------------------------------------------------------

TUNDREL_API void* tdlp_get_handle(log_callback callback, std::uint32_t level, bool capture)
{
    return get_handle<tdlp_manager>(callback, level, capture);
}

TUNDREL_API void tdlp_set_log_level(void* handle, std::int32_t level)
{
    set_log_level<tdlp_manager>(handle, level);
}

TUNDREL_API bool tdlp_create_tunnel(void* handle, const wg_interface_params* interface_params,
                                    const wg_peer_params* peer_params, const wg_extra_params* extra_params)
{
    return create_tunnel<tdlp_manager>(handle, interface_params, peer_params, extra_params);
}

TUNDREL_API bool tdlp_create_tunnel_from_file(void* handle, const char* path)
{
    return create_tunnel_from_file<tdlp_manager>(handle, path);
}

TUNDREL_API bool tdlp_create_tunnel_from_file_w(void* handle, const wchar_t* path)
{
    return create_tunnel_from_file<tdlp_manager>(handle, path);
}

TUNDREL_API bool tdlp_drop_tunnel(void* handle)
{
    return drop_tunnel<tdlp_manager>(handle);
}

TUNDREL_API bool tdlp_start_tunnel(void* handle)
{
    return start_tunnel<tdlp_manager>(handle);
}

TUNDREL_API bool tdlp_stop_tunnel(void* handle)
{
    return stop_tunnel<tdlp_manager>(handle);
}

TUNDREL_API tunnel_state tdlp_get_tunnel_state(void* handle)
{
    return get_tunnel_state<tdlp_manager>(handle);
}

TUNDREL_API bool tdlp_get_tunnel_active(void* handle)
{
    return get_tunnel_active<tdlp_manager>(handle);
}
