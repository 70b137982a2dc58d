#pragma once
// Helpers of the SOCKS5 tests: Winsock for the test program, a log recorder, waiting
// with a limit, the real proxies that the CTest fixture started, and a scripted proxy
// for answers that real proxies never give.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "socks5_client.h"
#include "support/wait_until.h"
#include "win32.h"

namespace socks5_test
{
using bytes = std::vector<std::uint8_t>;

// 127.0.0.1 in network order.
inline std::uint32_t loopback() { return ::htonl(INADDR_LOOPBACK); }

// Winsock 2.2 for the whole test program, as the tunnel manager does for the library.
class winsock_environment : public ::testing::Environment
{
public:
    void SetUp() override
    {
        WSADATA data;
        ASSERT_EQ(::WSAStartup(MAKEWORD(2, 2), &data), 0);
    }
    void TearDown() override { ::WSACleanup(); }
};

// Keeps every line handed to the log function.
class log_recorder
{
public:
    wireguard::socks5_client::log_function function()
    {
        return [this](const char* line) {
            std::lock_guard<std::mutex> guard(mutex_);
            lines_.emplace_back(line);
        };
    }
    std::vector<std::string> lines() const
    {
        std::lock_guard<std::mutex> guard(mutex_);
        return lines_;
    }
    std::size_t count() const { return lines().size(); }
    void clear()
    {
        std::lock_guard<std::mutex> guard(mutex_);
        lines_.clear();
    }
    bool any_contains(const std::string& text) const
    {
        const auto all = lines();
        return std::any_of(all.begin(), all.end(),
                           [&](const std::string& l) { return l.find(text) != std::string::npos; });
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

using tunnel_test::wait_until;

// Runs f on another thread and reports whether it finished within the limit (a
// hang check, not a speed target: the limit is generous). A call that does not
// finish is left running detached so that the test can report instead of hanging.
inline bool finishes_within(std::function<void()> f, std::chrono::milliseconds limit = std::chrono::milliseconds(15000))
{
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread t([f = std::move(f), done] {
        f();
        *done = true;
    });
    const bool finished = wait_until([&] { return done->load(); }, limit);
    if (finished)
        t.join();
    else
        t.detach();
    return finished;
}

// The proxies of the CTest fixture (tests/socks5_proxies.sh): name -> port, and the
// credentials. Empty when the program runs outside CTest.
struct real_proxies {
    std::map<std::string, std::string> values;

    static const real_proxies& instance()
    {
        static const real_proxies p = [] {
            real_proxies r;
            const char* file = std::getenv("LORRIVAN_SOCKS5_PROXIES");
            if (!file)
                return r;
            std::ifstream in(file);
            std::string name, value;
            while (in >> name >> value)
                r.values[name] = value;
            return r;
        }();
        return p;
    }
    bool available() const { return values.count("danted_none") != 0; }
    std::uint16_t port(const std::string& name) const
    {
        const auto it = values.find(name);
        return it == values.end() ? 0 : static_cast<std::uint16_t>(std::stoi(it->second));
    }
    std::string text(const std::string& name) const
    {
        const auto it = values.find(name);
        return it == values.end() ? std::string() : it->second;
    }
};

#define REQUIRE_REAL_PROXIES()                                                                                    \
    do {                                                                                                          \
        if (!::socks5_test::real_proxies::instance().available())                                                 \
            GTEST_SKIP() << "the SOCKS5 proxies run only under CTest (fixture socks5_proxies)";                  \
    } while (0)

// One step of a scripted proxy's conversation.
struct step {
    enum kind_t { receive, send, send_bytewise, close } kind;
    std::size_t count = 0; // receive: bytes to read
    bytes data;            // send: bytes to write

    static step recv(std::size_t n) { return {receive, n, {}}; }
    static step reply(bytes b) { return {send, 0, std::move(b)}; }
    static step trickle(bytes b) { return {send_bytewise, 0, std::move(b)}; }
    static step hang_up() { return {close, 0, {}}; }
};

// A proxy on 127.0.0.1 that follows a script with every client that connects: it
// reads and writes as told and afterwards holds the connection until the client
// closes it (or the proxy is destroyed). Everything it reads is kept.
class scripted_proxy
{
public:
    explicit scripted_proxy(std::vector<step> script) : script_(std::move(script))
    {
        listener_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = loopback();
        a.sin_port = 0;
        int size = sizeof a;
        if (listener_ == INVALID_SOCKET || ::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(listener_, SOMAXCONN) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &size) != 0) {
            ADD_FAILURE() << "scripted proxy: no listening socket: " << ::WSAGetLastError();
            return;
        }
        port_ = ::ntohs(a.sin_port);
        thread_ = std::thread([this] { run(); });
    }
    ~scripted_proxy()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        if (listener_ != INVALID_SOCKET)
            ::closesocket(listener_);
    }
    scripted_proxy(const scripted_proxy&) = delete;
    scripted_proxy& operator=(const scripted_proxy&) = delete;

