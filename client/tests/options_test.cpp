// The tunnel options of the command line and the rule that settles the configuration paths.
#include "fake_library.h"
#include "lorrivan_service.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace
{
struct argument_list {
    explicit argument_list(std::vector<std::wstring> arguments) : texts(std::move(arguments))
    {
        for (auto& text : texts)
            pointers.push_back(text.data());
    }
    int argc() const { return static_cast<int>(pointers.size()); }
    wchar_t** argv() { return pointers.data(); }
    std::vector<std::wstring> texts;
    std::vector<wchar_t*> pointers;
};

struct option_row {
    std::vector<std::wstring> options;
    std::wstring config;
    std::optional<std::wstring> fallback;
    std::uint32_t level;
    bool dual;
};

tunnel_options parse(std::vector<std::wstring> options)
{
    options.insert(options.begin(), {L"lorrivan-client.exe", L"run"});
    argument_list arguments(std::move(options));
    return parse_tunnel_options(arguments.argc(), arguments.argv());
}
} // namespace

TEST(tunnel_options_test, options_table)
{
    const std::vector<option_row> rows = {
        {{}, L"", std::nullopt, 0, false},
        {{L"-config", L"a.conf"}, L"a.conf", std::nullopt, 0, false},
        {{L"-CONFIG", L"a.conf"}, L"a.conf", std::nullopt, 0, false},
        {{L"-config", L"a.conf", L"-config", L"b.conf"}, L"b.conf", std::nullopt, 0, false},
        {{L"-fallback-config", L"b.conf"}, L"", L"b.conf", 0, false},
        {{L"-fallback-config", L""}, L"", std::nullopt, 0, false},
        {{L"-Fallback-Config", L"b.conf", L"-config", L"a.conf"}, L"a.conf", L"b.conf", 0, false},
        {{L"-log-level", L"error"}, L"", std::nullopt, 0, false},
        {{L"-log-level", L"info"}, L"", std::nullopt, 1, false},
        {{L"-log-level", L"debug"}, L"", std::nullopt, 2, false},
        {{L"-log-level", L"all"}, L"", std::nullopt, 3, false},
        {{L"-log-level", L"ALL"}, L"", std::nullopt, 3, false},
        {{L"-LOG-LEVEL", L"Debug"}, L"", std::nullopt, 2, false},
        {{L"-log-level", L"none"}, L"", std::nullopt, 0, false},
        {{L"-log-level", L"debug", L"-log-level", L"verbose"}, L"", std::nullopt, 2, false},
        {{L"-lac"}, L"", std::nullopt, 0, true},
        {{L"-LAC", L"-config", L"x"}, L"x", std::nullopt, 0, true},
        {{L"stray", L"-unknown", L"-config", L"a.conf"}, L"a.conf", std::nullopt, 0, false},
        // A value that looks like an option is still the value.
        {{L"-config", L"-lac"}, L"-lac", std::nullopt, 0, false},
    };
    for (const auto& row : rows) {
        std::wstring shown;
        for (const auto& o : row.options)
            shown += o + L" ";
        SCOPED_TRACE(to_utf8(shown));
        const tunnel_options options = parse(row.options);
        EXPECT_EQ(options.config_path, row.config);
        EXPECT_EQ(options.fallback_config_path, row.fallback);
        EXPECT_EQ(options.log_level, row.level);
        EXPECT_EQ(options.dual, row.dual);
    }
}

TEST(tunnel_options_test, option_without_value)
{
    const std::vector<std::pair<std::vector<std::wstring>, std::string>> rows = {
        {{L"-config"}, "no config file specified"},
        {{L"-log-level", L"debug", L"-config"}, "no config file specified"},
        {{L"-config", L"a", L"-fallback-config"}, "no fallback config file specified"},
        {{L"-log-level"}, "no logging level specified"},
    };
    for (const auto& [options, message] : rows) {
        SCOPED_TRACE(message);
        try {
            parse(options);
            ADD_FAILURE() << "no exception";
        } catch (const std::runtime_error& error) {
            EXPECT_EQ(std::string(error.what()), message);
        }
    }
}

TEST(tunnel_options_test, start_without_command_throws)
{
    const tunnel_family table = fake::family<2>::table();
    lorrivan_service service(table, table);
    argument_list arguments({L"lorrivan-client.exe"});
    service.set_command_line(arguments.argc(), arguments.argv());
    try {
        service.on_start(0, nullptr);
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()), "no configuration file specified");
    }
    EXPECT_FALSE(service.worker_started());
}

