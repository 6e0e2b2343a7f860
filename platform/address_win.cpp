// Addresses on Windows: the unicast address functions of iphlpapi.dll, looked up at run time from
// the system directory (older systems and Wine lack some: the caller then gives its hint). An
// address made by CreateUnicastIpAddressEntry lives in the active store only.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <netioapi.h>
#include <windows.h>

#include <chrono>
#include <thread>

#include "platform/address.h"
#include "platform/clock.h"
#include "platform/socket.h"
#include "platform/wide.h"

namespace plat {

namespace {

using InitFn = VOID(WINAPI*)(PMIB_UNICASTIPADDRESS_ROW);
using RowFn = DWORD(WINAPI*)(const MIB_UNICASTIPADDRESS_ROW*);
using GetFn = DWORD(WINAPI*)(PMIB_UNICASTIPADDRESS_ROW);
using NotifyFn = DWORD(WINAPI*)(ADDRESS_FAMILY, PUNICAST_IPADDRESS_CHANGE_CALLBACK, PVOID, BOOLEAN, HANDLE*);
using CancelFn = DWORD(WINAPI*)(HANDLE);

struct IpHelper {
    InitFn init = nullptr;
    RowFn create = nullptr;
    GetFn get = nullptr;
    RowFn remove = nullptr;
    NotifyFn notify = nullptr;  // the change notifications (the watch polls without them)
    CancelFn cancel = nullptr;
    bool Ready() const { return init && create && get && remove; }
};

// Loaded once and kept for the process's life.
const IpHelper& Functions() {
    static const IpHelper helper = [] {
        IpHelper h;
        HMODULE module = LoadLibraryExW(SystemFilePath(L"iphlpapi.dll").c_str(), nullptr, 0);
        if (!module) return h;
        h.init = reinterpret_cast<InitFn>(reinterpret_cast<void*>(GetProcAddress(module, "InitializeUnicastIpAddressEntry")));
        h.create = reinterpret_cast<RowFn>(reinterpret_cast<void*>(GetProcAddress(module, "CreateUnicastIpAddressEntry")));
        h.get = reinterpret_cast<GetFn>(reinterpret_cast<void*>(GetProcAddress(module, "GetUnicastIpAddressEntry")));
        h.remove = reinterpret_cast<RowFn>(reinterpret_cast<void*>(GetProcAddress(module, "DeleteUnicastIpAddressEntry")));
        h.notify = reinterpret_cast<NotifyFn>(reinterpret_cast<void*>(GetProcAddress(module, "NotifyUnicastIpAddressChange")));
        h.cancel = reinterpret_cast<CancelFn>(reinterpret_cast<void*>(GetProcAddress(module, "CancelMibChangeNotify2")));
        return h;
    }();
    return helper;
}

MIB_UNICASTIPADDRESS_ROW Row(const IpHelper& f, unsigned index, uint32_t ip, int prefix) {
    MIB_UNICASTIPADDRESS_ROW row;
    f.init(&row);
    row.InterfaceIndex = index;
    row.Address.Ipv4.sin_family = AF_INET;
    row.Address.Ipv4.sin_addr.s_addr = htonl(ip);
    row.OnLinkPrefixLength = static_cast<UINT8>(prefix);
    row.PrefixOrigin = IpPrefixOriginManual;
    row.SuffixOrigin = IpSuffixOriginManual;
    return row;
}

AddressResult Failure(DWORD code) {
    AddressResult r;
    r.error = SocketErrorText(static_cast<int>(code));
    if (code == ERROR_ACCESS_DENIED) r.change = AddressChange::NoRight;
    return r;
}

}  // namespace

bool MayChangeAddresses() { return true; }

AddressResult AddAdapterAddress(unsigned index, uint32_t ip, int prefix) {
    const IpHelper& f = Functions();
    if (!f.Ready()) return {AddressChange::Unavailable, "iphlpapi.dll lacks the unicast address functions"};
    MIB_UNICASTIPADDRESS_ROW row = Row(f, index, ip, prefix);
    const DWORD r = f.create(&row);
    if (r == ERROR_OBJECT_ALREADY_EXISTS) return {AddressChange::AlreadyThere, {}};
    if (r != NO_ERROR) return Failure(r);
    // The duplicate-address detection: Preferred within 5 s, else Duplicate or a failure; a stop
    // request ends the wait and takes the address away again.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
        MIB_UNICASTIPADDRESS_ROW now = Row(f, index, ip, prefix);
        if (f.get(&now) == NO_ERROR) {
            if (now.DadState == IpDadStatePreferred) return {AddressChange::Done, {}};
            if (now.DadState == IpDadStateDuplicate || now.DadState == IpDadStateInvalid) {
                f.remove(&row);
                return {AddressChange::Duplicate, "another host uses the address"};
            }
        }
        if (std::chrono::steady_clock::now() >= end) break;
        if (!SleepRaw(100)) {
            f.remove(&row);
            return {AddressChange::Failed, "stopped"};
        }
    }
    f.remove(&row);
    return {AddressChange::Failed, "duplicate-address detection did not end within 5 s"};
}

