#include <gtest/gtest.h>

#include "app_list.h"
#include "test_support.h"

using namespace wireguard;

namespace
{
using config_test::PrintTo;

struct app_list_case
{
    const char* name;
    std::string_view text;
    std::vector<std::wstring> expected;
};

const app_list_case app_list_cases[] = {
    {"two_names_upper_cased", "chrome.exe, firefox.exe", {L"CHROME.EXE", L"FIREFOX.EXE"}},
    {"path_fragment", "c:\\Program Files\\", {L"C:\\PROGRAM FILES\\"}},
    {"trailing_blank_kept", "a.exe ,b.exe", {L"A.EXE ", L"B.EXE"}},
    {"digits_and_signs_unchanged", "app-1_2.exe", {L"APP-1_2.EXE"}},
    {"trailing_comma_no_empty_name", "a.exe,", {L"A.EXE"}},
    {"trailing_comma_and_blank_no_empty_name", "a.exe, ", {L"A.EXE"}},
    {"adjacent_commas_no_empty_name", "a.exe,,b.exe", {L"A.EXE", L"B.EXE"}},
    {"empty_text_no_names", "", {}},
    {"only_commas_no_names", ",,", {}},
    {"tab_kept", "a,\tb", {L"A", L"\tB"}},
};

class app_lists : public ::testing::TestWithParam<app_list_case>
{};

TEST_P(app_lists, narrow_text)
{
    EXPECT_EQ(split_app_list(GetParam().text), GetParam().expected);
}

TEST_P(app_lists, wide_text)
{
    const std::wstring wide(GetParam().text.begin(), GetParam().text.end());
    EXPECT_EQ(split_app_list_w(wide), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(app_list, app_lists, ::testing::ValuesIn(app_list_cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(app_list, narrow_bytes_widened_as_signed_bytes)
{
    // "é" in UTF-8 (C3 A9) and a Latin-1 byte E9: each byte on its own, sign-extended.
    const auto names = split_app_list("caf\xC3\xA9.exe,\xE9t\x7F");
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[0], (std::wstring{L'C', L'A', L'F', wchar_t(0xFFC3), wchar_t(0xFFA9), L'.', L'E',
                                      L'X', L'E'}));
    EXPECT_EQ(names[1], (std::wstring{wchar_t(0xFFE9), L'T', wchar_t(0x7F)}));
}

TEST(app_list, wide_text_not_widened_again)
{
    const auto names = split_app_list_w(L"caf\u00e9.exe, \u65e5\u672c.exe");
    EXPECT_EQ(names, (std::vector<std::wstring>{L"CAF\u00e9.EXE", L"\u65e5\u672c.EXE"}));
}

struct upper_case
{
    std::wstring_view text;
    std::wstring_view expected;
};

TEST(app_list, to_upper_changes_ascii_letters_only)
{
    const upper_case cases[] = {
        {L"", L""},
        {L"abcxyz", L"ABCXYZ"},
        {L"ABC", L"ABC"},
        {L"`az{@AZ[", L"`AZ{@AZ["},       // neighbours of the letter ranges
        {L"\u00e9\u00fc\u00df", L"\u00e9\u00fc\u00df"}, // letters with diacritics stay
        {L"\u0430\u03b1", L"\u0430\u03b1"},             // Cyrillic and Greek stay
        {L"svchost.exe -k dnscache", L"SVCHOST.EXE -K DNSCACHE"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(to_upper(c.text), c.expected);
}
} // namespace
