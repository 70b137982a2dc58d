// The exported functions. The tunnel manager is not part of this build yet: every
// family hands out its handle, and every operation reports failure.
#include "tundrel.h"

namespace
{
int tdl_family;
int tdlp_family;
} // namespace

TUNDREL_API void* tdl_get_handle(log_callback, std::uint32_t, bool) { return &tdl_family; }
TUNDREL_API void tdl_set_log_level(void*, std::int32_t) {}
TUNDREL_API bool tdl_create_tunnel(void*, const wg_interface_params*, const wg_peer_params*, const wg_extra_params*) { return false; }
TUNDREL_API bool tdl_create_tunnel_from_file(void*, const char*) { return false; }
TUNDREL_API bool tdl_create_tunnel_from_file_w(void*, const wchar_t*) { return false; }
TUNDREL_API bool tdl_drop_tunnel(void*) { return false; }
TUNDREL_API bool tdl_start_tunnel(void*) { return false; }
TUNDREL_API bool tdl_stop_tunnel(void*) { return false; }
TUNDREL_API tunnel_state tdl_get_tunnel_state(void*) { return {}; }
TUNDREL_API bool tdl_get_tunnel_active(void*) { return false; }

TUNDREL_API void* tdlp_get_handle(log_callback, std::uint32_t, bool) { return &tdlp_family; }
TUNDREL_API void tdlp_set_log_level(void*, std::int32_t) {}
TUNDREL_API bool tdlp_create_tunnel(void*, const wg_interface_params*, const wg_peer_params*, const wg_extra_params*) { return false; }
TUNDREL_API bool tdlp_create_tunnel_from_file(void*, const char*) { return false; }
TUNDREL_API bool tdlp_create_tunnel_from_file_w(void*, const wchar_t*) { return false; }
TUNDREL_API bool tdlp_drop_tunnel(void*) { return false; }
TUNDREL_API bool tdlp_start_tunnel(void*) { return false; }
TUNDREL_API bool tdlp_stop_tunnel(void*) { return false; }
TUNDREL_API tunnel_state tdlp_get_tunnel_state(void*) { return {}; }
TUNDREL_API bool tdlp_get_tunnel_active(void*) { return false; }
