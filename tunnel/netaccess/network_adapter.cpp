#include "network_adapter.h"

#include <cstring>

#include "rimcap.h"
#include "wan_adapters.h"

namespace rimcap
{
network_adapter::network_adapter(CRimCap* owner, std::uint64_t adapter_handle,
                                 const std::uint8_t* mac, std::string internal_name,
                                 std::string friendly_name, std::uint32_t medium,
                                 std::uint16_t mtu)
    : owner_(owner),
      packet_event_(make_manual_reset_event()),
      internal_name_(std::move(internal_name)),
      friendly_name_(std::move(friendly_name)),
      medium_(medium),
      mtu_(mtu),
      wan_kind_(wan_kind_of(internal_name_.c_str()))
{
    std::memcpy(mac_.data(), mac, mac_.size());
    adapter_mode_.adapter_handle = adapter_handle;
    adapter_mode_.flags = 0;
}

bool network_adapter::set_mode(std::uint32_t flags)
{
    adapter_mode_.flags = flags;
    return owner_ != nullptr && owner_->set_adapter_mode(adapter_mode_);
}

bool network_adapter::release_mode()
{
    adapter_mode_.flags = 0;
    return owner_ != nullptr && owner_->release_adapter_mode(adapter_mode_.adapter_handle);
}
} // namespace rimcap
