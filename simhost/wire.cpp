// The simulated host's wire between the packet filter driver and real peers on loopback.
#include "wire.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "frames.h"
#include "host_network.h"
#include "host_stack.h"
#include "ip_text.h"

namespace simhost
{
namespace
{
constexpr std::size_t ethernet_size = ethernet_header_size;
constexpr std::size_t ipv4_size = 20;
constexpr std::size_t udp_size = 8;
constexpr std::size_t max_payload = max_frame_size - ethernet_size - ipv4_size - udp_size; // 1472
constexpr long poll_interval_us = 20000;
constexpr std::size_t event_limit = 1000;

std::uint16_t load16(const std::uint8_t* p)
{
    return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}

SOCKADDR_INET ipv4_address(std::uint32_t address)
{
    SOCKADDR_INET a{};
    a.Ipv4.sin_family = AF_INET;
    a.Ipv4.sin_addr.s_addr = address;
    return a;
}

sockaddr_in loopback_address(std::uint32_t address, std::uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = address;
    a.sin_port = ::htons(port);
    return a;
}

std::uint32_t parse_ipv4(const std::string& text)
{
    const SOCKADDR_INET parsed = parse_ip(text);
    if (parsed.si_family != AF_INET)
        throw std::invalid_argument("simhost wire: not an IPv4 address: " + text);
    return parsed.Ipv4.sin_addr.s_addr;
}

bool is_loopback(std::uint32_t address)
{
    return (reinterpret_cast<const std::uint8_t*>(&address))[0] == 127;
}

std::string endpoint_text(std::uint32_t address, std::uint16_t port)
{
    SOCKADDR_INET a{};
    a.Ipv4.sin_family = AF_INET;
    a.Ipv4.sin_addr.s_addr = address;
    return ip_text(a) + ":" + std::to_string(port);
}

std::string endpoint_text(const sockaddr_in& a)
{
    return endpoint_text(a.sin_addr.s_addr, ::ntohs(a.sin_port));
}

// Waits up to the poll interval for a datagram; false when none is there.
bool readable(SOCKET s)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval timeout{0, poll_interval_us};
    return ::select(0, &set, nullptr, nullptr, &timeout) == 1;
}
} // namespace

void wire::socket_owner::close()
{
    if (s != INVALID_SOCKET)
        ::closesocket(s);
    s = INVALID_SOCKET;
}

wire::wire()
{
    WSADATA data;
    if (::WSAStartup(MAKEWORD(2, 2), &data) != 0)
        throw std::runtime_error("simhost wire: WSAStartup failed");
    winsock_ = true;
    local_stack_ = ::htonl(INADDR_LOOPBACK);
    try {
        start_thread([this] { forward_loop(); });
    } catch (...) {
        ::WSACleanup();
        throw;
    }
    packet_driver::instance().set_wire_tap(
        [this](std::uint64_t handle, const frame_bytes& frame) { tap(handle, frame); });
}

wire::~wire()
{
    stop();
    if (winsock_)
        ::WSACleanup();
}

void wire::stop()
{
    packet_driver::instance().set_wire_tap({});
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        threads.swap(threads_);
        queued_.notify_all();
    }
    for (auto& t : threads)
        if (t.joinable())
            t.join();
    // Every thread is gone: the sockets can go.
    std::lock_guard lock(mutex_);
    relay_flows_.clear();
    flows_.clear();
    endpoints_.clear();
    queue_.clear();
}

void wire::start_thread(std::function<void()> body)
{
    // Called with the lock held, or before any thread runs.
    if (stopping_)
        throw std::runtime_error("simhost wire: stopped");
    threads_.emplace_back(std::move(body));
}

SOCKET wire::open_loopback_socket(std::uint16_t port)
{
    const SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET)
        throw std::runtime_error("simhost wire: socket failed, wsalasterror: " +
                                 std::to_string(::WSAGetLastError()));
    sockaddr_in local = loopback_address(::htonl(INADDR_LOOPBACK), port);
    if (::bind(s, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0) {
        const int error = ::WSAGetLastError();
        ::closesocket(s);
        throw std::runtime_error("simhost wire: bind failed, wsalasterror: " + std::to_string(error));
    }
    return s;
}

