// A whole CPE upgrade in the Qt window (offscreen) against a simulated gateway in this process:
// the window's own run (RunQtWindow with the program's wiring), the start-up dialog answered and
// the Download button clicked through their widgets, the success box confirmed. PNGs of the
// ready, running and passed states are saved under the build folder (gui-shots/). And an export
// command of the command line run in the window.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <regex>

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QAbstractButton>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/wiring.h"
#include "form/control_ids.h"
#include "platform/clock.h"
#include "platform/fs.h"
#include "app/options.h"
#include "sim/gateway_sim.h"
#include "support/sha256_file.h"
#include "support/tool_harness.h"
#include "ui/qt/qt_form_window.h"
#include "ui/qt/qt_front_end.h"
#include "ui/qt/qt_startup_dialog.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kSuccess = "管理成功。\n点击【确定】按钮退出程序。";
constexpr int kLimitMs = 120000;

QString ShotPath(const char* name) {
    const QString dir = QString::fromUtf8(RK_BINARY_DIR) + "/gui-shots";
    QDir().mkpath(dir);
    return dir + "/" + name + ".png";
}

// What the driver saw in the window, checked after the run.
struct Seen {
    bool bDialogAnswered = false;
    bool bReadyShot = false;
    std::string readyStatus, readyProgress;
    bool bReadyDownloadEnabled = false;
    QRgb readyPicture = 0;
    bool bClicked = false;
    bool bRunningShot = false;
    int runningPercent = -1;
    bool bRunningDownloadEnabled = true;
    QRgb runningPicture = 0;
    bool bPassedShot = false;
    std::string passedStatus, passedProgress;
    int passedBar = -1;
    QRgb passedPicture = 0;
    std::vector<std::string> boxes;  // every message box: caption + "|" + text
    std::vector<std::string> okCaptions;  // the OK button's caption of each box
    std::vector<int> icons;               // the icon of each box
    std::string runningTimeLine;  // the time line under the form while an image is sent
    bool bWaitingShot = false;    // a shot while the time line shows a bounded wait
    std::string waitingTimeLine;
    std::string passedTimeLine;
    bool bTimedOut = false;
};

// Drives the window from its own GUI thread, every 20 ms.
class Driver {
public:
    Driver(CServiceToolApp& app, CFormWindow& window, Seen& seen)
        : m_app(app), m_window(window), m_seen(seen), m_timer(new QTimer(&window)) {
        m_deadline = plat::TickMs() + kLimitMs;
        m_app.View().Presenter().observers.onLineReady = [this](int line) {
            if (line == 0) m_bReady = true;
        };
        QObject::connect(m_timer, &QTimer::timeout, &window, [this] { Tick(); });
        m_timer->start(20);
    }

private:
    std::string Status() const {
        return static_cast<QPlainTextEdit*>(m_window.Control(ids::STATUS_0))->toPlainText().toStdString();
    }
    std::string Progress() const {
        return static_cast<QLabel*>(m_window.Control(ids::PROGRESS_TEXT_0))->text().toStdString();
    }
    std::string TimeLine() const {
        return static_cast<QLabel*>(m_window.Control(ids::TIME_LINE))->text().toStdString();
    }
    QRgb Picture() const {
        return m_window.Control(ids::PICTURE_0)->grab().toImage().pixel(16, 8) | 0xFF000000u;
    }
    bool Save(QWidget& w, const char* name) {
        const QPixmap shot = w.grab();
        return !shot.isNull() && shot.save(ShotPath(name));
    }

