// The install command's options: start type, account, password and the command line
// that the service will receive; refusals of bad and incomplete options and of lines
// that would not fit.
#include "service_installer.h"
#include "text.h"

#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace
{
install_options parse(std::vector<std::wstring> options)
{
    options.insert(options.begin(), {L"lorrivan-client.exe", L"install"});
    std::vector<wchar_t*> pointers;
    for (auto& o : options)
        pointers.push_back(o.data());
    return parse_install_options(static_cast<int>(pointers.size()), pointers.data());
}

std::string refusal(std::vector<std::wstring> options)
{
    try {
        parse(std::move(options));
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "(accepted)";
}

struct install_row {
    std::vector<std::wstring> options;
    unsigned long start_type;
    std::wstring account;
    std::optional<std::wstring> password;
    std::wstring command_line;
};
} // namespace

TEST(install_options_test, options_table)
{
    const std::vector<install_row> rows = {
        {{}, 2, L"LocalSystem", std::nullopt, L"service"},
        {{L"-start-type", L"2"}, 2, L"LocalSystem", std::nullopt, L"service"},
        {{L"-start-type", L"3"}, 3, L"LocalSystem", std::nullopt, L"service"},
        {{L"-START-TYPE", L"4"}, 4, L"LocalSystem", std::nullopt, L"service"},
        {{L"-account", L".\\vpn", L"-password", L"secret"}, 2, L".\\vpn", L"secret", L"service"},
        {{L"-config", L"C:\\vpn\\client one.conf", L"-log-level", L"debug", L"-lac"}, 2, L"LocalSystem",
         std::nullopt, L"service -config \"C:\\vpn\\client one.conf\" -log-level \"debug\" -lac"},
        {{L"-start-type", L"3", L"-config", L"a.conf", L"-fallback-config", L"b.conf", L"-log-level", L"all",
          L"-lac"},
         3, L"LocalSystem", std::nullopt,
         L"service -config \"a.conf\" -fallback-config \"b.conf\" -log-level \"all\" -lac"},
        // -config starts the line afresh: what came before it is lost.
        {{L"-log-level", L"debug", L"-config", L"a.conf"}, 2, L"LocalSystem", std::nullopt,
         L"service -config \"a.conf\""},
        {{L"-lac", L"-fallback-config", L"b.conf", L"-config", L"a.conf"}, 2, L"LocalSystem", std::nullopt,
         L"service -config \"a.conf\""},
        // The log level is not checked here; the service ignores words it does not know.
        {{L"-config", L"a.conf", L"-log-level", L"verbose"}, 2, L"LocalSystem", std::nullopt,
         L"service -config \"a.conf\" -log-level \"verbose\""},
        // Arguments that do not begin with "-" are skipped.
        {{L"stray", L"-config", L"a.conf", L"more"}, 2, L"LocalSystem", std::nullopt, L"service -config \"a.conf\""},
        {{L"-Config", L"a.conf", L"-LAC"}, 2, L"LocalSystem", std::nullopt, L"service -config \"a.conf\" -lac"},
    };
    for (const auto& row : rows) {
        std::wstring shown;
        for (const auto& o : row.options)
            shown += o + L" ";
        SCOPED_TRACE(to_utf8(shown));
        const install_options options = parse(row.options);
        EXPECT_EQ(options.start_type, row.start_type);
        EXPECT_EQ(options.account, row.account);
        EXPECT_EQ(options.password, row.password);
        EXPECT_EQ(options.command_line, row.command_line);
    }
}

TEST(install_options_test, refusals)
{
    const std::vector<std::pair<std::vector<std::wstring>, std::string>> rows = {
        {{L"-start-type", L"5"}, "service start type must be a number between 2 and 4"},
        {{L"-start-type", L"02"}, "service start type must be a number between 2 and 4"},
        {{L"-start-type", L"1"}, "service start type must be a number between 2 and 4"},
        {{L"-start-type", L""}, "service start type must be a number between 2 and 4"},
        {{L"-start-type", L"3 "}, "service start type must be a number between 2 and 4"},
        {{L"-start-type", L"x"}, "service start type must be a number between 2 and 4"},
        {{L"-bogus"}, "unknown parameter: -bogus"},
        {{L"-config", L"a.conf", L"-Run"}, "unknown parameter: -Run"},
        {{L"-"}, "unknown parameter: -"},
        // An option given last without its value.
        {{L"-start-type"}, "no service start type specified"},
        {{L"-account"}, "no account name specified"},
        {{L"-password"}, "no account password specified"},
        {{L"-config"}, "no config file specified"},
        {{L"-config", L"a.conf", L"-fallback-config"}, "no fallback config file specified"},
        {{L"-config", L"a.conf", L"-log-level"}, "no logging level specified"},
    };
    for (const auto& [options, message] : rows) {
        SCOPED_TRACE(message);
        EXPECT_EQ(refusal(options), message);
    }
}

TEST(install_options_test, unknown_parameter_message_is_cut)
{
    const std::wstring option = L"-" + std::wstring(400, L'x');
    const std::string message = refusal({option});
    EXPECT_EQ(message.size(), 259u);
    EXPECT_EQ(message, "unknown parameter: " + std::string(240, 'x').insert(0, "-").substr(0, 240));
}

TEST(install_options_test, command_line_that_would_be_cut_is_refused)
{
    // "service -config \"" + path + "\"" holds 18 characters besides the path.
    const std::wstring fits(259 - 18, L'p');
    EXPECT_EQ(parse({L"-config", fits}).command_line.size(), 259u);
    const std::wstring too_long(260 - 18, L'p');
    EXPECT_EQ(refusal({L"-config", too_long}), "service command line is longer than 259 characters");
    // Appending options can push a line over as well (" -lac" holds five characters).
    const std::wstring near(259 - 18 - 5, L'p');
    EXPECT_EQ(parse({L"-config", near, L"-lac"}).command_line.size(), 259u);
    EXPECT_EQ(refusal({L"-config", near, L"-lac", L"-lac"}), "service command line is longer than 259 characters");
    EXPECT_EQ(refusal({L"-config", near, L"-log-level", L"all"}), "service command line is longer than 259 characters");
    EXPECT_EQ(refusal({L"-config", near, L"-fallback-config", L"b"}),
              "service command line is longer than 259 characters");
}

TEST(install_options_test, launch_command)
{
    EXPECT_EQ(launch_command(L"C:\\Program Files\\Lorrivan\\lorrivan-client.exe", L"service -lac"),
              L"\"C:\\Program Files\\Lorrivan\\lorrivan-client.exe\" service -lac");
    // Quotes and a blank take three characters besides the path and the line.
    const std::wstring path(259, L'p');
    const std::wstring fits(519 - 3 - 259, L'l');
    EXPECT_EQ(launch_command(path, fits).size(), 519u);
    EXPECT_THROW(launch_command(path, fits + L"l"), std::runtime_error);
    try {
        launch_command(path, fits + L"l");
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "service launch command is longer than 519 characters");
    }
}
