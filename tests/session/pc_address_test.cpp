// The address the tool sets toward the gateway, over a fake system: the choice of adapter and
// address, the journal around the add and the removal, a killed run's entry, putting it back.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <mutex>
#include <set>
#include <thread>

#include "platform/fs.h"
#include "platform/socket.h"
#include "session/pc_address.h"

namespace {

using pc_address::CPcAddress;
using pc_address::Mode;
using plat::AdapterAddress;
using plat::AddressChange;

constexpr uint32_t GW = 0xC0A80001;  // 192.168.0.1

uint32_t Ip(const char* text) {
    uint32_t ip = 0;
    plat::ParseIpv4(text, ip);
    return ip;
}

AdapterAddress Ad(const char* name, const char* ip, bool bLink = true, bool bEthernet = true, bool bLoopback = false) {
    AdapterAddress a;
    a.name = name;
    a.ip = *ip ? Ip(ip) : 0;
    a.mask = a.ip ? 0xFFFFFF00 : 0;
    a.bLinkUp = bLink;
    a.bEthernet = bEthernet;
    a.bLoopback = bLoopback;
    a.index = static_cast<unsigned>(a.name.size() * 100 + static_cast<unsigned char>(a.name.back()));  // eth1: 449
    return a;
}

TEST(PcAddress, CandidatesAndAddressesFromTablesOfAdapters) {
    const AdapterAddress lo = Ad("lo", "127.0.0.1", true, false, true);
    struct Case {
        const char* what;
        std::vector<AdapterAddress> adapters;
        std::vector<std::string> candidates;
    } cases[] = {
        {"one wired adapter without an address", {lo, Ad("eth0", "")}, {"eth0"}},
        {"wired on another subnet counts", {lo, Ad("eth0", "10.0.0.5")}, {"eth0"}},
        {"an address on the subnet already: none", {Ad("eth0", ""), Ad("eth1", "192.168.0.7")}, {}},
        {"no link, wireless, loopback, tunnel left out",
         {lo, Ad("eth0", "", false), Ad("wlan0", "", true, false), Ad("tun0", "10.8.0.2", true, false)}, {}},
        {"two wired with link, one with two addresses", {Ad("eth0", "10.0.0.5"), Ad("eth0", "10.0.1.5"), Ad("eth1", "")},
         {"eth0", "eth1"}},
    };
    for (const Case& c : cases) EXPECT_EQ(pc_address::Candidates(GW, c.adapters), c.candidates) << c.what;

    const auto choose = [](uint32_t gateway, std::set<uint32_t> answering) {
        return plat::Ipv4Text(pc_address::ChooseAddress(gateway, [&](uint32_t ip) { return answering.count(ip) > 0; }));
    };
    EXPECT_EQ(choose(GW, {}), "192.168.0.100");
    EXPECT_EQ(choose(GW, {Ip("192.168.0.100"), Ip("192.168.0.101")}), "192.168.0.102");
    EXPECT_EQ(choose(Ip("192.168.0.100"), {}), "192.168.0.101");  // never the gateway
    std::set<uint32_t> all;
    for (uint32_t h = 100; h <= 199; ++h) all.insert((GW & 0xFFFFFF00) | h);
    EXPECT_EQ(choose(GW, all), "0.0.0.0");
}

// A fake system: adapters, the addresses added, a living and a dead process. The holder's own
// thread uses it too: the operations take `mutex`, and so does a test that changes it meanwhile.
struct FakeSystem {
    std::mutex mutex;
    std::vector<AdapterAddress> adapters{Ad("lo", "127.0.0.1", true, false, true), Ad("eth0", "10.0.0.5"), Ad("eth1", "")};
    std::set<uint32_t> answering;              // other hosts on the segment
    std::set<uint32_t> duplicates;             // Windows' detection says Duplicate
    AddressChange addResult = AddressChange::Done;
    bool bMay = true;
    std::vector<std::string> calls;
    std::string journal;
    std::string journalAtAdd;

    explicit FakeSystem(const std::string& folder) : journal(folder + "/pc-address.txt") {}

