#pragma once
// wireguard_manager<T>: the tunnel manager of one export family. The instance for
// wireguard::wg_tunnel stands behind the tdl_ functions, the instance for
// wireguard::wg_dual_tunnel behind the tdlp_ functions. Each family's instance is a
// process-wide singleton (get_instance) that holds the family's log settings, its one
// configuration and its one tunnel, and turns a configuration into a tunnel
// (initialize_tunneling).
//
// Locking: manager_mutex is held for the whole of each create and drop (the tunnel's
// construction, its filter's creation and its destruction included). Start, stop,
// set_log_level and the two queries take no lock and read the tunnel directly; callers
// do not run them concurrently with a create or a drop of the same family (the client
// makes all its calls from one thread). The fields that the packet classification reads
// on the filter's thread while set_log_level or a create writes them are atomics, or
// change only while the family has no tunnel (config).
//
// Unloading: the instance's exit-time destructor stops and frees the tunnel before it
// ends Winsock (release_at_exit tells how it stays safe inside the loader's lock).
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "config/log_callback.h"
#include "config/wg_config.h"
#include "tundrel.h"
#include "win32.h"

namespace wireguard
{
class wg_tunnel;
class wg_dual_tunnel;

// The keep-alive interval that a tunnel gets for a configured PersistentKeepalive:
// the value clamped to 0..65535 seconds.
std::uint16_t keep_alive_interval(std::int32_t seconds) noexcept;

// The text that stands for the SOCKS5 password in the manager's credentials line.
inline constexpr const char* masked_password = "********";

// A reference on the module (tundrel.dll, or the program that links the library) that
// holds this code. While a tunnel exists the manager holds one, so that the library
// cannot be unloaded under the tunnel's threads: it then unloads only when the process
// ends.
class module_reference
{
public:
    module_reference() = default;
    module_reference(const module_reference&) = delete;
    module_reference& operator=(const module_reference&) = delete;
    // Leaves a reference in place: freeing the module while it is being unloaded is not
    // allowed, and at any other time release() has run.
    ~module_reference() = default;

    void acquire() noexcept;
    void release() noexcept;
    bool held() const noexcept { return module_ != nullptr; }

private:
    HMODULE module_ = nullptr;
};

// True while the process is ending (ExitProcess has begun): the process's other threads
// have been ended by the system, and the library is being detached under the loader's
// lock.
bool process_is_ending() noexcept;

template <class T>
class wireguard_manager
{
public:
    // Builds the family's instance on the first call (level, callback and capture flag
    // of that call; Winsock started; family initialised) and returns it; later calls
    // return it and ignore their arguments. Thread-safe.
    static wireguard_manager& get_instance(::log_callback callback, std::uint32_t level, bool capture);

    // The family's instance when the handle is its address and the family is
    // initialised; null otherwise. The handle is only compared, never dereferenced.
    static wireguard_manager* from_handle(const void* handle) noexcept;
    static bool family_initialised() noexcept { return family_initialised_.load(); }

    // A manager of its own, outside the family (the family's instance is made by
    // get_instance). Starts Winsock; logs "[MGR]: WSAStartup failed with error\n" when
    // that fails and is built all the same.
    wireguard_manager(::log_callback callback, std::uint32_t level, bool capture);
    // Exit-time destructor of the family's instance: release_at_exit(process_is_ending()).
    ~wireguard_manager();
    wireguard_manager(const wireguard_manager&) = delete;
    wireguard_manager& operator=(const wireguard_manager&) = delete;

    // Creates the tunnel from a configuration record; false (and the record discarded)
    // when a tunnel exists or the tunnel cannot be built.
    bool create_tunnel(wg_config&& c);
    // Reads and parses the file (the reader and parser log why they fail), then creates.
    bool create_tunnel_from_file(const std::string& path);
    bool create_tunnel_from_file(const std::wstring& path);
    // Destroys the tunnel (its destructor stops it) and the configuration; false with
    // "[MGR]: Tunnel does not exist!" when there is none.
    bool drop_tunnel();
    // Registers for interface changes (once: not again while a registration is held)
    // and starts; true when the tunnel runs afterwards.
    bool start_tunnel();
    // Stops the tunnel for good (no restart starts it again) and cancels the
    // registration; true whatever the state was. False without a tunnel.
    bool stop_tunnel();
    // The engine's statistics; all zero without a tunnel.
    tunnel_state get_tunnel_state() const;
    bool get_tunnel_active() const;
    // The manager's level and the tunnel's become the value; a negative value counts as 0.
    void set_log_level(std::int32_t level);
    // Hands the text to the callback when the importance is below the level.
    void log(std::int32_t importance, const std::string& text) const;

    // The work of the exit-time destructor; runs once (later calls find nothing to do).
    // First the family stops answering (its exports get the failure values from here
    // on). Then:
    //  - while the process is ending, the process's other threads are gone already: the
    //    tunnel's threads cannot be joined nor its locks taken, and the loader's lock is
    //    held. Nothing is waited for and nothing is logged: only the host changes that
    //    would outlive the process are undone (the single tunnel's address switching
    //    rows; the dual tunnel's virtual adapter: its routes, addresses, NameServer values
    //    and activation), and the tunnel, the configuration and the lock are left to the
    //    system with the process.
    //    Winsock ends with the process as well.
    //  - otherwise (the program's own exit, or the library unloaded by FreeLibrary, which
    //    cannot happen while a tunnel exists: see module_reference) the tunnel's threads
    //    are alive and can end: the manager lock is waited for at most 5 s (when a
    //    create or drop still holds it, everything is left as it is), logging is
    //    silenced (the caller's log sink may be gone by now), the tunnel is stopped and
    //    freed, then the configuration; then WSACleanup.
    void release_at_exit(bool process_ending) noexcept;

    // ---- fields -----------------------------------------------------------------------
    std::atomic<std::uint32_t> log_level{0};
    ::log_callback log_callback = nullptr;
    bool capture_packets = false;
    std::unique_ptr<wg_config> config;
    std::unique_ptr<T> tunnel;
    std::unique_ptr<std::timed_mutex> manager_mutex;
    // A DisallowedApps entry of the current configuration names the DNS client service.
    std::atomic<bool> dns_cache_bypass{false};

private:
    // Builds the tunnel from config; false after logging when any step failed (no
    // tunnel is left then).
    bool initialize_tunneling();
    // Under manager_mutex: config := c, then initialize_tunneling.
    bool install(wg_config&& c);
    bool refuse_existing_tunnel() const;

    bool winsock_started_ = false;
    bool released_ = false;
    module_reference module_hold_;

    static inline std::atomic<bool> family_initialised_{false};
    static inline std::atomic<wireguard_manager*> family_instance_{nullptr};
};

extern template class wireguard_manager<wg_tunnel>;
extern template class wireguard_manager<wg_dual_tunnel>;
} // namespace wireguard
