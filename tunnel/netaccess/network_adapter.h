#pragma once
// One adapter of the packet filter driver's list.
#include <array>
#include <cstdint>
#include <string>

#include "driver_records.h"
#include "event_handle.h"

class CRimCap;

namespace rimcap
{
class network_adapter
{
public:
    // The names are moved in; the mode starts at 0 (not filtered); the packet event is
    // created and the WAN kind worked out from the internal name.
    network_adapter(CRimCap* owner, std::uint64_t adapter_handle, const std::uint8_t* mac,
                    std::string internal_name, std::string friendly_name, std::uint32_t medium,
                    std::uint16_t mtu);

    network_adapter(const network_adapter&) = delete;
    network_adapter& operator=(const network_adapter&) = delete;

    CRimCap* owner() const noexcept { return owner_; }
    std::uint64_t handle() const noexcept { return adapter_mode_.adapter_handle; }
    const std::array<std::uint8_t, 6>& mac() const noexcept { return mac_; }
    HANDLE packet_event() const noexcept { return packet_event_.get(); }
    const std::string& internal_name() const noexcept { return internal_name_; }
    const std::string& friendly_name() const noexcept { return friendly_name_; }
    std::uint32_t medium() const noexcept { return medium_; }
    std::uint16_t mtu() const noexcept { return mtu_; }
    std::uint32_t wan_kind() const noexcept { return wan_kind_; }

    const rimcap::adapter_mode& mode() const noexcept { return adapter_mode_; }

    // Stores the mode flags in the adapter's record and sends the record to the driver
    // (false when the device is absent or the driver refuses).
    bool set_mode(std::uint32_t flags);
    // Mode 0 through the owner's release, which tries a refusal again (CRimCap).
    bool release_mode();

private:
    CRimCap* owner_;
    std::array<std::uint8_t, 6> mac_{};
    unique_event packet_event_;
    std::string internal_name_;
    std::string friendly_name_;
    std::uint32_t medium_;
    std::uint16_t mtu_;
    rimcap::adapter_mode adapter_mode_{};
    std::uint32_t wan_kind_;
};
} // namespace rimcap
