// Adapters on Linux: getifaddrs for the addresses; the link state from the kernel's operstate
// ("up"; "unknown" for drivers that do not report one, with the running flag), so an unplugged
// cable shows as no link although the interface is administratively up.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>

#include "platform/adapters.h"
#include "platform/fs.h"

namespace plat {

namespace {

bool LinkUp(const std::string& name, unsigned flags) {
    if ((flags & IFF_UP) == 0) return false;
    std::string state;
    std::FILE* f = OpenFile("/sys/class/net/" + name + "/operstate", "rb");
    if (!f) return (flags & IFF_RUNNING) != 0;
    char text[32] = {};
    const size_t n = std::fread(text, 1, sizeof text - 1, f);
    std::fclose(f);
    state.assign(text, n);
    while (!state.empty() && (state.back() == '\n' || state.back() == ' ')) state.pop_back();
    if (state == "up") return true;
    return state == "unknown" && (flags & IFF_RUNNING) != 0;
}

// ARPHRD_ETHER (type 1) and no wireless extensions: a cable, whatever the driver.
bool IsEthernet(const std::string& name) {
    std::FILE* f = OpenFile("/sys/class/net/" + name + "/type", "rb");
    if (!f) return false;
    char text[16] = {};
    const size_t n = std::fread(text, 1, sizeof text - 1, f);
    std::fclose(f);
    if (std::string(text, n).rfind("1\n", 0) != 0) return false;
    return !PathExists("/sys/class/net/" + name + "/wireless") && !PathExists("/sys/class/net/" + name + "/phy80211");
}

void Classify(AdapterAddress& a) {
    a.index = if_nametoindex(a.name.c_str());
    a.bEthernet = !a.bLoopback && IsEthernet(a.name);
}

uint32_t Ipv4Of(const sockaddr* sa) {
    return sa && sa->sa_family == AF_INET ? ntohl(reinterpret_cast<const sockaddr_in*>(sa)->sin_addr.s_addr) : 0;
}

}  // namespace

std::vector<AdapterAddress> ListAdapterAddresses(std::string* error) {
    std::vector<AdapterAddress> out;
    if (error) error->clear();
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        if (error) *error = std::string("getifaddrs: ") + std::strerror(errno);
        return out;
    }
    std::map<std::string, bool> withAddress;  // every interface, and whether it has an IPv4 address
    std::map<std::string, unsigned> flagsOf;
    for (ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_name) continue;
        const std::string name = i->ifa_name;
        flagsOf[name] = i->ifa_flags;
        withAddress.emplace(name, false);
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
        withAddress[name] = true;
        AdapterAddress a;
        a.name = name;
        a.ip = Ipv4Of(i->ifa_addr);
        a.mask = Ipv4Of(i->ifa_netmask);
        a.bLoopback = (i->ifa_flags & IFF_LOOPBACK) != 0;
        a.bLinkUp = a.bLoopback ? (i->ifa_flags & IFF_UP) != 0 : LinkUp(name, i->ifa_flags);
        Classify(a);
        out.push_back(a);
    }
    freeifaddrs(list);
    for (const auto& [name, has] : withAddress) {
        if (has) continue;
        AdapterAddress a;
        a.name = name;
        a.bLoopback = (flagsOf[name] & IFF_LOOPBACK) != 0;
        a.bLinkUp = LinkUp(name, flagsOf[name]);
        Classify(a);
        out.push_back(a);
    }
    return out;
}

}  // namespace plat
