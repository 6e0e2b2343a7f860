#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "cpelink/direct_connection.h"
#include "cpelink/icmp_library.h"
#include "link_test_util.h"
#include "platform/firewall.h"
#include "platform/process.h"
#include "platform/trace.h"
#include "tests/support/temp_folder.h"

namespace {

using namespace linktest;

struct Listener {
    plat::Socket sock = plat::ListenTcp({plat::IPV4_LOOPBACK, 0}, 4);
    int port = sock.LocalPort();
};

TEST(DirectConnection, SendsReceivesAndTimesOut) {
    Listener l;
    DirectConnection d;
    EXPECT_EQ(d.DirectSendAll(reinterpret_cast<const uint8_t*>("x"), 1), -1);  // not connected
    ASSERT_EQ(d.DirectOpen("127.0.0.1", l.port), 1);
    EXPECT_EQ(d.AddressText(), "127.0.0.1");
    EXPECT_EQ(d.Port(), l.port);
    ASSERT_EQ(d.DirectConnect(), 1);
    EXPECT_EQ(d.DirectConnect(), 1);
    ASSERT_TRUE(PollIn(l.sock, 2000));
    plat::Socket peer = l.sock.Accept();
    ASSERT_TRUE(peer.Valid());
    std::vector<uint8_t> out(2049, 0xE8);
    EXPECT_EQ(d.DirectSendAll(out.data(), 2049), 2049);
    std::vector<uint8_t> in(2049);
    size_t got = 0;
    while (got < in.size()) {
        const std::ptrdiff_t n = peer.Receive(in.data() + got, in.size() - got);
        ASSERT_GT(n, 0);
        got += static_cast<size_t>(n);
    }
    EXPECT_EQ(in, out);
    uint8_t buf[16];
    EXPECT_EQ(d.DirectReceive(buf, sizeof buf, 50), -2);  // nothing within the time-out
    peer.SendAll("ok", 2);
    EXPECT_EQ(d.DirectReceive(buf, sizeof buf, 1000), 2);
    peer.Close();
    EXPECT_EQ(d.DirectReceive(buf, sizeof buf, 1000), 0);  // peer closed
    // A reset peer never raises SIGPIPE.
    for (int i = 0; i < 50 && d.DirectSendAll(out.data(), 2049) > 0; ++i) plat::SleepRaw(5);
    EXPECT_EQ(d.DirectSendAll(out.data(), 2049), -1);
    EXPECT_EQ(d.DirectClose(), 1);
    EXPECT_FALSE(d.IsConnected());
    EXPECT_EQ(d.DirectReceive(buf, sizeof buf), -1);
}

TEST(DirectConnection, FailedConnectAndBadHost) {
    int port = 0;
    {
        Listener l;
        port = l.port;
    }  // closed: nothing listens there now
    DirectConnection d;
    ASSERT_EQ(d.DirectOpen("127.0.0.1", port), 1);
    EXPECT_EQ(d.DirectConnect(), 0);
    EXPECT_FALSE(d.IsConnected());
    Listener l2;
    ASSERT_EQ(d.DirectOpen("127.0.0.1", l2.port), 1);
    EXPECT_EQ(d.DirectConnect(), 1);
    DirectConnection bad;
    EXPECT_EQ(bad.DirectOpen("no-such-host.invalid", 80), 0);
    EXPECT_EQ(bad.DirectConnect(), 0);
}

struct RecordingProcess : plat::IProcess {
    std::vector<std::string> flushed;
    void FlushArp(const std::string& g) override { flushed.push_back(g); }
    void OpenDocument(const std::string&) override {}
    void StartProgram(const std::string&) override {}
};

TEST(NetworkStartup, ReadyAndArpFlushGoesThroughTheProcessInterface) {
    CIcmpLibrary icmp;
    EXPECT_TRUE(icmp.IsReady());
    EXPECT_TRUE(icmp.ErrorText().empty());
    RecordingProcess p;
    FlushArpCache(p, "127.0.0.1");
    EXPECT_EQ(p.flushed, std::vector<std::string>{"127.0.0.1"});
}

}  // namespace