    void Tick() {
        if (plat::TickMs() > m_deadline) {
            m_seen.bTimedOut = true;
            QApplication::exit(99);
            return;
        }
        QWidget* modal = QApplication::activeModalWidget();
        if (auto* dialog = dynamic_cast<CTerminalIpDialog*>(modal)) {
            // The start-up dialog: the limit typed as the operator would, then OK.
            dialog->LimitEdit()->setText(" 7");
            Save(*dialog, "e2e_upgrade_startup_dialog");
            m_seen.bDialogAnswered = true;
            dialog->OkButton()->click();
            return;
        }
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            const std::string text = box->text().toStdString();
            m_seen.boxes.push_back(box->windowTitle().toStdString() + "|" + text);
            m_seen.icons.push_back(box->icon());
            if (box->button(QMessageBox::Ok)) m_seen.okCaptions.push_back(box->button(QMessageBox::Ok)->text().toStdString());
            if (text == kSuccess) {
                m_seen.passedStatus = Status();
                m_seen.passedProgress = Progress();
                m_seen.passedBar = static_cast<QProgressBar*>(m_window.Control(ids::PROGRESS_0))->value();
                m_seen.passedPicture = Picture();
                m_seen.passedTimeLine = TimeLine();
                m_seen.bPassedShot = Save(m_window, "e2e_upgrade_passed") && Save(*box, "e2e_upgrade_passed_message");
            }
            box->button(QMessageBox::Ok) ? box->button(QMessageBox::Ok)->click() : box->accept();
            return;
        }
        if (!m_window.isVisible()) return;
        auto* download = static_cast<QPushButton*>(m_window.Control(ids::DOWNLOAD_0));
        if (!m_seen.bClicked) {
            // Ready: a keep-alive pass enabled Download and the window shows it.
            if (!m_bReady || !download->isEnabled() || Status() != "连接完成") return;
            m_seen.readyStatus = Status();
            m_seen.readyProgress = Progress();
            m_seen.bReadyDownloadEnabled = download->isEnabled();
            m_seen.readyPicture = Picture();
            m_seen.bReadyShot = Save(m_window, "e2e_upgrade_ready");
            m_seen.bClicked = true;
            download->click();
            return;
        }
        // A bounded wait (the reboot's): the time line shows what is awaited and the time left.
        if (!m_seen.bWaitingShot && TimeLine().find("最多还需") != std::string::npos) {
            m_seen.waitingTimeLine = TimeLine();
            m_seen.bWaitingShot = Save(m_window, "e2e_upgrade_waiting");
        }
        // Running: a shot while an image is being sent; one taken during the Linux image ends it.
        if (m_seen.runningPercent >= 10) return;
        const ControlState picture = m_app.Form().Get(ids::PICTURE_0);
        int percent = 0;
        if (picture.nPicture != 1 || std::sscanf(Progress().c_str(), "%d/100", &percent) != 1) return;
        if (percent <= 0 || percent > 89 || percent <= m_seen.runningPercent) return;
        // (not while the gateway's reply to a sent image is awaited: the time line shows the wait)
        const std::string timeLine = TimeLine();
        if (timeLine.find("最多还需") != std::string::npos) return;
        m_seen.runningPercent = percent;
        m_seen.bRunningDownloadEnabled = download->isEnabled();
        m_seen.runningPicture = Picture();
        m_seen.runningTimeLine = timeLine;
        m_seen.bRunningShot = Save(m_window, "e2e_upgrade_running");
    }

    CServiceToolApp& m_app;
    CFormWindow& m_window;
    Seen& m_seen;
    QTimer* m_timer;  // owned by the window
    int64_t m_deadline = 0;
    std::atomic<bool> m_bReady{false};
};

