#include "lorrivan_service.h"

#include "text.h"

#include <cwchar>
#include <filesystem>
#include <mutex>
#include <optional>
#include <stdexcept>

namespace
{
const wchar_t* const client_service_name = L"lorrivan-client-service";

bool same_text(const wchar_t* a, const wchar_t* b)
{
    return ::_wcsicmp(a, b) == 0;
}

// The foreground run whose worker a console stop ends.
std::mutex console_stop_mutex;
lorrivan_service* console_stop_target = nullptr;
std::chrono::milliseconds console_stop_bound{0};

// Makes the service the foreground run that a console stop ends, for as long as it lives.
class console_stop_registration
{
public:
    console_stop_registration(lorrivan_service& service, std::chrono::milliseconds bound)
    {
        {
            std::lock_guard lock(console_stop_mutex);
            console_stop_target = &service;
            console_stop_bound = bound;
        }
        ::SetConsoleCtrlHandler(&console_stop_handler, TRUE);
    }
    ~console_stop_registration()
    {
        {
            // Waits for a console stop in progress.
            std::lock_guard lock(console_stop_mutex);
            console_stop_target = nullptr;
        }
        ::SetConsoleCtrlHandler(&console_stop_handler, FALSE);
    }
    console_stop_registration(const console_stop_registration&) = delete;
    console_stop_registration& operator=(const console_stop_registration&) = delete;
};
} // namespace

BOOL WINAPI console_stop_handler(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT)
        return FALSE;
    std::lock_guard lock(console_stop_mutex);
    if (!console_stop_target)
        return FALSE;
    // When the worker does not stop in time, the default handler ends the process.
    return console_stop_target->stop_worker(console_stop_bound) ? TRUE : FALSE;
}

HANDLE create_worker_thread(LPTHREAD_START_ROUTINE procedure, void* argument)
{
    return ::CreateThread(nullptr, 0, procedure, argument, 0, nullptr);
}

tunnel_options parse_tunnel_options(int argc, wchar_t** argv)
{
    tunnel_options options;
    for (int i = 2; i < argc; ++i) {
        const wchar_t* option = argv[i];
        if (same_text(option, L"-config")) {
            if (++i >= argc)
                throw std::runtime_error("no config file specified");
            options.config_path = argv[i];
        } else if (same_text(option, L"-fallback-config")) {
            if (++i >= argc)
                throw std::runtime_error("no fallback config file specified");
            if (argv[i][0] != L'\0')
                options.fallback_config_path = argv[i];
        } else if (same_text(option, L"-log-level")) {
            if (++i >= argc)
                throw std::runtime_error("no logging level specified");
            const wchar_t* level = argv[i];
            if (same_text(level, L"error"))
                options.log_level = 0;
            else if (same_text(level, L"info"))
                options.log_level = 1;
            else if (same_text(level, L"debug"))
                options.log_level = 2;
            else if (same_text(level, L"all"))
                options.log_level = 3;
        } else if (same_text(option, L"-lac")) {
            options.dual = true;
        }
    }
    return options;
}

std::wstring program_folder()
{
    char name[MAX_PATH] = {};
    const DWORD size = ::GetModuleFileNameA(nullptr, name, MAX_PATH);
    return std::filesystem::path(from_file_system_code_page(std::string_view(name, size)))
        .parent_path()
        .wstring();
}

std::wstring settle_config_path(const std::wstring& path)
{
    namespace fs = std::filesystem;
    const fs::path written(path);
    if (fs::exists(written))
        return path;
    const fs::path joined = fs::path(program_folder()) / written;
    if (fs::exists(joined))
        return joined.generic_wstring();
    return path;
}

lorrivan_service::lorrivan_service(const tunnel_family& single, const tunnel_family& dual,
                                   worker_environment environment)
    : CServiceBase(client_service_name), single_(single), dual_(dual), environment_(environment)
{
    stop_event.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!stop_event)
        throw std::runtime_error("Error occurred in CreateEvent: " + std::to_string(::GetLastError()));
    WSADATA data;
    if (::WSAStartup(MAKEWORD(2, 2), &data) != 0)
        throw std::runtime_error("WSAStartup failed with error\n");
}

