#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/trace.h"
#include "raw_server.h"
#include "sim/sim_web.h"
#include "web/gateway_web.h"

namespace {

using webtest::Answer;
using webtest::RawServer;

class FakeProcess : public plat::IProcess {
public:
    void FlushArp(const std::string& address) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        flushes.push_back(address);
    }
    void OpenDocument(const std::string&) override {}
    void StartProgram(const std::string&) override {}
    size_t Flushes() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return flushes.size();
    }
    std::vector<std::string> flushes;

private:
    std::mutex m_mutex;
};

class FakeUi : public plat::IUiPort {
public:
    plat::MsgResult MessageBox(const std::string& text, const std::string&, plat::MsgButtons,
                               plat::MsgIcon) override {
        boxes.push_back(text);
        return plat::MsgResult::Ok;
    }
    std::optional<std::string> ChooseFile(const plat::FileDialogSpec&) override { return {}; }
    std::optional<std::string> ChooseFolder(const std::string&) override { return {}; }
    void PostClose() override {}
    std::vector<std::string> boxes;
};

// A GatewayWeb pointed at given web and setting ports of 127.0.0.1.
struct Rig {
    explicit Rig(int webPort, int settingPort = 0) {
        endpoints.gateway = "127.0.0.1";
        endpoints.webPort = webPort;
        endpoints.settingPort = settingPort;
        web = std::make_unique<GatewayWeb>(
            endpoints, process, [this](const std::string& t) { statuses.push_back(t); }, ui,
            connection);
    }
    plat::Endpoints endpoints;
    FakeProcess process;
    FakeUi ui;
    DirectConnection connection;
    std::vector<std::string> statuses;
    std::unique_ptr<GatewayWeb> web;
};

struct TraceCapture {
    TraceCapture() {
        plat::SetTraceSink([this](const std::string& t) {
            std::lock_guard<std::mutex> lock(mutex);
            lines.push_back(t);
        });
    }
    ~TraceCapture() { plat::SetTraceSink(nullptr); }
    std::mutex mutex;
    std::vector<std::string> lines;
};

std::string Reply(const std::string& body) { return "HTTP/1.0 200 OK\r\n\r\n" + body; }

class SimTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(sim.Start()); }
    SimWebServer sim;
};

TEST(GatewayUrl, PortEntersTheUrlOnlyWhenNot80) {
    Rig rig80(80);
    EXPECT_EQ(rig80.web->FormUrl("192.168.0.1", GatewayWeb::FACTORY_PATH),
              "http://192.168.0.1/goform/goform_process");
    Rig rig(8080);
    EXPECT_EQ(rig.web->FormUrl("127.0.0.1", GatewayWeb::WIFI_PATH),
              "http://127.0.0.1:8080/goform/goform_set_cmd_process");
}

TEST_F(SimTest, OpenFactoryModeAgainstTheSimulator) {
    TraceCapture trace;
    Rig rig(sim.WebPort());
    EXPECT_EQ(rig.web->OpenFactoryMode("127.0.0.1"), 0);
    EXPECT_EQ(rig.statuses, (std::vector<std::string>{"Query Net Com Start", "查询设备成功"}));
    EXPECT_EQ(rig.process.flushes, (std::vector<std::string>{"127.0.0.1", "127.0.0.1"}));
    EXPECT_EQ(trace.lines, (std::vector<std::string>{"Tools Send: goformId=SwitchFactoryMode&SwitchCMD=Open",
                                                     "Tools Send: goformId=SwitchFactoryMode&SwitchCMD=Query"}));
    EXPECT_EQ(sim.Counts().openRequests, 1);
    EXPECT_EQ(sim.Counts().queryRequests, 1);
    EXPECT_TRUE(sim.FactoryModeOpen());
}

TEST_F(SimTest, OpenFactoryModeCodesFromQueryAnswers) {
    const struct {
        SimWebKnobs::QueryAnswer answer;
        int code;
    } cases[] = {{SimWebKnobs::QueryAnswer::Closed, 1},
                 {SimWebKnobs::QueryAnswer::Unknow, 2},
                 {SimWebKnobs::QueryAnswer::None, 3}};
    for (const auto& c : cases) {
        SimWebKnobs k;
        k.queryAnswer = c.answer;
        sim.SetKnobs(k);
        Rig rig(sim.WebPort());
        EXPECT_EQ(rig.web->OpenFactoryMode("127.0.0.1"), c.code);
        EXPECT_EQ(rig.statuses, (std::vector<std::string>{"Query Net Com Start", "查询设备失败"}));
    }
}

