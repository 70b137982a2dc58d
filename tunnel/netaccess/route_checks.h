#pragma once
// Whether an interface has a route to a destination.
#include "adapter_info.h"
#include "win32.h"

namespace iphelper
{
// A predicate over adapter records: true when IP Helper finds no route to the
// destination through the adapter's interface (the code is then in the thread's last
// error), false when a route exists. Holds a reference to the destination, which must
// outlive it.
class has_no_route
{
public:
    explicit has_no_route(const IN_ADDR& destination) noexcept : ipv4_(&destination) {}
    explicit has_no_route(const IN6_ADDR& destination) noexcept : ipv6_(&destination) {}

    bool operator()(adapter_info adapter) const;

private:
    const IN_ADDR* ipv4_ = nullptr;
    const IN6_ADDR* ipv6_ = nullptr;
};
} // namespace iphelper
