// Adapters on Windows: GetAdaptersAddresses (IPv4 only), the friendly name as Windows shows it,
// the link from the operational status (an unplugged cable is IfOperStatusDown).
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>

#include <vector>

#include "platform/adapters.h"
#include "platform/socket.h"
#include "platform/wide.h"

namespace plat {

std::vector<AdapterAddress> ListAdapterAddresses(std::string* error) {
    std::vector<AdapterAddress> out;
    if (error) error->clear();
    ULONG size = 16 * 1024;
    std::vector<unsigned char> buffer;
    ULONG r = ERROR_BUFFER_OVERFLOW;
    for (int tries = 0; tries < 3 && r == ERROR_BUFFER_OVERFLOW; ++tries) {
        buffer.resize(size);
        r = GetAdaptersAddresses(AF_INET, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER,
                                 nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
    }
    if (r == ERROR_NO_DATA) return out;  // no adapter at all: an answer, not a failure
    if (r != NO_ERROR) {
        if (error) *error = "GetAdaptersAddresses: " + SocketErrorText(static_cast<int>(r));
        return out;
    }
    for (auto* a = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()); a; a = a->Next) {
        AdapterAddress base;
        base.name = a->FriendlyName ? Narrow(a->FriendlyName) : std::string(a->AdapterName ? a->AdapterName : "");
        base.bLoopback = a->IfType == IF_TYPE_SOFTWARE_LOOPBACK;
        base.bLinkUp = a->OperStatus == IfOperStatusUp;
        if (a->AdapterName) base.id = a->AdapterName;
        base.bEthernet = a->IfType == IF_TYPE_ETHERNET_CSMACD;
        base.index = a->IfIndex;
        bool bAny = false;
        for (auto* u = a->FirstUnicastAddress; u; u = u->Next) {
            if (!u->Address.lpSockaddr || u->Address.lpSockaddr->sa_family != AF_INET) continue;
            AdapterAddress e = base;
            e.ip = ntohl(reinterpret_cast<const sockaddr_in*>(u->Address.lpSockaddr)->sin_addr.s_addr);
            const unsigned prefix = u->OnLinkPrefixLength > 32 ? 32 : u->OnLinkPrefixLength;
            e.mask = prefix == 0 ? 0 : ~uint32_t{0} << (32 - prefix);
            out.push_back(e);
            bAny = true;
        }
        if (!bAny) out.push_back(base);
    }
    return out;
}

}  // namespace plat