TEST_F(SimTest, OpenRefusedAndServerDown) {
    SimWebKnobs k;
    k.bOpenRefused = true;
    sim.SetKnobs(k);
    Rig rig(sim.WebPort());
    EXPECT_EQ(rig.web->OpenFactoryMode("127.0.0.1"), 5);
    EXPECT_EQ(rig.statuses, (std::vector<std::string>{"查询设备失败"}));
    EXPECT_EQ(sim.Counts().queryRequests, 0);

    k.bOpenRefused = false;
    k.bWebDown = true;
    sim.SetKnobs(k);
    rig.statuses.clear();
    EXPECT_EQ(rig.web->OpenFactoryMode("127.0.0.1"), 6);
    EXPECT_EQ(rig.statuses,
              (std::vector<std::string>{"连接失败，请使用浏览器访问 127.0.0.1 检查设备是否启动。"}));

    k.bWebDown = false;
    sim.SetKnobs(k);
    rig.statuses.clear();
    EXPECT_EQ(rig.web->OpenFactoryMode("127.0.0.1"), 0);
}

TEST(OpenFactoryMode, RepliesAreSearchedCaseSensitivelyOpenedFirst) {
    {
        RawServer server({Answer(Reply("xxFactoryResult:Successyy")),
                          Answer(Reply("FactoryResult:Closed FactoryResult:Opened"))});
        Rig rig(server.Port());
        EXPECT_EQ(rig.web->OpenFactoryMode("127.0.0.1"), 0);
    }
    {
        RawServer server({Answer(Reply("factoryresult:success"))});
        Rig rig(server.Port());
        EXPECT_EQ(rig.web->OpenFactoryMode("127.0.0.1"), 5);
    }
    {
        RawServer server({Answer(Reply("FactoryResult:Success")),
                          Answer(Reply("FactoryResult:opened FactoryResult:Unknow"))});
        Rig rig(server.Port());
        EXPECT_EQ(rig.web->OpenFactoryMode("127.0.0.1"), 2);
    }
}

TEST(OpenFactoryMode, FailedQueryGivesCode4) {
    // The server answers "Open" and then stops listening, so "Query" cannot connect.
    RawServer server({Answer(Reply("FactoryResult:Success"))});
    Rig rig(server.Port());
    EXPECT_EQ(rig.web->OpenFactoryMode("127.0.0.1"), 4);
    EXPECT_EQ(rig.statuses,
              (std::vector<std::string>{"Query Net Com Start",
                                        "连接失败，请使用浏览器访问 127.0.0.1 检查设备是否启动。"}));
}

TEST_F(SimTest, WifiLimitIsSentAsTypedAndMustBeAnsweredExactly) {
    Rig rig(sim.WebPort());
    EXPECT_TRUE(rig.web->SetMaxWifiNum("127.0.0.1", " 7 "));
    EXPECT_EQ(sim.WifiLimits(), (std::vector<std::string>{" 7 "}));
    EXPECT_TRUE(rig.statuses.empty());
    EXPECT_EQ(rig.process.Flushes(), 1u);

    SimWebKnobs k;
    k.bWifiTrailingCrLf = true;
    sim.SetKnobs(k);
    std::string reply;
    EXPECT_TRUE(rig.web->SendMaxWifiNum("127.0.0.1", "32", reply));
    EXPECT_EQ(reply, "{\"result\":\"success\"}\r\n");
    EXPECT_FALSE(rig.web->SetMaxWifiNum("127.0.0.1", "32"));
}

TEST_F(SimTest, RebootRefusesTheFirstProbes) {
    SimWebKnobs k;
    k.rebootRefusals = 2;
    sim.SetKnobs(k);
    sim.BeginReboot();
    Rig rig(sim.WebPort());
    EXPECT_FALSE(rig.web->SetMaxWifiNum("127.0.0.1", "32"));
    EXPECT_FALSE(rig.web->SetMaxWifiNum("127.0.0.1", "32"));
    EXPECT_TRUE(rig.web->SetMaxWifiNum("127.0.0.1", "32"));
    EXPECT_EQ(sim.Counts().refusedConnections, 2);
    EXPECT_EQ(sim.Counts().wifiRequests, 1);
    EXPECT_FALSE(sim.Rebooting());
}

TEST(WifiLimit, ServerDownIsAFailedExchange) {
    Rig rig(webtest::UnusedPort());
    std::string reply = "unchanged";
    EXPECT_FALSE(rig.web->SendMaxWifiNum("127.0.0.1", "32", reply));
    EXPECT_EQ(reply, "unchanged");
}

// --- Factory setting check -------------------------------------------------------------------

TEST(SettingPayload, NameAndValueNulPadded) {
    const auto p = GatewayWeb::SettingPayload();
    ASSERT_EQ(p.size(), 256u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(p.data())), "fac_mode");
    EXPECT_EQ(p[128], '0');
    for (size_t i = 0; i < p.size(); ++i) {
        if (i < 8 || i == 128) continue;
        EXPECT_EQ(p[i], 0) << i;
    }
}

