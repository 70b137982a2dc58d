#pragma once
// The client's service class: it reads the tunnel options of the command line, settles
// the configuration paths and runs the tunnel worker, on a thread of its own in service
// mode and on the calling thread in the foreground.
#include "client_log.h"
#include "handles.h"
#include "service_base.h"
#include "tunnel_family.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

// The program's version, shown at start.
inline constexpr const char* client_version = "1.2.24";
inline constexpr const wchar_t* client_version_w = L"1.2.24";

// The worker's result when the tunnel cannot be created in the foreground.
inline constexpr std::uint32_t worker_gave_up = 0xFFFFFFFFu;

// A new thread running the procedure (CreateThread).
HANDLE create_worker_thread(LPTHREAD_START_ROUTINE procedure, void* argument);

// What the service needs from its surroundings. The program uses the defaults; tests
// shorten the times and collect the log lines.
struct worker_environment {
    // The worker's pause between two passes of its loop.
    std::chrono::milliseconds poll_interval{500};
    // How long a system shutdown or a console stop waits for the worker to stop the tunnel.
    std::chrono::milliseconds stop_wait_bound{10000};
    // The log sink of the client's own lines and of the library's.
    log_callback log = &log_message;
    // Starts the worker thread in service mode; null (with the error left in the
    // thread's last error) when it cannot.
    HANDLE (*create_thread)(LPTHREAD_START_ROUTINE procedure, void* argument) = &create_worker_thread;
};

// The options of the command line, read from the third argument on.
struct tunnel_options {
    std::wstring config_path;
    std::optional<std::wstring> fallback_config_path;
    std::uint32_t log_level = 0;
    bool dual = false; // -lac: the tdlp_ family
};

// Reads -config, -fallback-config, -log-level and -lac; throws std::runtime_error with
// the option's message when a value is missing.
tunnel_options parse_tunnel_options(int argc, wchar_t** argv);

// The path rule: the path as written when something exists there; else the path joined
// to the program's folder, in generic form, when something exists there; else as
// written. Throws when the file system cannot be asked.
std::wstring settle_config_path(const std::wstring& path);

// The folder of the running program.
std::wstring program_folder();

class lorrivan_service : public CServiceBase
{
public:
    // Throws std::runtime_error when the stop event cannot be created or Winsock does
    // not start.
    lorrivan_service(const tunnel_family& single, const tunnel_family& dual,
                     worker_environment environment = {});
    ~lorrivan_service() override;

    // The options as on_start settled them.
    tunnel_options options() const { return {config_path, fallback_config_path, log_level, use_dual}; }

    // The worker's result in the foreground (0 after a stop, worker_gave_up when the
    // tunnel could not be created).
    std::uint32_t worker_result() const { return worker_result_; }

    // True once the worker has ended and signalled the stop event: after stopping the
    // tunnel, or after giving up in the foreground.
    bool worker_stopped() const;
    // True when a worker was started (and so may still be running).
    bool worker_started() const { return worker_started_; }

    // Asks the worker to stop and waits for it at most the given time; true when it
    // ended in time, or has not started yet (it then stops at its first pass).
    bool stop_worker(std::chrono::milliseconds bound);

    // The two workers, usable as thread procedures with the service object as argument:
    // tunnel_worker over the tdl_ family, tunnel_worker_p over the tdlp_ family.
    static DWORD WINAPI tunnel_worker(void* service);
    static DWORD WINAPI tunnel_worker_p(void* service);

    void on_start(DWORD count, LPWSTR* arguments) override;
    void on_stop() override;
    void on_shutdown() override;

private:
    friend std::uint32_t run_tunnel_worker(lorrivan_service& service, const tunnel_family& family);
    void log(const std::string& text) const;

    std::atomic<bool> stopping{false};
    unique_handle stop_event;
    std::wstring config_path;
    std::optional<std::wstring> fallback_config_path;
    std::uint32_t log_level = 0;
    bool use_dual = false;

    const tunnel_family& single_;
    const tunnel_family& dual_;
    worker_environment environment_;
    std::atomic<bool> worker_started_{false};
    std::uint32_t worker_result_ = 0;
};

// The foreground run's console stop (Ctrl+C, Ctrl+Break, closing the console): it
// stops the worker as a service stop does, so that the tunnel's host changes are undone
// before the process ends, and waits for it at most the stop wait bound; the run then
// ends with 0. It counts from the start of the run's on_start, before the worker runs.
// FALSE (the default handling) when no foreground run is on or its worker did not stop
// in time.
BOOL WINAPI console_stop_handler(DWORD event);

// The worker loop over one family's table.
std::uint32_t run_tunnel_worker(lorrivan_service& service, const tunnel_family& family);