std::uint16_t wire::add_endpoint(const std::string& peer_address, std::uint16_t peer_port,
                                 std::uint16_t local_port)
{
    const std::uint32_t peer = parse_ipv4(peer_address);
    if (!is_loopback(peer))
        throw std::invalid_argument("simhost wire: the peer must be on loopback");
    auto e = std::make_unique<endpoint>();
    e->peer = loopback_address(peer, peer_port);
    e->socket.s = open_loopback_socket(local_port);
    sockaddr_in bound{};
    int length = sizeof(bound);
    ::getsockname(e->socket.s, reinterpret_cast<sockaddr*>(&bound), &length);
    e->port = ::ntohs(bound.sin_port);

    std::lock_guard lock(mutex_);
    endpoint* raw = e.get();
    endpoints_.push_back(std::move(e));
    start_thread([this, raw] { endpoint_loop(raw); });
    event("endpoint 127.0.0.1:" + std::to_string(raw->port) + " for peer " + endpoint_text(raw->peer));
    return raw->port;
}

void wire::set_local_stack_address(const std::string& address)
{
    const std::uint32_t parsed = parse_ipv4(address);
    std::lock_guard lock(mutex_);
    local_stack_ = parsed;
}

wire::counters wire::stats() const
{
    std::lock_guard lock(mutex_);
    return counters_;
}

std::vector<std::string> wire::events() const
{
    std::lock_guard lock(mutex_);
    return {events_.begin(), events_.end()};
}

void wire::event(std::string text)
{
    // Called with the lock held.
    events_.push_back(std::move(text));
    while (events_.size() > event_limit)
        events_.pop_front();
}

// ---- local stack to wire ----------------------------------------------------------------

void wire::endpoint_loop(endpoint* e)
{
    std::vector<std::uint8_t> buffer(65536);
    while (!stopping_) {
        if (!readable(e->socket.s))
            continue;
        sockaddr_in sender{};
        int length = sizeof(sender);
        const int n = ::recvfrom(e->socket.s, reinterpret_cast<char*>(buffer.data()),
                                 static_cast<int>(buffer.size()), 0, reinterpret_cast<sockaddr*>(&sender),
                                 &length);
        if (n < 0 || sender.sin_family != AF_INET)
            continue; // a port-unreachable report from an earlier send, for instance
        std::uint32_t local_stack = 0;
        {
            std::lock_guard lock(mutex_);
            local_stack = local_stack_;
        }
        if (sender.sin_addr.s_addr == local_stack)
            from_stack(*e, sender, buffer.data(), static_cast<std::size_t>(n));
        else
            from_relay(*e, sender, buffer.data(), static_cast<std::size_t>(n));
    }
}

void wire::from_stack(endpoint& e, const sockaddr_in& sender, const std::uint8_t* data, std::size_t size)
{
    // Counted before the frame can reach anyone (as every other counter is), and taken
    // back when the stack refuses it.
    {
        std::lock_guard lock(mutex_);
        ++counters_.from_stack;
    }
    // The datagram as the stack sends it: through the adapter that routes 127.0.0.1.
    // Not under our lock: the driver hands frames to the tap under its own.
    const sent_packet sent = size > max_payload
                                 ? sent_packet{{}, {}, "too long"}
                                 : application().send_udp("127.0.0.1", ::ntohs(sender.sin_port), e.port,
                                                          std::span<const std::uint8_t>(data, size));
    std::lock_guard lock(mutex_);
    if (!sent) {
        --counters_.from_stack;
        ++counters_.dropped;
        event("dropped a datagram of " + std::to_string(size) + " bytes from " + endpoint_text(sender) + ": " +
              sent.refused);
        return;
    }
    event("stack " + endpoint_text(sender) + " -> 127.0.0.1:" + std::to_string(e.port) + ", " + std::to_string(size) +
          " bytes, as a frame of " + sent.guid);
}

// ---- wire to peer -------------------------------------------------------------------------

void wire::tap(std::uint64_t adapter_handle, const frame_bytes& frame)
{
    std::lock_guard lock(mutex_);
    if (stopping_)
        return;
    queue_.emplace_back(adapter_handle, frame);
    queued_.notify_one();
}

