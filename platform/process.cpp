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
    const std::vector<std::string> command = ArpFlushCommand(gatewayAddress);
    std::vector<const char*> argv;
    for (const std::string& a : command) argv.push_back(a.c_str());
    argv.push_back(nullptr);
    SpawnDetached(argv.data());
}

}  // namespace plat
