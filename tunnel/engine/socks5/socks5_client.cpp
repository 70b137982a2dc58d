// The SOCKS5 control connection: connect, method negotiation, user name and password
// authentication, UDP ASSOCIATE.
#include "socks5_client.h"

#include <array>
#include <cstring>
#include <utility>
#include <vector>

namespace wireguard
{
namespace
{
constexpr std::uint8_t socks_version = 5;
constexpr std::uint8_t method_none = 0x00;
constexpr std::uint8_t method_username = 0x02;
constexpr std::uint8_t method_refused = 0xFF;
constexpr std::uint8_t auth_version = 1;
constexpr std::uint8_t command_udp_associate = 3;
constexpr std::uint8_t address_ipv4 = 1;
constexpr std::uint8_t address_domain = 3;
constexpr std::uint8_t address_ipv6 = 4;

// Method selection: version 5, two methods, none and user name/password.
constexpr std::array<std::uint8_t, 4> socks5_ident_req = {socks_version, 2, method_none, method_username};
// UDP ASSOCIATE with an IPv4 wildcard address and port.
constexpr std::array<std::uint8_t, 10> associate_request = {socks_version, command_udp_associate, 0, address_ipv4,
                                                            0, 0, 0, 0, 0, 0};

// Sends all n bytes. False on a socket error (the code stays in WSAGetLastError).
bool send_all(SOCKET s, const std::uint8_t* data, std::size_t n) noexcept
{
    while (n > 0) {
        const int chunk = n > 0x10000 ? 0x10000 : static_cast<int>(n);
        const int sent = ::send(s, reinterpret_cast<const char*>(data), chunk, 0);
        if (sent == SOCKET_ERROR)
            return false;
        if (sent <= 0) {
            ::WSASetLastError(WSAECONNABORTED);
            return false;
        }
        data += sent;
        n -= static_cast<std::size_t>(sent);
    }
    return true;
}

// Receives exactly n bytes, however the proxy splits them. False on a socket error and
// when the proxy closes the connection first (recv gives 0; the code is then
// WSAEDISCON).
bool receive_all(SOCKET s, std::uint8_t* data, std::size_t n) noexcept
{
    while (n > 0) {
        const int got = ::recv(s, reinterpret_cast<char*>(data), static_cast<int>(n), 0);
        if (got == SOCKET_ERROR)
            return false;
        if (got == 0) {
            ::WSASetLastError(WSAEDISCON);
            return false;
        }
        data += got;
        n -= static_cast<std::size_t>(got);
    }
    return true;
}

std::string error_code()
{
    return std::to_string(::WSAGetLastError());
}

// Overwrites a buffer that held the password before it is freed.
void wipe(std::vector<std::uint8_t>& buffer) noexcept
{
    if (!buffer.empty())
        ::SecureZeroMemory(buffer.data(), buffer.size());
}
} // namespace

socks5_client::socks5_client(std::uint32_t proxy_address, std::uint16_t proxy_port,
                             std::optional<std::string> username, std::optional<std::string> password,
                             log_function log, std::uint32_t log_level)
    : proxy_address_(proxy_address), proxy_port_(proxy_port), username_(std::move(username)),
      password_(std::move(password)), log_level_(log_level), log_(std::move(log))
{
}

socks5_client::~socks5_client()
{
    try {
        disconnect();
    } catch (...) {
        // A join that fails leaves nothing more to do here.
    }
}

std::optional<std::uint16_t> socks5_client::relay_port() const noexcept
{
    const std::int32_t port = relay_port_.load();
    if (port < 0)
        return std::nullopt;
    return static_cast<std::uint16_t>(port);
}

void socks5_client::log(const std::string& line) const
{
    if (log_)
        log_(line.c_str());
}

void socks5_client::log_info(const std::string& line) const
{
    if (log_level_ >= 2)
        log(line);
}

void socks5_client::start_association()
{
    // The whole restart under the thread lock, so that a disconnect or another start
    // on another thread sees either the old association or the new one.
    std::lock_guard<std::mutex> thread_guard(thread_mutex_);
    stop_association(true);
    {
        std::lock_guard<std::mutex> guard(socket_mutex_);
        stopping_ = false;
    }
    associating_.store(true);
    try {
        thread_ = std::thread([this] { association_thread(); });
    } catch (...) {
        associating_.store(false);
        throw;
    }
}

void socks5_client::disconnect()
{
    ready_.exchange(false);
    if (std::this_thread::get_id() == thread_id_.load()) {
        stop_association(false); // a thread cannot join itself
        return;
    }
    std::lock_guard<std::mutex> thread_guard(thread_mutex_);
    stop_association(true);
}

void socks5_client::stop_association(bool join)
{
    unique_socket closing;
    {
        std::lock_guard<std::mutex> guard(socket_mutex_);
        stopping_ = true;
        ready_.exchange(false); // an association that completed meanwhile
        closing = std::move(socket_);
    }
    closing.reset(); // wakes a connect, send or recv that waits on the proxy
    if (join && thread_.joinable())
        thread_.join();
}

void socks5_client::association_thread()
{
    thread_id_.store(std::this_thread::get_id());
    try {
        if (connect_to_socks5_proxy()) {
            const std::optional<std::uint16_t> port = associate_to_socks5_proxy();
            relay_port_.store(port ? *port : -1);
            if (port) {
                std::lock_guard<std::mutex> guard(socket_mutex_);
                if (!stopping_)
                    ready_.exchange(true);
            }
        }
    } catch (...) {
        // Nothing may leave the thread; the client stays not ready.
    }
    thread_id_.store(std::thread::id{});
    associating_.store(false);
}

bool socks5_client::connect_to_socks5_proxy()
{
    unique_socket s(::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED));
    if (!s) {
        log_info("[SOCKS5]: connect_to_socks5_proxy: Failed to create TCP socket: " + error_code());
        return false;
    }
    {
        std::lock_guard<std::mutex> guard(socket_mutex_);
        if (stopping_)
            return false; // disconnected before the socket was there: close it here
        control_ = s.get();
        socket_ = std::move(s);
    }

    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = INADDR_ANY;
    local.sin_port = 0;
    if (::bind(control_, reinterpret_cast<const sockaddr*>(&local), sizeof local) == SOCKET_ERROR) {
        log_info("[SOCKS5]: connect_to_socks5_proxy: Failed to bind TCP socket: " + error_code());
        return false;
    }