void wire::forward_loop()
{
    std::unique_lock lock(mutex_);
    while (true) {
        queued_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
        if (stopping_)
            return;
        auto [handle, frame] = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        forward(handle, frame);
        lock.lock();
    }
}

void wire::forward(std::uint64_t adapter_handle, const frame_bytes& frame)
{
    std::lock_guard lock(mutex_);
    auto drop = [&](const char* why) {
        ++counters_.dropped;
        event(std::string("dropped a frame to the wire: ") + why);
    };
    if (frame.size() < ethernet_size + ipv4_size + udp_size || load16(&frame[12]) != 0x0800)
        return drop("not IPv4 with a UDP header");
    const std::uint8_t* ip = &frame[ethernet_size];
    const std::size_t header = static_cast<std::size_t>(ip[0] & 0x0F) * 4;
    const std::size_t total = load16(ip + 2);
    if ((ip[0] >> 4) != 4 || header < ipv4_size || total < header + udp_size ||
        ethernet_size + total > frame.size())
        return drop("bad IPv4 header");
    if (ip[9] != 17)
        return drop("not UDP");
    if ((load16(ip + 6) & 0x3FFF) != 0)
        return drop("a fragment");
    const std::uint8_t* udp = ip + header;
    const std::size_t udp_length = load16(udp + 4);
    if (udp_length < udp_size || udp_length > total - header)
        return drop("bad UDP length");
    std::uint32_t source = 0;
    std::uint32_t destination = 0;
    std::memcpy(&source, ip + 12, 4);
    std::memcpy(&destination, ip + 16, 4);
    if (!is_loopback(destination))
        return drop("destination not on loopback");
    const std::uint16_t source_port = load16(udp);
    const std::uint16_t destination_port = load16(udp + 2);

    const flow_key key{adapter_handle, source, source_port, destination, destination_port};
    auto found = flows_.find(key);
    if (found == flows_.end()) {
        if (stopping_)
            return;
        auto f = std::make_unique<flow>();
        f->adapter_handle = adapter_handle;
        std::copy(frame.begin(), frame.begin() + 6, f->next_hop_mac.begin());
        std::copy(frame.begin() + 6, frame.begin() + 12, f->adapter_mac.begin());
        f->source_address = source;
        f->source_port = source_port;
        f->destination = loopback_address(destination, destination_port);
        f->target = f->destination;
        for (const auto& e : endpoints_)
            if (destination == ::htonl(INADDR_LOOPBACK) && e->port == destination_port) {
                f->target = e->peer;
                f->to_endpoint = true;
            }
        try {
            f->socket.s = open_loopback_socket();
        } catch (const std::exception& e) {
            return drop(e.what());
        }
        flow* raw = f.get();
        found = flows_.emplace(key, std::move(f)).first;
        start_thread([this, raw] { flow_loop(raw); });
        event("flow " + endpoint_text(source, source_port) + " -> " + endpoint_text(raw->destination) +
              " sent to " + endpoint_text(raw->target));
    }
    flow& f = *found->second;
    const int sent = ::sendto(f.socket.s, reinterpret_cast<const char*>(udp + udp_size),
                              static_cast<int>(udp_length - udp_size), 0,
                              reinterpret_cast<const sockaddr*>(&f.target), sizeof(f.target));
    if (sent < 0)
        return drop("sendto failed");
    ++counters_.to_peer;
    event("wire " + endpoint_text(source, source_port) + " -> " + endpoint_text(f.target) + ", " +
          std::to_string(udp_length - udp_size) + " bytes");
}

// ---- peer to wire ------------------------------------------------------------------------

