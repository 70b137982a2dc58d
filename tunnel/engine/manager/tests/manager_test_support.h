#pragma once
// Helpers of the manager, export and network-change tests: the simulated host with a
// default adapter and the scripted engine reset for each test, configuration files
// written into a folder of their own, and the texts that the manager logs.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>

#include "scripted/scripted_engine.h"
#include "support/tunnel_test_support.h"
#include "wg_tunnel.h"
#include "wireguard_manager.h"

namespace manager_test
{
using tdl_manager = wireguard::wireguard_manager<wireguard::wg_tunnel>;
using tunnel_test::log_lines;
using tunnel_test::wait_until;
namespace run_states = wireguard::run_states;

// Table rows print as their name.
template <class Case>
    requires requires(const Case& c) { c.name; }
void PrintTo(const Case& c, std::ostream* out)
{
    *out << c.name;
}

inline const std::string not_initialized = "[MGR]: Tunnel is not initialized";
inline const std::string does_not_exist = "[MGR]: Tunnel does not exist!";
inline const std::string already_initialized = "[MGR]: Tunnel already initialized!";
inline const std::string failed_to_initialize = "[MGR]: Failed to allocate or initialize the WireGuard tunnel!";
inline const std::string has_started = "[MGR]: Tunnel has started";
inline const std::string failed_to_start = "[MGR]: Tunnel has failed to start";
inline const std::string driver_missing = "[TUN]: Norvask driver is not available!";
inline const std::string registration_failed = "[TUN]: set_notify_ip_interface_change has failed!";
inline const std::string cancel_failed = "[TUN]: cancel_notify_ip_interface_change has failed!";
inline const std::string unreachable =
    "[TUN]: ip_interface_changed_callback: WireGuard Server is unreachable. The tunnel is terminated.";
inline const std::string restart_stopped = "[TUN]: WireGuard tunnel was successfully stopped!";
inline const std::string restart_started = "[TUN]: WireGuard tunnel was successfully started!";

inline scripted::engine& engine()
{
    return scripted::engine::instance();
}

// A file with exactly the given bytes in a folder of its own, removed at the end.
class temp_file
{
public:
    explicit temp_file(std::string_view bytes, const std::wstring& name = L"tunnel.conf")
    {
        static std::atomic<unsigned> counter{0};
        folder_ = std::filesystem::temp_directory_path() /
                  (L"manager_test_" + std::to_wstring(::GetCurrentProcessId()) + L"_" + std::to_wstring(counter++));
        std::filesystem::create_directories(folder_);
        file_ = folder_ / name;
        std::ofstream out(file_, std::ios::binary);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    ~temp_file()
    {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
    temp_file(const temp_file&) = delete;
    temp_file& operator=(const temp_file&) = delete;

    std::wstring wide_path() const { return file_.wstring(); }
    std::string narrow_path() const { return file_.string(); }

private:
    std::filesystem::path folder_;
    std::filesystem::path file_;
};

// A complete configuration toward 127.0.0.1:port, with extra lines for each section.
inline std::string config_text(std::uint16_t port, const std::string& interface_extra = "",
                               const std::string& peer_extra = "")
{
    return "[Interface]\n"
           "PrivateKey = k-private\n"
           "Address = 10.8.0.2/24\n" +
           interface_extra +
           "\n[Peer]\n"
           "PublicKey = k-public\n"
           "AllowedIPs = 0.0.0.0/0\n"
           "Endpoint = 127.0.0.1:" +
           std::to_string(port) + "\n" + peer_extra;
}

// A configuration record toward 127.0.0.1:port with the tunnel address 10.8.0.2/24.
inline wireguard::wg_config config_record(std::uint16_t port)
{
    wireguard::wg_config c;
    c.interface_config = wireguard::make_interface_config("k-private", "10.8.0.2/24");
    c.peer_config = wireguard::make_peer_config("k-public", std::nullopt, "0.0.0.0/0", "127.0.0.1:" + std::to_string(port));
    return c;
}

// The simulated host with one Ethernet adapter that carries the default route, the
// scripted engine with nothing scripted, and a UDP sink on loopback standing for the
// server (the scripted engine sends nothing to it). At the end the host network is as
// it was and no engine tunnel is left.
class manager_host_test : public tunnel_test::tunnel_host_test
{
protected:
    void SetUp() override
    {
        tunnel_host_test::SetUp();
        engine().reset();
        adapter = add_ethernet();
        before = network().snapshot();
    }
    void TearDown() override
    {
        drop_all();
        EXPECT_EQ(engine().live_tunnels(), 0u) << "an engine tunnel was not freed";
        EXPECT_EQ(network().snapshot(), before) << "the host network changed";
        EXPECT_EQ(network().registration_count(), 0u) << "an interface-change registration was left";
        tunnel_test::tunnel_host_test::TearDown();
    }
    // Drops what the test made; the exports' fixture adds the family's tunnel.
    virtual void drop_all() {}

    std::uint16_t server_port() const { return server.port(); }

    simhost::adapter adapter;
    simhost::network_snapshot before;
    tunnel_test::udp_sink server;
};
} // namespace manager_test
