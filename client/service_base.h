#pragma once
// A small framework for a Windows service in its own process: it holds the service's
// status, registers the control handler, turns the requests of the service control
// manager into calls of virtual operations, reports every pending and final state and
// writes failures to the Windows event log under the service's name.
#include "win32.h"

#include <string>
#include <vector>

class CServiceBase
{
public:
    explicit CServiceBase(const wchar_t* name);
    virtual ~CServiceBase() = default;
    CServiceBase(const CServiceBase&) = delete;
    CServiceBase& operator=(const CServiceBase&) = delete;

    // The process's command line, stored by wmain; the service reads its options from it.
    void set_command_line(int count, wchar_t** arguments)
    {
        argc = count;
        argv = arguments;
    }

    const wchar_t* name() const { return service_name; }
    const SERVICE_STATUS& current_status() const { return status; }

    // The request handlers: pending state, operation, final state; failures go to the
    // event log and end in the fallback state. Exceptions never leave them.
    void service_start(DWORD count, LPWSTR* arguments);
    void service_stop();
    void service_pause();
    void service_continue();
    void service_shutdown();

    // The service entry handed to StartServiceCtrlDispatcherW and the control handler;
    // both reach the object through service_instance.
    static void WINAPI service_main(DWORD count, LPWSTR* arguments);
    static void WINAPI service_ctrl_handler(DWORD control);

protected:
    // A derived class overrides what it needs and reports failure by throwing a DWORD
    // Windows error code or any other exception.
    virtual void on_start(DWORD count, LPWSTR* arguments);
    virtual void on_stop();
    virtual void on_pause();
    virtual void on_continue();
    virtual void on_shutdown();

    // One event with one string per line of the message; fails silently.
    virtual void write_event_log_entry(const wchar_t* message, WORD type, DWORD id, WORD category);
    // "<function> failed with error code 0x<code>" as an error event.
    virtual void write_error_log_entry(const wchar_t* function, DWORD error);

    // Sets the state and the Win32 exit code and reports them; the check point is 0 for
    // running and stopped and the next counter value for every other state.
    void set_service_status(DWORD state, DWORD exit_code = NO_ERROR);

    const wchar_t* service_name;
    int argc = 0;
    wchar_t** argv = nullptr;
    SERVICE_STATUS status{};
    SERVICE_STATUS_HANDLE status_handle = nullptr;
    DWORD event_id = 0;
    WORD event_category = 0;
};

// The one service object of the process, published by wmain before the dispatcher starts.
extern CServiceBase* service_instance;

// The message split at line feeds, one string per line.
std::vector<std::wstring> split_event_lines(const wchar_t* message);

// The error entry's text: "%s failed with error code 0x%08lx", cut to 259 characters.
std::wstring error_entry_text(const wchar_t* function, DWORD error);
