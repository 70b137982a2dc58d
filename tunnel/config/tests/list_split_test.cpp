#include <gtest/gtest.h>

#include "list_split.h"
#include "test_support.h"

using namespace wireguard;

namespace
{
using config_test::PrintTo;

struct split_case
{
    const char* name;
    std::string_view text;
    std::vector<std::string_view> items;
};

const split_case split_cases[] = {
    {"empty_text_one_empty_item", "", {""}},
    {"single", "a", {"a"}},
    {"blanks_after_comma_skipped", "a,   b", {"a", "b"}},
    {"tab_after_comma_kept", "a,\tb", {"a", "\tb"}},
    {"item_end_not_trimmed", "a ,b ", {"a ", "b "}},
    {"leading_blanks_of_first_item_kept", "  a,b", {"  a", "b"}},
    {"trailing_comma_empty_item", "a,", {"a", ""}},
    {"trailing_comma_and_blank_empty_item", "a, ", {"a", ""}},
    {"adjacent_commas_empty_item", "a,,b", {"a", "", "b"}},
    {"only_comma", ",", {"", ""}},
};

class list_splitting : public ::testing::TestWithParam<split_case>
{};

TEST_P(list_splitting, narrow_and_wide_agree)
{
    EXPECT_EQ(split_list(GetParam().text), GetParam().items);
    const std::wstring wide(GetParam().text.begin(), GetParam().text.end());
    const auto wide_items = split_list(std::wstring_view(wide));
    ASSERT_EQ(wide_items.size(), GetParam().items.size());
    for (std::size_t i = 0; i < wide_items.size(); ++i)
        EXPECT_EQ(std::wstring(GetParam().items[i].begin(), GetParam().items[i].end()),
                  wide_items[i]);
}

INSTANTIATE_TEST_SUITE_P(list_split, list_splitting, ::testing::ValuesIn(split_cases),
                         [](const auto& info) { return std::string(info.param.name); });
} // namespace
