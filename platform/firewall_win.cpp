// The firewall facts through COM: INetFwPolicy2 (hnetcfg) for the active profiles, their state
// and the rules; INetworkListManager (netprofm) for the category of the network behind the adapter
// toward the gateway. Any call may fail (no firewall service, a stub): a failed profile query
// gives no text at all, failed rules or network queries leave those facts out.
#include <winsock2.h>
#include <iphlpapi.h>
#include <windows.h>
#include <netfw.h>
#include <netlistmgr.h>
#include <oleauto.h>

#include "platform/adapters.h"
#include "platform/firewall.h"
#include "platform/non_copyable.h"
#include "platform/wide.h"

namespace plat {

namespace {

// An interface pointer released at scope end.
template <class T>
struct Ref : private NonCopyable {
    T* p = nullptr;
    Ref() = default;
    ~Ref() {
        if (p) p->Release();
    }
    T* operator->() const { return p; }
    void** Out() { return reinterpret_cast<void**>(&p); }
};

// A BSTR read from the API and freed at scope end.
struct Bstr : private NonCopyable {
    BSTR s = nullptr;
    Bstr() = default;
    ~Bstr() { SysFreeString(s); }
    std::wstring Wide() const { return s ? std::wstring(s, SysStringLen(s)) : std::wstring(); }
};

std::wstring ThisProgram() {
    std::wstring buf(MAX_PATH, L'\0');
    for (int i = 0; i < 6; ++i) {
        const DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
        if (n == 0) return {};
        if (n < buf.size()) return buf.substr(0, n);
        buf.resize(buf.size() * 2);
    }
    return {};
}

// Rules may name the program as "%ProgramFiles%\...".
std::string ExpandedPath(const std::wstring& path) {
    if (path.find(L'%') == std::wstring::npos) return Narrow(path);
    std::wstring out(1024, L'\0');
    const DWORD n = ExpandEnvironmentStringsW(path.c_str(), out.data(), static_cast<DWORD>(out.size()));
    return n == 0 || n > out.size() ? Narrow(path) : Narrow(out.substr(0, n - 1));
}

bool ReadRule(INetFwRule* r, FirewallRule& out) {
    NET_FW_RULE_DIRECTION direction = NET_FW_RULE_DIR_IN;
    NET_FW_ACTION action = NET_FW_ACTION_ALLOW;
    VARIANT_BOOL enabled = VARIANT_FALSE;
    LONG protocol = FW_PROTOCOL_ANY, profiles = 0;
    Bstr application, service, ports;
    if (FAILED(r->get_Direction(&direction)) || FAILED(r->get_Enabled(&enabled)) || FAILED(r->get_Action(&action)) ||
        FAILED(r->get_Protocol(&protocol)) || FAILED(r->get_Profiles(&profiles)) ||
        FAILED(r->get_ApplicationName(&application.s)) || FAILED(r->get_ServiceName(&service.s)) ||
        FAILED(r->get_LocalPorts(&ports.s)))
        return false;
    out.bInbound = direction == NET_FW_RULE_DIR_IN;
    out.bEnabled = enabled != VARIANT_FALSE;
    out.bAllow = action == NET_FW_ACTION_ALLOW;
    out.protocol = protocol;
    out.profiles = profiles;
    out.application = ExpandedPath(application.Wide());
    out.service = Narrow(service.Wide());
    out.localPorts = Narrow(ports.Wide());
    return true;
}

bool ReadRules(INetFwPolicy2* policy, std::vector<FirewallRule>& out) {
    Ref<INetFwRules> rules;
    Ref<IUnknown> unknown;
    Ref<IEnumVARIANT> items;
    if (FAILED(policy->get_Rules(&rules.p)) || !rules.p || FAILED(rules->get__NewEnum(&unknown.p)) || !unknown.p ||
        FAILED(unknown->QueryInterface(__uuidof(IEnumVARIANT), items.Out())))
        return false;
    for (int n = 0; n < 100000; ++n) {  // a bound for an enumerator that never ends
        VARIANT item;
        VariantInit(&item);
        ULONG got = 0;
        if (items->Next(1, &item, &got) != S_OK || got != 1) return true;
        Ref<INetFwRule> rule;
        if (item.vt == VT_DISPATCH && item.pdispVal)
            item.pdispVal->QueryInterface(__uuidof(INetFwRule), rule.Out());
        VariantClear(&item);
        FirewallRule r;
        if (rule.p && ReadRule(rule.p, r)) out.push_back(r);
    }
    return true;
}

// The profile (FW_PROFILE_*) and name of the network behind the adapter holding `localAddress`.
void ReadNetwork(uint32_t localAddress, FirewallFacts& f) {
    std::string adapterId;
    for (const AdapterAddress& a : ListAdapterAddresses())
        if (localAddress != 0 && a.ip == localAddress) adapterId = a.id;
    Ref<INetworkListManager> list;
    Ref<IEnumNetworkConnections> connections;
    if (adapterId.empty() ||
        FAILED(CoCreateInstance(__uuidof(NetworkListManager), nullptr, CLSCTX_ALL, __uuidof(INetworkListManager),
                                list.Out())) ||
        FAILED(list->GetNetworkConnections(&connections.p)) || !connections.p)
        return;
    for (int n = 0; n < 1000; ++n) {
        Ref<INetworkConnection> connection;
        ULONG got = 0;
        if (connections->Next(1, &connection.p, &got) != S_OK || got != 1 || !connection.p) return;
        GUID id{};
        wchar_t idText[40] = {};
        if (FAILED(connection->GetAdapterId(&id)) || StringFromGUID2(id, idText, 40) == 0 ||
            lstrcmpiA(Narrow(idText).c_str(), adapterId.c_str()) != 0)
            continue;
        Ref<INetwork> network;
        NLM_NETWORK_CATEGORY category = NLM_NETWORK_CATEGORY_PUBLIC;
        Bstr name;
        if (FAILED(connection->GetNetwork(&network.p)) || !network.p || FAILED(network->GetCategory(&category)))
            return;
        f.networkProfile = category == NLM_NETWORK_CATEGORY_DOMAIN_AUTHENTICATED ? FW_PROFILE_DOMAIN
                           : category == NLM_NETWORK_CATEGORY_PRIVATE            ? FW_PROFILE_PRIVATE
                                                                                 : FW_PROFILE_PUBLIC;
        if (SUCCEEDED(network->GetName(&name.s))) f.network = Narrow(name.Wide());
        return;
    }
}

// The facts, on a thread where COM is initialized; false when the firewall does not answer.
bool ReadFacts(uint32_t localAddress, FirewallFacts& f) {
    Ref<INetFwPolicy2> policy;
    LONG types = 0;
    if (FAILED(CoCreateInstance(__uuidof(NetFwPolicy2), nullptr, CLSCTX_INPROC_SERVER, __uuidof(INetFwPolicy2),
                                policy.Out())) ||
        !policy.p || FAILED(policy->get_CurrentProfileTypes(&types)))
        return false;
    for (const int type : {FW_PROFILE_DOMAIN, FW_PROFILE_PRIVATE, FW_PROFILE_PUBLIC}) {
        if (!(types & type)) continue;
        const auto profile = static_cast<NET_FW_PROFILE_TYPE2>(type);
        VARIANT_BOOL enabled = VARIANT_FALSE;
        NET_FW_ACTION inbound = NET_FW_ACTION_BLOCK;
        if (FAILED(policy->get_FirewallEnabled(profile, &enabled)) ||
            FAILED(policy->get_DefaultInboundAction(profile, &inbound)))
            return false;
        f.active.push_back({type, enabled != VARIANT_FALSE, inbound != NET_FW_ACTION_ALLOW});
    }
    f.bRulesRead = ReadRules(policy.p, f.rules);
    ReadNetwork(localAddress, f);
    return true;
}

}  // namespace

std::string FirewallState(uint32_t localAddress, int port, bool bEnglish) {
    FirewallFacts f;
    f.program = Narrow(ThisProgram());
    f.port = port;
    // The caller may be any thread (the link watcher is a worker): COM for this call alone, in
    // whatever apartment the thread already has.
    const HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(init) && init != RPC_E_CHANGED_MODE) return {};
    const bool bRead = ReadFacts(localAddress, f);
    if (SUCCEEDED(init)) CoUninitialize();
    return bRead ? FirewallText(f, bEnglish) : std::string();
}

}  // namespace plat
