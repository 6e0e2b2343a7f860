#pragma once
// The PC's network adapters as the link checks and --diagnose see them: one entry per IPv4
// address of an adapter (an adapter without one has a single entry with address 0), loopback
// included. adapters_posix.cpp lists them with getifaddrs and /sys/class/net/<name>/operstate,
// adapters_win.cpp with GetAdaptersAddresses.
#include <cstdint>
#include <string>
#include <vector>

namespace plat {

struct AdapterAddress {
    std::string name;       // the interface name (Linux) or the adapter's friendly name (Windows)
    uint32_t ip = 0;        // host order; 0: the adapter has no IPv4 address
    uint32_t mask = 0;      // host order
    bool bLinkUp = false;   // the adapter is up and has a link (carrier)
    bool bLoopback = false;
    std::string id;         // Windows: the adapter's GUID name ("{...}"); empty elsewhere
    // A wired Ethernet adapter: Linux an ARPHRD_ETHER interface without /sys/class/net/<name>/wireless
    // (veth and bridges included), Windows IF_TYPE_ETHERNET_CSMACD. Never wireless, tunnel or loopback.
    bool bEthernet = false;
    unsigned index = 0;     // the system's interface index
};

// A failed query gives an empty list and, in `error` when given, the system's reason (left
// empty on success), so that callers can tell it from a PC without adapters.
std::vector<AdapterAddress> ListAdapterAddresses(std::string* error = nullptr);

}  // namespace plat