// Runs the window as the program's main does (its set-up, RunQtWindow with the program's wiring)
// with every endpoint on `sim` and `extra` options, driven by a Driver. The window's trace lines
// (standard output) go to <base>/stdout.txt. Returns the exit status; -1 when the run could not
// be set up.
int RunDriven(const tool_harness::Sandbox& box, GatewaySim& sim, const std::vector<std::string>& extra, Seen& seen,
              bool& bDriven) {
    std::vector<std::string> args = {
        "rk880t-tool", "--root", box.root, "--program-folder", box.program, "--gateway", "127.0.0.1",
        "--no-arp-flush", "--web-port", std::to_string(sim.WebPort()), "--setting-port",
        std::to_string(sim.SettingPort()), "--link-port", "0", "--announce-to",
        "127.0.0.1:" + std::to_string(sim.AnnouncePort()), "--announce-address", "127.0.0.1", "--time-scale", "0.05"};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<const char*> argv;
    for (const auto& a : args) argv.push_back(a.c_str());
    const plat::ParseResult parsed = plat::ParseCommandLine(static_cast<int>(argv.size()), argv.data());
    EXPECT_TRUE(parsed.error.empty()) << parsed.error;
    if (!parsed.error.empty()) return -1;

    // The program's own set-up (main): its runtime folder, working folder, time scale and root.
    const fs::path oldCwd = fs::current_path();
    fs::permissions(box.run, fs::perms::owner_all, fs::perm_options::replace);
    ::setenv("XDG_RUNTIME_DIR", box.run.c_str(), 1);
    fs::current_path(box.cwd);
    plat::SetTimeScale(parsed.options.timeScale);
    plat::SetMachineRoot(parsed.options.root);

    // The window's trace lines go to standard output: caught in a file for the run.
    const std::string traceFile = box.base + "/stdout.txt";
    std::fflush(stdout);
    const int savedOut = ::dup(1);
    const int traceFd = ::open(traceFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    EXPECT_GE(traceFd, 0);
    if (traceFd < 0) return -1;
    ::dup2(traceFd, 1);
    ::close(traceFd);

    std::unique_ptr<Driver> driver;
    char arg0[] = "test_gui_upgrade";
    char* qtArgv[] = {arg0, nullptr};
    const int status = RunQtWindow(1, qtArgv, parsed.options, box.program, [&](CServiceToolApp& app) {
        WireApplication(app);
        CFormWindow* window = nullptr;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* f = dynamic_cast<CFormWindow*>(w)) window = f;
        if (window) driver = std::make_unique<Driver>(app, *window, seen);
    });
    bDriven = driver != nullptr;
    driver.reset();
    std::fflush(stdout);
    ::dup2(savedOut, 1);
    ::close(savedOut);
    plat::SetTimeScale(1.0);
    fs::current_path(oldCwd);
    return status;
}

