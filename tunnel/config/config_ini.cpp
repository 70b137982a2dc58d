#include "config_ini.h"

#include <filesystem>
#include <string_view>

namespace wireguard
{
namespace
{
constexpr std::string_view white_space = " \t\n\v\f\r";
constexpr std::string_view utf8_byte_order_mark = "\xEF\xBB\xBF";

std::string_view trim_left(std::string_view text)
{
    const std::size_t first = text.find_first_not_of(white_space);
    return first == std::string_view::npos ? std::string_view() : text.substr(first);
}

std::string_view trim_right(std::string_view text)
{
    const std::size_t last = text.find_last_not_of(white_space);
    return last == std::string_view::npos ? std::string_view() : text.substr(0, last + 1);
}
} // namespace

config_ini config_ini::load_config_file(const std::string& path, log_callback callback,
                                        std::uint32_t level)
{
    return config_ini(path, callback, level);
}

config_ini config_ini::load_config_file_w(const std::wstring& path, log_callback callback,
                                          std::uint32_t level)
{
    return config_ini(path, callback, level);
}

config_ini::config_ini(const std::string& path, log_callback callback, std::uint32_t level)
    : logger(callback), log_level(level)
{
    file.open(path, std::ios::in);
    read_ini();
}

config_ini::config_ini(const std::wstring& path, log_callback callback, std::uint32_t level)
    : logger(callback), log_level(level)
{
    // Opened as a wide path (on Windows the path object holds the UTF-16 text itself),
    // so a name outside the system code page works.
    file.open(std::filesystem::path(path), std::ios::in);
    read_ini();
}

void config_ini::log(const char* message) const
{
    if (log_level >= 2 && logger)
        logger(message);
}

void config_ini::read_ini()
{
    if (!file.is_open()) {
        log("failed to open the configuration file!");
        return;
    }

    std::string current_section;
    std::string raw;
    bool first_line = true;
    while (std::getline(file, raw)) {
        std::string_view line = raw;
        // Windows editors often start a UTF-8 file with a byte order mark.
        if (first_line && line.substr(0, utf8_byte_order_mark.size()) == utf8_byte_order_mark)
            line.remove_prefix(utf8_byte_order_mark.size());
        first_line = false;

        line = trim_right(trim_left(line));
        if (line.empty() || line.front() == ';')
            continue;

        if (line.front() == '[') {
            // The name between the brackets is taken as written, blanks included.
            if (line.size() >= 2 && line.back() == ']')
                current_section = std::string(line.substr(1, line.size() - 2));
            continue;
        }

        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos || equals == 0)
            continue;
        const std::string key(trim_right(line.substr(0, equals)));
        const std::string value(trim_left(line.substr(equals + 1)));
        // The first value of a key wins; later ones are ignored.
        sections[current_section].try_emplace(key, value);
    }
}
} // namespace wireguard
