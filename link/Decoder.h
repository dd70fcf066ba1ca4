// DecodePacket: turns one inbound packet into what the host or the agent
// sees. It owns the buffer and frees it in every case. Runs on the link's
// receive thread.
#pragma once

#include <memory>

#include "link/ORVInterface.h"

namespace tessor {

void DecodePacket(CORVInterface& link, std::unique_ptr<PACKET_BUFFER> pPacket);

}  // namespace tessor
