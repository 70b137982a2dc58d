// A stand-in tundrel.dll for the console-stop test of the real program: the twelve
// functions that the client imports, with a tunnel that is created, starts, stays
// active and stops; the creation from a file whose name holds "failing" fails after
// two seconds. Each call writes a tagged line through the log callback.
#define TUNDREL_BUILDING
#include "tundrel.h"

#include <chrono>
#include <cwchar>
#include <string>
#include <thread>

namespace
{
log_callback sink = nullptr;
int family_handle[2];

bool report(const char* call, bool result)
{
    if (sink)
        sink((std::string("[FAKE]: ") + call).c_str());
    return result;
}

bool create(const char* call, const wchar_t* path)
{
    report(call, true);
    if (path == nullptr || std::wcsstr(path, L"failing") == nullptr)
        return true;
    std::this_thread::sleep_for(std::chrono::seconds(2));
    return false;
}
} // namespace

TUNDREL_API void* tdl_get_handle(log_callback callback, std::uint32_t, bool)
{
    sink = callback;
    report("tdl_get_handle", true);
    return &family_handle[0];
}
TUNDREL_API bool tdl_create_tunnel_from_file_w(void*, const wchar_t* path) { return create("tdl_create_tunnel_from_file_w", path); }
TUNDREL_API bool tdl_start_tunnel(void*) { return report("tdl_start_tunnel", true); }
TUNDREL_API bool tdl_stop_tunnel(void*) { return report("tdl_stop_tunnel", true); }
TUNDREL_API bool tdl_drop_tunnel(void*) { return report("tdl_drop_tunnel", true); }
TUNDREL_API bool tdl_get_tunnel_active(void*) { return true; }

TUNDREL_API void* tdlp_get_handle(log_callback callback, std::uint32_t, bool)
{
    sink = callback;
    report("tdlp_get_handle", true);
    return &family_handle[1];
}
TUNDREL_API bool tdlp_create_tunnel_from_file_w(void*, const wchar_t* path) { return create("tdlp_create_tunnel_from_file_w", path); }
TUNDREL_API bool tdlp_start_tunnel(void*) { return report("tdlp_start_tunnel", true); }
TUNDREL_API bool tdlp_stop_tunnel(void*) { return report("tdlp_stop_tunnel", true); }
TUNDREL_API bool tdlp_drop_tunnel(void*) { return report("tdlp_drop_tunnel", true); }
TUNDREL_API bool tdlp_get_tunnel_active(void*) { return true; }
