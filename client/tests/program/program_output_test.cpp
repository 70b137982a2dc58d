// lorrivan-client.exe under Wine: its usage, messages and exit codes byte for byte, the
// second instance, the foreground run against the library, the manifest and the imports.
#include "command_line.h"
#include "program_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <set>
#include <string>
#include <vector>

using namespace program_test;

namespace
{
const std::string usage_text =
    "\nLorrivan WireGuard VPN Client\n\n"
    "Parameters:\n\n"
    " install [-start-type <2..4> -account <account-name> -password <account-password> -config "
    "<wireguard-client-config-full-pathname> [-fallback-config <wireguard-fallback-client-config-full-pathname>] "
    "-log-level <none | info | debug | all>] [-lac]\n  - to install the service.\n"
    "    service start types are:\n"
    "     2 - service started automatically by the service control manager during system startup.\n"
    "     3 - service started manually or by calling StartService function from another process.\n"
    "     4 - service installed in the \"disabled\" state, and cannot be started until enabled.\n"
    " run [-config <wireguard-client-config-full-pathname> [-fallback-config "
    "<wireguard-fallback-client-config-full-pathname>] -log-level <none | info | debug | all>] [-lac]\n"
    "  - to start as a regular process (not a service)\n"
    " uninstall\n  - to remove the service.\n";

const std::string running_already = "Lorrivan WireGuard VPN Client is running already. Exit the second instance\r\n";

run_result client(const std::wstring& arguments)
{
    return run_program(client_program(), arguments);
}

// The lines of a text-mode output, without their line ends.
std::vector<std::string> output_lines(const std::string& output)
{
    std::vector<std::string> lines;
    std::string line;
    for (std::size_t i = 0; i < output.size(); ++i) {
        if (output[i] == '\r' && i + 1 < output.size() && output[i + 1] == '\n') {
            lines.push_back(line);
            line.clear();
            ++i;
        } else {
            line += output[i];
        }
    }
    if (!line.empty())
        lines.push_back(line);
    return lines;
}

// The lines of a foreground run without the tunnel library's own (tagged) lines, with the
// timestamp replaced by "<time>".
std::vector<std::string> client_lines(const std::string& output)
{
    static const std::regex stamped(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} (.*))");
    std::vector<std::string> lines;
    for (const auto& line : output_lines(output)) {
        std::smatch match;
        if (std::regex_match(line, match, stamped)) {
            if (!match[1].str().empty() && match[1].str()[0] == '[')
                continue;
            lines.push_back("<time> " + match[1].str());
        } else {
            lines.push_back(line);
        }
    }
    return lines;
}
} // namespace

TEST(client_program_test, usage_without_arguments)
{
    const run_result result = client(L"");
    EXPECT_EQ(result.exit_code, 0u);
    EXPECT_EQ(result.output, text_mode(usage_text));
}

TEST(client_program_test, unknown_command)
{
    const run_result result = client(L"Restart now");
    EXPECT_EQ(result.exit_code, 0u);
    EXPECT_EQ(result.output, text_mode("Unknown parameter: Restart\n"));
}

TEST(client_program_test, install_refusals_exit_with_one)
{
    struct row {
        std::wstring arguments;
        std::string message;
    };
    const std::vector<row> rows = {
        {L"install -start-type 5", "service start type must be a number between 2 and 4"},
        {L"INSTALL -start-type 02 -config a.conf", "service start type must be a number between 2 and 4"},
        {L"install -config a.conf -bogus", "unknown parameter: -bogus"},
        {L"install -config", "no config file specified"},
        {L"install -config a.conf -log-level", "no logging level specified"},
        {L"install -start-type", "no service start type specified"},
        {L"install -config " + std::wstring(250, L'c'), "service command line is longer than 259 characters"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(to_utf8(r.arguments));
        const run_result result = client(r.arguments);
        EXPECT_EQ(result.exit_code, 1u);
        // The message has no line end of its own.
        EXPECT_EQ(result.output, "Couldn't install service: " + r.message);
    }
    EXPECT_FALSE(service_exists(L"lorrivan-client-service"));
}

// A refusal's message (UTF-8 inside the program) is printed as wide text, as the
// program's other messages are: an argument beyond ASCII comes out the same in both,
// not as the bytes of its UTF-8 form.
TEST(client_program_test, refusal_messages_are_printed_as_wide_text)
{
    const run_result unknown = client(L"\u00fcber\u20ac");
    const std::string prefix = "Unknown parameter: ";
    ASSERT_EQ(unknown.output.substr(0, prefix.size()), prefix);
    ASSERT_GE(unknown.output.size(), prefix.size() + 2);
    const std::string word = unknown.output.substr(prefix.size(), unknown.output.size() - prefix.size() - 2);
    const run_result refused = client(L"install -\u00fcber\u20ac");
    EXPECT_EQ(refused.exit_code, 1u);
    EXPECT_EQ(refused.output, "Couldn't install service: unknown parameter: -" + word);
}

TEST(client_program_test, second_instance_exits_with_zero)
{
    unique_handle mutex(::CreateMutexW(nullptr, TRUE, single_instance_mutex_name));
    ASSERT_TRUE(mutex);
    ASSERT_NE(::GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS)) << "a client is running";
    for (const wchar_t* arguments : {L"run -config a.conf", L"uninstall", L"", L"install"}) {
        SCOPED_TRACE(to_utf8(arguments));
        const run_result result = client(arguments);
        EXPECT_EQ(result.exit_code, 0u);
        // The message's own carriage return goes out before the text-mode line end.
        EXPECT_EQ(result.output, text_mode(running_already));
    }
    EXPECT_FALSE(service_exists(L"lorrivan-client-service"));
}

