#include "platform/network.h"
#include "platform/socket.h"

namespace plat {

NetworkStartup::NetworkStartup() {
    if (!Socket::Udp().Valid()) {
        m_strError = "WSAStartup() error:";
        return;
    }
    m_bReady = true;
}

NetworkStartup::~NetworkStartup() = default;

void StartSocketsForProcess() {}

}  // namespace plat
