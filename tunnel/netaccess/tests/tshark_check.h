#pragma once
// Runs tshark (Debian) over a capture file and reports what it found. Under Wine the
// test program starts tshark as a Linux process through /bin/sh and reads its output
// from a file, since Wine does not hand back a Linux child's exit code.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#ifdef _WIN32
#include "win32.h"
#endif

namespace testpkt
{
#ifdef _WIN32
// The Linux path of a Windows path, through Wine's own conversion; empty outside Wine.
inline std::string unix_path(const std::filesystem::path& p)
{
    using convert_fn = char*(__cdecl*)(const wchar_t*);
    const auto convert = reinterpret_cast<convert_fn>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    if (!convert)
        return {};
    char* u = convert(std::filesystem::absolute(p).wstring().c_str());
    if (!u)
        return {};
    std::string s(u);
    ::HeapFree(::GetProcessHeap(), 0, u);
    return s;
}

// Runs a shell command line as a Linux process and waits for it. Wine neither waits
// for a Linux child nor reports its exit code, so the command leaves a marker file
// when it is done and this polls for it (at most a minute).
inline bool run_shell(const std::string& command)
{
    const std::filesystem::path marker =
        std::filesystem::temp_directory_path() / ("lorrivan-shell-" + std::to_string(::GetCurrentProcessId()) + "-" +
                                                  std::to_string(::GetTickCount64()) + ".done");
    const std::string marker_unix = unix_path(marker);
    if (marker_unix.empty())
        return false;
    std::string line = "Z:\\bin\\sh -c \"" + command + " ; echo $? > '" + marker_unix + "'\"";
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!::CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return false;
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
    for (int i = 0; i < 6000; ++i) {
        std::error_code ec;
        if (std::filesystem::exists(marker, ec) && std::filesystem::file_size(marker, ec) > 0) {
            std::filesystem::remove(marker, ec);
            return true;
        }
        ::Sleep(10);
    }
    return false;
}
#else
inline std::string unix_path(const std::filesystem::path& p)
{
    return std::filesystem::absolute(p).string();
}

inline bool run_shell(const std::string& command)
{
    return std::system(command.c_str()) != -1;
}
#endif

// Per packet of the file, tab-separated: frame number, malformed marker, highest
// expert severity, and the status of the IPv4, UDP, TCP, ICMP and ICMPv6 checksums
// (1 good, 0 bad, empty when not there). Nothing when tshark cannot be run.
inline std::optional<std::vector<std::string>> tshark_packet_lines(const std::filesystem::path& capture)
{
    const std::string in = unix_path(capture);
    if (in.empty())
        return std::nullopt;
    const std::filesystem::path out_file = capture.string() + ".tshark.txt";
    const std::string out = unix_path(out_file);
    std::filesystem::remove(out_file);
    const std::string command =
        "command -v tshark >/dev/null && tshark -n -r '" + in +
        "' -o ip.check_checksum:TRUE -o udp.check_checksum:TRUE -o tcp.check_checksum:TRUE"
        " -T fields -E separator=/t -e frame.number -e _ws.malformed -e _ws.expert.severity"
        " -e ip.checksum.status -e udp.checksum.status -e tcp.checksum.status"
        " -e icmp.checksum.status -e icmpv6.checksum.status > '" +
        out + "' 2>/dev/null";
    if (!run_shell(command))
        return std::nullopt;
    std::ifstream f(out_file);
    if (!f)
        return std::nullopt;
    std::vector<std::string> lines;
    for (std::string line; std::getline(f, line);)
        if (!line.empty())
            lines.push_back(line);
    f.close();
    std::filesystem::remove(out_file);
    return lines;
}

// The tab-separated fields of one of tshark_packet_lines' lines, as they stand.
inline std::vector<std::string> tshark_fields(const std::string& line)
{
    std::vector<std::string> fields;
    std::size_t from = 0;
    for (std::size_t tab; (tab = line.find('\t', from)) != std::string::npos; from = tab + 1)
        fields.push_back(line.substr(from, tab - from));
    fields.push_back(line.substr(from));
    return fields;
}

// What is wrong with the packets of tshark_packet_lines, one text per finding (empty
// when nothing is): a line without its eight fields, a malformed packet, an error, a bad
// checksum, and a checksum that tshark did not verify. A field lists a packet's own
// status first, then those of a quoted packet (inside an ICMP error), which tshark
// cannot always verify: with `quotes_verified` false those may stay unverified, though
// never bad.
inline std::vector<std::string> tshark_problems(const std::vector<std::string>& lines, bool quotes_verified = true)
{
    std::vector<std::string> problems;
    for (const std::string& line : lines) {
        const std::vector<std::string> fields = tshark_fields(line);
        if (fields.size() != 8) {
            problems.push_back("not eight fields: " + line);
            continue;
        }
        if (!fields[1].empty())
            problems.push_back("malformed: " + line);
        if (fields[2].find("8388608") != std::string::npos)
            problems.push_back("error: " + line);
        for (std::size_t i = 3; i < 8; ++i) {
            for (std::size_t s = 0; !fields[i].empty() && s <= fields[i].size();) {
                const std::size_t comma = std::min(fields[i].find(',', s), fields[i].size());
                const std::string status = fields[i].substr(s, comma - s);
                if (status == "0")
                    problems.push_back("bad checksum: " + line);
                else if (status != "1" && (s == 0 || quotes_verified))
                    problems.push_back("checksum not verified: " + line);
                s = comma + 1;
            }
        }
    }
    return problems;
}

// True when tshark can be run here at all.
inline bool tshark_available()
{
#ifdef _WIN32
    if (unix_path(".").empty())
        return false;
#endif
    return std::filesystem::exists("/usr/bin/tshark") || std::filesystem::exists("Z:\\usr\\bin\\tshark");
}
} // namespace testpkt
