// A service built on the service framework, for the life-cycle tests under the service
// control manager:
//   client_test_service.exe service <name> <record file> [start-delay=<ms>]
//       [stop-delay=<ms>] [start-error=<code>] [start-message]
// records its operations and event-log entries, one line each, in the record file.
//   client_test_service.exe raw-slow-stop <name> <ms>
// is a service outside the framework whose stop handler reports stop pending at once
// and the stop only after the given time (for the remover's bounded wait).
//   client_test_service.exe log <text>...
// writes each text as a service-mode log line and ends.
#include "client_log.h"
#include "service_base.h"
#include "text.h"

#include <cwchar>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <string>

namespace
{
class test_service : public CServiceBase
{
public:
    test_service(const wchar_t* name, std::wstring record_file) : CServiceBase(name), record_file_(std::move(record_file))
    {
    }

    DWORD start_delay = 0;
    DWORD stop_delay = 0;
    DWORD start_error = 0;
    bool start_message = false;

    void record(const std::string& line)
    {
        std::lock_guard lock(mutex_);
        std::ofstream(std::filesystem::path(record_file_), std::ios::app | std::ios::binary) << line << '\n';
    }

protected:
    void on_start(DWORD, LPWSTR*) override
    {
        record("on_start");
        ::Sleep(start_delay);
        if (start_error)
            throw start_error;
        if (start_message)
            throw std::runtime_error("start failed");
    }
    void on_stop() override
    {
        record("on_stop");
        ::Sleep(stop_delay);
    }
    void write_event_log_entry(const wchar_t* message, WORD type, DWORD id, WORD category) override
    {
        std::string text = to_utf8(message);
        for (std::size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at))
            text.replace(at, 1, "\\n");
        record("event|" + std::to_string(type) + "|" + std::to_string(id) + "|" + std::to_string(category) + "|" +
               text);
        CServiceBase::write_event_log_entry(message, type, id, category);
    }

private:
    std::mutex mutex_;
    std::wstring record_file_;
};

// The service outside the framework.
SERVICE_STATUS_HANDLE raw_handle = nullptr;
SERVICE_STATUS raw_status{SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, SERVICE_ACCEPT_STOP, 0, 0, 0, 0};
DWORD raw_stop_delay = 0;
HANDLE raw_stopped = nullptr;

void WINAPI raw_handler(DWORD control)
{
    if (control != SERVICE_CONTROL_STOP)
        return;
    raw_status.dwCurrentState = SERVICE_STOP_PENDING;
    raw_status.dwCheckPoint = 1;
    raw_status.dwWaitHint = raw_stop_delay + 1000;
    ::SetServiceStatus(raw_handle, &raw_status);
    ::CreateThread(
        nullptr, 0,
        [](void*) -> DWORD {
            ::Sleep(raw_stop_delay);
            ::SetEvent(raw_stopped);
            return 0;
        },
        nullptr, 0, nullptr);
}

void WINAPI raw_main(DWORD, LPWSTR* arguments)
{
    raw_handle = ::RegisterServiceCtrlHandlerW(arguments[0], &raw_handler);
    raw_status.dwCurrentState = SERVICE_RUNNING;
    ::SetServiceStatus(raw_handle, &raw_status);
    ::WaitForSingleObject(raw_stopped, INFINITE);
    raw_status.dwCurrentState = SERVICE_STOPPED;
    raw_status.dwCheckPoint = 0;
    raw_status.dwWaitHint = 0;
    ::SetServiceStatus(raw_handle, &raw_status);
}

// Wine's service manager reads the answer to the last start or stop request after the
// dispatcher has already returned here: a process that ended at once would lose it, and
// StartService or ControlService would fail although the service did what was asked.
void linger_for_the_last_reply()
{
    ::Sleep(1000);
}

DWORD value_of(const wchar_t* argument, const wchar_t* prefix)
{
    const std::size_t length = std::wcslen(prefix);
    if (std::wcsncmp(argument, prefix, length) != 0)
        return 0;
    return static_cast<DWORD>(std::wcstoul(argument + length, nullptr, 10));
}
} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc >= 2 && std::wcscmp(argv[1], L"log") == 0) {
        running_as_service = true;
        for (int i = 2; i < argc; ++i)
            log_message(to_utf8(argv[i]).c_str());
        return 0;
    }
    if (argc == 4 && std::wcscmp(argv[1], L"raw-slow-stop") == 0) {
        raw_stop_delay = static_cast<DWORD>(std::wcstoul(argv[3], nullptr, 10));
        raw_stopped = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        SERVICE_TABLE_ENTRYW table[] = {{argv[2], &raw_main}, {nullptr, nullptr}};
        const BOOL dispatched = ::StartServiceCtrlDispatcherW(table);
        linger_for_the_last_reply();
        return dispatched ? 0 : 1;
    }
    if (argc < 4 || std::wcscmp(argv[1], L"service") != 0)
        return 2;
    test_service service(argv[2], argv[3]);
    for (int i = 4; i < argc; ++i) {
        if (const DWORD v = value_of(argv[i], L"start-delay="))
            service.start_delay = v;
        if (const DWORD v = value_of(argv[i], L"stop-delay="))
            service.stop_delay = v;
        if (const DWORD v = value_of(argv[i], L"start-error="))
            service.start_error = v;
        if (std::wcscmp(argv[i], L"start-message") == 0)
            service.start_message = true;
    }
    service.set_command_line(argc, argv);
    service_instance = &service;
    SERVICE_TABLE_ENTRYW table[] = {{argv[2], &CServiceBase::service_main}, {nullptr, nullptr}};
    if (!::StartServiceCtrlDispatcherW(table)) {
        service.record("dispatcher failed " + std::to_string(::GetLastError()));
        return 1;
    }
    service.record("dispatcher returned");
    linger_for_the_last_reply();
    return 0;
}
