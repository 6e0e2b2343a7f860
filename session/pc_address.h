#pragma once
// The PC's address toward the gateway, set by the tool when no adapter has one: the choice of the
// adapter (a wired Ethernet adapter with link and no address on the gateway's /24) and of the
// address (host 100 of that /24 unless another host answers for it, then the first free one of
// 101..199), the journal that makes every added address go again (an entry written before the
// add, removed after the removal; a start of the program removes the addresses of entries whose
// process is gone), and the holder that puts the address back while the tool holds it (a network
// manager or the gateway's reboot took it: a thread of its own looks at every address or link
// change the system reports, and at least every KEEP_POLL_MS) and removes it at the end.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/adapters.h"
#include "platform/address.h"
#include "platform/clock.h"

namespace pc_address {

// Texts (Chinese, and English for language flag 1).
constexpr const char* ASK_CN = "本机没有网卡在接入盒的网段内。是否为网卡%s设置临时IP地址%s？程序退出时将自动删除该地址。";
constexpr const char* ASK_EN = "No adapter of this PC is on the gateway's subnet. Set the temporary address %s on adapter %s? The tool removes it at exit.";
constexpr const char* SET_CN = "已为网卡%s设置临时IP地址%s，程序退出时自动删除。";
constexpr const char* SET_EN = "Set the temporary address %s on adapter %s; the tool removes it at exit.";
constexpr const char* SEVERAL_CN = "网卡%s都可连接接入盒，未设置IP地址：请用--adapter指定其中一个。";
constexpr const char* SEVERAL_EN = "Adapters %s could all lead to the gateway; no address was set: name one with --adapter.";
constexpr const char* NOT_CANDIDATE_CN = "网卡%s不能用于连接接入盒(需为已连接网线且不在该网段内的有线网卡)，未设置IP地址。";
constexpr const char* NOT_CANDIDATE_EN = "Adapter %s cannot lead to the gateway (it must be a wired adapter with link and no address on that subnet); no address was set.";
constexpr const char* NONE_CN = "没有已连接网线的有线网卡，未设置IP地址。";
constexpr const char* NONE_EN = "No wired adapter has a link; no address was set.";
#ifdef _WIN32
constexpr const char* NO_RIGHT_CN = "没有修改网卡地址的权限，未设置IP地址：请以管理员身份运行本程序。";
constexpr const char* NO_RIGHT_EN = "No right to change adapter addresses; no address was set: run the tool as administrator.";
#else
constexpr const char* NO_RIGHT_CN = "没有修改网卡地址的权限(CAP_NET_ADMIN)，未设置IP地址：请以root运行本程序，或执行一次 sudo setcap cap_net_admin,cap_net_raw+ep %s";
constexpr const char* NO_RIGHT_EN = "No right to change adapter addresses (CAP_NET_ADMIN); no address was set: run the tool as root, or once: sudo setcap cap_net_admin,cap_net_raw+ep %s";
#endif
constexpr const char* FAILED_CN = "无法为网卡%s设置IP地址(%s)，请手动设置。";
constexpr const char* FAILED_EN = "Could not set an address on adapter %s (%s): set it by hand.";
constexpr const char* NO_FREE_CN = "网段内192.168.0.100至.199均已被占用";
constexpr const char* NO_FREE_EN = "every address from .100 to .199 is in use";

constexpr int PREFIX = 24;
constexpr int PROBE_MS = 300;  // how long an ARP probe waits for an answer
constexpr int KEEP_POLL_MS = 1000;  // the longest the held address goes unchecked

// What the holder asks of the system: the platform's functions, a fake in tests.
struct SystemOps {
    std::function<std::vector<plat::AdapterAddress>()> adapters;
    std::function<bool()> mayChange;
    std::function<plat::AddressResult(unsigned, uint32_t, int)> add;
    std::function<plat::AddressResult(unsigned, uint32_t, int)> remove;
    std::function<bool(unsigned, uint32_t)> answered;
    std::function<uint64_t(int)> startTime;
    // The system's address and link changes for the thread that keeps the address (none: only
    // the explicit Keep calls keep it).
    std::function<std::unique_ptr<plat::AddressWatch>()> watch;
    std::string journal;  // the journal's path
};
SystemOps RealOps();

// The adapters an address may be set on: wired Ethernet with link; none at all when any adapter
// already has an address on the gateway's /24 (names once each, in list order).
std::vector<std::string> Candidates(uint32_t gateway, const std::vector<plat::AdapterAddress>& adapters);
// Host 100 of the gateway's /24, then 101..199, the first for which `answered` is false (never
// the gateway, never host 1); 0 when all answer.
uint32_t ChooseAddress(uint32_t gateway, const std::function<bool(uint32_t)>& answered);

// --diagnose: what --set-address would do (adapter and address) or why it could not; empty when an
// adapter is on the gateway's subnet already. Sends nothing (the address another host might
// answer for is not probed).
std::string DiagnoseLine(uint32_t gateway, const std::vector<plat::AdapterAddress>& adapters,
                         const std::string& adapterOption, bool bMayChange);

struct JournalEntry {
    std::string adapter;
    uint32_t ip = 0;
    int pid = 0;
    uint64_t start = 0;
};
std::vector<JournalEntry> ReadJournal(const std::string& path);
bool WriteJournal(const std::string& path, const std::vector<JournalEntry>& entries);
// Removes the addresses of the entries whose process is gone and those entries.
void RecoverStale(const SystemOps& ops);

enum class Mode { Off, Ask, Set };

// The address the tool holds. Thread-safe; the destructor gives the address back. While it holds
// one, a thread of its own keeps it (Keep on every reported change, at least every KEEP_POLL_MS).
class CPcAddress {
public:
    struct Config {
        Mode mode = Mode::Off;
        std::string adapter;  // --adapter
        std::function<bool()> english;  // the English texts (the language is known after the wiring)
        std::string program;  // the executable's path, for the setcap advice
    };
    CPcAddress(Config config, SystemOps ops) : m_config(std::move(config)), m_ops(std::move(ops)) {}
    ~CPcAddress() { Release(); }
    CPcAddress(const CPcAddress&) = delete;
    CPcAddress& operator=(const CPcAddress&) = delete;

