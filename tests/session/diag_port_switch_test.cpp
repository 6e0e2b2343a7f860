// The DIAG port switch over a scripted channel and a recording host.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "session/diag_port_switch.h"
#include "tests/modem/at_script.h"

namespace {


// The line's side of the switch: records every call in order.
class FakeHost : public IDiagPortHost {
public:
    std::map<int, int> dataPort;
    std::map<int, AtPort*> ports;
    std::map<int, bool> shown;
    std::vector<std::string> events;
    std::map<int, std::string> status, version, caption;
    std::map<int, bool> startEnabled;

    int DataPort(int line) override { return dataPort.count(line) ? dataPort[line] : 0; }
    AtPort* LineAtPort(int line) override { return ports.count(line) ? ports[line] : nullptr; }
    bool DiagPortShown(int line) override { return shown[line]; }
    void SetDiagPortShown(int line, bool s) override {
        shown[line] = s;
        Log(line, std::string("flag ") + (s ? "1" : "0"));
    }
    void ShowLineStatus(int line, const std::string& text) override {
        status[line] = text;
        Log(line, "status " + text);
    }
    void SetLineVersionText(int line, const std::string& text) override {
        version[line] = text;
        Log(line, "version " + text);
    }
    void EnableStartButton(int line, bool enable) override {
        startEnabled[line] = enable;
        Log(line, enable ? "enable" : "disable");
    }
    void PortSwitched(int line, bool s) override {
        caption[line] = s ? "shown" : "hidden";
        Log(line, caption[line]);
    }

private:
    void Log(int line, const std::string& what) { events.push_back(std::to_string(line) + " " + what); }
};

struct ToggleRig {
    FakeTunnel tunnel;
    AtPort port{tunnel};
    FakeHost host;
    explicit ToggleRig(int line, bool shownNow) {
        host.dataPort[line] = 5;
        host.ports[line] = &port;
        host.shown[line] = shownNow;
    }
};

TEST(AtToggle, HideAShownPort) {
    ScaleGuard scale(0.02);
    ToggleRig rig(0, true);
    rig.tunnel.steps = {At("AT+KDIAG=1\r", kOk)};
    const int64_t start = plat::TickMs();
    EXPECT_EQ(ToggleDiagPort(0, rig.host), AtToggleResult::Hidden);
    EXPECT_GE(plat::TickMs() - start, plat::Scaled(AT_SWITCH_SETTLE_MS));
    EXPECT_EQ(rig.host.events,
              (std::vector<std::string>{"0 disable", "0 flag 0", "0 status 隐藏DIAG口成功!",
                                        "0 version ", "0 enable", "0 hidden"}));
    EXPECT_EQ(rig.tunnel.sent.size(), 1u);
    EXPECT_TRUE(rig.tunnel.open);  // the line's channel is left open
}

TEST(AtToggle, HideFailureKeepsTheFlagAndVersion) {
    ScaleGuard scale(0.02);
    ToggleRig rig(3, true);
    rig.tunnel.steps = {At("AT+KDIAG=1\r", kError)};
    EXPECT_EQ(ToggleDiagPort(3, rig.host), AtToggleResult::HideFailed);
    EXPECT_EQ(rig.host.events,
              (std::vector<std::string>{"3 disable", "3 status 隐藏DIAG口失败!", "3 enable",
                                        "3 shown"}));
    EXPECT_TRUE(rig.host.shown[3]);
    EXPECT_TRUE(rig.tunnel.open);
}

TEST(AtToggle, ShowWhenTheModemAlreadyReportsMode6) {
    ScaleGuard scale(0.02);
    ToggleRig rig(0, false);
    rig.tunnel.steps = {At("AT+KDIAG?\r", kKdiag6),
                        At("AT+GMR\r", "\r\n+GMR: V2.3 B01\r\n\r\nOK\r\n")};
    EXPECT_EQ(ToggleDiagPort(0, rig.host), AtToggleResult::Shown);
    EXPECT_EQ(rig.host.events,
              (std::vector<std::string>{"0 disable", "0 flag 1", "0 status 恢复DIAG口成功!",
                                        "0 version V2.3", "0 enable", "0 shown"}));
    EXPECT_EQ(rig.tunnel.sent.size(), 2u);  // no AT+KDIAG=6
    EXPECT_TRUE(rig.tunnel.open);
}

TEST(AtToggle, ShowBySettingMode6WithoutAVersion) {
    ScaleGuard scale(0.02);
    ToggleRig rig(7, false);
    rig.tunnel.steps = {At("AT+KDIAG?\r", kKdiag1), At("AT+KDIAG=6\r", kOk),
                        AtSilent("AT+GMR\r"), AtSilent("AT+GMR\r"), AtSilent("AT+GMR\r")};
    EXPECT_EQ(ToggleDiagPort(7, rig.host), AtToggleResult::Shown);
    EXPECT_EQ(rig.host.status[7], "恢复DIAG口成功!");
    EXPECT_EQ(rig.host.version[7], "No Phone");
    EXPECT_EQ(rig.host.caption[7], "shown");
    EXPECT_TRUE(rig.host.shown[7]);
    EXPECT_TRUE(rig.host.startEnabled[7]);
    EXPECT_TRUE(rig.tunnel.steps.empty());
    EXPECT_TRUE(rig.tunnel.open);
}

TEST(AtToggle, ShowFailure) {
    ScaleGuard scale(0.02);
    ToggleRig rig(1, false);
    rig.tunnel.steps = {At("AT+KDIAG?\r", kError), At("AT+KDIAG=6\r", kError)};
    EXPECT_EQ(ToggleDiagPort(1, rig.host), AtToggleResult::ShowFailed);
    EXPECT_EQ(rig.host.events,
              (std::vector<std::string>{"1 disable", "1 status 恢复DIAG口失败!", "1 version No Phone",
                                        "1 enable", "1 hidden"}));
    EXPECT_FALSE(rig.host.shown[1]);
    EXPECT_EQ(rig.tunnel.sent.size(), 2u);  // no AT+GMR after a failure
}

TEST(AtToggle, NoDataPortOrClosedChannelEndsAtOnce) {
    ScaleGuard scale(0.02);
    {
        ToggleRig rig(2, true);
        rig.host.dataPort[2] = 0;
        EXPECT_EQ(ToggleDiagPort(2, rig.host), AtToggleResult::NoDataPort);
        EXPECT_EQ(rig.host.events, (std::vector<std::string>{"2 status Data端口不能为 0 !"}));
        EXPECT_TRUE(rig.tunnel.sent.empty());
    }
    {
        ToggleRig rig(0, false);
        rig.tunnel.open = false;
        EXPECT_EQ(ToggleDiagPort(0, rig.host), AtToggleResult::ChannelClosed);
        EXPECT_EQ(rig.host.events, (std::vector<std::string>{"0 status Data端口错误!"}));
        EXPECT_TRUE(rig.tunnel.sent.empty());
    }
    {
        FakeHost host;  // a line with a Data port but no AT port
        host.dataPort[4] = 9;
        EXPECT_EQ(ToggleDiagPort(4, host), AtToggleResult::ChannelClosed);
        EXPECT_EQ(host.status[4], "Data端口错误!");
    }
}

TEST(AtToggle, AllLinesInTurn) {
    ScaleGuard scale(0.02);
    ToggleRig rig(0, true);
    rig.tunnel.steps = {At("AT+KDIAG=1\r", kOk)};
    rig.host.dataPort[1] = 3;  // no AT port
    ToggleAllDiagPorts(rig.host);
    EXPECT_EQ(rig.host.status[0], "隐藏DIAG口成功!");
    EXPECT_EQ(rig.host.status[1], "Data端口错误!");
    for (int line = 2; line < 8; ++line) EXPECT_EQ(rig.host.status[line], "Data端口不能为 0 !") << line;
    EXPECT_EQ(rig.host.status.size(), 8u);
    EXPECT_TRUE(rig.tunnel.open);
}


}  // namespace
