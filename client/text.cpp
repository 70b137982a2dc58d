#include "text.h"

#include "win32.h"

#include <cstdarg>
#include <cstdio>
#include <cwchar>

std::string to_utf8(std::wstring_view text)
{
    if (text.empty())
        return {};
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                           nullptr, 0, nullptr, nullptr);
    if (size <= 0)
        return {};
    std::string result(static_cast<std::size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size,
                          nullptr, nullptr);
    return result;
}

namespace
{
std::wstring to_wide(std::string_view text, UINT code_page)
{
    if (text.empty())
        return {};
    const int size =
        ::MultiByteToWideChar(code_page, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (size <= 0)
        return {};
    std::wstring result(static_cast<std::size_t>(size), L'\0');
    ::MultiByteToWideChar(code_page, 0, text.data(), static_cast<int>(text.size()), result.data(), size);
    return result;
}
} // namespace

std::wstring from_utf8(std::string_view text)
{
    return to_wide(text, CP_UTF8);
}

std::wstring from_file_system_code_page(std::string_view text)
{
    return to_wide(text, ::AreFileApisANSI() ? CP_ACP : CP_OEMCP);
}

std::wstring hex8(std::uint32_t value)
{
    wchar_t digits[9];
    for (int i = 7; i >= 0; --i) {
        digits[i] = L"0123456789abcdef"[value & 0xF];
        value >>= 4;
    }
    digits[8] = L'\0';
    return digits;
}

std::wstring cut(std::wstring text, std::size_t max_characters)
{
    if (text.size() > max_characters)
        text.resize(max_characters);
    return text;
}

void console_print(const wchar_t* format, ...)
{
    std::va_list arguments;
    va_start(arguments, format);
    std::vwprintf(format, arguments);
    va_end(arguments);
    std::fflush(stdout);
}