TEST_F(SimTest, SettingCheckPassesAndClosesItsConnection) {
    Rig rig(sim.WebPort(), sim.SettingPort());
    EXPECT_EQ(rig.web->CheckFacMode("127.0.0.1"), 0);
    EXPECT_TRUE(rig.statuses.empty());
    EXPECT_FALSE(rig.connection.IsConnected());
    EXPECT_EQ(sim.SettingsWritten(),
              (std::vector<std::pair<std::string, std::string>>{{"fac_mode", "0"}}));
    for (int i = 0; i < 100 && sim.Counts().settingCloses == 0; ++i) plat::SleepRaw(10);
    const auto c = sim.Counts();
    EXPECT_EQ(c.settingWrites, 1);
    EXPECT_EQ(c.settingReads, 1);
    EXPECT_EQ(c.settingCloses, 1);
    EXPECT_EQ(rig.process.Flushes(), 1u);
    EXPECT_EQ(rig.web->CheckFacMode("127.0.0.1"), 0);
    EXPECT_EQ(sim.Counts().settingConnections, 2);
}

TEST_F(SimTest, FailedWriteKeepsTheConnectionForTheNextCheck) {
    webtest::ScaleGuard scale(0.05);
    SimWebKnobs k;
    k.writeStatusZero = 1;
    sim.SetKnobs(k);
    Rig rig(sim.WebPort(), sim.SettingPort());
    EXPECT_EQ(rig.web->CheckFacMode("127.0.0.1"), 2);
    EXPECT_EQ(rig.statuses, (std::vector<std::string>{"Socket Port write error"}));
    EXPECT_TRUE(rig.connection.IsConnected());
    const size_t flushes = rig.process.Flushes();
    // The next check writes at once on the same connection, after its one ARP flush.
    EXPECT_EQ(rig.web->CheckFacMode("127.0.0.1"), 0);
    EXPECT_EQ(rig.process.Flushes(), flushes + 1);
    const auto c = sim.Counts();
    EXPECT_EQ(c.settingConnections, 1);
    EXPECT_EQ(c.settingWrites, 2);
}

TEST_F(SimTest, ReadBackDifferentValueIsACheckError) {
    SimWebKnobs k;
    k.readOtherValue = 1;
    sim.SetKnobs(k);
    Rig rig(sim.WebPort(), sim.SettingPort());
    EXPECT_EQ(rig.web->CheckFacMode("127.0.0.1"), 4);
    EXPECT_EQ(rig.statuses, (std::vector<std::string>{"Socket Port check error"}));
    EXPECT_TRUE(rig.connection.IsConnected());
    EXPECT_EQ(rig.web->CheckFacMode("127.0.0.1"), 0);
    EXPECT_EQ(sim.Counts().settingConnections, 1);
}

TEST_F(SimTest, ResetConnectionIsReplacedAtTheNextCheck) {
    webtest::ScaleGuard scale(0.05);
    SimWebKnobs k;
    k.resetAfterWrite = 1;
    sim.SetKnobs(k);
    Rig rig(sim.WebPort(), sim.SettingPort());
    EXPECT_EQ(rig.web->CheckFacMode("127.0.0.1"), 3);
    EXPECT_EQ(rig.statuses, (std::vector<std::string>{"Socket Port read error"}));
    EXPECT_FALSE(rig.connection.IsConnected());
    EXPECT_EQ(rig.web->CheckFacMode("127.0.0.1"), 0);
    EXPECT_EQ(sim.Counts().settingConnections, 2);
}

TEST_F(SimTest, ReplyRecordInTwoPiecesIsReadWhole) {
    SimWebKnobs k;
    k.bSettingReplySplit = true;
    sim.SetKnobs(k);
    Rig rig(sim.WebPort(), sim.SettingPort());
    EXPECT_EQ(rig.web->CheckFacMode("127.0.0.1"), 0);
    EXPECT_TRUE(rig.statuses.empty());
}

// A connection kept by a failed check that the gateway closes before the next check is found
// dead by that check and replaced by a new one, instead of failing the write on it.
TEST(SettingCheck, KeptConnectionClosedByTheGatewayIsReplaced) {
    std::string writeFailed(2049, '\0');
    writeFailed[0] = static_cast<char>(232);
    std::string writeOk = writeFailed;
    writeOk[1] = 1;
    const auto payload = GatewayWeb::SettingPayload();
    std::string readOk(2049, '\0');
    readOk[0] = static_cast<char>(231);
    std::memcpy(readOk.data() + 1, payload.data(), payload.size());
    RawServer::Script first;
    first.complete = [](const std::string& r) { return r.size() >= 2049; };
    first.steps = {{0, writeFailed}};
    first.holdMs = 50;  // then the gateway closes the kept connection
    RawServer::Script second = first;
    // The read reply comes while the client waits for it (2000 ms window).
    second.steps = {{0, writeOk}, {300, readOk}};
    second.holdMs = 500;
    RawServer server({first, second});
    Rig rig(80, server.Port());
    EXPECT_EQ(rig.web->CheckFacMode("127.0.0.1"), 2);
    EXPECT_TRUE(rig.connection.IsConnected());
    plat::SleepRaw(300);
    EXPECT_EQ(rig.web->CheckFacMode("127.0.0.1"), 0);
    EXPECT_EQ(rig.statuses, (std::vector<std::string>{"Socket Port write error"}));
    EXPECT_EQ(server.Accepted(), 2);
}