    std::uint16_t port() const { return port_; }
    bytes received() const
    {
        std::lock_guard<std::mutex> guard(mutex_);
        return received_;
    }
    int connections() const { return connections_.load(); }
    // Clients that have closed their connection after the script ran.
    int closed_by_client() const { return closed_by_client_.load(); }
    // The script has run to its end with the current client.
    int scripts_done() const { return scripts_done_.load(); }

private:
    // Waits until s is readable (or the proxy stops); false when stopping.
    bool readable(SOCKET s)
    {
        while (!stop_) {
            fd_set set;
            FD_ZERO(&set);
            FD_SET(s, &set);
            timeval tv{0, 20000};
            const int r = ::select(0, &set, nullptr, nullptr, &tv);
            if (r > 0)
                return true;
            if (r < 0)
                return false;
        }
        return false;
    }

    void run()
    {
        while (!stop_) {
            if (!readable(listener_))
                return;
            SOCKET c = ::accept(listener_, nullptr, nullptr);
            if (c == INVALID_SOCKET)
                continue;
            ++connections_;
            serve(c);
            ::closesocket(c);
        }
    }

    void serve(SOCKET c)
    {
        for (const step& s : script_) {
            switch (s.kind) {
            case step::receive:
                for (std::size_t got = 0; got < s.count;) {
                    if (!readable(c))
                        return;
                    char buffer[512];
                    const int want = static_cast<int>(std::min<std::size_t>(sizeof buffer, s.count - got));
                    const int n = ::recv(c, buffer, want, 0);
                    if (n <= 0) {
                        ++closed_by_client_;
                        return;
                    }
                    keep(buffer, n);
                    got += static_cast<std::size_t>(n);
                }
                break;
            case step::send:
                if (!s.data.empty())
                    ::send(c, reinterpret_cast<const char*>(s.data.data()), static_cast<int>(s.data.size()), 0);
                break;
            case step::send_bytewise:
                for (std::uint8_t b : s.data) {
                    ::send(c, reinterpret_cast<const char*>(&b), 1, 0);
                    std::this_thread::sleep_for(std::chrono::milliseconds(3));
                }
                break;
            case step::close:
                ++scripts_done_;
                return;
            }
        }
        ++scripts_done_;
        // Hold the connection until the client closes it.
        while (readable(c)) {
            char buffer[512];
            const int n = ::recv(c, buffer, sizeof buffer, 0);
            if (n <= 0) {
                ++closed_by_client_;
                return;
            }
            keep(buffer, n);
        }
    }

    void keep(const char* data, int n)
    {
        std::lock_guard<std::mutex> guard(mutex_);
        received_.insert(received_.end(), data, data + n);
    }

    std::vector<step> script_;
    SOCKET listener_ = INVALID_SOCKET;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::atomic<int> closed_by_client_{0};
    std::atomic<int> scripts_done_{0};
    mutable std::mutex mutex_;
    bytes received_;
    std::thread thread_;
};

// The first bytes every client sends: version 5, methods none and user/password.
inline const bytes ident_request = {5, 2, 0, 2};
inline const bytes associate_request = {5, 3, 0, 1, 0, 0, 0, 0, 0, 0};

inline bytes concat(bytes a, const bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
} // namespace socks5_test