void wire::flow_loop(flow* f)
{
    std::vector<std::uint8_t> buffer(65536);
    while (!stopping_) {
        if (!readable(f->socket.s))
            continue;
        sockaddr_in sender{};
        int length = sizeof(sender);
        const int n = ::recvfrom(f->socket.s, reinterpret_cast<char*>(buffer.data()),
                                 static_cast<int>(buffer.size()), 0, reinterpret_cast<sockaddr*>(&sender),
                                 &length);
        if (n < 0 || sender.sin_family != AF_INET)
            continue;
        const std::size_t size = static_cast<std::size_t>(n);
        const sockaddr_in from = f->to_endpoint ? f->destination : sender;
        frame_bytes frame;
        {
            std::lock_guard lock(mutex_);
            if (size > max_payload) {
                ++counters_.dropped;
                event("dropped a datagram of " + std::to_string(size) + " bytes from " + endpoint_text(sender));
                continue;
            }
            ip_packet_spec spec;
            spec.destination_mac = f->adapter_mac;
            spec.source_mac = f->next_hop_mac;
            spec.source = ipv4_address(from.sin_addr.s_addr);
            spec.destination = ipv4_address(f->source_address);
            spec.protocol = 17;
            spec.identification = next_identification_++;
            frame = build_ip_frame(spec, udp_datagram(::ntohs(from.sin_port), f->source_port,
                                                      std::span<const std::uint8_t>(buffer.data(), size)));
            ++counters_.from_peer;
            event("peer " + endpoint_text(sender) + " -> " + endpoint_text(f->source_address, f->source_port) +
                  ", " + std::to_string(size) + " bytes, from " + endpoint_text(from));
        }
        try {
            packet_driver::instance().inject(f->adapter_handle, 2, frame);
        } catch (...) {
            std::lock_guard lock(mutex_);
            ++counters_.dropped;
            event("the driver refused an incoming frame");
        }
    }
}

// ---- relays -----------------------------------------------------------------------------

void wire::from_relay(endpoint& e, const sockaddr_in& sender, const std::uint8_t* data, std::size_t size)
{
    std::lock_guard lock(mutex_);
    const auto key = std::make_pair(e.port, std::make_pair(static_cast<std::uint32_t>(sender.sin_addr.s_addr),
                                                           static_cast<std::uint16_t>(sender.sin_port)));
    auto found = relay_flows_.find(key);
    if (found == relay_flows_.end()) {
        if (stopping_)
            return;
        auto r = std::make_unique<relay_flow>();
        r->via = &e;
        r->relay = sender;
        try {
            r->socket.s = open_loopback_socket();
        } catch (const std::exception& ex) {
            ++counters_.dropped;
            event(std::string("dropped a relayed datagram: ") + ex.what());
            return;
        }
        relay_flow* raw = r.get();
        found = relay_flows_.emplace(key, std::move(r)).first;
        start_thread([this, raw] { relay_loop(raw); });
        event("relay " + endpoint_text(sender) + " to 127.0.0.1:" + std::to_string(e.port));
    }
    relay_flow& r = *found->second;
    if (::sendto(r.socket.s, reinterpret_cast<const char*>(data), static_cast<int>(size), 0,
                 reinterpret_cast<const sockaddr*>(&e.peer), sizeof(e.peer)) < 0) {
        ++counters_.dropped;
        event("sendto of a relayed datagram failed");
        return;
    }
    ++counters_.relayed_to_peer;
    event("relay " + endpoint_text(sender) + " -> " + endpoint_text(e.peer) + ", " + std::to_string(size) +
          " bytes");
}

void wire::relay_loop(relay_flow* r)
{
    std::vector<std::uint8_t> buffer(65536);
    while (!stopping_) {
        if (!readable(r->socket.s))
            continue;
        sockaddr_in sender{};
        int length = sizeof(sender);
        const int n = ::recvfrom(r->socket.s, reinterpret_cast<char*>(buffer.data()),
                                 static_cast<int>(buffer.size()), 0, reinterpret_cast<sockaddr*>(&sender),
                                 &length);
        if (n < 0)
            continue;
        std::lock_guard lock(mutex_);
        if (::sendto(r->via->socket.s, reinterpret_cast<const char*>(buffer.data()), n, 0,
                     reinterpret_cast<const sockaddr*>(&r->relay), sizeof(r->relay)) < 0) {
            ++counters_.dropped;
            event("sendto back to a relay failed");
            continue;
        }
        ++counters_.relayed_to_relay;
        event("peer " + endpoint_text(sender) + " -> relay " + endpoint_text(r->relay) + ", " +
              std::to_string(n) + " bytes");
    }
}
} // namespace simhost
