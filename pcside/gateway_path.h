#pragma once
// The way from the PC to the gateway as the PC's adapters show it: the hints the link watcher
// shows when the gateway cannot come (no adapter on its subnet, no link or only a self-assigned
// address, two adapters on the subnet, no link connection after several announcements), and the
// report of `rk880t-tool --diagnose`. The checks are pure functions of the adapter list; the
// gathering (adapters, route, a bind of the link port) sends nothing anywhere.
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "platform/adapters.h"
#include "platform/endpoints.h"

namespace gateway_path {

// Status texts (Chinese, and English for language flag 1).
constexpr const char* NO_SUBNET_CN = "本机没有网卡在接入盒%s的网段内，本机网卡：%s。请将PC设置为固定IP，例如设置为：%s.";
constexpr const char* NO_SUBNET_EN = "No adapter of this PC is on the subnet of the gateway %s; adapters: %s. Set the PC to a fixed IP, e.g. %s.";
constexpr const char* NO_LINK_CN = "网卡%s(%s)未连接，请检查网线是否插好。";
constexpr const char* NO_LINK_EN = "Adapter %s (%s) has no link: check the cable.";
constexpr const char* SELF_ASSIGNED_CN = "网卡%s只有自动分配的地址%s，请将PC设置为固定IP，例如设置为：%s.";
constexpr const char* SELF_ASSIGNED_EN = "Adapter %s has only the self-assigned address %s. Set the PC to a fixed IP, e.g. %s.";
constexpr const char* TWO_ON_SUBNET_CN = "网卡%s(%s)和%s(%s)都在接入盒的网段内，管理命令可能发到其他设备，请断开其他网络。";
constexpr const char* TWO_ON_SUBNET_EN = "Adapters %s (%s) and %s (%s) are both on the gateway's subnet: the requests may reach another device. Disconnect the other network.";
constexpr const char* NO_CONNECTION_CN = "已广播%d次本机地址%s(端口%d)，接入盒仍未连接本机：入站连接可能被防火墙拦截，请允许本程序接收TCP %d端口的连接。";
constexpr const char* NO_CONNECTION_EN = "Announced %s (port %d) %d times, but the gateway has not connected: a firewall may drop the inbound connection. Allow this program to accept connections on TCP port %d.";
constexpr const char* QUERY_FAILED_CN = "无法读取本机网卡列表(%s)，请检查网卡驱动或重启PC。";
constexpr const char* QUERY_FAILED_EN = "The adapters of this PC cannot be listed (%s): check the adapter drivers or restart the PC.";

// Announcements sent without a link connection before the no-connection hint: the gateway
// connects on the first announcement it hears, and on a cable a datagram is hardly ever lost;
// three passes (15 s) leave room for one lost datagram and a gateway whose link client starts a
// few seconds after its factory mode opened, and still come long before an operator gives up.
constexpr int NO_CONNECTION_ANNOUNCEMENTS = 3;

enum class Hint { QueryFailed, NoSubnet, NoLink, SelfAssigned, TwoOnSubnet, NoConnection };

struct HintText {
    Hint kind;
    std::string text;
};

// The adapter hints that hold for a gateway at `gateway` (host order), in the order shown.
// Nothing for a loopback gateway (127.x.x.x) or address 0. `queryError` non-empty: the adapter
// list could not be read (that hint alone).
std::vector<HintText> AdapterHints(uint32_t gateway, const std::vector<plat::AdapterAddress>& adapters,
                                   bool bEnglish, const std::string& queryError = {});
// The no-connection hint: the announced address and port, and how many were sent.
HintText NoConnectionHint(const std::string& announced, int port, int sent, bool bEnglish);
// The fixed address the hints advise: the gateway's /24 with host 100 (101 when that is the gateway).
std::string AdvisedAddress(uint32_t gateway);

// Each hint once while it holds: Fresh gives the hints of `now` that did not hold at the last
// call; a hint that stops holding may be shown again when it comes back.
class HintLatch {
public:
    std::vector<HintText> Fresh(const std::vector<HintText>& now);
    // Marks one hint as holding (for hints checked apart, such as the no-connection hint).
    bool FreshOne(const HintText& hint);
    void Forget(Hint kind) { m_holding.erase(kind); }

private:
    std::set<Hint> m_holding;
};

// --diagnose: the facts, gathered without sending anything.
struct Facts {
    std::string gateway;                       // the address the tool would use
    std::vector<plat::AdapterAddress> adapters;
    std::string adapterError;                  // the adapter list could not be read: why
    bool bRouted = false;                      // a route to the gateway exists
    std::string routeError;                    // why not
    uint32_t routeSource = 0;                  // the route's source address (host order)
    uint32_t announced = 0;                    // the address the announcement would carry (host order)
    std::string announceTo;                    // "255.255.255.255:3536"
    int linkPort = 4536;
    bool bLinkPortFree = false;
    std::string linkPortError;
    std::string firewall;                      // Windows: the firewall's sentence for the program; else empty
};
Facts GatherFacts(const plat::Endpoints& endpoints, const std::string& gateway, bool bEnglish);
// The report lines, and whether a gateway-side adapter is ready (the exit status 0).
std::vector<std::string> Report(const Facts& facts, bool bEnglish, bool& bReady);

}  // namespace gateway_path
