// Compile-time checks of the driver record layouts: the driver reads these bytes.
#include "driver_records.h"

static_assert(sizeof(_INTERMEDIATE_BUFFER) == 1566);
static_assert(offsetof(_INTERMEDIATE_BUFFER, direction) == 16);
static_assert(offsetof(_INTERMEDIATE_BUFFER, length) == 20);
static_assert(offsetof(_INTERMEDIATE_BUFFER, frame) == 52);

static_assert(sizeof(rimcap::filter_adapter_list) == 8836);
static_assert(offsetof(rimcap::filter_adapter_list, names) == 4);
static_assert(offsetof(rimcap::filter_adapter_list, handles) == 8196);
static_assert(offsetof(rimcap::filter_adapter_list, media) == 8452);
static_assert(offsetof(rimcap::filter_adapter_list, macs) == 8580);
static_assert(offsetof(rimcap::filter_adapter_list, mtus) == 8772);

static_assert(sizeof(rimcap::adapter_mode) == 12);
static_assert(offsetof(rimcap::adapter_mode, flags) == 8);
static_assert(sizeof(rimcap::packet_event_request) == 16);

static_assert(sizeof(rimcap::packet_request) == 4096);
static_assert(alignof(rimcap::packet_request) == 4096);
static_assert(offsetof(rimcap::packet_request, packet_count) == 8);
static_assert(offsetof(rimcap::packet_request, packets_done) == 12);
static_assert(offsetof(rimcap::packet_request, packets) == 16);
static_assert(rimcap::packet_request_size(510) == 4096);
