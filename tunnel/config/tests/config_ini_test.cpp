#include <gtest/gtest.h>

#include "config_ini.h"
#include "test_support.h"

using wireguard::config_ini;
using config_test::capture_line;
using config_test::logged_lines;
using config_test::temp_file;

namespace
{
using config_test::PrintTo;

struct reader_case
{
    const char* name;
    std::string_view text;
    config_ini::section_map expected;
};

const reader_case reader_cases[] = {
    {"lf_lines", "[Interface]\nPrivateKey = abc\nAddress = 10.0.0.2/32\n",
     {{"Interface", {{"PrivateKey", "abc"}, {"Address", "10.0.0.2/32"}}}}},
    {"crlf_lines", "[Interface]\r\nPrivateKey = abc\r\nAddress = 10.0.0.2/32\r\n",
     {{"Interface", {{"PrivateKey", "abc"}, {"Address", "10.0.0.2/32"}}}}},
    {"last_line_without_line_feed", "[Peer]\nEndpoint = 1.2.3.4:5",
     {{"Peer", {{"Endpoint", "1.2.3.4:5"}}}}},
    {"base64_padding_stays", "[Peer]\nPublicKey = YWJj==\nPresharedKey=YWI=\n",
     {{"Peer", {{"PublicKey", "YWJj=="}, {"PresharedKey", "YWI="}}}}},
    {"blanks_and_tabs_trimmed_inner_kept", "[Peer]\n \t AllowedApps \t=\t a b.exe ,c \t \r\n",
     {{"Peer", {{"AllowedApps", "a b.exe ,c"}}}}},
    {"header_surrounded_by_blanks", "   [Peer]  \t\nA=1\n", {{"Peer", {{"A", "1"}}}}},
    {"header_without_keys_leaves_no_section", "[Interface]\nA=1\n[Peer]\n",
     {{"Interface", {{"A", "1"}}}}},
    {"first_value_wins", "[Interface]\nMTU = 1280\nMTU = 1420\n", {{"Interface", {{"MTU", "1280"}}}}},
    {"semicolon_comment", "[Interface]\n; MTU = 1280\n  ;A=1\nB=2\n", {{"Interface", {{"B", "2"}}}}},
    {"hash_is_no_comment", "[Interface]\n# MTU = 1280\n# note\n",
     {{"Interface", {{"# MTU", "1280"}}}}},
    {"semicolon_inside_value_stays", "[Interface]\nA = b ; c\n", {{"Interface", {{"A", "b ; c"}}}}},
    {"split_at_first_equals", "[Interface]\nA = b = c\n", {{"Interface", {{"A", "b = c"}}}}},
    {"line_without_equals_ignored", "[Interface]\nPrivateKey\nA=1\n", {{"Interface", {{"A", "1"}}}}},
    {"line_starting_with_equals_ignored", "[Interface]\n=1\n = 2\nA=1\n", {{"Interface", {{"A", "1"}}}}},
    {"empty_value_stored", "[Interface]\nDNS =\n", {{"Interface", {{"DNS", ""}}}}},
    {"keys_before_header_under_empty_name", "A=1\n[Peer]\nB=2\n",
     {{"", {{"A", "1"}}}, {"Peer", {{"B", "2"}}}}},
    {"blanks_inside_brackets_kept", "[ Peer ]\nA=1\n", {{" Peer ", {{"A", "1"}}}}},
    {"empty_brackets_name_empty_section", "[Peer]\nA=1\n[]\nB=2\n",
     {{"Peer", {{"A", "1"}}}, {"", {{"B", "2"}}}}},
    {"unclosed_header_keeps_section", "[Peer]\nA=1\n[Interface\nB=2\n[\nC=3\n",
     {{"Peer", {{"A", "1"}, {"B", "2"}, {"C", "3"}}}}},
    {"repeated_header_continues_section", "[Peer]\nA=1\n[Interface]\nX=0\n[Peer]\nA=9\nB=2\n",
     {{"Peer", {{"A", "1"}, {"B", "2"}}}, {"Interface", {{"X", "0"}}}}},
    {"names_are_case_sensitive", "[peer]\nA=1\na=2\n", {{"peer", {{"A", "1"}, {"a", "2"}}}}},
    {"utf8_byte_order_mark_skipped", "\xEF\xBB\xBF[Interface]\r\nA=1\r\n",
     {{"Interface", {{"A", "1"}}}}},
    {"byte_order_mark_only_at_start", "[Interface]\n\xEF\xBB\xBF" "A=1\n",
     {{"Interface", {{"\xEF\xBB\xBF" "A", "1"}}}}},
    {"high_bytes_are_not_white_space", "[Interface]\nA=\xA0x\xA0\n", {{"Interface", {{"A", "\xA0x\xA0"}}}}},
    {"empty_file", "", {}},
};

class reader_rules : public ::testing::TestWithParam<reader_case>
{};

TEST_P(reader_rules, builds_table)
{
    const temp_file file(GetParam().text);
    const auto ini = config_ini::load_config_file_w(file.wide_path(), nullptr, 3);
    EXPECT_EQ(ini.sections, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(config_ini, reader_rules, ::testing::ValuesIn(reader_cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(config_ini, crlf_and_lf_give_the_same_table)
{
    const temp_file lf("[Interface]\nPrivateKey = k=\n\n[Peer]\nEndpoint = a:1\n");
    const temp_file crlf("[Interface]\r\nPrivateKey = k=\r\n\r\n[Peer]\r\nEndpoint = a:1\r\n");
    const auto a = config_ini::load_config_file_w(lf.wide_path(), nullptr, 0);
    const auto b = config_ini::load_config_file_w(crlf.wide_path(), nullptr, 0);
    EXPECT_EQ(a.sections, b.sections);
    EXPECT_EQ(a.sections.size(), 2u);
}

TEST(config_ini, narrow_path_reads_the_file)
{
    const temp_file file("[Peer]\nA=1\n");
    const auto ini = config_ini::load_config_file(file.narrow_path(), nullptr, 0);
    EXPECT_EQ(ini.sections, (config_ini::section_map{{"Peer", {{"A", "1"}}}}));
}

TEST(config_ini, wide_path_outside_the_code_page)
{
#ifndef _WIN32
    GTEST_SKIP() << "wide paths outside ASCII are a Windows matter";
#endif
    // Greek, Cyrillic and CJK letters: no single-byte code page holds them all, so a
    // path that was narrowed on the way could not name this file.
    const std::wstring name = L"\u03c4\u03bf\u03cd\u03bd\u03b5\u03bb-\u0442\u0443\u043d\u043d\u0435\u043b\u044c-"
                              L"\u96a7\u9053-\u017elu\u0165ou\u010dk\u00fd.conf";
    const temp_file file("[Interface]\nPrivateKey = x\n", name);
    ASSERT_NE(file.wide_path().find(L"\u96a7\u9053"), std::wstring::npos);
    logged_lines().clear();
    const auto ini = config_ini::load_config_file_w(file.wide_path(), capture_line, 3);
    EXPECT_EQ(ini.sections, (config_ini::section_map{{"Interface", {{"PrivateKey", "x"}}}}));
    EXPECT_TRUE(logged_lines().empty());
}

struct missing_file_case
{
    std::uint32_t level;
    bool with_logger;
    std::vector<std::string> expected;
};

class missing_file : public ::testing::TestWithParam<missing_file_case>
{};

TEST_P(missing_file, logs_by_level)
{
#ifdef _WIN32
    const std::wstring wide = L"C:\\no-such-folder\\missing \u96a7\u9053.conf";
#else
    const std::wstring wide = L"/no-such-folder/missing.conf";
#endif
    for (const bool wide_path : {true, false}) {
        logged_lines().clear();
        const log_callback callback = GetParam().with_logger ? capture_line : nullptr;
        const auto ini = wide_path
                             ? config_ini::load_config_file_w(wide, callback, GetParam().level)
                             : config_ini::load_config_file("C:\\no-such-folder\\missing.conf",
                                                            callback, GetParam().level);
        EXPECT_TRUE(ini.sections.empty());
        EXPECT_EQ(logged_lines(), GetParam().expected) << "wide path: " << wide_path;
    }
}

const std::vector<std::string> open_failure{"failed to open the configuration file!"};

INSTANTIATE_TEST_SUITE_P(config_ini, missing_file,
                         ::testing::Values(missing_file_case{0, true, {}},
                                           missing_file_case{1, true, {}},
                                           missing_file_case{2, true, open_failure},
                                           missing_file_case{3, true, open_failure},
                                           missing_file_case{3, false, {}}));

TEST(config_ini, log_is_gated_at_level_two)
{
    const temp_file file("");
    for (std::uint32_t level = 0; level <= 4; ++level) {
        logged_lines().clear();
        const auto ini = config_ini::load_config_file_w(file.wide_path(), capture_line, level);
        ini.log("a line");
        EXPECT_EQ(logged_lines().size(), level >= 2 ? 1u : 0u) << "level " << level;
    }
}
} // namespace
