// The DIAG port switch of the form (the hidden restore-port buttons) against the simulated
// gateway: the application built and wired as the front ends build it, driven in-process with a
// scripted UI port and host, the button pressed once line 0 is ready.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <memory>
#include <mutex>

#include "app/app.h"
#include "app/wiring.h"
#include "form/console_fakes.h"
#include "form/control_ids.h"
#include "session/link_tasks.h"
#include "session/diag_port_switch.h"
#include "platform/clock.h"
#include "sim/gateway_sim.h"

namespace {

constexpr int kPortButton = 1140;  // line 0's "恢复端口"/"隐藏端口"
constexpr int kDownload = 1008;
constexpr int kModemVersion = 1000;
constexpr const char* kGmr = "M9615_V2.0.1";  // the "AT+GMR" version, not the link's modem text
constexpr int kLimitMs = 20000;

bool IsAt(const SimRequest& r) {
    return r.type == CMD_DATA && r.data.size() >= 2 && r.data[0] == 'A' && r.data[1] == 'T';
}

std::string AtText(const SimRequest& r) {
    std::string t(r.data.begin(), r.data.end());
    return t.substr(0, t.find('\r'));
}

class DiagPortSwitch : public ::testing::Test {
protected:
    DiagPortSwitch() {
        GatewaySimConfig config;
        config.knobs.gmrVersion = kGmr;
        sim = std::make_unique<GatewaySim>(config);
    }
    ~DiagPortSwitch() override {
        if (app) {
            app->View().Teardown();
            app.reset();
        }
        sim->Stop();
    }

    // The pristine record, the configuration file when asked for, the application wired as the
    // front ends wire it, its start-up, then the wait for line 0 to be ready.
    void StartApp(bool bConfigFile = false, int dataPort = 3, int diagPortFlag = 0) {
        ASSERT_TRUE(sim->Start()) << sim->LastError();
        std::ofstream(env.program + "/RecordCSV.sdi", std::ios::binary);
        if (bConfigFile) {
            // Eight zeroed line records but line 0's Data port number (offset 7528, little-endian).
            std::string cfg(64448, '\0');
            for (int i = 0; i < 4; ++i) cfg[7528 + i] = static_cast<char>((dataPort >> (8 * i)) & 0xFF);
            // Line 0's DIAG port flag (offset 7532).
            for (int i = 0; i < 4; ++i) cfg[7532 + i] = static_cast<char>((diagPortFlag >> (8 * i)) & 0xFF);
            std::ofstream(env.program + "/MG_RK880T_PDWA_CN_VEV1.00.00.cfg", std::ios::binary) << cfg;
        }
        AppConfig config;
        config.programFolder = env.program;
        plat::Endpoints& ep = config.options.endpoints;
        ep.gateway = "127.0.0.1";
        ep.bGatewayOverridden = true;
        ep.webPort = sim->WebPort();
        ep.settingPort = sim->SettingPort();
        ep.linkPort = 0;
        ep.announceHost = "127.0.0.1";
        ep.announcePort = sim->AnnouncePort();
        ep.announceAddress = "127.0.0.1";
        config.options.bNoArpFlush = true;
        app = std::make_unique<CServiceToolApp>(ui, host, process, config);
        CServiceToolView& view = app->View();
        view.Presenter().observers.onHistoryAppended = [this](int line, const std::string& entry) {
            std::lock_guard<std::mutex> lock(mutex);
            if (line == 0) history.push_back(Text(entry));
        };
        view.Presenter().observers.onLineReady = [this](int line) {
            if (line == 0) ++ready;
        };
        app->Form().AddListener([this](const ControlEvent& e) {
            if (e.id != kModemVersion && e.id != kDownload) return;
            std::lock_guard<std::mutex> lock(mutex);
            if (e.id == kModemVersion && e.what == ControlChange::Text) versions.push_back(app->Form().GetText(e.id));
            if (e.id == kDownload && e.what == ControlChange::Enabled)
                downloadStates.push_back(app->Form().IsEnabled(e.id));
        });
        WireApplication(*app);
        const StartOutcome start = app->InitInstance();
        ASSERT_TRUE(start.bRunning);
        ASSERT_TRUE(host.PumpUntil([this] { return ready.load() > 0; }, kLimitMs)) << Joined();
    }

