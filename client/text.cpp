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

namespace
{
// The standard output when it is a console; null when it is a pipe, a file or nothing.
HANDLE console_output()
{
    const HANDLE output = ::GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    return output != nullptr && output != INVALID_HANDLE_VALUE && ::GetConsoleMode(output, &mode) ? output
                                                                                                : nullptr;
}

// Wide text to the console, after anything the C runtime still holds for the standard
// output. The console takes the wide text itself: the C runtime would narrow it by its
// locale and show anything beyond ASCII wrongly, whatever the console's code page.
void write_console(HANDLE console, std::wstring_view text)
{
    std::fflush(stdout);
    DWORD written = 0;
    ::WriteConsoleW(console, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

std::wstring formatted(const wchar_t* format, std::va_list arguments)
{
    std::wstring text(256, L'\0');
    for (;;) {
        std::va_list copy;
        va_copy(copy, arguments);
        const int length = std::vswprintf(text.data(), text.size(), format, copy);
        va_end(copy);
        if (length >= 0 && static_cast<std::size_t>(length) < text.size()) {
            text.resize(static_cast<std::size_t>(length));
            return text;
        }
        if (text.size() >= 65536)
            return {};
        text.resize(text.size() * 2);
    }
}
} // namespace

void console_print(const wchar_t* format, ...)
{
    std::va_list arguments;
    va_start(arguments, format);
    if (const HANDLE console = console_output()) {
        write_console(console, formatted(format, arguments));
    } else {
        std::vwprintf(format, arguments);
        std::fflush(stdout);
    }
    va_end(arguments);
}

void console_write_utf8(std::string_view text)
{
    if (const HANDLE console = console_output()) {
        write_console(console, from_utf8(text));
    } else {
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
    }
}
