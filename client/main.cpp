// lorrivan-client: the console program and Windows service of the VPN client.
#include "command_line.h"
#include "tundrel.h"

namespace
{
// The tunnel library's two families, imported by name.
const tunnel_family single_adapter_family{
    &tdl_get_handle, &tdl_create_tunnel_from_file_w, &tdl_start_tunnel,
    &tdl_stop_tunnel, &tdl_drop_tunnel,             &tdl_get_tunnel_active,
};
const tunnel_family dual_adapter_family{
    &tdlp_get_handle, &tdlp_create_tunnel_from_file_w, &tdlp_start_tunnel,
    &tdlp_stop_tunnel, &tdlp_drop_tunnel,             &tdlp_get_tunnel_active,
};
} // namespace

int wmain(int argc, wchar_t** argv)
{
    return client_main(argc, argv, single_adapter_family, dual_adapter_family);
}
