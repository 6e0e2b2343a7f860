#include "platform/process.h"

#include <cstdint>

#include "platform/socket.h"

namespace plat {

bool IsLoopbackAddress(const std::string& address) {
    uint32_t a = 0;
    if (ParseIpv4(address, a)) return (a >> 24) == 127;
    return address == "localhost" || address == "::1";
}

void SystemProcess::FlushArp(const std::string& gatewayAddress) {
    if (!m_bArpFlush || IsLoopbackAddress(gatewayAddress)) return;
    StartArpFlush(gatewayAddress);
}

}  // namespace plat