TEST(tunnel_options_test, option_error_in_service_mode_fails_the_start)
{
    const tunnel_family table = fake::family<2>::table();
    lorrivan_service service(table, table);
    argument_list arguments({L"lorrivan-client.exe", L"service", L"-config"});
    service.set_command_line(arguments.argc(), arguments.argv());
    service.service_start(0, nullptr);
    EXPECT_EQ(service.current_status().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_NE(service.current_status().dwWin32ExitCode, static_cast<DWORD>(NO_ERROR));
    EXPECT_FALSE(service.worker_started());
    running_as_service = false;
}

// The path rule runs with a current folder of the test's own and files that the test
// puts into the program's folder.
class config_path_test : public ::testing::Test
{
protected:
    void SetUp() override
    {
        const auto unique = std::to_wstring(::GetCurrentProcessId());
        original_folder = fs::current_path();
        work_folder = fs::temp_directory_path() / (L"lorrivan-path-test-" + unique);
        fs::create_directories(work_folder);
        fs::current_path(work_folder);
        program_only_name = L"path-test-program-folder-" + unique + L".conf";
        program_only = fs::path(program_folder()) / program_only_name;
        std::ofstream(program_only) << "[Interface]\n";
        std::ofstream(work_folder / L"here.conf") << "[Interface]\n";
        fs::create_directories(work_folder / L"folder");
    }
    void TearDown() override
    {
        fs::current_path(original_folder);
        std::error_code ignored;
        fs::remove_all(work_folder, ignored);
        fs::remove(program_only, ignored);
    }

    fs::path original_folder;
    fs::path work_folder;
    std::wstring program_only_name;
    fs::path program_only;
};

TEST_F(config_path_test, existing_path_stays_as_written)
{
    EXPECT_EQ(settle_config_path(L"here.conf"), L"here.conf");
    EXPECT_EQ(settle_config_path(L".\\here.conf"), L".\\here.conf");
    EXPECT_EQ(settle_config_path(L"folder"), L"folder");
    const std::wstring absolute = (work_folder / L"here.conf").wstring();
    EXPECT_EQ(settle_config_path(absolute), absolute);
}

TEST_F(config_path_test, path_found_in_the_program_folder_is_joined_in_generic_form)
{
    const std::wstring settled = settle_config_path(program_only_name);
    EXPECT_EQ(settled, program_only.generic_wstring());
    EXPECT_EQ(settled.find(L'\\'), std::wstring::npos);
    EXPECT_TRUE(fs::exists(settled));
}

TEST_F(config_path_test, path_found_nowhere_stays_as_written)
{
    EXPECT_EQ(settle_config_path(L"missing.conf"), L"missing.conf");
    EXPECT_EQ(settle_config_path(L"sub\\missing.conf"), L"sub\\missing.conf");
    EXPECT_EQ(settle_config_path(L"C:\\nowhere-lorrivan\\missing.conf"), L"C:\\nowhere-lorrivan\\missing.conf");
}

TEST_F(config_path_test, empty_path_becomes_the_program_folder)
{
    const std::wstring settled = settle_config_path(L"");
    EXPECT_EQ(settled, (fs::path(program_folder()) / L"").generic_wstring());
    EXPECT_TRUE(fs::is_directory(settled));
}

TEST_F(config_path_test, program_folder_is_the_folder_of_the_running_program)
{
    wchar_t name[MAX_PATH];
    const DWORD size = ::GetModuleFileNameW(nullptr, name, MAX_PATH);
    ASSERT_GT(size, 0u);
    EXPECT_EQ(fs::path(program_folder()), fs::path(std::wstring(name, size)).parent_path());
}

TEST_F(config_path_test, start_settles_both_paths)
{
    using family = fake::family<3>;
    family::state().reset();
    family::state().create_default = false;
    static int handle_token;
    family::state().handle = &handle_token;
    fake::log_collector::clear();
    const tunnel_family table = family::table();
    worker_environment environment;
    environment.poll_interval = std::chrono::milliseconds(1);
    environment.log = &fake::log_collector::sink;
    lorrivan_service service(table, table, environment);
    argument_list arguments({L"lorrivan-client.exe", L"run", L"-config", program_only_name, L"-fallback-config",
                             L"here.conf", L"-log-level", L"debug"});
    service.set_command_line(arguments.argc(), arguments.argv());
    service.on_start(0, nullptr);
    EXPECT_EQ(service.worker_result(), worker_gave_up);
    EXPECT_EQ(service.options().config_path, program_only.generic_wstring());
    EXPECT_EQ(service.options().fallback_config_path, std::optional<std::wstring>(L"here.conf"));
    EXPECT_EQ(family::state().snapshot().at(1), "create:" + to_utf8(program_only.generic_wstring()));
    const auto lines = fake::log_collector::snapshot();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "Lorrivan WireGuard VPN Client Service 1.2.24\nThe service is starting using " +
                            to_utf8(program_only.generic_wstring()) + " WireGuard client configuration.\n");
    EXPECT_EQ(lines[1], "Fallback configuration: here.conf");
}