    // The history text without its stamp.
    static std::string Text(const std::string& entry) {
        const std::string dash = "——";
        const size_t p = entry.find(dash);
        std::string t = p == std::string::npos ? entry : entry.substr(p + dash.size());
        while (!t.empty() && t.back() == '\n') t.pop_back();
        return t;
    }
    std::vector<std::string> History() {
        std::lock_guard<std::mutex> lock(mutex);
        return history;
    }
    std::string Joined() {
        std::string all;
        for (const std::string& t : History()) all += t + "\n";
        return all;
    }
    size_t HistoryCount(const std::string& text) {
        const auto h = History();
        return static_cast<size_t>(std::count(h.begin(), h.end(), text));
    }

    // Presses the port button and waits for the switch's status text (one of `results`); then
    // waits until the watcher has answered a keep-alive again and shown the line ready.
    std::string Press(const std::vector<std::string>& results, int button = kPortButton) {
        const size_t before = History().size();
        {
            std::lock_guard<std::mutex> lock(mutex);
            versions.clear();
            downloadStates.clear();
        }
        sim->ClearReport();
        app->View().OnCommand(button);
        std::string result;
        const bool bDone = host.PumpUntil(
            [&] {
                const auto h = History();
                for (size_t i = before; i < h.size(); ++i)
                    for (const std::string& r : results)
                        if (h[i] == r) result = r;
                return !result.empty();
            },
            kLimitMs);
        EXPECT_TRUE(bDone) << Joined();
        return result;
    }

    // After the switch: the watcher runs again, its keep-alive is answered, "连接完成" follows the
    // switch's text and Download is enabled.
    void ExpectLineStillReady(const std::string& resultText) {
        const int readyBefore = ready.load();
        ASSERT_TRUE(host.PumpUntil([&] { return ready.load() > readyBefore; }, kLimitMs)) << Joined();
        const auto h = History();
        const auto at = std::find(h.begin(), h.end(), resultText);
        ASSERT_NE(at, h.end());
        EXPECT_NE(std::find(at, h.end(), "连接完成"), h.end());
        EXPECT_TRUE(app->Form().IsEnabled(kDownload));
        EXPECT_TRUE(app->Doc().Line(0).bChannelOpen.load());
        const auto types = sim->RequestTypes();
        EXPECT_NE(std::find(types.begin(), types.end(), CMD_GET_TEXT), types.end());
        // The keep-alive stood still while the AT commands ran: none of its queries lies between
        // the first and the last AT command.
        const auto requests = sim->Requests();
        size_t first = requests.size(), last = 0;
        for (size_t i = 0; i < requests.size(); ++i) {
            if (!IsAt(requests[i])) continue;
            first = std::min(first, i);
            last = i;
        }
        for (size_t i = first; i < last && i < requests.size(); ++i)
            EXPECT_TRUE(requests[i].type != CMD_GET_TEXT && requests[i].type != CMD_GET_DATA) << i;
        // The same connection throughout.
        EXPECT_EQ(sim->Connections(), 1);
    }

    std::vector<std::string> AtCommands() {
        std::vector<std::string> out;
        for (const SimRequest& r : sim->Requests())
            if (IsAt(r)) out.push_back(AtText(r));
        return out;
    }

    std::string Caption() { return app->Form().GetText(kPortButton); }
    // The caption is set just after the status text the press waits for: give it a moment.
    std::string CaptionSettled(const std::string& expected) {
        const int64_t end = plat::TickMs() + 5000;
        while (Caption() != expected && plat::TickMs() < end) plat::SleepRaw(10);
        return Caption();
    }

