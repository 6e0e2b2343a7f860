#include "cpelink/icmp_library.h"

#include <sys/socket.h>
#include <netinet/in.h>
#include <unistd.h>

#include "platform/process.h"

CIcmpLibrary::CIcmpLibrary() {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        m_strError = "WSAStartup() error:";
        return;
    }
    close(fd);
    m_bReady = 1;
}

void FlushArpCache(plat::IProcess& process, const std::string& gatewayAddress) {
    process.FlushArp(gatewayAddress);
}
