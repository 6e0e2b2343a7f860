#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pcside/gateway_path.h"
#include "platform/socket.h"

// The adapter hints: which hold for which adapters, with their exact texts (the texts of the
// private-network runs are checked end to end in tests/netns).
namespace {
plat::AdapterAddress Adapter(const std::string& name, const std::string& ip, int prefix, bool up = true) {
    plat::AdapterAddress a;
    a.name = name;
    if (!ip.empty()) plat::ParseIpv4(ip, a.ip);
    a.mask = prefix == 0 ? 0 : ~uint32_t{0} << (32 - prefix);
    a.bLinkUp = up;
    a.bLoopback = name == "lo";
    return a;
}
}  // namespace

TEST(GatewayPath, AdapterHintsHoldOnlyWhenTheWayToTheGatewayIsWrong) {
    using gateway_path::Hint;
    const auto lo = Adapter("lo", "127.0.0.1", 8);
    uint32_t gw = 0;
    plat::ParseIpv4("192.168.0.1", gw);
    struct Case {
        const char* what;
        std::vector<plat::AdapterAddress> adapters;
        bool bEnglish;
        std::vector<std::string> texts;
        std::string queryError = "";
    } cases[] = {
        {"all well", {lo, Adapter("eth0", "192.168.0.100", 24)}, false, {}},
        {"no adapter on the subnet",
         {lo, Adapter("eth0", "10.0.0.5", 24), Adapter("wlan0", "", 0, false)},
         false,
         {"本机没有网卡在接入盒192.168.0.1的网段内，本机网卡：eth0 10.0.0.5, wlan0 (无地址) (未连接)。请将PC设置为固定IP，例如设置为：192.168.0.100."}},
        {"no adapter at all", {lo}, true,
         {"No adapter of this PC is on the subnet of the gateway 192.168.0.1; adapters: none. Set the PC to a fixed IP, e.g. 192.168.0.100."}},
        {"cable unplugged", {lo, Adapter("eth0", "192.168.0.100", 24, false)}, false,
         {"网卡eth0(192.168.0.100)未连接，请检查网线是否插好。"}},
        {"only a self-assigned address",
         {lo, Adapter("以太网", "169.254.7.9", 16)},
         false,
         {"本机没有网卡在接入盒192.168.0.1的网段内，本机网卡：以太网 169.254.7.9。请将PC设置为固定IP，例如设置为：192.168.0.100.",
          "网卡以太网只有自动分配的地址169.254.7.9，请将PC设置为固定IP，例如设置为：192.168.0.100."}},
        {"two adapters on the subnet",
         {lo, Adapter("eth0", "192.168.0.100", 24), Adapter("wlan0", "192.168.0.23", 24)},
         true,
         {"Adapters eth0 (192.168.0.100) and wlan0 (192.168.0.23) are both on the gateway's subnet: the requests may reach another device. Disconnect the other network."}},
        {"one adapter with two addresses on the subnet",
         {lo, Adapter("eth0", "192.168.0.100", 24), Adapter("eth0", "192.168.0.101", 24)}, false, {}},
        {"a /16 that holds the gateway, outside its /24", {lo, Adapter("eth0", "192.168.5.5", 16)}, false,
         {"本机没有网卡在接入盒192.168.0.1的网段内，本机网卡：eth0 192.168.5.5。请将PC设置为固定IP，例如设置为：192.168.0.100."}},
        {"a /16 inside the gateway's /24", {lo, Adapter("eth0", "192.168.0.100", 16)}, false, {}},
        {"one adapter unplugged, another linked on the subnet",
         {lo, Adapter("eth0", "192.168.0.100", 24, false), Adapter("usb0", "192.168.0.101", 24)}, false, {}},
        {"the adapter query failed", {}, false,
         {"无法读取本机网卡列表(GetAdaptersAddresses: 8)，请检查网卡驱动或重启PC。"}, "GetAdaptersAddresses: 8"},
        {"the adapter query failed, English", {}, true,
         {"The adapters of this PC cannot be listed (getifaddrs: Out of memory): check the adapter drivers or restart the PC."},
         "getifaddrs: Out of memory"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> texts;
        for (const auto& h : gateway_path::AdapterHints(gw, c.adapters, c.bEnglish, c.queryError)) texts.push_back(h.text);
        EXPECT_EQ(texts, c.texts) << c.what;
    }
    uint32_t loopback = 0;
    plat::ParseIpv4("127.0.0.1", loopback);
    EXPECT_TRUE(gateway_path::AdapterHints(loopback, {lo}, false).empty());
    EXPECT_EQ(gateway_path::NoConnectionHint("192.168.0.100", 4536, 3, true).text,
              "Announced 192.168.0.100 (port 4536) 3 times, but the gateway has not connected: a firewall may drop the "
              "inbound connection. Allow this program to accept connections on TCP port 4536.");

    // Each hint once while it holds; again after it stopped holding.
    gateway_path::HintLatch latch;
    const auto unplugged = gateway_path::AdapterHints(gw, {Adapter("eth0", "192.168.0.100", 24, false)}, false);
    EXPECT_EQ(latch.Fresh(unplugged).size(), 1u);
    EXPECT_TRUE(latch.Fresh(unplugged).empty());
    EXPECT_TRUE(latch.Fresh({}).empty());
    EXPECT_EQ(latch.Fresh(unplugged).size(), 1u);
    const auto none = gateway_path::NoConnectionHint("192.168.0.100", 4536, 3, false);
    EXPECT_TRUE(latch.FreshOne(none));
    latch.Fresh({});
    EXPECT_FALSE(latch.FreshOne(none));
}