    fakes::TempEnv env;
    fakes::FakeUi ui;
    fakes::FakeHost host;
    fakes::FakeProcess process;
    std::unique_ptr<GatewaySim> sim;
    std::unique_ptr<CServiceToolApp> app;

    std::mutex mutex;
    std::vector<std::string> history;
    std::vector<std::string> versions;
    std::vector<bool> downloadStates;
    std::atomic<int> ready{0};
};

TEST_F(DiagPortSwitch, ShowsThenHidesThenShowsAgainThroughTheButton) {
    StartApp();
    app->Doc().SetLineInt(0, LineField::PortNumber, 3);
    EXPECT_EQ(CaptionSettled("恢复端口"), "恢复端口");

    // The flag starts at "hidden": the first press shows the port. The modem reports mode 6
    // already, so AT+KDIAG? is enough; the version comes from AT+GMR.
    EXPECT_EQ(Press({AT_TEXT_SHOW_OK, AT_TEXT_SHOW_FAILED}), AT_TEXT_SHOW_OK);
    EXPECT_EQ(AtCommands(), (std::vector<std::string>{"AT+KDIAG?", "AT+GMR"}));
    EXPECT_EQ(CaptionSettled("隐藏端口"), "隐藏端口");
    {
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_NE(std::find(versions.begin(), versions.end(), kGmr), versions.end());
        // Download off during the switch, on again after it.
        ASSERT_GE(downloadStates.size(), 2u);
        EXPECT_FALSE(downloadStates.front());
    }
    ExpectLineStillReady(AT_TEXT_SHOW_OK);
    EXPECT_EQ(sim->Modem().AtDiagMode(), 6);

    // The second press hides it: AT+KDIAG=1.
    EXPECT_EQ(Press({AT_TEXT_HIDE_OK, AT_TEXT_HIDE_FAILED}), AT_TEXT_HIDE_OK);
    EXPECT_EQ(AtCommands(), (std::vector<std::string>{"AT+KDIAG=1"}));
    EXPECT_EQ(sim->Modem().AtDiagMode(), 1);
    EXPECT_EQ(CaptionSettled("恢复端口"), "恢复端口");
    {
        std::lock_guard<std::mutex> lock(mutex);
        ASSERT_FALSE(versions.empty());
        EXPECT_EQ(versions.front(), "");  // the version text is emptied
    }
    ExpectLineStillReady(AT_TEXT_HIDE_OK);

    // The third shows it again; the modem is in mode 1 now, so AT+KDIAG=6 is sent.
    EXPECT_EQ(Press({AT_TEXT_SHOW_OK, AT_TEXT_SHOW_FAILED}), AT_TEXT_SHOW_OK);
    EXPECT_EQ(AtCommands(), (std::vector<std::string>{"AT+KDIAG?", "AT+KDIAG=6", "AT+GMR"}));
    EXPECT_EQ(sim->Modem().AtDiagMode(), 6);
    EXPECT_EQ(CaptionSettled("隐藏端口"), "隐藏端口");
    ExpectLineStillReady(AT_TEXT_SHOW_OK);
    EXPECT_TRUE(ui.Texts().empty());
}

TEST_F(DiagPortSwitch, ASilentModemFailsEachDirectionAndTheLineStaysReady) {
    StartApp(true);  // the Data port number from the configuration file
    EXPECT_EQ(app->Doc().GetLineInt(0, LineField::PortNumber), 3);
    sim->UpdateKnobs([](SimKnobs& k) { k.bSilentAt = true; });
    // Show fails: both commands unanswered (three tries each); the version text is "No Phone".
    EXPECT_EQ(Press({AT_TEXT_SHOW_OK, AT_TEXT_SHOW_FAILED}), AT_TEXT_SHOW_FAILED);
    EXPECT_EQ(AtCommands(), (std::vector<std::string>{"AT+KDIAG?", "AT+KDIAG?", "AT+KDIAG?", "AT+KDIAG=6",
                                                      "AT+KDIAG=6", "AT+KDIAG=6"}));
    EXPECT_EQ(CaptionSettled("恢复端口"), "恢复端口");
    {
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_NE(std::find(versions.begin(), versions.end(), "No Phone"), versions.end());
    }
    ExpectLineStillReady(AT_TEXT_SHOW_FAILED);

    // Once shown, the hide fails the same way and the flag stays.
    sim->UpdateKnobs([](SimKnobs& k) { k.bSilentAt = false; });
    EXPECT_EQ(Press({AT_TEXT_SHOW_OK, AT_TEXT_SHOW_FAILED}), AT_TEXT_SHOW_OK);
    ExpectLineStillReady(AT_TEXT_SHOW_OK);
    sim->UpdateKnobs([](SimKnobs& k) { k.bSilentAt = true; });
    EXPECT_EQ(Press({AT_TEXT_HIDE_OK, AT_TEXT_HIDE_FAILED}), AT_TEXT_HIDE_FAILED);
    EXPECT_EQ(AtCommands(), (std::vector<std::string>{"AT+KDIAG=1", "AT+KDIAG=1", "AT+KDIAG=1"}));
    EXPECT_EQ(CaptionSettled("隐藏端口"), "隐藏端口");
    EXPECT_EQ(sim->Modem().AtDiagMode(), 6);
    ExpectLineStillReady(AT_TEXT_HIDE_FAILED);
}

TEST_F(DiagPortSwitch, ASecondPressWhileTheSwitchRunsWaitsForIt) {
    // A second press runs after the first, as on a blocked GUI thread: show, then hide. Neither runs beside the other or beside the keep-alive.
    StartApp();
    app->Doc().SetLineInt(0, LineField::PortNumber, 3);
    sim->ClearReport();
    app->View().OnCommand(kPortButton);
    app->View().OnCommand(kPortButton);
    const int readyBefore = ready.load();
    ASSERT_TRUE(host.PumpUntil([&] { return HistoryCount(AT_TEXT_HIDE_OK) + HistoryCount(AT_TEXT_HIDE_FAILED) > 0; },
                               kLimitMs))
        << Joined();
    {
        const auto h = History();
        const auto shown = std::find(h.begin(), h.end(), AT_TEXT_SHOW_OK);
        ASSERT_NE(shown, h.end()) << Joined();
        EXPECT_NE(std::find(shown, h.end(), AT_TEXT_HIDE_OK), h.end()) << Joined();
        EXPECT_EQ(HistoryCount(AT_TEXT_SHOW_OK), 1u) << Joined();
        // No "连接完成" between the two: the watcher stayed paused until the last switch ended.
        EXPECT_EQ(std::find(shown, h.end(), "连接完成"), h.end()) << Joined();
    }
    EXPECT_EQ(AtCommands(), (std::vector<std::string>{"AT+KDIAG?", "AT+GMR", "AT+KDIAG=1"}));
    EXPECT_EQ(sim->Modem().AtDiagMode(), 1);
    EXPECT_EQ(CaptionSettled("恢复端口"), "恢复端口");
    ASSERT_TRUE(host.PumpUntil([&] { return ready.load() > readyBefore; }, kLimitMs)) << Joined();
    ExpectLineStillReady(AT_TEXT_HIDE_OK);
}

TEST_F(DiagPortSwitch, ALineWithoutADataPortNumberIsRefused) {
    StartApp();
    ASSERT_EQ(app->Doc().GetLineInt(0, LineField::PortNumber), 0);
    EXPECT_EQ(Press({AT_TEXT_NO_DATA_PORT}), AT_TEXT_NO_DATA_PORT);
    EXPECT_TRUE(AtCommands().empty());
    EXPECT_EQ(CaptionSettled("恢复端口"), "恢复端口");
    ExpectLineStillReady(AT_TEXT_NO_DATA_PORT);
}

TEST_F(DiagPortSwitch, TheStartUpRunWithTheFlagSetFindsNoDataPortYet) {
    // Start-up step 18 runs the switch before the link watcher has opened the line's channel.
    StartApp(true, 3, 1);
    const auto h = History();
    ASSERT_FALSE(h.empty());
    EXPECT_EQ(h.front(), AT_TEXT_CHANNEL_CLOSED) << Joined();
    EXPECT_TRUE(AtCommands().empty());
    EXPECT_EQ(CaptionSettled("恢复端口"), "恢复端口");
}

TEST_F(DiagPortSwitch, TheAllLinesButtonSwitchesLineZeroAndRefusesTheOthers) {
    StartApp();
    app->Doc().SetLineInt(0, LineField::PortNumber, 3);
    EXPECT_EQ(Press({AT_TEXT_SHOW_OK, AT_TEXT_SHOW_FAILED}, 1147), AT_TEXT_SHOW_OK);
    EXPECT_EQ(AtCommands(), (std::vector<std::string>{"AT+KDIAG?", "AT+GMR"}));
    EXPECT_EQ(CaptionSettled("隐藏端口"), "隐藏端口");
    ExpectLineStillReady(AT_TEXT_SHOW_OK);
    // Lines 1 to 7 have no Data port number.
    for (int line = 1; line < 8; ++line) {
        const std::string h = app->View().Doc().Line(line).History();
        EXPECT_NE(h.find(AT_TEXT_NO_DATA_PORT), std::string::npos) << line;
    }
}

// The same in-process application, for the watcher's end and the modem reset of EndTask.
using InProcessApp = DiagPortSwitch;

// After the communication error the link watcher ends: no further request goes to the gateway
// and the line's status stays where the error left it, while the window closes.
TEST_F(InProcessApp, LinkWatcherEndsAfterTheCommunicationError) {
    StartApp();
    sim->UpdateKnobs([](SimKnobs& k) { k.silentTypes = {CMD_GET_TEXT, CMD_GET_DATA}; });
    const auto shown = [this] {
        const auto t = ui.Texts();
        return std::find(t.begin(), t.end(), upgrade_text::COMM_ERROR) != t.end();
    };
    ASSERT_TRUE(host.PumpUntil(shown, 60000)) << Joined();
    // The bye left before the message; the simulator may take a moment to read it.
    const auto byeLast = [this] {
        const auto r = sim->Requests();
        return !r.empty() && r.back().type == CMD_BYE;
    };
    EXPECT_TRUE(host.PumpUntil(byeLast, 5000));
    const size_t requests = sim->Requests().size();
    ASSERT_GT(requests, 0u);
    EXPECT_EQ(sim->Requests().back().type, CMD_BYE);
    const size_t entries = History().size();
    // Longer than two passes of the watcher's loop at this time scale.
    host.PumpUntil([] { return false; }, 2000);
    EXPECT_EQ(sim->Requests().size(), requests);
    EXPECT_EQ(History().size(), entries) << Joined();
    ASSERT_FALSE(host.exitRequests.empty());
    EXPECT_EQ(host.exitRequests.front().first, 2);
}

// EndTask codes 0, 2 and 4 reset the line's modem (code 4 after stopping the link server);
// code 1 does not. The reset has to reach the simulated modem.
TEST_F(InProcessApp, EndTaskCodesZeroTwoAndFourResetTheModem) {
    StartApp();
    bool bPaused = false;
    app->Lines()->Threads().PauseWatcher(0, [&] { bPaused = true; });
    ASSERT_TRUE(host.PumpUntil([&] { return bPaused; }, kLimitMs));
    for (int code : {1, 0, 2, 4}) {
        const int before = sim->Modem().Resets();
        app->Lines()->Session(0).End(0, "x", static_cast<LineOutcome>(code));
        EXPECT_EQ(sim->Modem().Resets(), before + (code == 1 ? 0 : 1)) << code;
    }
}

}  // namespace