TEST(client_program_test, foreground_run_gives_up_when_the_tunnel_cannot_be_created)
{
    const run_result result = client(L"run -config missing-lorrivan.conf -log-level debug");
    EXPECT_EQ(result.exit_code, 1u) << result.output;
    const std::vector<std::string> expected = {
        "<time> Lorrivan WireGuard VPN Client Service 1.2.24",
        "The service is starting using missing-lorrivan.conf WireGuard client configuration.",
        "",
        "Lorrivan WireGuard VPN Client 1.2.24 is running as a regular process.",
        "<time> Lorrivan Service has started.",
        // The library's configuration reader and parser at the client's level.
        "<time> failed to open the configuration file!",
        "<time> Interface section is not present!",
        "<time> Failed to initialize Wireguard tunnel.",
    };
    EXPECT_EQ(client_lines(result.output), expected) << result.output;
}

TEST(client_program_test, foreground_run_with_fallback_and_lac)
{
    const run_result result =
        client(L"run -lac -fallback-config other-lorrivan.conf -config missing-lorrivan.conf -log-level ALL");
    EXPECT_EQ(result.exit_code, 1u) << result.output;
    const std::vector<std::string> expected = {
        "<time> Lorrivan WireGuard VPN Client Service 1.2.24",
        "The service is starting using missing-lorrivan.conf WireGuard client configuration.",
        "",
        "<time> Fallback configuration: other-lorrivan.conf",
        "Lorrivan WireGuard VPN Client 1.2.24 is running as a regular process.",
        "<time> Lorrivan Service has started.",
        // The library's configuration reader and parser at the client's level.
        "<time> failed to open the configuration file!",
        "<time> Interface section is not present!",
        "<time> Failed to initialize Wireguard tunnel.",
    };
    EXPECT_EQ(client_lines(result.output), expected) << result.output;
}

TEST(client_program_test, foreground_run_without_debug_level_logs_nothing_of_its_own)
{
    for (const wchar_t* level : {L"", L" -log-level info", L" -log-level error", L" -log-level none"}) {
        SCOPED_TRACE(to_utf8(level));
        const run_result result = client(std::wstring(L"run -config missing-lorrivan.conf") + level);
        EXPECT_EQ(result.exit_code, 1u);
        EXPECT_EQ(client_lines(result.output),
                  std::vector<std::string>{"Lorrivan WireGuard VPN Client 1.2.24 is running as a regular process."});
    }
}

TEST(client_program_test, foreground_option_errors_exit_with_one)
{
    struct row {
        const wchar_t* arguments;
        const char* message;
    };
    for (const row r : {row{L"run -config", "no config file specified"},
                        row{L"RUN -config a.conf -fallback-config", "no fallback config file specified"},
                        row{L"run -log-level", "no logging level specified"}}) {
        SCOPED_TRACE(r.message);
        const run_result result = client(r.arguments);
        EXPECT_EQ(result.exit_code, 1u);
        EXPECT_EQ(result.output, text_mode(std::string(r.message) + "\n"));
    }
}