AddressResult RemoveAdapterAddress(unsigned index, uint32_t ip, int prefix) {
    const IpHelper& f = Functions();
    if (!f.Ready()) return {AddressChange::Unavailable, "iphlpapi.dll lacks the unicast address functions"};
    MIB_UNICASTIPADDRESS_ROW row = Row(f, index, ip, prefix);
    const DWORD r = f.remove(&row);
    if (r == NO_ERROR) return {AddressChange::Done, {}};
    if (r == ERROR_NOT_FOUND) return {AddressChange::AlreadyThere, {}};
    return Failure(r);
}

bool AddressAnswered(unsigned, uint32_t, int) { return false; }

namespace {

// The address notifications set one event, Wake another; without NotifyUnicastIpAddressChange
// (Wine) only the second.
class NotifyWatch : public AddressWatch {
public:
    NotifyWatch() {
        m_changed = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        m_wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        const IpHelper& f = Functions();
        if (m_changed && f.notify && f.cancel && f.notify(AF_INET, &OnChange, m_changed, FALSE, &m_notification) != NO_ERROR)
            m_notification = nullptr;
    }
    ~NotifyWatch() override {
        // Returns once a callback under way has ended: the event outlives every callback.
        if (m_notification) Functions().cancel(m_notification);
        if (m_changed) CloseHandle(m_changed);
        if (m_wake) CloseHandle(m_wake);
    }
    void Wait(int waitMs) override {
        HANDLE events[2];
        DWORD n = 0;
        if (m_wake) events[n++] = m_wake;
        if (m_notification) events[n++] = m_changed;
        if (n == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
            return;
        }
        WaitForMultipleObjects(n, events, FALSE, static_cast<DWORD>(waitMs));
    }
    void Wake() override {
        if (m_wake) SetEvent(m_wake);
    }

private:
    static VOID NETIOAPI_API_ OnChange(PVOID event, PMIB_UNICASTIPADDRESS_ROW, MIB_NOTIFICATION_TYPE) {
        SetEvent(static_cast<HANDLE>(event));
    }

    HANDLE m_changed = nullptr;
    HANDLE m_wake = nullptr;
    HANDLE m_notification = nullptr;
};

}  // namespace

std::unique_ptr<AddressWatch> WatchAddresses() { return std::make_unique<NotifyWatch>(); }

uint64_t ProcessStartTime(int pid) {
    HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
    if (!h) return 0;
    FILETIME created{}, exited{}, kernel{}, user{};
    DWORD code = 0;
    uint64_t t = 0;
    if (GetProcessTimes(h, &created, &exited, &kernel, &user) && GetExitCodeProcess(h, &code) && code == STILL_ACTIVE)
        t = (uint64_t{created.dwHighDateTime} << 32) | created.dwLowDateTime;
    CloseHandle(h);
    return t;
}

}  // namespace plat
