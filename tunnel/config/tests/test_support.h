#pragma once
// Shared helpers of the configuration tests: Winsock started before any test, files
// written byte for byte into a folder of their own, and a log callback that keeps
// the lines it receives.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#ifdef _WIN32
#include "win32.h"
#else
#include <unistd.h>
#endif

namespace config_test
{
// Table rows print as their name in test output (brought into each test file's
// namespace with a using-declaration so that argument-dependent lookup finds it).
template <class Case>
    requires requires(const Case& c) { c.name; }
void PrintTo(const Case& c, std::ostream* out)
{
    *out << c.name;
}

#ifdef _WIN32
// Name resolution needs Winsock started, as the library's users do before parsing.
class winsock_environment : public ::testing::Environment
{
public:
    void SetUp() override
    {
        WSADATA data{};
        ASSERT_EQ(::WSAStartup(MAKEWORD(2, 2), &data), 0);
    }
    void TearDown() override { ::WSACleanup(); }
};

inline ::testing::Environment* const winsock =
    ::testing::AddGlobalTestEnvironment(new winsock_environment);

inline unsigned long process_id()
{
    return ::GetCurrentProcessId();
}
#else
inline unsigned long process_id()
{
    return static_cast<unsigned long>(::getpid());
}
#endif

// Lines handed to the log callback, in order.
inline std::vector<std::string>& logged_lines()
{
    static std::vector<std::string> lines;
    return lines;
}

inline void capture_line(const char* line)
{
    logged_lines().emplace_back(line);
}

// A file with exactly the given bytes, removed with its folder at the end.
class temp_file
{
public:
    explicit temp_file(std::string_view bytes, const std::wstring& name = L"tunnel.conf")
    {
        static std::atomic<unsigned> counter{0};
        folder = std::filesystem::temp_directory_path()
                 / (L"config_test_" + std::to_wstring(process_id()) + L"_"
                    + std::to_wstring(counter++));
        std::filesystem::create_directories(folder);
        file = folder / name;
        std::ofstream out(file, std::ios::binary);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    ~temp_file()
    {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
    temp_file(const temp_file&) = delete;
    temp_file& operator=(const temp_file&) = delete;

    std::wstring wide_path() const { return file.wstring(); }
    std::string narrow_path() const { return file.string(); }

private:
    std::filesystem::path folder;
    std::filesystem::path file;
};
} // namespace config_test
