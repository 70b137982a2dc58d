// The log line: local time "%Y-%m-%d %X", a blank, the text, one whole line per call.
#include "client_log.h"

#include "win32.h"

#include <gtest/gtest.h>

#include <ctime>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace
{
const std::regex timestamp_pattern(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2})");

std::vector<std::string> split_lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
    }
    return lines;
}
} // namespace

TEST(client_log_test, timestamp_is_local_date_and_time)
{
    SYSTEMTIME before;
    ::GetLocalTime(&before);
    const std::string stamp = log_timestamp();
    ASSERT_TRUE(std::regex_match(stamp, timestamp_pattern)) << stamp;
    std::tm parsed{};
    std::istringstream(stamp) >> std::get_time(&parsed, "%Y-%m-%d %H:%M:%S");
    EXPECT_EQ(parsed.tm_year + 1900, before.wYear);
    EXPECT_EQ(parsed.tm_mon + 1, before.wMonth);
    EXPECT_EQ(parsed.tm_mday, before.wDay);
    const int seconds_then = before.wHour * 3600 + before.wMinute * 60 + before.wSecond;
    const int seconds_now = parsed.tm_hour * 3600 + parsed.tm_min * 60 + parsed.tm_sec;
    EXPECT_LE(std::abs(seconds_now - seconds_then), 2) << stamp;
}

TEST(client_log_test, foreground_line_goes_to_the_console)
{
    running_as_service = false;
    ::testing::internal::CaptureStdout();
    log_message("x");
    log_message("with\nline feed");
    const std::string output = ::testing::internal::GetCapturedStdout();
    const std::regex line(R"((\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}) (.*))");
    const auto lines = split_lines(output);
    ASSERT_EQ(lines.size(), 3u) << output;
    std::smatch match;
    ASSERT_TRUE(std::regex_match(lines[0], match, line)) << lines[0];
    EXPECT_EQ(match[2].str(), "x");
    ASSERT_TRUE(std::regex_match(lines[1], match, line)) << lines[1];
    EXPECT_EQ(match[2].str(), "with");
    EXPECT_EQ(lines[2], "line feed");
}

TEST(client_log_test, two_threads_write_whole_lines)
{
    running_as_service = false;
    constexpr int per_thread = 300;
    ::testing::internal::CaptureStdout();
    const auto writer = [](char tag) {
        const std::string text(40, tag);
        for (int i = 0; i < per_thread; ++i)
            log_message(text.c_str());
    };
    std::thread a(writer, 'a');
    std::thread b(writer, 'b');
    a.join();
    b.join();
    const std::string output = ::testing::internal::GetCapturedStdout();
    const std::regex line(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} (a{40}|b{40}))");
    const auto lines = split_lines(output);
    ASSERT_EQ(lines.size(), 2u * per_thread);
    for (const auto& l : lines)
        ASSERT_TRUE(std::regex_match(l, line)) << l;
}

TEST(client_log_test, file_name_is_under_the_common_application_data_folder)
{
    char folder[MAX_PATH];
    ASSERT_EQ(::GetEnvironmentVariableA("ProgramData", folder, MAX_PATH) > 0, true);
    EXPECT_EQ(log_file_name(), std::string(folder) + "\\Brennick\\Lorrivan VPN Client\\lorrivan-vpn-client.log");
}