    // No adapter is on the gateway's subnet: sets the address (asking through `ask` in Ask mode,
    // once per candidate until one is taken). Once per run; the texts to show go to `lines`.
    // True when an address is held afterwards.
    bool Offer(uint32_t gateway, const std::vector<plat::AdapterAddress>& adapters,
               const std::function<bool(const std::string&)>& ask, std::vector<std::string>& lines);
    // Puts the held address back when it is gone and its adapter has link again.
    void Keep();
    // Ends the keeping thread, removes the held address, then its journal entry.
    void Release();
    // The held address and adapter (0 and empty when none).
    uint32_t Address() const;
    std::string Adapter() const;

private:
    bool OfferLocked(uint32_t gateway, const std::vector<plat::AdapterAddress>& adapters,
                     const std::function<bool(const std::string&)>& ask, std::vector<std::string>& lines);
    bool SetOn(const plat::AdapterAddress& adapter, uint32_t gateway, std::vector<std::string>& lines);
    void StartKeeping();
    void StopKeeping();
    bool English() const { return m_config.english && m_config.english(); }
    std::string Text(const char* cn, const char* en) const { return English() ? en : cn; }

    Config m_config;
    SystemOps m_ops;
    mutable std::mutex m_mutex;
    bool m_bOffered = false;
    JournalEntry m_held;     // ip 0: none
    unsigned m_index = 0;
    // The keeping thread and what it waits on; started and ended under m_keeperMutex, never
    // while m_mutex is held.
    std::mutex m_keeperMutex;
    std::unique_ptr<plat::AddressWatch> m_watch;
    plat::WorkerThread m_keeper;
};

}  // namespace pc_address
