#pragma once
// What the dual tunnel may change on the simulated host: what its virtual adapter object
// may change (virtual_adapter_state.h) and the packet filter modes of the physical and
// the virtual adapter. Two states compare equal when the tunnel left nothing behind.
// And the server's handshake response that activates the tunnel.
#include <algorithm>
#include <cstdint>
#include <ostream>

#include "packet_builder.h"
#include "packet_driver.h"
#include "virtual_adapter_state.h"

namespace tunnel_test
{
using test_support::address_texts;
using test_support::route_texts;

struct dual_host_state : test_support::virtual_adapter_state {
    std::uint32_t physical_mode = 0;
    std::uint32_t virtual_mode = 0;
    bool operator==(const dual_host_state&) const = default;
};

inline void PrintTo(const dual_host_state& s, std::ostream* out)
{
    test_support::PrintTo(s, out);
    *out << ", modes " << s.physical_mode << " / " << s.virtual_mode;
}

inline dual_host_state read_dual_host_state(const simhost::adapter& physical, const simhost::adapter& virtual_adapter)
{
    const auto& driver = simhost::packet_driver::instance();
    return {test_support::read_virtual_adapter_state(virtual_adapter), driver.mode(physical.filter_handle),
            driver.mode(virtual_adapter.filter_handle)};
}

// The server's 92-byte handshake response as the physical adapter (192.168.1.10)
// receives it from the gateway: from 127.0.0.1 and the server's port to the tunnel's
// local port.
inline testpkt::bytes handshake_response_frame(const simhost::adapter& physical, const simhost::mac_address& gateway,
                                               std::uint16_t server_port, std::uint16_t local_port)
{
    testpkt::bytes payload = testpkt::pattern(92);
    payload[0] = 2;
    testpkt::bytes frame(14);
    std::copy(physical.mac.begin(), physical.mac.end(), frame.begin());
    std::copy(gateway.begin(), gateway.end(), frame.begin() + 6);
    frame[12] = 0x08;
    return testpkt::concat(frame, testpkt::ipv4(17, testpkt::udp(server_port, local_port, payload), 5, 0x4000,
                                                {127, 0, 0, 1}, {192, 168, 1, 10}));
}
} // namespace tunnel_test
