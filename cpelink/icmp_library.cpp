#include "cpelink/icmp_library.h"

#include "platform/process.h"

CIcmpLibrary::CIcmpLibrary() {
    if (!m_startup.Ready()) {
        m_strError = m_startup.ErrorText();
        return;
    }
    m_bReady = 1;
}

void FlushArpCache(plat::IProcess& process, const std::string& gatewayAddress) {
    process.FlushArp(gatewayAddress);
}