    sockaddr_in proxy{};
    proxy.sin_family = AF_INET;
    proxy.sin_addr.s_addr = proxy_address_;
    proxy.sin_port = ::htons(proxy_port_);
    if (::connect(control_, reinterpret_cast<const sockaddr*>(&proxy), sizeof proxy) == SOCKET_ERROR) {
        log_info("[SOCKS5]: connect_to_socks5_proxy: Failed to connect TCP socket: " + error_code());
        return false;
    }
    return true;
}

std::optional<std::uint16_t> socks5_client::associate_to_socks5_proxy()
{
    if (!send_all(control_, socks5_ident_req.data(), socks5_ident_req.size())) {
        log_info("[SOCKS5]: associate_to_socks5_proxy: Failed to send socks5_ident_req: " + error_code());
        return std::nullopt;
    }
    std::array<std::uint8_t, 2> ident_resp{};
    if (!receive_all(control_, ident_resp.data(), ident_resp.size())) {
        log_info("[SOCKS5]: associate_to_socks5_proxy: Failed to receive socks5_ident_resp: " + error_code());
        return std::nullopt;
    }
    if (ident_resp[0] != socks_version || ident_resp[1] == method_refused) {
        log_info("[SOCKS5]: associate_to_socks5_proxy: SOCKS5 authentication has failed: ");
        return std::nullopt;
    }
    return authenticate_and_associate(ident_resp[1]);
}

