#include "packet_block.h"

#include <cstring>

namespace rimcap
{
void init_packet_block(packet_block& block, std::uint64_t adapter_handle)
{
    std::memset(block.records, 0, sizeof(block.records));
    for (packet_request* request :
         {&block.read_request, &block.to_adapter_request, &block.to_stack_request}) {
        std::memset(request, 0, sizeof(*request));
        request->adapter_handle = adapter_handle;
    }
    block.read_request.packet_count = max_request_packets;
    for (std::size_t i = 0; i < max_request_packets; ++i)
        block.read_request.packets[i] = &block.records[i];
}

std::unique_ptr<packet_block> make_packet_block(std::uint64_t adapter_handle)
{
    std::unique_ptr<packet_block> block(new packet_block);
    init_packet_block(*block, adapter_handle);
    return block;
}
} // namespace rimcap