TEST(client_program_test, manifest_declares_windows_10)
{
    HMODULE image = ::LoadLibraryExW(client_program().c_str(), nullptr,
                                     LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(image, nullptr) << ::GetLastError();
    HRSRC resource = ::FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    ASSERT_NE(resource, nullptr);
    const DWORD size = ::SizeofResource(image, resource);
    const char* data = static_cast<const char*>(::LockResource(::LoadResource(image, resource)));
    ASSERT_NE(data, nullptr);
    const std::string manifest(data, size);
    EXPECT_NE(manifest.find("{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"), std::string::npos) << manifest;
    ::FreeLibrary(image);
}

namespace
{
// The import table of a 64-bit program: the library names and, for each, the imported
// function names ("#n" for an import by ordinal).
std::vector<std::pair<std::string, std::set<std::string>>> imports_of(const fs::path& program)
{
    const std::string image = read_file(program);
    const auto at = [&](std::size_t offset, std::size_t size) {
        if (offset > image.size() || size > image.size() - offset)
            throw std::out_of_range("outside the image");
        return image.data() + offset;
    };
    IMAGE_DOS_HEADER dos;
    std::memcpy(&dos, at(0, sizeof dos), sizeof dos);
    IMAGE_NT_HEADERS64 nt;
    std::memcpy(&nt, at(static_cast<std::size_t>(dos.e_lfanew), sizeof nt), sizeof nt);
    const std::size_t sections_at = static_cast<std::size_t>(dos.e_lfanew) + offsetof(IMAGE_NT_HEADERS64, OptionalHeader) +
                                    nt.FileHeader.SizeOfOptionalHeader;
    std::vector<IMAGE_SECTION_HEADER> sections(nt.FileHeader.NumberOfSections);
    std::memcpy(sections.data(), at(sections_at, sections.size() * sizeof(IMAGE_SECTION_HEADER)),
                sections.size() * sizeof(IMAGE_SECTION_HEADER));
    const auto file_offset = [&](DWORD rva) -> std::size_t {
        for (const auto& s : sections)
            if (rva >= s.VirtualAddress && rva < s.VirtualAddress + s.SizeOfRawData)
                return rva - s.VirtualAddress + s.PointerToRawData;
        throw std::out_of_range("address outside every section");
    };
    const auto text_at = [&](DWORD rva) { return std::string(at(file_offset(rva), 1)); };

    std::vector<std::pair<std::string, std::set<std::string>>> result;
    const DWORD imports_rva = nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
    for (std::size_t i = 0;; ++i) {
        IMAGE_IMPORT_DESCRIPTOR descriptor;
        std::memcpy(&descriptor, at(file_offset(imports_rva) + i * sizeof descriptor, sizeof descriptor),
                    sizeof descriptor);
        if (descriptor.Name == 0)
            break;
        std::set<std::string> names;
        const DWORD thunks = descriptor.OriginalFirstThunk ? descriptor.OriginalFirstThunk : descriptor.FirstThunk;
        for (std::size_t t = 0;; ++t) {
            ULONGLONG thunk;
            std::memcpy(&thunk, at(file_offset(thunks) + t * sizeof thunk, sizeof thunk), sizeof thunk);
            if (thunk == 0)
                break;
            if (thunk & IMAGE_ORDINAL_FLAG64)
                names.insert("#" + std::to_string(thunk & 0xFFFF));
            else
                names.insert(text_at(static_cast<DWORD>(thunk) + 2));
        }
        result.emplace_back(text_at(descriptor.Name), names);
    }
    return result;
}
} // namespace

TEST(client_program_test, imports_the_twelve_family_functions_by_name)
{
    const auto imports = imports_of(client_program());
    std::set<std::string> from_library;
    bool found = false;
    for (const auto& [library, names] : imports) {
        if (_stricmp(library.c_str(), "tundrel.dll") == 0) {
            found = true;
            from_library.insert(names.begin(), names.end());
        }
    }
    ASSERT_TRUE(found);
    const std::set<std::string> expected = {
        "tdl_get_handle",  "tdl_create_tunnel_from_file_w",  "tdl_start_tunnel",  "tdl_stop_tunnel",
        "tdl_drop_tunnel", "tdl_get_tunnel_active",          "tdlp_get_handle",   "tdlp_create_tunnel_from_file_w",
        "tdlp_start_tunnel", "tdlp_stop_tunnel", "tdlp_drop_tunnel", "tdlp_get_tunnel_active",
    };
    EXPECT_EQ(from_library, expected);
}
