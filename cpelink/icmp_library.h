#pragma once
// The network start-up object of the main view and the ARP flush. On Linux there is no library to
// load and no Winsock to start: the object is ready when a socket can be created.
#include <string>

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
    int m_bReady = 0;
    std::string m_strError;
};

// Flushes the host's ARP entry of the gateway: started, not waited for, failure ignored.
void FlushArpCache(plat::IProcess& process, const std::string& gatewayAddress);
