#include "platform/firewall.h"

#include <cstdlib>

namespace plat {

namespace {

bool SameTextNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

// "*", "4536", "80, 4000-5000"; keywords such as "RPC" name no port of ours.
bool PortListHas(const std::string& list, int port) {
    if (list.empty()) return true;
    size_t at = 0;
    while (at <= list.size()) {
        size_t end = list.find(',', at);
        if (end == std::string::npos) end = list.size();
        std::string item = list.substr(at, end - at);
        while (!item.empty() && item.front() == ' ') item.erase(item.begin());
        while (!item.empty() && item.back() == ' ') item.pop_back();
        if (item == "*") return true;
        char* rest = nullptr;
        const long low = std::strtol(item.c_str(), &rest, 10);
        long high = low;
        if (rest != item.c_str() && *rest == '-') high = std::strtol(rest + 1, &rest, 10);
        if (rest != item.c_str() && *rest == '\0' && low <= port && port <= high) return true;
        at = end + 1;
    }
    return false;
}

enum class RuleSays { Nothing, AllowsPort, AllowsProgram, BlocksPort, BlocksProgram };

// What the rules say about an inbound TCP connection to this program on `port` in `profile`:
// a block rule wins over an allow rule, as in the firewall itself.
RuleSays Rules(const FirewallFacts& f, int profile) {
    RuleSays says = RuleSays::Nothing;
    for (const FirewallRule& r : f.rules) {
        if (!r.bInbound || !r.bEnabled || !(r.profiles & profile)) continue;
        if (r.protocol != FW_PROTOCOL_ANY && r.protocol != FW_PROTOCOL_TCP) continue;
        if (!r.service.empty() && r.service != "*") continue;
        if (!PortListHas(r.localPorts, f.port)) continue;
        const bool bProgram = !r.application.empty();
        if (bProgram && !SameTextNoCase(r.application, f.program)) continue;
        const RuleSays s = r.bAllow ? (bProgram ? RuleSays::AllowsProgram : RuleSays::AllowsPort)
                                    : (bProgram ? RuleSays::BlocksProgram : RuleSays::BlocksPort);
        if (s > says) says = s;
    }
    return says;
}

std::string ProfileName(int type, bool bEnglish) {
    if (type == FW_PROFILE_DOMAIN) return bEnglish ? "Domain" : "域网络";
    if (type == FW_PROFILE_PRIVATE) return bEnglish ? "Private" : "专用网络";
    return bEnglish ? "Public" : "公用网络";
}

}  // namespace

std::string FirewallText(const FirewallFacts& f, bool bEnglish) {
    std::vector<FirewallProfile> shown;
    for (const FirewallProfile& p : f.active)
        if (p.type == f.networkProfile) shown.push_back(p);
    const bool bNetwork = !shown.empty();
    if (!bNetwork) shown = f.active;
    if (shown.empty()) return {};

    const size_t slash = f.program.find_last_of("\\/");
    const std::string program = slash == std::string::npos ? f.program : f.program.substr(slash + 1);
    const std::string port = std::to_string(f.port);
    std::string text = bEnglish ? "Windows Firewall: " : "Windows防火墙：";
    bool bAdvise = false, bPublic = false;
    for (size_t i = 0; i < shown.size(); ++i) {
        const FirewallProfile& p = shown[i];
        std::string name = ProfileName(p.type, bEnglish);
        if (bNetwork && f.network.empty())  // a network list that names no network
            name = bEnglish ? "the gateway's network (" + name + ")" : "接入盒所在网络(" + name + ")";
        else if (bNetwork)
            name = bEnglish ? "the gateway's network \"" + f.network + "\" (" + name + ")"
                            : "接入盒所在网络“" + f.network + "”(" + name + ")";
        else if (bEnglish)
            name = "the " + name + " network";
        if (i > 0) text += bEnglish ? "; " : "；";
        if (!p.bEnabled) {
            text += bEnglish ? "off for " + name : name + "已关闭";
            continue;
        }
        text += bEnglish ? "on for " + name : name + "已开启";
        text += p.bBlockInbound ? (bEnglish ? ", inbound blocked by default" : "，入站默认阻止")
                                : (bEnglish ? ", inbound allowed by default" : "，入站默认允许");
        const RuleSays says = f.bRulesRead ? Rules(f, p.type) : RuleSays::Nothing;
        const bool bBlocked = says == RuleSays::BlocksPort || says == RuleSays::BlocksProgram ||
                              (p.bBlockInbound && says == RuleSays::Nothing);
        if (says == RuleSays::BlocksProgram)
            text += bEnglish ? ", a rule blocks " + program + " inbound" : "，有规则阻止" + program + "入站";
        else if (says == RuleSays::BlocksPort)
            text += bEnglish ? ", a rule blocks TCP port " + port + " inbound" : "，有规则阻止TCP " + port + "端口入站";
        else if (p.bBlockInbound && f.bRulesRead) {  // allow rules matter only where the default blocks
            if (says == RuleSays::AllowsProgram)
                text += bEnglish ? ", a rule allows " + program + " inbound" : "，有规则允许" + program + "入站";
            else if (says == RuleSays::AllowsPort)
                text += bEnglish ? ", a rule allows TCP port " + port + " inbound" : "，有规则允许TCP " + port + "端口入站";
            else
                text += bEnglish ? ", no rule allows " + program + " inbound" : "，没有允许" + program + "入站的规则";
        }
        bAdvise = bAdvise || bBlocked;
        bPublic = bPublic || (bBlocked && p.type == FW_PROFILE_PUBLIC);
    }
    text += bEnglish ? "." : "。";
    if (bAdvise) {
        text += bEnglish ? " Allow this tool through the firewall" : "请允许本工具通过防火墙";
        if (bPublic) text += bEnglish ? ", or set the network to Private" : "，或将该网络设为专用网络";
        text += bEnglish ? "." : "。";
    }
    return text;
}

}  // namespace plat