TEST(GatewayPath, FirewallTextNamesWhatDropsTheLinkConnection) {
    using plat::FirewallRule;
    constexpr int DOMAIN = plat::FW_PROFILE_DOMAIN, PRIVATE = plat::FW_PROFILE_PRIVATE, PUBLIC = plat::FW_PROFILE_PUBLIC;
    const std::string tool = "C:\\Tools\\RK880T\\rk880t-tool.exe";
    FirewallRule ours;  // as the Windows prompt makes it: this program, TCP, every port
    ours.application = "c:\\tools\\rk880t\\RK880T-TOOL.EXE";
    ours.protocol = plat::FW_PROTOCOL_TCP;
    ours.localPorts = "*";
    FirewallRule privateOnly = ours, blocking = ours, udp = ours, off = ours, outbound = ours, other = ours;
    privateOnly.profiles = PRIVATE;
    blocking.bAllow = false;
    udp.protocol = 17;
    off.bEnabled = false;
    outbound.bInbound = false;
    other.application = "C:\\Tools\\other.exe";
    FirewallRule ports, service, rpc;
    ports.localPorts = "80, 4000-5000";
    service = ports;
    service.service = "Dnscache";
    rpc.localPorts = "RPC";
    struct Case {
        const char* what;
        std::vector<plat::FirewallProfile> active;  // type, enabled, inbound blocked by default
        std::vector<FirewallRule> rules;
        int networkProfile;
        bool bEnglish;
        std::string text;
        bool bRulesRead = true;
        std::string network = "网络 2";
    } cases[] = {
        {"public, no rule", {{PUBLIC, true, true}}, {}, 0, false,
         "Windows防火墙：公用网络已开启，入站默认阻止，没有允许rk880t-tool.exe入站的规则。请允许本工具通过防火墙，或将该网络设为专用网络。"},
        {"public, no rule, English", {{PUBLIC, true, true}}, {}, 0, true,
         "Windows Firewall: on for the Public network, inbound blocked by default, no rule allows rk880t-tool.exe "
         "inbound. Allow this tool through the firewall, or set the network to Private."},
        {"the rule holds for private, the gateway's network is public",
         {{PRIVATE, true, true}, {PUBLIC, true, true}}, {privateOnly}, PUBLIC, false,
         "Windows防火墙：接入盒所在网络“网络 2”(公用网络)已开启，入站默认阻止，没有允许rk880t-tool.exe入站的规则。请允许本工具通过防火墙，或将该网络设为专用网络。"},
        {"the rule holds there", {{PRIVATE, true, true}, {PUBLIC, true, true}}, {udp, off, outbound, other, ours},
         PRIVATE, true,
         "Windows Firewall: on for the gateway's network \"网络 2\" (Private), inbound blocked by default, a rule "
         "allows rk880t-tool.exe inbound."},
        {"a port rule; rules of another protocol, service or program, off or outbound do not count",
         {{DOMAIN, true, true}}, {udp, off, outbound, other, service, rpc, ports}, 0, false,
         "Windows防火墙：域网络已开启，入站默认阻止，有规则允许TCP 4536端口入站。"},
        {"a block rule wins", {{PRIVATE, true, false}}, {ours, blocking}, 0, false,
         "Windows防火墙：专用网络已开启，入站默认允许，有规则阻止rk880t-tool.exe入站。请允许本工具通过防火墙。"},
        {"off", {{DOMAIN, false, true}, {PUBLIC, false, true}}, {}, 0, true,
         "Windows Firewall: off for the Domain network; off for the Public network."},
        {"off where the gateway is, the network without a name", {{DOMAIN, true, true}, {PUBLIC, false, true}}, {},
         PUBLIC, false, "Windows防火墙：接入盒所在网络(公用网络)已关闭。", true, ""},
        {"rules not read", {{PUBLIC, true, true}}, {}, 0, false,
         "Windows防火墙：公用网络已开启，入站默认阻止。请允许本工具通过防火墙，或将该网络设为专用网络。", false},
        {"no profile answered", {}, {ours}, PUBLIC, false, ""},
    };
    for (const Case& c : cases) {
        plat::FirewallFacts f;
        f.program = tool;
        f.port = 4536;
        f.active = c.active;
        f.bRulesRead = c.bRulesRead;
        f.rules = c.rules;
        f.networkProfile = c.networkProfile;
        f.network = c.network;
        EXPECT_EQ(plat::FirewallText(f, c.bEnglish), c.text) << c.what;
    }
}
