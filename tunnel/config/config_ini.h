#pragma once
// Reader of the WireGuard client configuration file: an INI text with the sections
// [Interface] and [Peer]. The whole file is read into a table of sections and keys when
// the object is built; the reader knows no key (parse_config turns the table into the
// configuration record).
#include <cstdint>
#include <fstream>
#include <functional>
#include <map>
#include <string>

#include "log_callback.h"

namespace wireguard
{
class config_ini
{
public:
    // Keys and section names compare byte by byte (case-sensitive).
    using key_map = std::map<std::string, std::string>;
    using section_map = std::map<std::string, key_map>;

    // Reads the file at a narrow path (system code page) or a wide path (opened as a
    // wide path). A file that cannot be opened leaves the table empty and logs
    // "failed to open the configuration file!"; nothing throws for it.
    static config_ini load_config_file(const std::string& path, log_callback callback,
                                       std::uint32_t level);
    static config_ini load_config_file_w(const std::wstring& path, log_callback callback,
                                         std::uint32_t level);

    config_ini(const config_ini&) = delete;
    config_ini& operator=(const config_ini&) = delete;

    // Hands the message to the logger when the level is 2 (information) or more.
    void log(const char* message) const;

    // Section name -> key -> value. A section exists only when a key was stored under
    // it; each key holds the value of its first occurrence in the file. Keys before the
    // first header are kept under the empty section name.
    section_map sections;

private:
    config_ini(const std::string& path, log_callback callback, std::uint32_t level);
    config_ini(const std::wstring& path, log_callback callback, std::uint32_t level);
    void read_ini();

    std::ifstream file;
    std::function<void(const char*)> logger;
    std::uint32_t log_level;
};
} // namespace wireguard
