#pragma once
// What the dual tunnel may change on the simulated host: what its virtual adapter object
// may change (virtual_adapter_state.h) and the packet filter modes of the physical and
// the virtual adapter. Two states compare equal when the tunnel left nothing behind.
#include <cstdint>
#include <ostream>

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
} // namespace tunnel_test
