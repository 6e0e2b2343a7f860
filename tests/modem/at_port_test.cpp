// AtPort: answer parsing, the bytes it sends, its tries and time-outs, answers too long for its
// buffer, and the DIAG port switch over a scripted channel and a recording host.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "fake_tunnel.h"
#include "modem/at_port.h"

namespace {

Bytes B(const std::string& s) { return Bytes(s.begin(), s.end()); }
Step At(const std::string& expect, const std::string& answer) {
    Step s = ReplyRaw(B(answer));
    s.expect = B(expect);
    return s;
}
Step AtSilent(const std::string& expect) {
    Step s = Silent();
    s.expect = B(expect);
    return s;
}

const std::string kKdiag6 = "\r\n+KDIAG: 6\r\n\r\nOK\r\n";
const std::string kKdiag1 = "\r\n+KDIAG: 1\r\n\r\nOK\r\n";
const std::string kOk = "\r\nOK\r\n";
const std::string kError = "\r\nERROR\r\n";

// ---------------------------------------------------------------------------------------------
TEST(AtAnswer, LineBetweenTheFirstTwoLineEnds) {
    std::string line;
    EXPECT_TRUE(ParseAtAnswer(kKdiag6, line));
    EXPECT_EQ(line, "+KDIAG: 6");
    EXPECT_EQ(DiagModeFromKdiagLine(line), 6);

    EXPECT_TRUE(ParseAtAnswer(kOk, line));
    EXPECT_EQ(line, "OK");
    // Text before the first line end is skipped; an empty line is a line.
    EXPECT_TRUE(ParseAtAnswer("AT+GMR\r\r\n+GMR: V1 B01\r\n", line));
    EXPECT_EQ(line, "+GMR: V1 B01");
    EXPECT_TRUE(ParseAtAnswer("\r\n\r\nOK\r\n", line));
    EXPECT_EQ(line, "");
}

TEST(AtAnswer, ErrorLineAndMissingLineEndsFail) {
    std::string line;
    EXPECT_FALSE(ParseAtAnswer(kError, line));
    EXPECT_EQ(line, "ERROR");
    EXPECT_FALSE(ParseAtAnswer("\r\nerror\r\n", line));
    EXPECT_FALSE(ParseAtAnswer("\r\nErRoR\r\n\r\nOK\r\n", line));
    // Only an exact "error" fails.
    EXPECT_TRUE(ParseAtAnswer("\r\n+CME ERROR: 10\r\n", line));

    EXPECT_FALSE(ParseAtAnswer("\r\n+KDIAG: 6", line));  // one line end only
    EXPECT_EQ(line, "");
    EXPECT_FALSE(ParseAtAnswer("+KDIAG: 6\r\n", line));
    EXPECT_FALSE(ParseAtAnswer("\n+KDIAG: 6\r\r\n", line));  // a lone LF or CR is no pair
    EXPECT_FALSE(ParseAtAnswer("", line));
}

TEST(AtAnswer, GmrVersionAndKdiagMode) {
    EXPECT_EQ(ModemVersionFromGmrLine("+GMR: V1.0 B01"), "V1.0");
    EXPECT_EQ(ModemVersionFromGmrLine("+GMR: PD_WA_RK880T_V2 B01 extra"), "PD_WA_RK880T_V2");
    // No blank after the version: empty (the version ends at a blank).
    EXPECT_EQ(ModemVersionFromGmrLine("+GMR: V1.0"), "");
    EXPECT_EQ(ModemVersionFromGmrLine("V1.0"), "");
    EXPECT_EQ(ModemVersionFromGmrLine(""), "");

    EXPECT_EQ(DiagModeFromKdiagLine("+KDIAG: 1"), 1);
    EXPECT_EQ(DiagModeFromKdiagLine("+KDIAG: 60"), 6);  // one digit only
    EXPECT_EQ(DiagModeFromKdiagLine("+KDIAG: x"), 0);
    EXPECT_EQ(DiagModeFromKdiagLine("+KDIAG: "), 0);  // nothing after the 8 characters
    EXPECT_EQ(DiagModeFromKdiagLine("OK"), 0);
}

TEST(AtAnswer, AnswerTextStaysInsideTheBuffer) {
    std::array<uint8_t, AT_ANSWER_SIZE> buf{};
    buf.fill('x');
    EXPECT_EQ(AnswerText(buf.data(), buf.size(), 1000).size(), AT_ANSWER_SIZE);
    EXPECT_EQ(AnswerText(buf.data(), buf.size(), 10), std::string(10, 'x'));
    EXPECT_EQ(AnswerText(buf.data(), buf.size(), -5), "");
    buf[4] = 0;
    EXPECT_EQ(AnswerText(buf.data(), buf.size(), 100), "xxxx");
}

// ---------------------------------------------------------------------------------------------
TEST(AtPortExchange, SendsTheCommandsWithACarriageReturn) {
    FakeTunnel t;
    t.steps = {At("AT+GMR\r", "\r\n+GMR: V1.0 B01\r\n\r\nOK\r\n"), At("AT+KDIAG?\r", kKdiag6),
               At("AT+KDIAG=6\r", kOk), At("AT+KDIAG=1\r", kOk), At("AT\r", kOk)};
    AtPort port(t);
    EXPECT_EQ(port.TimeoutMs(), 5000);
    EXPECT_EQ(port.Tries(), 3);

    std::string version = "old";
    EXPECT_TRUE(port.ReadModemVersion(version));
    EXPECT_EQ(version, "V1.0");
    EXPECT_EQ(port.Command(), "AT+GMR\r");
    EXPECT_EQ(port.Answer(), "\r\n+GMR: V1.0 B01\r\n\r\nOK\r\n");
    EXPECT_EQ(port.GetDiagMode(), 6);
    EXPECT_TRUE(port.SetDiagMode(6));
    EXPECT_TRUE(port.SetDiagMode(1));
    std::string line;
    EXPECT_TRUE(port.AtCommand("AT", line));
    EXPECT_EQ(line, "OK");

    ASSERT_EQ(t.sent.size(), 5u);
    EXPECT_EQ(t.sent[0], B("AT+GMR\r"));
    for (int o : t.sentOverride) EXPECT_EQ(o, 0);  // plain CMD_DATA records
    EXPECT_TRUE(t.open);
}

TEST(AtPortExchange, FailedCommandsGiveTheirDefaults) {
    ScaleGuard scale(0.02);
    FakeTunnel t;
    t.steps = {At("AT+GMR\r", kError), At("AT+KDIAG?\r", kError), At("AT+KDIAG=1\r", kError),
               At("AT+KDIAG?\r", "\r\n+KDIAG: 6")};
    AtPort port(t);
    std::string version = "old";
    EXPECT_FALSE(port.ReadModemVersion(version));
    EXPECT_EQ(version, "");
    EXPECT_EQ(port.GetDiagMode(), 0);
    EXPECT_FALSE(port.SetDiagMode(1));
    EXPECT_EQ(port.GetDiagMode(), 0);  // one line end only: failed, not 6
    EXPECT_EQ(t.sent.size(), 4u);      // an answer, even a failing one, is not retried
}

TEST(AtPortExchange, SilentTunnelThreeTriesThenFailure) {
    ScaleGuard scale(0.02);
    FakeTunnel t;
    t.steps = {AtSilent("AT+KDIAG?\r"), AtSilent("AT+KDIAG?\r"), AtSilent("AT+KDIAG?\r")};
    AtPort port(t);
    const int64_t start = plat::TickMs();
    EXPECT_EQ(port.GetDiagMode(), 0);
    const int64_t took = plat::TickMs() - start;
    EXPECT_EQ(t.sent.size(), 3u);
    EXPECT_GE(took, 3 * plat::Scaled(AT_TIMEOUT_MS));
    EXPECT_EQ(port.Answer(), "");
    EXPECT_TRUE(t.open);
}

TEST(AtPortExchange, RefusedSendsAndLateAnswers) {
    ScaleGuard scale(0.02);
    {
        // A refused send goes straight to the next try; the third one is answered.
        FakeTunnel t;
        t.steps = {Refuse(), Refuse(), At("AT+KDIAG?\r", kKdiag1)};
        AtPort port(t);
        EXPECT_EQ(port.GetDiagMode(), 1);
        EXPECT_EQ(t.sent.size(), 3u);
    }
    {
        FakeTunnel t;
        t.steps = {Refuse(), Refuse(), Refuse(), At("AT+KDIAG?\r", kKdiag6)};
        AtPort port(t);
        EXPECT_EQ(port.GetDiagMode(), 0);
        EXPECT_EQ(t.sent.size(), 3u);
        t.steps.clear();
    }
    {
        // Silence on the first try; the second try's answer counts.
        FakeTunnel t;
        t.steps = {AtSilent("AT+GMR\r"), At("AT+GMR\r", "\r\n+GMR: V9 B01\r\n")};
        AtPort port(t);
        std::string v;
        EXPECT_TRUE(port.ReadModemVersion(v));
        EXPECT_EQ(v, "V9");
        EXPECT_EQ(t.sent.size(), 2u);
    }
    {
        // An answer that shows up after a while within the time-out.
        FakeTunnel t;
        Step s = At("AT+KDIAG?\r", kKdiag6);
        s.delayMs = 70;
        t.steps = {s};
        AtPort port(t);
        EXPECT_EQ(port.GetDiagMode(), 6);
        EXPECT_EQ(t.sent.size(), 1u);
    }
    {
        // A closed channel takes nothing.
        FakeTunnel t;
        t.open = false;
        t.steps = {Silent(), Silent(), Silent()};
        AtPort port(t);
        EXPECT_FALSE(port.SetDiagMode(6));
        EXPECT_EQ(t.sent.size(), 3u);
    }
}

TEST(AtPortExchange, LongAnswersAreCutAtTheBuffer) {
    FakeTunnel t;
    // The line fits in the first 256 bytes: still parsed.
    const std::string fits = kKdiag6 + std::string(400, 'z');
    // The second line end lies beyond the buffer: no answer line.
    const std::string beyond = "\r\n" + std::string(300, 'v') + "\r\n";
    // A reply claiming more than it carries: the text ends where the data does.
    Step claims = At("AT+KDIAG?\r", kKdiag1);
    claims.lengthOverride = 1350;
    t.steps = {At("AT+KDIAG?\r", fits), At("AT+GMR\r", beyond), claims};
    AtPort port(t);

    EXPECT_EQ(port.GetDiagMode(), 6);
    EXPECT_EQ(port.Answer(), fits.substr(0, AT_ANSWER_SIZE));
    std::string v = "old";
    EXPECT_FALSE(port.ReadModemVersion(v));
    EXPECT_EQ(port.Answer().size(), AT_ANSWER_SIZE);
    EXPECT_EQ(port.GetDiagMode(), 1);
    EXPECT_EQ(port.Answer(), kKdiag1);
}

// ---------------------------------------------------------------------------------------------
// The form's side of the switch: records every call in order.
class FakeHost : public IAtHost {
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
    void SetPortButtonCaption(int line, const std::string& text) override {
        caption[line] = text;
        Log(line, "caption " + text);
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
                                        "0 version ", "0 enable", "0 caption 恢复端口"}));
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
                                        "3 caption 隐藏端口"}));
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
                                        "0 version V2.3", "0 enable", "0 caption 隐藏端口"}));
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
    EXPECT_EQ(rig.host.caption[7], "隐藏端口");
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
                                        "1 enable", "1 caption 恢复端口"}));
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
