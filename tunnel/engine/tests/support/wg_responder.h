#pragma once
// A WireGuard server inside the test process: the engine as responder behind a UDP
// socket on 127.0.0.1. It answers what the engine answers, to whoever sent the
// datagram, and keeps what it received.
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "loopback_udp.h"
#include "wgengine/wireguard_engine.h"
#include "win32.h"

namespace tunnel_test
{
// Key texts made by the engine's helpers.
struct key_pair {
    std::string private_text;
    std::string public_text;

    key_pair()
    {
        const x25519_key secret = x25519_secret_key();
        const x25519_key public_key = x25519_public_key(secret);
        const char* p = x25519_key_to_base64(secret);
        const char* q = x25519_key_to_base64(public_key);
        private_text = p;
        public_text = q;
        x25519_key_to_str_free(p);
        x25519_key_to_str_free(q);
    }
};

class wg_responder
{
public:
    wg_responder(const std::string& server_private, const std::string& client_public)
    {
        tunnel_ = new_tunnel(server_private.c_str(), client_public.c_str(), nullptr, 0, 0x51);
        socket_ = bind_loopback_udp(port_);
        thread_ = std::thread([this] { run(); });
    }
    ~wg_responder()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        ::closesocket(socket_);
        if (tunnel_)
            tunnel_free(tunnel_);
    }
    wg_responder(const wg_responder&) = delete;
    wg_responder& operator=(const wg_responder&) = delete;

    bool ok() const { return tunnel_ != nullptr && socket_ != INVALID_SOCKET; }
    std::uint16_t port() const { return port_; }

    struct datagram {
        std::vector<std::uint8_t> bytes;
        std::uint16_t from_port = 0;
        std::uint32_t from_address = 0; // network order
    };
    std::vector<datagram> received() const
    {
        std::lock_guard lock(mutex_);
        return received_;
    }
    std::size_t received_count() const
    {
        std::lock_guard lock(mutex_);
        return received_.size();
    }
    int responses_sent() const { return responses_.load(); }

    // While not answering, datagrams are kept but not handed to the engine.
    void set_answering(bool on) { answering_ = on; }

    // Called with each packet that the engine decrypted; a non-empty result is a packet
    // that the server encrypts and sends back to the datagram's sender.
    using packet_hook = std::function<std::vector<std::uint8_t>(const std::vector<std::uint8_t>&)>;
    void on_packet(packet_hook hook)
    {
        std::lock_guard lock(mutex_);
        hook_ = std::move(hook);
    }
    // Every packet that the engine decrypted, in order.
    std::vector<std::vector<std::uint8_t>> packets() const
    {
        std::lock_guard lock(mutex_);
        return packets_;
    }

private:
    void run()
    {
        std::vector<std::uint8_t> buffer(65536);
        std::vector<std::uint8_t> out(65536);
        while (!stop_) {
            if (!readable_soon(socket_))
                continue;
            sockaddr_in from{};
            int size = sizeof(from);
            const int n = ::recvfrom(socket_, reinterpret_cast<char*>(buffer.data()), static_cast<int>(buffer.size()),
                                     0, reinterpret_cast<sockaddr*>(&from), &size);
            if (n < 0)
                continue;
            {
                std::lock_guard lock(mutex_);
                received_.push_back({{buffer.begin(), buffer.begin() + n}, ::ntohs(from.sin_port), from.sin_addr.s_addr});
            }
            if (!answering_)
                continue;
            wireguard_result r = wireguard_read(tunnel_, buffer.data(), static_cast<std::uint32_t>(n), out.data(),
                                                static_cast<std::uint32_t>(out.size()));
            if (r.op == WRITE_TO_TUNNEL_IPV4 || r.op == WRITE_TO_TUNNEL_IPV6) {
                std::vector<std::uint8_t> packet(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(r.size));
                packet_hook hook;
                {
                    std::lock_guard lock(mutex_);
                    packets_.push_back(packet);
                    hook = hook_;
                }
                const std::vector<std::uint8_t> answer = hook ? hook(packet) : std::vector<std::uint8_t>{};
                if (!answer.empty()) {
                    r = wireguard_write(tunnel_, answer.data(), static_cast<std::uint32_t>(answer.size()), out.data(),
                                        static_cast<std::uint32_t>(out.size()));
                    if (r.op == WRITE_TO_NETWORK)
                        ::sendto(socket_, reinterpret_cast<const char*>(out.data()), static_cast<int>(r.size), 0,
                                 reinterpret_cast<sockaddr*>(&from), size);
                }
                continue;
            }
            while (r.op == WRITE_TO_NETWORK) {
                ::sendto(socket_, reinterpret_cast<const char*>(out.data()), static_cast<int>(r.size), 0,
                         reinterpret_cast<sockaddr*>(&from), size);
                ++responses_;
                r = wireguard_read(tunnel_, nullptr, 0, out.data(), static_cast<std::uint32_t>(out.size()));
            }
        }
    }

    wireguard_tunnel* tunnel_ = nullptr;
    SOCKET socket_ = INVALID_SOCKET;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    mutable std::mutex mutex_;
    std::vector<datagram> received_;
    std::atomic<int> responses_{0};
    std::atomic<bool> answering_{true};
    packet_hook hook_;
    std::vector<std::vector<std::uint8_t>> packets_;
};
} // namespace tunnel_test
