#pragma once
// The Windows Firewall as it stands for the link connection the gateway makes to this program:
// firewall_win.cpp gathers the facts through the Windows Firewall API (INetFwPolicy2) and the
// network list (INetworkListManager); FirewallText turns them into the sentence the no-connection
// hint and --diagnose show. Elsewhere there is nothing to ask and the text is empty.
#include <cstdint>
#include <string>
#include <vector>

namespace plat {

// The firewall's profiles as bits (the values of NET_FW_PROFILE2_*).
constexpr int FW_PROFILE_DOMAIN = 1;
constexpr int FW_PROFILE_PRIVATE = 2;
constexpr int FW_PROFILE_PUBLIC = 4;
constexpr int FW_PROTOCOL_TCP = 6;
constexpr int FW_PROTOCOL_ANY = 256;

struct FirewallProfile {
    int type = FW_PROFILE_PUBLIC;
    bool bEnabled = false;
    bool bBlockInbound = true;   // inbound connections without a rule are blocked
};

// One rule as the API describes it.
struct FirewallRule {
    std::string application;     // the program's full path; empty: any program
    std::string service;         // empty or "*": any
    std::string localPorts;      // "*", "4536", "80,4000-5000"; empty: any
    int protocol = FW_PROTOCOL_ANY;
    int profiles = 0x7FFFFFFF;   // FW_PROFILE_* bits
    bool bInbound = true;
    bool bEnabled = true;
    bool bAllow = true;
};

struct FirewallFacts {
    std::string program;                    // this executable's full path
    int port = 0;                           // the TCP port the gateway connects to
    std::vector<FirewallProfile> active;    // the active profiles
    bool bRulesRead = false;                // the rules could be listed
    std::vector<FirewallRule> rules;
    int networkProfile = 0;                 // the profile of the network toward the gateway; 0: unknown
    std::string network;                    // that network's name
};

// The sentence for the facts ("Windows防火墙：..." / "Windows Firewall: ..."); empty when no
// profile is known. Only the network toward the gateway where it is known, else every active
// profile.
std::string FirewallText(const FirewallFacts& facts, bool bEnglish);

// The facts of this PC for TCP `port` and the network of the adapter holding `localAddress`
// (host order; the address the gateway is told to connect to), as FirewallText gives them.
// Empty where there is no such API or it does not answer.
std::string FirewallState(uint32_t localAddress, int port, bool bEnglish);

}  // namespace plat