std::optional<std::uint16_t> socks5_client::authenticate_and_associate(std::uint8_t method)
{
    if (method == method_username) {
        if (!username_) {
            log_info("[SOCKS5]: associate_to_socks5_proxy: RFC 1928: X'02' USERNAME/PASSWORD is chosen but USERNAME "
                     "is not provided: ");
            return std::nullopt;
        }
        if (username_->empty() || username_->size() > 255) {
            log_info("[SOCKS5]: associate_to_socks5_proxy: RFC 1928: X'02' USERNAME/PASSWORD is chosen but USERNAME "
                     "exceeds maximum possible length: ");
            return std::nullopt;
        }
        if (!password_) {
            log_info("[SOCKS5]: associate_to_socks5_proxy: RFC 1928: X'02' USERNAME/PASSWORD is chosen but PASSWORD "
                     "is not provided: ");
            return std::nullopt;
        }
        if (password_->empty() || password_->size() > 255)
            return std::nullopt;

        std::vector<std::uint8_t> auth;
        auth.reserve(3 + username_->size() + password_->size());
        auth.push_back(auth_version);
        auth.push_back(static_cast<std::uint8_t>(username_->size()));
        auth.insert(auth.end(), username_->begin(), username_->end());
        auth.push_back(static_cast<std::uint8_t>(password_->size()));
        auth.insert(auth.end(), password_->begin(), password_->end());
        const bool sent = send_all(control_, auth.data(), auth.size());
        const std::string code = error_code();
        wipe(auth);
        if (!sent) {
            log_info("[SOCKS5]: associate_to_socks5_proxy: Failed to send socks5_username_auth: " + code);
            return std::nullopt;
        }
        std::array<std::uint8_t, 2> auth_resp{};
        if (!receive_all(control_, auth_resp.data(), auth_resp.size())) {
            log_info("[SOCKS5]: associate_to_socks5_proxy: Failed to receive socks5_ident_resp: " + error_code());
            return std::nullopt;
        }
        if (auth_resp[1] != 0) {
            log_info("[SOCKS5]: associate_to_socks5_proxy: USERNAME/PASSWORD authentication has failed!");
            return std::nullopt;
        }
        log_info("[SOCKS5]: associate_to_socks5_proxy: USERNAME/PASSWORD authentication SUCCESS");
    }

    if (!send_all(control_, associate_request.data(), associate_request.size())) {
        log_info("[SOCKS5]: associate_to_socks5_proxy: Failed to send SOCKS5 ASSOCIATE request: " + error_code());
        return std::nullopt;
    }

    // The reply: version, reply code, reserved, address type, then the bound address
    // in the length of its type and the bound port. A failure needs no more than the
    // first two bytes; a success is read to its end.
    const auto receive_failed = [this] {
        log_info("[SOCKS5]: associate_to_socks5_proxy: Failed to receive SOCKS5 ASSOCIATE response: " + error_code());
        return std::nullopt;
    };
    const auto refused = [this] {
        log_info("[SOCKS5]: associate_to_socks5_proxy: SOCKS5 ASSOCIATE has failed: ");
        return std::nullopt;
    };
    std::array<std::uint8_t, 4> head{};
    if (!receive_all(control_, head.data(), 2))
        return receive_failed();
    if (head[0] != socks_version || head[1] != 0)
        return refused();
    if (!receive_all(control_, head.data() + 2, 2))
        return receive_failed();

    std::size_t address_size = 0;
    switch (head[3]) {
    case address_ipv4:
        address_size = 4;
        break;
    case address_ipv6:
        address_size = 16;
        break;
    case address_domain: {
        std::uint8_t name_size = 0;
        if (!receive_all(control_, &name_size, 1))
            return receive_failed();
        address_size = name_size;
        break;
    }
    default:
        return refused(); // a reply of unknown length: its port cannot be found
    }
    std::array<std::uint8_t, 255 + 2> rest{};
    if (!receive_all(control_, rest.data(), address_size + 2))
        return receive_failed();

    // The bound address is not used: the relay is always at the proxy's own address.
    const auto port = static_cast<std::uint16_t>(rest[address_size] << 8 | rest[address_size + 1]);
    log_info("[SOCKS5]: associate_to_socks5_proxy: SOCKS5 ASSOCIATE SUCCESS port: " + std::to_string(port));
    return port;
}
} // namespace wireguard
