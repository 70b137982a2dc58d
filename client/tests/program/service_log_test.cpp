// The service-mode log file: emptied at each start of the process, one whole line per
// call, its folder created when missing, and no log at all when that cannot be done.
#include "program_support.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

using namespace program_test;

TEST(service_log_test, existing_log_is_emptied_and_lines_are_written)
{
    service_log_folder folder;
    const fs::path log = service_log_folder::log_file();
    std::ofstream(log, std::ios::binary) << "an old line of an earlier run\r\n";
    const run_result result =
        run_program(sibling(L"client_test_service.exe"), L"log \"first line\" \"second line\"");
    EXPECT_EQ(result.exit_code, 0u);
    const std::string content = read_file(log);
    const std::regex expected(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} first line\r\n)"
                              R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} second line\r\n)");
    EXPECT_TRUE(std::regex_match(content, expected)) << content;
}

// The log folder and its parents are created when missing; when they cannot be (a file
// stands in the way), the service goes on without a log.
TEST(service_log_test, a_missing_folder_is_created_else_no_log_is_written)
{
    const fs::path log = service_log_folder::log_file();
    const fs::path brennick = log.parent_path().parent_path();
    std::error_code ignored;
    fs::remove_all(brennick, ignored);
    ASSERT_FALSE(fs::exists(brennick));

    run_result result = run_program(sibling(L"client_test_service.exe"), L"log \"a line\"");
    EXPECT_EQ(result.exit_code, 0u);
    const std::regex expected(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} a line\r\n)");
    const std::string content = read_file(log);
    EXPECT_TRUE(std::regex_match(content, expected)) << content;
    fs::remove_all(brennick, ignored);

    std::ofstream(brennick, std::ios::binary) << "not a folder";
    result = run_program(sibling(L"client_test_service.exe"), L"log \"a line\"");
    EXPECT_EQ(result.exit_code, 0u);
    EXPECT_TRUE(result.output.empty()) << result.output;
    EXPECT_TRUE(fs::is_regular_file(brennick));
    EXPECT_FALSE(fs::exists(sibling(L"lorrivan-vpn-client.log")));
    fs::remove(brennick, ignored);
}
