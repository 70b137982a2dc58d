// The tunnel worker: keeps one tunnel of the library up, switches between the primary
// and the fallback configuration when the tunnel does not come up, and stops it when
// the service stops. Every log line of the worker needs the level debug or all.
#include "lorrivan_service.h"

#include "text.h"

namespace
{
// The fifth inactive poll since the last switch switches the configuration.
constexpr unsigned inactive_polls_before_switch = 4;
} // namespace

std::uint32_t run_tunnel_worker(lorrivan_service& service, const tunnel_family& family)
{
    service.log("Lorrivan Service has started.");
    void* const handle = family.get_handle(service.environment_.log, service.log_level, service.log_level == 3);
    std::wstring current_path = service.config_path;
    bool need_create = true;
    bool started = false;
    unsigned inactive_count = 0;

    const auto switch_to = [&](const std::wstring& path) {
        current_path = path;
        service.log("Switching WireGuard configuration to " + to_utf8(current_path));
    };

    for (;;) {
        if (service.stopping) {
            service.log("Stopping Wireguard tunnel...");
            if (family.stop_tunnel(handle))
                service.log("Wireguard tunnel has been stopped.");
            // The tunnel is stopped, not dropped. Nothing touches the service after this.
            ::SetEvent(service.stop_event.get());
            return 0;
        }

        if (need_create) {
            if (!handle || !family.create_tunnel_from_file_w(handle, current_path.c_str())) {
                service.log("Failed to initialize Wireguard tunnel.");
                if (!running_as_service) {
                    // A console stop that came during the creation is done as asked.
                    if (service.stopping)
                        continue;
                    // Nothing touches the service after this either.
                    ::SetEvent(service.stop_event.get());
                    return worker_gave_up;
                }
            } else if (family.start_tunnel(handle)) {
                service.log("Wireguard tunnel has been started.");
                started = true;
            } else {
                family.drop_tunnel(handle);
                service.log("WireGuard tunnel has failed to start.");
                switch_to(service.fallback_config_path ? *service.fallback_config_path : service.config_path);
            }
        }

        ::Sleep(static_cast<DWORD>(service.environment_.poll_interval.count()));

        if (service.fallback_config_path && !family.get_tunnel_active(handle)) {
            if (++inactive_count > inactive_polls_before_switch) {
                family.drop_tunnel(handle);
                switch_to(current_path == *service.fallback_config_path ? service.config_path
                                                                        : *service.fallback_config_path);
                started = false;
                inactive_count = 0;
            }
        }

        need_create = !started;
    }
}

DWORD WINAPI lorrivan_service::tunnel_worker(void* service)
{
    auto& self = *static_cast<lorrivan_service*>(service);
    return run_tunnel_worker(self, self.single_);
}

DWORD WINAPI lorrivan_service::tunnel_worker_p(void* service)
{
    auto& self = *static_cast<lorrivan_service*>(service);
    return run_tunnel_worker(self, self.dual_);
}