TEST(GuiUpgrade, WholeUpgradeInTheWindowWithShots) {
    tool_harness::Sandbox box;
    GatewaySim sim;
    ASSERT_TRUE(sim.Start()) << sim.LastError();
    Seen seen;
    bool bDriven = false;
    const int status = RunDriven(box, sim, {}, seen, bDriven);
    const std::string traceFile = box.base + "/stdout.txt";

    ASSERT_TRUE(bDriven);  // the window was there to drive
    EXPECT_FALSE(seen.bTimedOut);
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(seen.bDialogAnswered);

    EXPECT_TRUE(seen.bReadyShot);
    EXPECT_EQ(seen.readyStatus, "连接完成");
    EXPECT_EQ(seen.readyProgress, "0/100");
    EXPECT_TRUE(seen.bReadyDownloadEnabled);
    EXPECT_EQ(seen.readyPicture, 0xFF006400u);

    EXPECT_TRUE(seen.bRunningShot);
    EXPECT_GT(seen.runningPercent, 0);
    EXPECT_FALSE(seen.bRunningDownloadEnabled);
    EXPECT_EQ(seen.runningPicture, 0xFFFF00FFu);
    // The time line under the form: the elapsed time, and during a wait what and for how long.
    EXPECT_TRUE(std::regex_match(seen.runningTimeLine, std::regex("已用时 \\d+秒"))) << seen.runningTimeLine;
    EXPECT_TRUE(seen.bWaitingShot);
    EXPECT_TRUE(std::regex_match(seen.waitingTimeLine,
                                 std::regex("已用时 \\d+秒　等待接入盒(回应|断开连接|重启)，最多还需 (\\d+分)?\\d+秒")))
        << seen.waitingTimeLine;

    EXPECT_TRUE(seen.bPassedShot);
    EXPECT_EQ(seen.passedStatus, kSuccess);
    EXPECT_EQ(seen.passedProgress, "100/100");
    EXPECT_EQ(seen.passedBar, 100);
    EXPECT_EQ(seen.passedPicture, 0xFF00FF00u);
    EXPECT_TRUE(std::regex_match(seen.passedTimeLine, std::regex("已用时 \\d+秒"))) << seen.passedTimeLine;
    EXPECT_EQ(seen.boxes, std::vector<std::string>{std::string("MG_RK880T_PDWA_CN_VEV1.00.00|") + kSuccess});
    EXPECT_EQ(seen.okCaptions, std::vector<std::string>{"确定"});
    EXPECT_EQ(seen.icons, std::vector<int>{QMessageBox::Warning});  // an OK box's default icon

    // The gateway got both images whole and the limit as typed into the dialog.
    const auto boot = sim.Image(CMD_DOWN_BOOT);
    const auto root = sim.Image(CMD_DOWN_LINUX);
    ASSERT_TRUE(boot.has_value());
    ASSERT_TRUE(root.has_value());
    EXPECT_EQ(boot->sha256, tool_harness::Sha256Of(std::string(RK_IMAGE_DIR) + "/uboot.img"));
    EXPECT_EQ(root->sha256, tool_harness::Sha256Of(std::string(RK_IMAGE_DIR) + "/root_uImage"));
    EXPECT_EQ(sim.Web().WifiLimits(), std::vector<std::string>{" 7"});
    EXPECT_FALSE(fs::exists(box.Version("root_uImage")));
    EXPECT_FALSE(fs::exists(box.Version("uboot.img")));
    const std::string ini = tool_harness::ReadText(box.root + "/Windows/System32/DerorEZ_LTE_RK19S2V1.00.00.ini");
    EXPECT_NE(ini.find("TotalCounts=1"), std::string::npos) << ini;
    EXPECT_NE(ini.find("SuccessCounts=1"), std::string::npos) << ini;

    // One trace per line (the debugger's messages carry no line break of their own).
    const std::string traces = tool_harness::ReadText(traceFile);
    EXPECT_TRUE(tool_harness::InOrder(traces, {"Tools Send: goformId=SwitchFactoryMode&SwitchCMD=Open\n",
                                               "Tools Send: goformId=SwitchFactoryMode&SwitchCMD=Query\n",
                                               "Initialize control ports 0 success\n"}));
    for (const std::string& l : tool_harness::Lines(traces))
        EXPECT_TRUE(l.rfind("Tools Send: ", 0) == 0 || l.rfind("Initialize control ports", 0) == 0) << l;
}

// --export-csv in the window acts as headless: the start-up without the link watcher, the export
// to the command line's path, the close path with 0, and nothing sent to the gateway.
TEST(GuiUpgrade, ExportCommandRunsInTheWindowAndSendsNothing) {
    tool_harness::Sandbox box;
    GatewaySim sim;
    ASSERT_TRUE(sim.Start()) << sim.LastError();
    const std::string csv = box.base + "/out.csv";
    Seen seen;
    bool bDriven = false;
    const int status = RunDriven(box, sim, {"--export-csv", csv}, seen, bDriven);
    ASSERT_TRUE(bDriven);
    EXPECT_FALSE(seen.bTimedOut);
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(seen.bDialogAnswered);
    EXPECT_FALSE(seen.bClicked);
    EXPECT_TRUE(fs::is_regular_file(csv));
    ASSERT_EQ(seen.boxes.size(), 1u);  // the export's success message
    EXPECT_NE(seen.boxes[0].find("CSV"), std::string::npos) << seen.boxes[0];
    const SimWebCounts counts = sim.Web().Counts();
    EXPECT_EQ(counts.webConnections, 0);
    EXPECT_EQ(counts.settingConnections, 0);
    EXPECT_TRUE(sim.Announcements().empty());
    EXPECT_EQ(sim.Connections(), 0);
    // Through the close path: the extracted images are gone.
    EXPECT_FALSE(fs::exists(box.Version("uboot.img")));
}

}  // namespace

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
