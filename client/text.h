#pragma once
// Text conversions and the console output of the client program.
#include <cstdint>
#include <string>
#include <string_view>

// Wide text to UTF-8 (the client's log lines are UTF-8).
std::string to_utf8(std::wstring_view text);

// UTF-8 to wide text.
std::wstring from_utf8(std::string_view text);

// Narrow text in the file system's code page (what the narrow Windows functions return)
// to wide text.
std::wstring from_file_system_code_page(std::string_view text);

// A 32-bit value as eight lower-case hexadecimal digits, as "%08lx" prints it.
std::wstring hex8(std::uint32_t value);

// The text cut to at most max_characters characters.
std::wstring cut(std::wstring text, std::size_t max_characters);

// Prints as wide text and flushes at once, so that every line is out before anything
// else happens: to a console with WriteConsoleW, to a pipe or a file with wprintf.
// Wide strings are passed with %ls, narrow ones with %hs.
void console_print(const wchar_t* format, ...);

// Writes UTF-8 text and flushes it at once: to a console as wide text with WriteConsoleW,
// so that it shows the same characters whatever the console's code page; to a pipe or a
// file as the UTF-8 bytes themselves.
void console_write_utf8(std::string_view text);
