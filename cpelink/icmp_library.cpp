#include "cpelink/icmp_library.h"

#include "platform/process.h"
#include "platform/socket.h"

CIcmpLibrary::CIcmpLibrary() {
    if (!plat::Socket::Udp().Valid()) {
        m_strError = "WSAStartup() error:";
        return;
    }
    m_bReady = 1;
}

void FlushArpCache(plat::IProcess& process, const std::string& gatewayAddress) {
    process.FlushArp(gatewayAddress);
}