TEST(SettingCheck, UnreachablePortGivesCode1After30AttemptsWithoutLeaks) {
    webtest::ScaleGuard scale(0.01);
    Rig rig(80, webtest::UnusedPort());
    const int fdsBefore = webtest::CountOpenFds();
    const int64_t start = plat::TickMs();
    EXPECT_EQ(rig.web->CheckFacMode("127.0.0.1"), 1);
    EXPECT_GE(plat::TickMs() - start, 30 * 5);
    EXPECT_EQ(webtest::CountOpenFds(), fdsBefore);
    EXPECT_EQ(rig.process.Flushes(), 30u);
    EXPECT_EQ(rig.ui.boxes, (std::vector<std::string>{"InitSocketPort Error"}));
    EXPECT_EQ(rig.statuses, (std::vector<std::string>{"InitSocketPort Error"}));
}

// A setting port that takes a request and answers with the given records.
TEST(SettingCheck, SilentGatewayIsAWriteErrorAfterTheWindow) {
    webtest::ScaleGuard scale(0.05);
    RawServer::Script s;
    s.complete = [](const std::string& r) { return r.size() >= 2049; };
    s.holdMs = 2000;
    RawServer server({s});
    Rig rig(80, server.Port());
    const int64_t start = plat::TickMs();
    EXPECT_EQ(rig.web->CheckFacMode("127.0.0.1"), 2);
    EXPECT_GE(plat::TickMs() - start, 50 + plat::Scaled(2000));
    EXPECT_EQ(rig.statuses, (std::vector<std::string>{"Socket Port write error"}));
    // No answer is not a dead connection: it is kept.
    EXPECT_TRUE(rig.connection.IsConnected());
    server.WaitDone();
    const auto req = server.Requests().at(0);
    ASSERT_EQ(req.size(), 2049u);
    EXPECT_EQ(static_cast<uint8_t>(req[0]), 232);
    EXPECT_EQ(req.substr(1, 9), std::string("fac_mode\0", 9));
    EXPECT_EQ(req[129], '0');
    EXPECT_EQ(req.find_first_not_of('\0', 130), std::string::npos);
}

TEST(SettingCheck, WrongReplyCodeIsAReadErrorOnAKeptConnection) {
    std::string writeOk(2049, '\0');
    writeOk[0] = static_cast<char>(232);
    writeOk[1] = 1;
    std::string wrongRead(2049, '\0');
    wrongRead[0] = static_cast<char>(232);  // a write reply where a read reply is due
    RawServer::Script s;
    s.complete = [](const std::string& r) { return r.size() >= 2049; };
    // The second record comes while the client waits for the read reply (2000 ms window).
    s.steps = {{0, writeOk}, {300, wrongRead}};
    s.holdMs = 500;
    RawServer server({s});
    Rig rig(80, server.Port());
    EXPECT_EQ(rig.web->CheckFacMode("127.0.0.1"), 3);
    EXPECT_EQ(rig.statuses, (std::vector<std::string>{"Socket Port read error"}));
    EXPECT_TRUE(rig.connection.IsConnected());
}

TEST(SettingCheck, PartialRecordKeepsTheConnectionForTheNextCheck) {
    webtest::ScaleGuard scale(0.05);
    std::string writeOk(2049, '\0');
    writeOk[0] = static_cast<char>(232);
    writeOk[1] = 1;
    RawServer::Script half;
    half.complete = [](const std::string& r) { return r.size() >= 2049; };
    half.steps = {{0, writeOk.substr(0, 1000)}};
    half.holdMs = 1500;
    RawServer server({half});
    Rig rig(80, server.Port());
    EXPECT_EQ(rig.web->CheckFacMode("127.0.0.1"), 2);
    EXPECT_EQ(rig.statuses, (std::vector<std::string>{"Socket Port write error"}));
    // Half a record within the window is a failed write: the connection stays, and the next
    // check drops the stale half and writes on it again without a new connection.
    EXPECT_TRUE(rig.connection.IsConnected());
    EXPECT_EQ(rig.web->CheckFacMode("127.0.0.1"), 2);
    EXPECT_EQ(server.Accepted(), 1);
    EXPECT_EQ(rig.process.Flushes(), 2u);
}

}  // namespace
