#include "pcside/gateway_path.h"

#include "cpelink/link_server.h"
#include "platform/firewall.h"
#include "platform/process.h"
#include "platform/socket.h"
#include "platform/trace.h"

namespace gateway_path {

namespace {

constexpr uint32_t SUBNET_24 = 0xFFFFFF00;

bool IsSelfAssigned(uint32_t ip) { return (ip >> 16) == 0xA9FE; }  // 169.254.0.0/16

// The gateway's subnet (its /24, whatever mask the PC's adapter has: a PC on 192.168.5.5/16
// reaches 192.168.0.1, but the gateway does not answer outside its own /24) holds this address.
bool OnSubnet(const plat::AdapterAddress& a, uint32_t gateway) {
    if (a.ip == 0 || a.bLoopback) return false;
    return (a.ip & SUBNET_24) == (gateway & SUBNET_24);
}

int PrefixLength(uint32_t mask) {
    int n = 0;
    while (n < 32 && (mask & (0x80000000u >> n))) ++n;
    return n;
}

// "eth0 10.0.0.5, wlan0 (无地址)" for the no-subnet hint; loopback left out.
std::string AdapterList(const std::vector<plat::AdapterAddress>& adapters, bool bEnglish) {
    std::string out;
    for (const plat::AdapterAddress& a : adapters) {
        if (a.bLoopback) continue;
        if (!out.empty()) out += ", ";
        out += a.name + " ";
        out += a.ip != 0 ? plat::Ipv4Text(a.ip) : (bEnglish ? "(no address)" : "(无地址)");
        if (!a.bLinkUp) out += bEnglish ? " (no link)" : " (未连接)";
    }
    if (out.empty()) out = bEnglish ? "none" : "无";
    return out;
}

}  // namespace

std::string AdvisedAddress(uint32_t gateway) {
    const uint32_t host = (gateway & 0xFF) == 100 ? 101 : 100;
    return plat::Ipv4Text((gateway & SUBNET_24) | host);
}

std::vector<HintText> AdapterHints(uint32_t gateway, const std::vector<plat::AdapterAddress>& adapters,
                                   bool bEnglish, const std::string& queryError) {
    std::vector<HintText> out;
    if (gateway == 0 || (gateway >> 24) == 127) return out;
    if (!queryError.empty()) {
        // An empty list from a failed query says nothing about the adapters.
        out.push_back({Hint::QueryFailed, plat::Format(bEnglish ? QUERY_FAILED_EN : QUERY_FAILED_CN, queryError.c_str())});
        return out;
    }
    const std::string gw = plat::Ipv4Text(gateway);
    const std::string advised = AdvisedAddress(gateway);
    std::vector<const plat::AdapterAddress*> onSubnet, linked;
    for (const plat::AdapterAddress& a : adapters) {
        if (!OnSubnet(a, gateway)) continue;
        onSubnet.push_back(&a);
        bool bSeen = false;  // one adapter with two addresses on the subnet counts once
        for (const auto* l : linked) bSeen = bSeen || l->name == a.name;
        if (a.bLinkUp && !bSeen) linked.push_back(&a);
    }
    if (onSubnet.empty()) {
        out.push_back({Hint::NoSubnet, plat::Format(bEnglish ? NO_SUBNET_EN : NO_SUBNET_CN, gw.c_str(),
                                                    AdapterList(adapters, bEnglish).c_str(), advised.c_str())});
    }
    // An unplugged adapter matters only when no linked one on the subnet is left to carry the link.
    if (linked.empty() && !onSubnet.empty()) {
        const plat::AdapterAddress* a = onSubnet.front();
        out.push_back({Hint::NoLink, plat::Format(bEnglish ? NO_LINK_EN : NO_LINK_CN, a->name.c_str(),
                                                  plat::Ipv4Text(a->ip).c_str())});
    }
    if (linked.empty()) {
        // An adapter whose every address is self-assigned: its address server (DHCP) never answered.
        for (const plat::AdapterAddress& a : adapters) {
            if (a.bLoopback || !a.bLinkUp || !IsSelfAssigned(a.ip)) continue;
            bool bOnlySelf = true;
            for (const plat::AdapterAddress& b : adapters)
                if (b.name == a.name && b.ip != 0 && !IsSelfAssigned(b.ip)) bOnlySelf = false;
            if (!bOnlySelf) continue;
            out.push_back({Hint::SelfAssigned, plat::Format(bEnglish ? SELF_ASSIGNED_EN : SELF_ASSIGNED_CN,
                                                            a.name.c_str(), plat::Ipv4Text(a.ip).c_str(),
                                                            advised.c_str())});
            break;
        }
    }
    if (linked.size() >= 2) {
        out.push_back({Hint::TwoOnSubnet,
                       plat::Format(bEnglish ? TWO_ON_SUBNET_EN : TWO_ON_SUBNET_CN, linked[0]->name.c_str(),
                                    plat::Ipv4Text(linked[0]->ip).c_str(), linked[1]->name.c_str(),
                                    plat::Ipv4Text(linked[1]->ip).c_str())});
    }
    return out;
}

HintText NoConnectionHint(const std::string& announced, int port, int sent, bool bEnglish) {
    return {Hint::NoConnection, bEnglish ? plat::Format(NO_CONNECTION_EN, announced.c_str(), port, sent, port)
                                         : plat::Format(NO_CONNECTION_CN, sent, announced.c_str(), port, port)};
}

std::vector<HintText> HintLatch::Fresh(const std::vector<HintText>& now) {
    std::vector<HintText> fresh;
    std::set<Hint> holding;
    for (const HintText& h : now) {
        holding.insert(h.kind);
        if (!m_holding.count(h.kind)) fresh.push_back(h);
    }
    // The no-connection hint is checked apart and kept.
    if (m_holding.count(Hint::NoConnection)) holding.insert(Hint::NoConnection);
    m_holding = std::move(holding);
    return fresh;
}

bool HintLatch::FreshOne(const HintText& hint) { return m_holding.insert(hint.kind).second; }

Facts GatherFacts(const plat::Endpoints& ep, const std::string& gateway, bool bEnglish) {
    Facts f;
    f.gateway = gateway;
    f.adapters = plat::ListAdapterAddresses(&f.adapterError);
    uint32_t gw = 0;
    if (plat::ResolveIpv4(gateway, gw)) {
        // A connected UDP socket sends nothing; its local address is the route's source.
        plat::Socket s = plat::Socket::Udp();
        std::string why;
        if (s && s.Connect({gw, ep.webPort}, 0, &why)) {
            f.bRouted = true;
            f.routeSource = s.LocalAddress().ip;
        } else {
            f.routeError = s ? why : plat::LastSocketErrorText();
        }
    } else {
        f.routeError = "not an IPv4 address";
    }
    plat::Endpoints forGateway = ep;
    forGateway.gateway = gateway;
    const uint32_t arg = LookUpLocalAddress(forGateway);
    f.announced = (arg >> 24) | ((arg >> 8) & 0xFF00) | ((arg << 8) & 0xFF0000) | (arg << 24);
    f.announceTo = ep.announceHost + ":" + std::to_string(ep.announcePort);
    f.linkPort = ep.linkPort;
    plat::Socket listen = plat::Socket::Tcp();
    const uint32_t bindIp = plat::IsLoopbackAddress(gateway) ? plat::IPV4_LOOPBACK : plat::IPV4_ANY;
    if (listen && listen.Bind({bindIp, ep.linkPort}) && listen.Listen()) {
        f.bLinkPortFree = true;
        f.linkPort = listen.LocalPort();
    } else {
        f.linkPortError = plat::LastSocketErrorText();
    }
    f.firewall = plat::FirewallState(f.announced, f.linkPort, bEnglish);
    return f;
}

std::vector<std::string> Report(const Facts& f, bool bEnglish, bool& bReady) {
    std::vector<std::string> out;
    const plat::AdapterAddress* toward = nullptr;
    if (!f.adapterError.empty()) out.push_back("adapters: cannot be listed (" + f.adapterError + ")");
    for (const plat::AdapterAddress& a : f.adapters) {
        std::string line = "adapter " + a.name + ": ";
        line += a.ip != 0 ? plat::Ipv4Text(a.ip) + "/" + std::to_string(PrefixLength(a.mask)) : "no IPv4 address";
        line += a.bLinkUp ? ", link up" : ", no link";
        if (a.bLoopback) line += " (loopback)";
        out.push_back(line);
        if (f.bRouted && a.ip == f.routeSource && a.ip != 0) toward = &a;
    }
    if (f.bRouted)
        out.push_back("gateway " + f.gateway + ": route through " + (toward ? toward->name : std::string("?")) +
                      ", source address " + plat::Ipv4Text(f.routeSource));
    else
        out.push_back("gateway " + f.gateway + ": no route (" + f.routeError + ")");
    out.push_back("announcement to " + f.announceTo + " would carry " +
                  (f.announced != 0 ? plat::Ipv4Text(f.announced) : std::string("no address")) + ", port " +
                  std::to_string(f.linkPort));
    out.push_back(f.bLinkPortFree ? plat::Format("link port TCP %d: can be bound", f.linkPort)
                                  : plat::Format("link port TCP %d: cannot be bound (%s)", f.linkPort,
                                                 f.linkPortError.c_str()));
    if (!f.firewall.empty()) out.push_back(f.firewall);

    uint32_t gw = 0;
    const bool bDotted = plat::ParseIpv4(f.gateway, gw);
    const bool bLoopback = plat::IsLoopbackAddress(f.gateway);
    const std::vector<HintText> hints = bDotted ? AdapterHints(gw, f.adapters, bEnglish, f.adapterError) : std::vector<HintText>{};
    for (const HintText& h : hints) out.push_back(h.text);
    // Ready: the route leads through a linked adapter on the gateway's subnet.
    bReady = bLoopback ||
             (f.bRouted && toward && toward->bLinkUp && bDotted && OnSubnet(*toward, gw) && !IsSelfAssigned(toward->ip));
    out.push_back(bReady ? "ready: " + (toward ? toward->name : std::string("loopback")) + " leads to the gateway"
                         : std::string("not ready: no adapter with a link leads to the gateway's subnet"));
    return out;
}

}  // namespace gateway_path
