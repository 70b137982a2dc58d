// The family's exit-time destructor with a tunnel still running, in child processes:
//  - the library as a DLL, left by the program's exit: the process's other threads are
//    ended before the library is detached, so the destructor waits for nothing and
//    logs nothing, and only undoes the address switching;
//  - the library as a DLL that the program unloads while a tunnel exists: it stays
//    loaded (the tunnel holds a reference), so the destructor runs only at the
//    process's end as above;
//  - the library linked into the program: the program's exit runs the destructor while
//    the tunnel's threads are alive, and it stops and frees the tunnel;
//  - the library as a DLL that the program unloads after a drop whose registration
//    could not be cancelled: it stays loaded for that registration's callbacks.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "exit_scenario.h"
#include "win32.h"

namespace
{
constexpr const wchar_t* library_name = L"manager_exit_library.dll";

struct child_result {
    bool finished = false;
    DWORD exit_code = 0;
    std::string report;
};

child_result run_child(const std::string& mode)
{
    static int counter = 0;
    wchar_t self[MAX_PATH];
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    const std::wstring report = std::wstring(temp) + L"manager_exit_" + std::to_wstring(::GetCurrentProcessId()) +
                                L"_" + std::to_wstring(++counter) + L".txt";
    ::DeleteFileW(report.c_str());
    std::wstring command = L"\"" + std::wstring(self) + L"\" --exit-child " +
                           std::wstring(mode.begin(), mode.end()) + L" \"" + report + L"\"";

    child_result result;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return result;
    result.finished = ::WaitForSingleObject(process.hProcess, 30000) == WAIT_OBJECT_0;
    if (!result.finished)
        ::TerminateProcess(process.hProcess, 99);
    ::GetExitCodeProcess(process.hProcess, &result.exit_code);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    std::ifstream in{std::filesystem::path(report)};
    std::getline(in, result.report);
    in.close();
    ::DeleteFileW(report.c_str());
    return result;
}

TEST(manager_exit, the_librarys_detach_at_the_process_end_waits_for_nothing_and_undoes_the_host_changes)
{
    const child_result r = run_child("library");
    ASSERT_TRUE(r.finished) << "the process did not end: the detach waited";
    EXPECT_EQ(r.exit_code, exit_scenario_reported) << "report: " << r.report;
    EXPECT_EQ(r.report, "undone=1 silent=1 family=0 ending=1 live=1 registrations=1");
}

TEST(manager_exit, a_library_unloaded_with_a_tunnel_stays_until_the_process_ends)
{
    const child_result r = run_child("unload");
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exit_code, exit_scenario_reported) << "report: " << r.report;
    EXPECT_EQ(r.report, "undone=1 silent=1 family=0 ending=1 live=1 registrations=1");
}

TEST(manager_exit, the_programs_own_exit_stops_and_frees_the_tunnel)
{
    const child_result r = run_child("static");
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exit_code, exit_scenario_reported) << "report: " << r.report;
    EXPECT_EQ(r.report, "undone=1 silent=1 family=0 ending=0 live=0 registrations=0");
}

TEST(manager_exit, the_librarys_detach_at_the_process_end_undoes_the_virtual_adapter)
{
    const child_result r = run_child("dual-library");
    ASSERT_TRUE(r.finished) << "the process did not end: the detach waited";
    EXPECT_EQ(r.exit_code, exit_scenario_reported) << "report: " << r.report;
    EXPECT_EQ(r.report, "undone=1 silent=1 family=0 ending=1 live=1 registrations=1");
}

TEST(manager_exit, the_programs_own_exit_stops_and_frees_the_dual_tunnel)
{
    const child_result r = run_child("dual-static");
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exit_code, exit_scenario_reported) << "report: " << r.report;
    EXPECT_EQ(r.report, "undone=1 silent=1 family=0 ending=0 live=0 registrations=0");
}

TEST(manager_exit, a_library_unloaded_after_a_drop_that_left_a_registration_stays_until_the_process_ends)
{
    const child_result r = run_child("dual-refused-unload");
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exit_code, exit_scenario_reported) << "report: " << r.report;
    EXPECT_EQ(r.report, "undone=1 silent=1 family=0 ending=1 live=0 registrations=1");
}

int child(const std::string& mode, const std::wstring& report)
{
    if (mode == "static")
        return exit_scenario_start(report.c_str()) == 0 ? 0 : 10; // exit() runs the destructors
    if (mode == "dual-static") {
        const int failed = exit_scenario_start_dual(report.c_str());
        return failed == 0 ? 0 : 30 + failed;
    }
    const HMODULE library = ::LoadLibraryW(library_name);
    if (library == nullptr)
        return 11;
    using start_function = int (*)(const wchar_t*);
    const bool dual = mode == "dual-library" || mode == "dual-refused-unload";
    const char* const entry = dual ? "exit_scenario_start_dual" : "exit_scenario_start";
    const auto start =
        reinterpret_cast<start_function>(reinterpret_cast<void*>(::GetProcAddress(library, entry)));
    if (start == nullptr)
        return 12;
    if (const int failed = start(report.c_str()); failed != 0)
        return 20 + failed;
    if (mode == "dual-refused-unload") {
        const auto drop = reinterpret_cast<int (*)()>(
            reinterpret_cast<void*>(::GetProcAddress(library, "exit_scenario_drop_dual_refused")));
        if (drop == nullptr || drop() != 0)
            return 14;
    }
    if (mode == "unload" || mode == "dual-refused-unload") {
        ::FreeLibrary(library);
        if (::GetModuleHandleW(library_name) == nullptr)
            return 13; // unloaded under the running tunnel
    }
    return 0;
}
} // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && std::string(argv[1]) == "--exit-child") {
        const std::string report(argv[3]);
        return child(argv[2], std::wstring(report.begin(), report.end()));
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
