#pragma once
// The network start-up object of the main view (ICMP.DLL and Winsock 1.1 on Windows; see
// plat::NetworkStartup) and the ARP flush.
#include <string>

#include "platform/network.h"

namespace plat {
class IProcess;
}

class CIcmpLibrary {
public:
    CIcmpLibrary();
    ~CIcmpLibrary() = default;
    CIcmpLibrary(const CIcmpLibrary&) = delete;
    CIcmpLibrary& operator=(const CIcmpLibrary&) = delete;

    bool IsReady() const { return m_bReady != 0; }
    // The message (caption "Error:") for a start-up that failed; empty when ready.
    const std::string& ErrorText() const { return m_strError; }

private:
    plat::NetworkStartup m_startup;
    int m_bReady = 0;
    std::string m_strError;
};

// Flushes the host's ARP entry of the gateway: started, not waited for, failure ignored.
void FlushArpCache(plat::IProcess& process, const std::string& gatewayAddress);
