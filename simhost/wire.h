#pragma once
// The simulated host's wire: carries UDP between the programs under test and real peers
// on loopback, through the simulated packet filter driver, the way Windows' stack and
// network would.
//
// Endpoints. add_endpoint(peer) opens a UDP socket of the simulated host on 127.0.0.1
// (port P chosen by the system) that stands for a server; `peer` is where the real
// server listens (a loopback address: a peer inside the test process, or a wireguard-go
// in the network namespace that the test runs in). Programs are configured with
// 127.0.0.1:P as the server.
//
//   local stack -> P    A datagram that a real socket of the program sends to P (its
//                       source is the local stack's address, 127.0.0.1) becomes an
//                       OUTGOING frame (direction 1) on the adapter that the host
//                       network routes 127.0.0.1 through: Ethernet from the adapter's
//                       MAC to the next hop's MAC, IPv4 from the adapter's first
//                       address to 127.0.0.1, UDP from the sender's port (as recvfrom
//                       saw it) to P, checksums valid. It is injected into the driver,
//                       just as the stack hands its frames to the driver.
//   wire -> peer        A frame that leaves the driver toward the wire and carries
//                       unfragmented IPv4 UDP to a loopback address is sent on, payload
//                       only, from a socket of its flow (one per adapter, source and
//                       destination): to the endpoint's peer when the destination is an
//                       endpoint, else as it is to that loopback address (a SOCKS5
//                       relay, for instance).
//   peer -> wire        A datagram that a flow's socket receives becomes an INCOMING
//                       frame (direction 2) on the flow's adapter: from 127.0.0.1:P when
//                       it answers an endpoint's peer, else from its real sender, to the
//                       flow's source address and port, Ethernet from the flow's next
//                       hop to the adapter.
//   relay -> P          A datagram that reaches P from any other source than the local
//                       stack (a relay bound to another loopback address, 127.0.0.2 for
//                       instance) is forwarded to the peer from a socket of that sender;
//                       the peer's answers go back to the sender from P.
//
// Frames delivered to the stack stay recorded by the driver (packet_driver::deliveries).
// The wire's threads (one per socket and one that forwards) start with the wire and are
// joined by stop() and the destructor. Only IPv4 loopback is carried; anything else
// that leaves toward the wire is counted and dropped.
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "host.h"
#include "packet_driver.h"
#include "win32.h"

namespace simhost
{
class wire
{
public:
    struct counters {
        std::uint64_t from_stack = 0;       // datagrams of the local stack turned into frames
        std::uint64_t to_peer = 0;          // frames sent on to a peer or a loopback address
        std::uint64_t from_peer = 0;        // datagrams turned into incoming frames
        std::uint64_t relayed_to_peer = 0;  // datagrams from a relay forwarded to a peer
        std::uint64_t relayed_to_relay = 0; // peer answers returned to a relay
        std::uint64_t dropped = 0;          // frames or datagrams that could not be carried
    };

    // Starts Winsock for the wire and installs the driver's wire tap. One wire at a time.
    wire();
    ~wire();

    wire(const wire&) = delete;
    wire& operator=(const wire&) = delete;

    // A new endpoint for the peer at that address (IPv4 loopback, port in host order);
    // returns the endpoint's port P on 127.0.0.1 (host order): `local_port` when it is
    // not 0, else one that the system chooses. Throws std::runtime_error when the socket
    // (or that port) or its thread cannot be had.
    std::uint16_t add_endpoint(const std::string& peer_address, std::uint16_t peer_port,
                               std::uint16_t local_port = 0);

    // The address whose datagrams to an endpoint count as the local stack's (default
    // 127.0.0.1); every other source is a relay.
    void set_local_stack_address(const std::string& address);

    // Closes every socket and joins every thread; the tap is removed. Idempotent.
    void stop();

    counters stats() const;
    // What happened, one line per event (for test messages); the last 1000.
    std::vector<std::string> events() const;

private:
    struct socket_owner {
        SOCKET s = INVALID_SOCKET;
        socket_owner() = default;
        explicit socket_owner(SOCKET socket) : s(socket) {}
        socket_owner(const socket_owner&) = delete;
        socket_owner& operator=(const socket_owner&) = delete;
        ~socket_owner() { close(); }
        void close();
    };

    struct endpoint {
        std::uint16_t port = 0;    // P, host order
        sockaddr_in peer{};
        socket_owner socket;
    };

    // One source's traffic toward one destination, on one adapter.
    struct flow {
        std::uint64_t adapter_handle = 0;
        std::array<std::uint8_t, 6> adapter_mac{};
        std::array<std::uint8_t, 6> next_hop_mac{};
        std::uint32_t source_address = 0; // network order
        std::uint16_t source_port = 0;    // host order
        sockaddr_in destination{};        // as the frame named it
        sockaddr_in target{};             // where the payload goes
        bool to_endpoint = false;
        socket_owner socket;
    };

    // A relay's traffic to one endpoint's peer.
    struct relay_flow {
        endpoint* via = nullptr;
        sockaddr_in relay{};
        socket_owner socket;
    };

    using flow_key = std::tuple<std::uint64_t, std::uint32_t, std::uint16_t, std::uint32_t, std::uint16_t>;

    void tap(std::uint64_t adapter_handle, const frame_bytes& frame);
    void forward_loop();
    void forward(std::uint64_t adapter_handle, const frame_bytes& frame);
    void endpoint_loop(endpoint* e);
    void flow_loop(flow* f);
    void relay_loop(relay_flow* r);
    void from_stack(endpoint& e, const sockaddr_in& sender, const std::uint8_t* data, std::size_t size);
    void from_relay(endpoint& e, const sockaddr_in& sender, const std::uint8_t* data, std::size_t size);
    void start_thread(std::function<void()> body);
    void event(std::string text);
    static SOCKET open_loopback_socket(std::uint16_t port = 0);

    mutable std::mutex mutex_;
    std::condition_variable queued_;
    std::deque<std::pair<std::uint64_t, frame_bytes>> queue_;
    std::vector<std::unique_ptr<endpoint>> endpoints_;
    std::map<flow_key, std::unique_ptr<flow>> flows_;
    std::map<std::pair<std::uint16_t, std::pair<std::uint32_t, std::uint16_t>>, std::unique_ptr<relay_flow>>
        relay_flows_;
    std::vector<std::thread> threads_;
    std::uint32_t local_stack_ = 0; // network order
    std::uint16_t next_identification_ = 1;
    counters counters_;
    std::deque<std::string> events_;
    std::atomic<bool> stopping_{false};
    bool winsock_ = false;
};
} // namespace simhost