lorrivan_service::~lorrivan_service()
{
    ::WSACleanup();
}

void lorrivan_service::log(const std::string& text) const
{
    if (log_level > 1 && environment_.log)
        environment_.log(text.c_str());
}

bool lorrivan_service::worker_stopped() const
{
    return ::WaitForSingleObject(stop_event.get(), 0) == WAIT_OBJECT_0;
}

bool lorrivan_service::stop_worker(std::chrono::milliseconds bound)
{
    stopping.exchange(true);
    // A worker that has not started yet stops at its first pass.
    if (!worker_started_)
        return true;
    return ::WaitForSingleObject(stop_event.get(), static_cast<DWORD>(bound.count())) == WAIT_OBJECT_0;
}

void lorrivan_service::on_start(DWORD, LPWSTR*)
{
    if (argc < 2)
        throw std::runtime_error("no configuration file specified");
    running_as_service = same_text(argv[1], L"service");
    // In the foreground a console stop may come at any moment from here on; one that
    // comes before the worker runs stops the worker at its first pass.
    std::optional<console_stop_registration> console_stop;
    if (!running_as_service)
        console_stop.emplace(*this, environment_.stop_wait_bound);

    const tunnel_options parsed = parse_tunnel_options(argc, argv);
    config_path = parsed.config_path;
    fallback_config_path = parsed.fallback_config_path;
    log_level = parsed.log_level;
    use_dual = parsed.dual;

    try {
        config_path = settle_config_path(config_path);
        if (fallback_config_path)
            fallback_config_path = settle_config_path(*fallback_config_path);
    } catch (const std::exception& error) {
        log(to_utf8(cut(L"Lorrivan Service\nError reading configuration " +
                            from_file_system_code_page(error.what()),
                        MAX_PATH - 1)));
    }

    log(std::string("Lorrivan WireGuard VPN Client Service ") + client_version + "\n" +
        "The service is starting using " + to_utf8(config_path) + " WireGuard client configuration.\n");
    if (fallback_config_path)
        log("Fallback configuration: " + to_utf8(*fallback_config_path));

    const LPTHREAD_START_ROUTINE worker = use_dual ? &tunnel_worker_p : &tunnel_worker;
    if (running_as_service) {
        log("Lorrivan WireGuard VPN Client will run as a service.");
        worker_started_ = true;
        const HANDLE thread = environment_.create_thread(worker, this);
        if (!thread) {
            // A service whose worker never runs could never stop: the start fails.
            const DWORD error = ::GetLastError();
            worker_started_ = false;
            log("Lorrivan WireGuard VPN Client couldn't create worker thread.");
            throw static_cast<DWORD>(error != NO_ERROR ? error : ERROR_SERVICE_NO_THREAD);
        }
        ::CloseHandle(thread);
        return;
    }

    console_print(L"Lorrivan WireGuard VPN Client %ls is running as a regular process.\n", client_version_w);
    worker_started_ = true;
    worker_result_ = worker(this);
    console_stop.reset();
    // A console stop ends the run as asked, also one that came as the worker gave up.
    if (stopping)
        worker_result_ = 0;
}

void lorrivan_service::on_stop()
{
    log("Lorrivan WireGuard VPN Client Service is stopping");
    stopping.exchange(true);
    if (!worker_started_)
        return;
    if (::WaitForSingleObject(stop_event.get(), INFINITE) == WAIT_FAILED)
        throw std::runtime_error("Error occurred in WaitForSingleObject: " + std::to_string(::GetLastError()));
}

void lorrivan_service::on_shutdown()
{
    // The system is going down: the tunnel is stopped as at a service stop, so that its
    // host changes are undone, but the wait is bounded.
    log("Lorrivan WireGuard VPN Client Service is stopping");
    stop_worker(environment_.stop_wait_bound);
}
