#pragma once
// The six functions of one family of the tunnel library's exports that the tunnel
// worker calls. The program fills one table with the tdl_ imports and one with the
// tdlp_ imports; the worker is written once and drives whichever table it is given.
#include "tundrel.h"

#include <cstdint>

struct tunnel_family {
    void* (*get_handle)(log_callback callback, std::uint32_t level, bool capture);
    bool (*create_tunnel_from_file_w)(void* handle, const wchar_t* path);
    bool (*start_tunnel)(void* handle);
    bool (*stop_tunnel)(void* handle);
    bool (*drop_tunnel)(void* handle);
    bool (*get_tunnel_active)(void* handle);
};