    pc_address::SystemOps Ops() {
        pc_address::SystemOps ops;
        ops.adapters = [this] {
            std::lock_guard<std::mutex> lock(mutex);
            return adapters;
        };
        ops.mayChange = [this] { return bMay; };
        ops.add = [this](unsigned index, uint32_t ip, int prefix) {
            std::lock_guard<std::mutex> lock(mutex);
            calls.push_back("add " + std::to_string(index) + " " + plat::Ipv4Text(ip) + "/" + std::to_string(prefix));
            journalAtAdd = Read();
            if (duplicates.count(ip)) return plat::AddressResult{AddressChange::Duplicate, "duplicate"};
            if (addResult != AddressChange::Done) return plat::AddressResult{addResult, "no way"};
            for (AdapterAddress& a : adapters)
                if (a.index == index && a.ip == 0) {
                    a.ip = ip;
                    return plat::AddressResult{AddressChange::Done, {}};
                }
            AdapterAddress more = *std::find_if(adapters.begin(), adapters.end(), [&](auto& a) { return a.index == index; });
            more.ip = ip;
            adapters.push_back(more);
            return plat::AddressResult{AddressChange::Done, {}};
        };
        ops.remove = [this](unsigned index, uint32_t ip, int) {
            std::lock_guard<std::mutex> lock(mutex);
            calls.push_back("remove " + std::to_string(index) + " " + plat::Ipv4Text(ip));
            for (AdapterAddress& a : adapters)
                if (a.index == index && a.ip == ip) a.ip = 0;
            return plat::AddressResult{AddressChange::Done, {}};
        };
        ops.answered = [this](unsigned, uint32_t ip) { return answering.count(ip) > 0; };
        ops.startTime = [](int pid) -> uint64_t { return pid == plat::ProcessId() ? 777 : 0; };
        ops.journal = journal;
        return ops;
    }
    std::string Read() const {
        std::FILE* f = plat::OpenFile(journal, "rb");
        if (!f) return "";
        char buf[512] = {};
        const size_t n = std::fread(buf, 1, sizeof buf - 1, f);
        std::fclose(f);
        return std::string(buf, n);
    }
};

class PcAddressHolder : public ::testing::Test {
protected:
    PcAddressHolder() {
        folder = (std::filesystem::temp_directory_path() / ("rk-pcaddr-" + std::to_string(plat::ProcessId()))).string();
        std::filesystem::remove_all(folder);
        std::filesystem::create_directories(folder);
    }
    ~PcAddressHolder() override { std::filesystem::remove_all(folder); }
    CPcAddress::Config Config(Mode mode, const std::string& adapter = "") {
        CPcAddress::Config c;
        c.mode = mode;
        c.adapter = adapter;
        c.program = "/opt/rk/rk880t-tool";
        return c;
    }
    std::string folder;
};

TEST_F(PcAddressHolder, SetsTheAddressJournalledFirstKeepsItAndGivesItBack) {
    FakeSystem sys(folder);
    sys.answering = {Ip("192.168.0.100")};
    const std::string me = "\t" + std::to_string(plat::ProcessId()) + "\t777\n";
    {
        CPcAddress holder(Config(Mode::Set, "eth1"), sys.Ops());
        std::vector<std::string> lines;
        EXPECT_TRUE(holder.Offer(GW, sys.adapters, nullptr, lines));
        EXPECT_EQ(lines, std::vector<std::string>{"已为网卡eth1设置临时IP地址192.168.0.101，程序退出时自动删除。"});
        EXPECT_EQ(sys.journalAtAdd, "eth1\t192.168.0.101" + me);
        // A network manager took it: back once the adapter has link.
        sys.adapters[2].ip = 0;
        sys.adapters[2].bLinkUp = false;
        holder.Keep();
        sys.adapters[2].bLinkUp = true;
        holder.Keep();
        holder.Keep();
        EXPECT_EQ(sys.calls, (std::vector<std::string>{"add 449 192.168.0.101/24", "add 449 192.168.0.101/24"}));
    }
    EXPECT_EQ(sys.calls.back(), "remove 449 192.168.0.101");
    EXPECT_EQ(sys.Read(), "");

    // With the system's watch, the holder's own thread puts it back, and Release ends the thread.
    sys.calls.clear();
    pc_address::SystemOps ops = sys.Ops();
    ops.watch = plat::WatchAddresses;
    {
        CPcAddress holder(Config(Mode::Set, "eth1"), ops);
        std::vector<std::string> lines;
        ASSERT_TRUE(holder.Offer(GW, sys.adapters, nullptr, lines));
        const auto adds = [&] {
            std::lock_guard<std::mutex> lock(sys.mutex);
            return std::count(sys.calls.begin(), sys.calls.end(), "add 449 192.168.0.101/24");
        };
        {
            std::lock_guard<std::mutex> lock(sys.mutex);
            sys.adapters[2].ip = 0;
        }
        for (int i = 0; i < 100 && adds() < 2; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(adds(), 2);
    }
    EXPECT_EQ(sys.calls.back(), "remove 449 192.168.0.101");
    EXPECT_EQ(sys.Read(), "");
}

TEST_F(PcAddressHolder, QuestionsClearLinesAndNoChange) {
    struct Case {
        const char* what;
        Mode mode;
        std::string adapter;
        bool bMay;
        AddressChange add;
        std::vector<bool> answers;  // Ask mode: the technician's answers in turn
        std::vector<std::string> questions;
        std::vector<std::string> lines;
        bool bHeld;
    } cases[] = {
        {"headless without --set-address: nothing", Mode::Off, "", true, AddressChange::Done, {}, {}, {}, false},
        {"two candidates headless", Mode::Set, "", true, AddressChange::Done, {}, {},
         {"网卡eth0、eth1都可连接接入盒，未设置IP地址：请用--adapter指定其中一个。"}, false},
        {"--adapter not a candidate", Mode::Set, "wlan0", true, AddressChange::Done, {}, {},
         {"网卡wlan0不能用于连接接入盒(需为已连接网线且不在该网段内的有线网卡)，未设置IP地址。"}, false},
#ifndef _WIN32
        {"no CAP_NET_ADMIN", Mode::Set, "eth1", false, AddressChange::Done, {}, {},
         {"没有修改网卡地址的权限(CAP_NET_ADMIN)，未设置IP地址：请以root运行本程序，或执行一次 sudo setcap "
          "cap_net_admin,cap_net_raw+ep /opt/rk/rk880t-tool"}, false},
#endif
        {"the functions are missing (Wine)", Mode::Set, "eth1", true, AddressChange::Unavailable, {}, {},
         {"无法为网卡eth1设置IP地址(no way)，请手动设置。"}, false},
        {"window: No to eth0, Yes to eth1", Mode::Ask, "", true, AddressChange::Done, {false, true},
         {"本机没有网卡在接入盒的网段内。是否为网卡eth0设置临时IP地址192.168.0.100？程序退出时将自动删除该地址。",
          "本机没有网卡在接入盒的网段内。是否为网卡eth1设置临时IP地址192.168.0.100？程序退出时将自动删除该地址。"},
         {"已为网卡eth1设置临时IP地址192.168.0.100，程序退出时自动删除。"}, true},
        {"window: No to both", Mode::Ask, "", true, AddressChange::Done, {false, false}, {}, {}, false},
    };
    for (const Case& c : cases) {
        FakeSystem sys(folder);
        sys.bMay = c.bMay;
        sys.addResult = c.add;
        CPcAddress holder(Config(c.mode, c.adapter), sys.Ops());
        std::vector<std::string> questions, lines;
        size_t next = 0;
        const auto ask = [&](const std::string& q) {
            questions.push_back(q);
            return next < c.answers.size() && c.answers[next++];
        };
        EXPECT_EQ(holder.Offer(GW, sys.adapters, ask, lines), c.bHeld) << c.what;
        if (!c.questions.empty()) {
            EXPECT_EQ(questions, c.questions) << c.what;
        }
        EXPECT_EQ(lines, c.lines) << c.what;
        // Once per run: a second offer neither asks nor adds.
        std::vector<std::string> again;
        holder.Offer(GW, sys.adapters, ask, again);
        EXPECT_TRUE(again.empty()) << c.what;
        if (!c.bHeld) {
            EXPECT_EQ(sys.Read(), "") << c.what;
        }
    }

    // Stopped (window closed, Ctrl+C) while the probe runs: its "no answer" sets nothing.
    FakeSystem sys(folder);
    pc_address::SystemOps ops = sys.Ops();
    ops.answered = [](unsigned, uint32_t) {
        plat::CurrentStopFlag()->Request();
        return false;
    };
    CPcAddress holder(Config(Mode::Set, "eth1"), ops);
    std::vector<std::string> lines;
    bool bHeld = true;
    plat::WorkerThread watcher;
    watcher.Start([&] { bHeld = holder.Offer(GW, sys.adapters, nullptr, lines); });
    watcher.Join();
    EXPECT_FALSE(bHeld);
    EXPECT_TRUE(lines.empty());
    EXPECT_TRUE(sys.calls.empty());
    EXPECT_EQ(sys.Read(), "");
}

TEST_F(PcAddressHolder, DuplicateTakesTheNextAndAKilledRunsEntryIsRemovedAtTheNextStart) {
    FakeSystem sys(folder);
    sys.duplicates = {Ip("192.168.0.100")};
    CPcAddress holder(Config(Mode::Set, "eth1"), sys.Ops());
    std::vector<std::string> lines;
    ASSERT_TRUE(holder.Offer(GW, sys.adapters, nullptr, lines));
    EXPECT_EQ(holder.Address(), Ip("192.168.0.101"));
    EXPECT_EQ(sys.Read(), "eth1\t192.168.0.101\t" + std::to_string(plat::ProcessId()) + "\t777\n");

    // Entries of a dead process (on eth0, and one whose adapter is gone) beside the living one.
    const auto living = pc_address::ReadJournal(sys.journal);
    sys.adapters.push_back(Ad("eth0", "192.168.0.150"));
    std::vector<pc_address::JournalEntry> entries = living;
    entries.push_back({"eth0", Ip("192.168.0.150"), 999999, 5});
    entries.push_back({"usb9", Ip("192.168.0.160"), 999998, 6});
    ASSERT_TRUE(pc_address::WriteJournal(sys.journal, entries));
    sys.calls.clear();
    pc_address::RecoverStale(sys.Ops());
    EXPECT_EQ(sys.calls, std::vector<std::string>{"remove 448 192.168.0.150"});
    EXPECT_EQ(pc_address::ReadJournal(sys.journal).size(), 1u);
    EXPECT_EQ(sys.Read(), "eth1\t192.168.0.101\t" + std::to_string(plat::ProcessId()) + "\t777\n");
}

}  // namespace
