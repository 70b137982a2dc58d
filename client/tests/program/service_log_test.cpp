// The service-mode log file: emptied at each start of the process, one whole line per
// call, and no log at all without its folder.
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

TEST(service_log_test, without_its_folder_the_service_writes_no_log)
{
    const fs::path log = service_log_folder::log_file();
    std::error_code ignored;
    fs::remove(log, ignored);
    fs::remove(log.parent_path(), ignored);
    ASSERT_FALSE(fs::exists(log.parent_path()));
    temporary_folder current(L"service-log-cwd");
    const run_result result = run_program(sibling(L"client_test_service.exe"), L"log \"a line\"");
    EXPECT_EQ(result.exit_code, 0u);
    EXPECT_TRUE(result.output.empty()) << result.output;
    EXPECT_FALSE(fs::exists(log.parent_path()));
    EXPECT_FALSE(fs::exists(sibling(L"lorrivan-vpn-client.log")));
}
