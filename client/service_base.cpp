#include "service_base.h"

#include "text.h"

#include <atomic>
#include <exception>

CServiceBase* service_instance = nullptr;

namespace
{
// Each pending state takes the counter's value as its check point.
std::atomic<DWORD> check_point_counter{1};

// What a start failure that is not a Windows error code reports as the exit code, so
// that a failed start never looks like a clean stop.
constexpr DWORD start_exception_exit_code = ERROR_EXCEPTION_IN_SERVICE;
} // namespace

CServiceBase::CServiceBase(const wchar_t* name) : service_name(name)
{
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = SERVICE_START_PENDING;
    status.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
    status.dwWin32ExitCode = NO_ERROR;
    status.dwServiceSpecificExitCode = 0;
    status.dwCheckPoint = 0;
    status.dwWaitHint = 0;
}

void WINAPI CServiceBase::service_main(DWORD count, LPWSTR* arguments)
{
    CServiceBase* service = service_instance;
    if (!service)
        return;
    service->status_handle = ::RegisterServiceCtrlHandlerW(service->service_name, &service_ctrl_handler);
    if (!service->status_handle) {
        service->write_error_log_entry(L"RegisterServiceCtrlHandler", ::GetLastError());
        return;
    }
    service->service_start(count, arguments);
}

void WINAPI CServiceBase::service_ctrl_handler(DWORD control)
{
    CServiceBase* service = service_instance;
    if (!service)
        return;
    switch (control) {
    case SERVICE_CONTROL_STOP:
        service->service_stop();
        break;
    case SERVICE_CONTROL_PAUSE:
        service->service_pause();
        break;
    case SERVICE_CONTROL_CONTINUE:
        service->service_continue();
        break;
    case SERVICE_CONTROL_SHUTDOWN:
        service->service_shutdown();
        break;
    default:
        break;
    }
}

void CServiceBase::service_start(DWORD count, LPWSTR* arguments)
{
    try {
        set_service_status(SERVICE_START_PENDING);
        on_start(count, arguments);
        set_service_status(SERVICE_RUNNING);
    } catch (DWORD error) {
        write_error_log_entry(L"Service Start", error);
        set_service_status(SERVICE_STOPPED, error);
    } catch (...) {
        write_event_log_entry(L"Service failed to start.", EVENTLOG_ERROR_TYPE, event_id, event_category);
        set_service_status(SERVICE_STOPPED, start_exception_exit_code);
    }
}

void CServiceBase::service_stop()
{
    const DWORD original_state = status.dwCurrentState;
    try {
        set_service_status(SERVICE_STOP_PENDING);
        on_stop();
        set_service_status(SERVICE_STOPPED);
    } catch (DWORD error) {
        write_error_log_entry(L"Service Stop", error);
        set_service_status(original_state);
    } catch (...) {
        write_event_log_entry(L"Service failed to stop.", EVENTLOG_ERROR_TYPE, event_id, event_category);
        set_service_status(original_state);
    }
}

void CServiceBase::service_pause()
{
    try {
        set_service_status(SERVICE_PAUSE_PENDING);
        on_pause();
        set_service_status(SERVICE_PAUSED);
    } catch (DWORD error) {
        write_error_log_entry(L"Service Pause", error);
        set_service_status(SERVICE_RUNNING);
    } catch (...) {
        write_event_log_entry(L"Service failed to pause.", EVENTLOG_ERROR_TYPE, event_id, event_category);
        set_service_status(SERVICE_RUNNING);
    }
}

void CServiceBase::service_continue()
{
    try {
        set_service_status(SERVICE_CONTINUE_PENDING);
        on_continue();
        set_service_status(SERVICE_RUNNING);
    } catch (DWORD error) {
        write_error_log_entry(L"Service Continue", error);
        set_service_status(SERVICE_PAUSED);
    } catch (...) {
        write_event_log_entry(L"Service failed to resume.", EVENTLOG_ERROR_TYPE, event_id, event_category);
        set_service_status(SERVICE_PAUSED);
    }
}

void CServiceBase::service_shutdown()
{
    try {
        on_shutdown();
        set_service_status(SERVICE_STOPPED);
    } catch (DWORD error) {
        write_error_log_entry(L"Service Shutdown", error);
    } catch (...) {
        write_event_log_entry(L"Service failed to shut down.", EVENTLOG_ERROR_TYPE, event_id, event_category);
    }
}

void CServiceBase::on_start(DWORD, LPWSTR*) {}
void CServiceBase::on_stop() {}
void CServiceBase::on_pause() {}
void CServiceBase::on_continue() {}
void CServiceBase::on_shutdown() {}

void CServiceBase::set_service_status(DWORD state, DWORD exit_code)
{
    status.dwCurrentState = state;
    status.dwWin32ExitCode = exit_code;
    status.dwWaitHint = 0;
    status.dwCheckPoint =
        (state == SERVICE_RUNNING || state == SERVICE_STOPPED) ? 0 : check_point_counter++;
    ::SetServiceStatus(status_handle, &status);
}

std::vector<std::wstring> split_event_lines(const wchar_t* message)
{
    std::vector<std::wstring> lines;
    std::wstring_view rest(message);
    while (!rest.empty()) {
        const std::size_t end = rest.find(L'\n');
        lines.emplace_back(rest.substr(0, end));
        if (end == std::wstring_view::npos)
            break;
        rest.remove_prefix(end + 1);
    }
    return lines;
}

void CServiceBase::write_event_log_entry(const wchar_t* message, WORD type, DWORD id, WORD category)
{
    try {
        const std::vector<std::wstring> lines = split_event_lines(message);
        std::vector<const wchar_t*> strings;
        for (const std::wstring& line : lines)
            strings.push_back(line.c_str());
        HANDLE source = ::RegisterEventSourceW(nullptr, service_name);
        if (!source)
            return;
        ::ReportEventW(source, type, category, id, nullptr, static_cast<WORD>(strings.size()), 0,
                       strings.data(), nullptr);
        ::DeregisterEventSource(source);
    } catch (...) {
        // The copy could not be made: nothing is written.
    }
}

std::wstring error_entry_text(const wchar_t* function, DWORD error)
{
    return cut(std::wstring(function) + L" failed with error code 0x" + hex8(error), MAX_PATH - 1);
}

void CServiceBase::write_error_log_entry(const wchar_t* function, DWORD error)
{
    try {
        write_event_log_entry(error_entry_text(function, error).c_str(), EVENTLOG_ERROR_TYPE, event_id,
                              event_category);
    } catch (...) {
    }
}
