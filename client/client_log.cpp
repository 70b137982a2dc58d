#include "client_log.h"

#include "text.h"
#include "win32.h"
#include <shlobj.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>

std::atomic<bool> running_as_service{false};

namespace
{
constexpr const char* log_folder = "\\Brennick\\Lorrivan VPN Client\\";
constexpr const char* log_file = "lorrivan-vpn-client.log";

std::mutex& log_mutex()
{
    static std::mutex mutex;
    return mutex;
}

// Opened on the first line of service mode, closed when the process ends.
std::ofstream service_log;
bool service_log_opened = false;
} // namespace

std::string log_timestamp()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (::localtime_s(&local, &now) != 0)
        return {};
    char text[64];
    const std::size_t size = std::strftime(text, sizeof text, "%Y-%m-%d %X", &local);
    return std::string(text, size);
}

std::string log_file_name()
{
    char folder[MAX_PATH] = {};
    if (FAILED(::SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder)))
        return log_file;
    return std::string(folder) + log_folder + log_file;
}

void log_message(const char* text)
{
    std::lock_guard lock(log_mutex());
    if (!running_as_service) {
        console_write_utf8(log_timestamp() + ' ' + text + '\n');
        return;
    }
    if (!service_log_opened) {
        service_log_opened = true;
        // The folder and its parents are created first (nothing else does it, not even
        // the installer); when that fails the open fails too and the service writes no
        // log. An existing log is emptied at each start of the service process.
        const std::string name = log_file_name();
        const std::size_t folder_end = name.find_last_of('\\');
        if (folder_end != std::string::npos) {
            std::error_code ignored;
            std::filesystem::create_directories(
                std::filesystem::path(from_file_system_code_page(name.substr(0, folder_end))), ignored);
        }
        service_log.open(name, std::ios::out | std::ios::trunc);
    }
    if (service_log.is_open())
        service_log << log_timestamp() << ' ' << text << std::endl;
}
