// The view: start-up, commands, the close path, the console operations and the watcher pause.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>

#include "model/document.h"
#include "form/control_ids.h"
#include "model/version_source.h"
#include "form/view.h"
#include "session/line_session.h"
#include "console_fakes.h"
#include "../support/fake_line_work.h"

namespace {

std::tm MakeTime(int y, int mo, int d, int h, int mi, int s) {
    std::tm t{};
    t.tm_year = y - 1900;
    t.tm_mon = mo - 1;
    t.tm_mday = d;
    t.tm_hour = h;
    t.tm_min = mi;
    t.tm_sec = s;
    return t;
}

class ViewTest : public ::testing::Test {
protected:
    ViewTest() { MakeView(); }

    void MakeView(ViewConfig config = {}, plat::Endpoints endpoints = {}) {
        view.reset();  // its teardown shuts the lines down
        lines.reset();
        if (config.programFolder.empty()) config.programFolder = env.program;
        view = std::make_unique<CServiceToolView>(doc, form, ui, host, process, counts, config);
        view->Presenter().SetTimeSource([] { return MakeTime(2014, 3, 7, 9, 5, 1); });
        lines = std::make_unique<CLineSessions>(CLineSessions::Deps{
            doc, view->Presenter(), process, [this](std::function<void()> fn) { host.PostToGui(std::move(fn)); }, endpoints});
        lines->SetWork(&work);
        view->AttachLines(lines.get());
    }
    ~ViewTest() override {
        if (view) view->Teardown();
    }
    StartOutcome Start() {
        const StartOutcome out = view->OnInitialUpdate();
        ui.Clear();
        return out;
    }

    fakes::TempEnv env;
    fakes::FakeUi ui;
    fakes::FakeHost host;
    fakes::FakeProcess process;
    CServiceToolDoc doc;
    CFormModel form;
    CCountsInfo counts;
    FakeLineWork work;
    std::unique_ptr<CServiceToolView> view;
    std::unique_ptr<CLineSessions> lines;
};

// ---- Console operations ----

TEST_F(ViewTest, StatusStampHasNoLeadingZerosAndTheControlShowsTheTextAlone) {
    std::vector<std::string> entries;
    view->Presenter().observers.onHistoryAppended = [&](int line, const std::string& e) {
        entries.push_back(std::to_string(line) + ":" + e);
    };
    view->Presenter().Status(0, "连接完成");
    EXPECT_EQ(view->Doc().Line(0).History(), "2014.3.7 9:5:1——连接完成\n");
    EXPECT_EQ(form.GetText(ids::STATUS_0), "连接完成");
    view->Presenter().Status(0, "管理成功。\n点击【确定】按钮退出程序。", false);
    EXPECT_EQ(view->Doc().Line(0).History(), "2014.3.7 9:5:1——连接完成\n管理成功。\n点击【确定】按钮退出程序。\n");
    EXPECT_EQ(form.GetText(ids::STATUS_0), "管理成功。\n点击【确定】按钮退出程序。");
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[1], "0:管理成功。\n点击【确定】按钮退出程序。\n");
    // Two-digit values stay as they are.
    view->Presenter().SetTimeSource([] { return MakeTime(2026, 12, 31, 23, 59, 58); });
    view->Presenter().Status(3, "x");
    EXPECT_EQ(view->Doc().Line(3).History(), "2026.12.31 23:59:58——x\n");
    EXPECT_EQ(form.GetText(ids::STATUS_0 + 3), "x");
    EXPECT_EQ(entries.back(), "3:2026.12.31 23:59:58——x\n");
}

TEST_F(ViewTest, ProgressIsClampedAndZeroResetsTheRange) {
    view->Presenter().Progress(0, 150);
    EXPECT_EQ(form.GetText(ids::PROGRESS_TEXT_0), "100/100");
    EXPECT_EQ(form.Get(ids::PROGRESS_0).nPos, 100);
    form.SetProgressRange(ids::PROGRESS_0, 0, 50);
    view->Presenter().Progress(0, -5);
    EXPECT_EQ(form.GetText(ids::PROGRESS_TEXT_0), "0/100");
    EXPECT_EQ(form.Get(ids::PROGRESS_0).nMax, 100);
    EXPECT_EQ(form.Get(ids::PROGRESS_0).nPos, 0);
    view->Presenter().Progress(7, 42);
    EXPECT_EQ(form.GetText(ids::PROGRESS_TEXT_0 + 7), "42/100");
    EXPECT_EQ(form.Get(ids::PROGRESS_0 + 7).nPos, 42);
}

TEST_F(ViewTest, PictureKindsOutsideTheTableChangeNothing) {
    std::vector<std::pair<int, int>> seen;
    view->Presenter().observers.onPictureSet = [&](int line, int kind) { seen.push_back({line, kind}); };
    view->Presenter().Picture(0, PIC_OFFLINE);
    view->Presenter().Picture(0, 5);
    view->Presenter().Picture(0, -1);
    EXPECT_EQ(form.Get(ids::PICTURE_0).nPicture, PIC_OFFLINE);
    EXPECT_EQ(view->Presenter().m_nLastPicture.load(), PIC_OFFLINE);
    view->Presenter().Picture(2, PIC_PASS);
    view->Presenter().Picture(2, PIC_PASS);  // a repeat is a set too
    EXPECT_EQ(form.Get(ids::PICTURE_0 + 2).nPicture, PIC_PASS);
    EXPECT_EQ(view->Presenter().m_nLastPictureLine.load(), 2);
    EXPECT_EQ(seen, (std::vector<std::pair<int, int>>{{0, 4}, {2, 2}, {2, 2}}));
    // Repaint shows the last kind in line 0's picture.
    view->OnPaint();
    EXPECT_EQ(form.Get(ids::PICTURE_0).nPicture, PIC_PASS);
}

TEST_F(ViewTest, VersionTextsGoToTheirControls) {
    view->Doc().Line(0).SetModemVersion("PD_WA_RK880T_V1");
    view->Doc().Line(0).SetCpeVersion("CPE 2.0");
    view->Doc().Line(1).SetCpeVersion("CPE B");
    view->Presenter().VersionsChanged(0);
    view->Presenter().VersionsChanged(1);
    EXPECT_EQ(form.GetText(1000), "PD_WA_RK880T_V1");
    EXPECT_EQ(form.GetText(1047), "CPE 2.0");
    EXPECT_EQ(form.GetText(1052), "CPE B");
    EXPECT_EQ(form.GetText(1001), "");
}

TEST_F(ViewTest, UpdateLineControlsBusyAndAllBusy) {
    const int locked[] = {1081, 1136, 1121, 1135, 1131, 1134, 1164, 1165, 1168, 1169, 1133, 1132, 1138, 1147,
                          1109, 1154, 1156, 1158, 1159, 1162, 1140, 1141, 1142, 1143, 1144, 1145, 1146, 1148};
    for (int id : locked) form.Enable(id, false);
    view->Presenter().UpdateLineControls(0, true);
    for (int id : locked) EXPECT_TRUE(form.IsEnabled(id)) << id;
    EXPECT_FALSE(form.IsEnabled(ids::STOP_ALL));
    EXPECT_TRUE(form.IsEnabled(ids::START_ALL));
    EXPECT_TRUE(form.IsEnabled(1008));
    EXPECT_FALSE(form.IsEnabled(1016));
    // Not in the lists: untouched.
    form.Enable(1160, false);
    view->Presenter().UpdateLineControls(0, true);
    EXPECT_FALSE(form.IsEnabled(1160));

    doc.Line(3).bRunning = 1;
    view->Presenter().UpdateLineControls(3, false);
    for (int id : locked) EXPECT_FALSE(form.IsEnabled(id)) << id;
    EXPECT_TRUE(form.IsEnabled(ids::STOP_ALL));
    EXPECT_TRUE(form.IsEnabled(ids::START_ALL));
    EXPECT_FALSE(form.IsEnabled(1011));
    EXPECT_TRUE(form.IsEnabled(1019));

    for (auto& state : doc.Lines()) state.bRunning = 1;
    view->Presenter().UpdateLineControls(0, false);
    EXPECT_FALSE(form.IsEnabled(ids::START_ALL));
    EXPECT_TRUE(form.IsEnabled(ids::STOP_ALL));

    for (auto& state : doc.Lines()) state.bRunning = 0;
    view->Presenter().m_bAllReleased = true;
    view->Presenter().UpdateLineControls(0, true);
    EXPECT_FALSE(form.IsEnabled(ids::START_ALL));
    EXPECT_TRUE(form.IsEnabled(ids::STOP_ALL));
    EXPECT_FALSE(form.IsEnabled(1164));
}

TEST_F(ViewTest, StopAllWhileATaskRunsUnlocksTheControls) {
    std::atomic<bool> release{false};
    std::atomic<bool> finished{false};
    doc.Line(0).bRunning = 1;
    view->Presenter().UpdateLineControls(0, false);
    ASSERT_TRUE(lines->StartThread(0, [&](int) {
        while (!release && !plat::StopRequested()) plat::SleepRaw(2);
        finished = true;
    }));
    EXPECT_FALSE(form.IsEnabled(1164));
    view->OnCommand(ids::STOP_ALL);
    EXPECT_EQ(doc.Line(0).bRunning.load(), 0);
    EXPECT_TRUE(form.IsEnabled(1164));
    EXPECT_TRUE(form.IsEnabled(ids::START_ALL));
    EXPECT_FALSE(form.IsEnabled(ids::STOP_ALL));
    EXPECT_FALSE(finished);  // the task goes on
    release = true;
    view->Teardown();
    EXPECT_TRUE(finished);
}

TEST_F(ViewTest, StopLineClearsOnlyThatLine) {
    doc.Line(1).bRunning = 1;
    doc.Line(2).bRunning = 1;
    view->OnCommand(ids::STOP_LINE_0 + 2);
    EXPECT_EQ(doc.Line(1).bRunning.load(), 1);
    EXPECT_EQ(doc.Line(2).bRunning.load(), 0);
}

TEST_F(ViewTest, ModeRadiosFollowTheModeTable) {
    const int expectTask[] = {1, 1, 3, 4};
    for (int i = 0; i < 4; ++i) {
        view->OnCommand(ids::MODE_RADIOS[i]);
        EXPECT_EQ(doc.m_nMode.load(), i);
        EXPECT_EQ(view->Presenter().m_nRadioMode.load(), i);
        EXPECT_EQ(static_cast<int>(doc.Line(0).nTaskType.load()), expectTask[i]);
        EXPECT_TRUE(form.IsChecked(ids::MODE_RADIOS[i]));
        for (int j = 0; j < 4; ++j) {
            if (j != i) {
                EXPECT_FALSE(form.IsChecked(ids::MODE_RADIOS[j]));
            }
        }
    }
    // The per-line task radios set the line's task type.
    view->OnCommand(1048);
    EXPECT_EQ(doc.Line(1).nTaskType.load(), TaskType::NvRestore);
    view->OnCommand(1071);
    EXPECT_EQ(doc.Line(7).nTaskType.load(), TaskType::Repair);
}

TEST_F(ViewTest, EndTaskCodeFiveWithoutDownloadModeShowsOnlyTheClosingMessage) {
    doc.Line(0).bRunning = 1;
    doc.m_nMode = MODE_MODEM_AND_CPE;
    view->Presenter().Progress(0, 93);
    lines->Session(0).End(0, "Light fail!", LineOutcome::FailedClosing);
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0].text, "如果再次管理wifi，请关闭工具软件和设备。按照操作说明重新进行升级操作。");
    EXPECT_EQ(ui.messages[0].caption, "MG_RK880T_PDWA_CN_VEV1.00.00");
    EXPECT_EQ(view->Doc().Line(0).History(), "2014.3.7 9:5:1——Light fail!\n2014.3.7 9:5:1——Light fail!\n");
    EXPECT_EQ(form.Get(ids::PICTURE_0).nPicture, PIC_FAIL);
    EXPECT_EQ(doc.Line(0).bRunning.load(), 0);
    EXPECT_EQ(form.GetText(ids::PROGRESS_TEXT_0), "0/100");
    EXPECT_EQ(form.Get(ids::PROGRESS_0).nPos, 0);
    EXPECT_TRUE(form.IsChecked(ids::MODE_MODEM_AND_CPE));
    EXPECT_EQ(doc.Line(0).nTaskType.load(), TaskType::CpeUpgrade);
    EXPECT_EQ(lines->Session(0).LastOutcome(), LineOutcome::FailedClosing);
}

TEST_F(ViewTest, EndTaskCodeFiveInDownloadModeAddsTheLineFailureBox) {
    work.isDownloadMode = [](int) { return true; };
    lines->Session(2).End(2, "x", LineOutcome::FailedClosing);
    ASSERT_EQ(ui.messages.size(), 2u);
    EXPECT_EQ(ui.messages[0].text, "线路3任务失败，请手动重启相应设备");
    EXPECT_EQ(ui.messages[1].text, "如果再次管理wifi，请关闭工具软件和设备。按照操作说明重新进行升级操作。");
}

TEST_F(ViewTest, EndTaskCodesThreeAndFourStopTheLinkServerAndFourResetsTheModem) {
    int stops = 0;
    std::vector<std::pair<int, bool>> resets;
    work.stopLinkServer = [&] { ++stops; };
    work.resetModem = [&](int line, bool download) { resets.push_back({line, download}); };
    doc.m_nMode = MODE_BACKUP_NV;
    lines->Session(0).End(0, "版本校验失败!", LineOutcome::FailedStopLink);
    EXPECT_EQ(stops, 1);
    EXPECT_TRUE(lines->Session(0).HandshakePending());
    EXPECT_TRUE(resets.empty());
    EXPECT_TRUE(form.IsChecked(ids::MODE_BACKUP_NV));
    EXPECT_EQ(doc.Line(0).nTaskType.load(), TaskType::NvBackup);

    lines->Session(0).SetHandshakePending(false);
    lines->Session(0).End(0, "y", LineOutcome::FailedResetStopLink);
    EXPECT_EQ(stops, 2);
    EXPECT_TRUE(lines->Session(0).HandshakePending());
    EXPECT_EQ(resets, (std::vector<std::pair<int, bool>>{{0, false}}));
    EXPECT_EQ(form.Get(ids::PICTURE_0).nPicture, PIC_FAIL);

    lines->Session(1).End(1, "ok", LineOutcome::Passed);
    EXPECT_EQ(form.Get(ids::PICTURE_0 + 1).nPicture, PIC_PASS);
    EXPECT_EQ(resets.size(), 2u);
    EXPECT_EQ(lines->Session(1).LastOutcome(), LineOutcome::Passed);
    lines->Session(1).End(1, "ok", LineOutcome::PassedAsIs);
    EXPECT_EQ(resets.size(), 2u);

    // Code 2: a failure that resets the modem and leaves the link server alone.
    lines->Session(2).End(2, "z", LineOutcome::FailedResetModem);
    EXPECT_EQ(form.Get(ids::PICTURE_0 + 2).nPicture, PIC_FAIL);
    EXPECT_EQ(resets.back(), (std::pair<int, bool>{2, false}));
    EXPECT_EQ(stops, 2);
    EXPECT_EQ(lines->Session(2).LastOutcome(), LineOutcome::FailedResetModem);
}

TEST_F(ViewTest, ClockShowsMonthDayYearHourMinute) {
    view->OnTimer(77);
    EXPECT_EQ(form.GetText(ids::NOW_TIME), "03/07/2014 09:05");
}

// ---- Start-up ----

TEST_F(ViewTest, TheLogsFolderIsMadeInAWorkingFolderOfAnyLength) {
    // Past 100 characters too: the line log writes there.
    const std::string deep = env.cwd + "/" + std::string(120, 'd');
    ASSERT_TRUE(plat::EnsureFolder(deep));
    ASSERT_EQ(::chdir(deep.c_str()), 0);
    ASSERT_TRUE(Start().bRunning);
    EXPECT_TRUE(plat::PathExists(deep + "/Logs"));
}

TEST_F(ViewTest, StartUpRunsEveryStep) {
    const StartOutcome out = Start();
    ASSERT_TRUE(out.bRunning);
    EXPECT_TRUE(plat::IsRegularFile(env.VersionFile("root_uImage")));
    EXPECT_TRUE(plat::IsRegularFile(env.VersionFile("uboot.img")));
    EXPECT_TRUE(plat::PathExists(env.cwd + "/Logs"));
    EXPECT_EQ(host.title, "MG_RK880T_PDWA_CN_VEV1.00.00 (rk880t-tool " RK880T_VERSION ")");
    EXPECT_EQ(host.Timers().at(1), plat::Scaled(50000));
    EXPECT_EQ(form.GetText(ids::NOW_TIME), "03/07/2014 09:05");
    EXPECT_EQ(form.GetText(ids::NOW_COUNTS), "0/0");
    EXPECT_EQ(form.GetText(ids::ALL_COUNTS), "0/0");
    EXPECT_EQ(form.GetText(ids::CLEAR_TIME), "0/0/0 00:00");
    EXPECT_EQ(form.GetText(1008), "执行");
    EXPECT_EQ(form.GetText(1172), "管理信息：");
    EXPECT_EQ(form.GetText(1199), "3：执行过程中请不要关闭程序，否则可能会导致设备无法使用。");
    EXPECT_TRUE(form.IsChecked(ids::NV_OPTION_2));
    EXPECT_TRUE(form.IsChecked(1040));
    EXPECT_TRUE(form.IsChecked(ids::ERASE_BOOT));
    EXPECT_EQ(form.Get(1008).nImage, 140);
    EXPECT_EQ(form.Get(1016).nImage, 141);
    EXPECT_TRUE(form.IsEnabled(1008));
    EXPECT_EQ(form.GetText(ids::PROGRESS_TEXT_0), "0/100");
    EXPECT_EQ(form.GetText(1047), "NULL");
    EXPECT_TRUE(lines->Session(0).HandshakePending());
    EXPECT_TRUE(form.IsChecked(ids::MODE_MODEM_AND_CPE));
    EXPECT_FALSE(form.IsChecked(ids::MODE_CPE_ONLY));
    EXPECT_EQ(doc.m_nMode.load(), MODE_MODEM_AND_CPE);
    EXPECT_EQ(view->TerminalIp(), "192.168.0.1");
    EXPECT_EQ(view->Doc().m_strWifiMaxNum, "32");
    EXPECT_EQ(doc.GetLineText(0, LineField::RootImage), env.VersionFile("root_uImage"));
    EXPECT_TRUE(host.exitNow.empty());
    // The watcher's start flushes the ARP cache of the gateway.
    EXPECT_EQ(process.calls, std::vector<std::string>{"arp 192.168.0.1"});
}

TEST_F(ViewTest, StartUpStartsTheWatcherWithTheGatewayOverride) {
    plat::Endpoints endpoints;
    endpoints.gateway = "127.0.0.1";
    endpoints.bGatewayOverridden = true;
    MakeView({}, endpoints);
    std::atomic<int> seenLine{-1};
    work.linkWatchThread = [&](int line) {
        seenLine = line;
        while (lines->Threads().SafeSleep(line, 100)) {
        }
    };
    ASSERT_TRUE(Start().bRunning);
    EXPECT_EQ(process.calls, std::vector<std::string>{"arp 127.0.0.1"});
    EXPECT_TRUE(host.PumpUntil([&] { return seenLine == 0; }));
    EXPECT_TRUE(lines->Threads().HasLiveWatcher(0));
    view->Teardown();
    EXPECT_FALSE(lines->Threads().HasLiveWatcher(0));
}

TEST_F(ViewTest, SecondInstanceShowsTheMessageAndEnds) {
    ASSERT_TRUE(Start().bRunning);
    CServiceToolDoc doc2;
    CFormModel form2;
    fakes::FakeUi ui2;
    fakes::FakeHost host2;
    CServiceToolView second(doc2, form2, ui2, host2, process, counts, {env.program, true});
    const StartOutcome out = second.OnInitialUpdate();
    EXPECT_FALSE(out.bRunning);
    EXPECT_EQ(ui2.Texts(), std::vector<std::string>{"程序已经运行!"});
    EXPECT_EQ(host2.exitNow, std::vector<int>{0});
    EXPECT_EQ(host2.dialogRuns, 0);
}

TEST_F(ViewTest, CancelledDialogEndsBeforeAnyFolderIsMade) {
    host.dialogEnd = DialogEnd::Cancel;
    const StartOutcome out = view->OnInitialUpdate();
    EXPECT_FALSE(out.bRunning);
    EXPECT_EQ(host.exitNow, std::vector<int>{0});
    EXPECT_FALSE(plat::PathExists(env.root + "/Program Files"));
    EXPECT_TRUE(ui.messages.empty());
}

TEST_F(ViewTest, InvalidLimitEndsWithFourThroughTheTeardown) {
    host.dialogEnd = DialogEnd::Invalid;
    const StartOutcome out = view->OnInitialUpdate();
    EXPECT_FALSE(out.bRunning);
    EXPECT_EQ(out.exitCode, 4);
    EXPECT_TRUE(host.exitNow.empty());
    EXPECT_TRUE(view->IsTornDown());
    EXPECT_FALSE(plat::PathExists(env.root + "/Program Files"));
}

TEST_F(ViewTest, UnmakeableVersionFolderIsASourcePathError) {
    // The machine root is a file: nothing can be made below it.
    const std::string blocked = env.base + "/blocked";
    ASSERT_TRUE(plat::WriteFileAtomic(blocked, std::span<const unsigned char>()));
    plat::SetMachineRoot(blocked);
    const StartOutcome out = view->OnInitialUpdate();
    EXPECT_FALSE(out.bRunning);
    EXPECT_EQ(ui.Texts(), std::vector<std::string>{"source file path error!"});
    EXPECT_EQ(host.exitNow, std::vector<int>{0});
}

// ---- Commands and close ----

TEST_F(ViewTest, CloseIsRefusedWhileLineZeroRunsAndDeletesTheImagesOtherwise) {
    ASSERT_TRUE(Start().bRunning);
    doc.Line(0).bRunning = 1;
    EXPECT_FALSE(view->OnFrameClose());
    EXPECT_EQ(ui.Texts(), std::vector<std::string>{"程序正在运行，不允许操作！"});
    EXPECT_FALSE(view->IsTornDown());
    EXPECT_TRUE(plat::IsRegularFile(env.VersionFile("uboot.img")));
    doc.Line(0).bRunning = 0;
    EXPECT_TRUE(view->OnFrameClose());
    EXPECT_TRUE(view->IsTornDown());
    EXPECT_TRUE(host.bTeardown);
    EXPECT_EQ(host.Timers().count(1), 0u);
    EXPECT_FALSE(plat::PathExists(env.VersionFile("uboot.img")));
    EXPECT_FALSE(plat::PathExists(env.VersionFile("root_uImage")));
    // The marker is free again.
    plat::SingleInstance other;
    EXPECT_TRUE(other.Acquire(INSTANCE_MUTEX_NAME));
}

TEST_F(ViewTest, ExitCommandEndsAtOnceAndLeavesTheImages) {
    ASSERT_TRUE(Start().bRunning);
    doc.Line(0).bRunning = 1;
    view->OnCommand(ids::CMD_EXIT);
    EXPECT_EQ(ui.Texts(), std::vector<std::string>{"程序正在运行，不允许操作！"});
    EXPECT_TRUE(host.exitNow.empty());
    doc.Line(0).bRunning = 0;
    view->OnCommand(ids::CMD_EXIT);
    EXPECT_EQ(host.exitNow, std::vector<int>{0});
    EXPECT_FALSE(view->IsTornDown());
    EXPECT_TRUE(plat::IsRegularFile(env.VersionFile("root_uImage")));
}

TEST_F(ViewTest, EnterAndEscapeAreSwallowedAndChangeNothing) {
    ASSERT_TRUE(Start().bRunning);
    EXPECT_TRUE(view->OnKeyDown(13));
    EXPECT_TRUE(view->OnKeyDown(27));
    EXPECT_FALSE(view->OnKeyDown('A'));
    EXPECT_FALSE(view->IsTornDown());
    EXPECT_TRUE(ui.messages.empty());
    EXPECT_TRUE(host.exitNow.empty());
}

TEST_F(ViewTest, FrameCommandsDoNothing) {
    ASSERT_TRUE(Start().bRunning);
    for (int id : ids::FRAME_NOOP_COMMANDS) view->OnCommand(id);
    EXPECT_TRUE(ui.messages.empty());
    EXPECT_TRUE(host.exitNow.empty());
    EXPECT_FALSE(view->IsTornDown());
}

TEST_F(ViewTest, AboutGuideAndUninstaller) {
    view->OnCommand(ids::CMD_ABOUT);
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0].caption, "MG_RK880T_PDWA_CN_VEV1.00.00");
    EXPECT_EQ(ui.messages[0].text.find('\n'), std::string::npos);

    view->OnCommand(ids::CMD_OPERATING_GUIDE);
    EXPECT_EQ(process.calls.back(), "open " + env.program + "/MG_RK880T_PDWA_CN_EU操作说明.doc");
    doc.Line(0).bRunning = 1;
    view->OnCommand(ids::CMD_OPERATING_GUIDE);
    EXPECT_EQ(ui.messages.back().text, "程序正在运行，不允许操作！");
    EXPECT_EQ(process.calls.size(), 1u);
    doc.Line(0).bRunning = 0;

    std::vector<int> closed;
    work.closeChannel = [&](int line) { closed.push_back(line); };
    view->Presenter().m_nCurLine = 0;
    view->OnUninstallMessage();
    EXPECT_EQ(closed, std::vector<int>{0});
    EXPECT_EQ(process.calls.back(), "start " + env.program + "/UnInstallAll.exe");
}

TEST_F(ViewTest, ExportsAreRefusedWhileRunningAndSdiWarnsFirst) {
    doc.Line(0).bRunning = 1;
    EXPECT_FALSE(view->Commands().ExportCsv());
    EXPECT_FALSE(view->Commands().ExportSdi());
    EXPECT_EQ(ui.Texts(), (std::vector<std::string>{"程序正在运行，不允许操作！", "程序正在运行，不允许操作！"}));
    ui.Clear();
    doc.Line(0).bRunning = 0;
    // Without a record store the exports fail; the SDI warning comes first all the same.
    EXPECT_FALSE(view->Commands().ExportCsv());
    EXPECT_TRUE(ui.messages.empty());
    EXPECT_FALSE(view->Commands().ExportSdi());
    EXPECT_EQ(ui.Texts(), std::vector<std::string>{"注意：导出SDI文件记录，将会清空使用本平台下载的相关记录！"});
}

TEST_F(ViewTest, ClearCountsAsksAndShowsTheNewTexts) {
    ASSERT_TRUE(Start().bRunning);
    ui.bAnswerYes = false;
    EXPECT_FALSE(view->Commands().ClearCounts());
    EXPECT_EQ(form.GetText(ids::CLEAR_TIME), "0/0/0 00:00");
    ui.bAnswerYes = true;
    EXPECT_TRUE(view->Commands().ClearCounts());
    EXPECT_NE(form.GetText(ids::CLEAR_TIME), "0/0/0 00:00");
    EXPECT_EQ(ui.messages.back().text, "确定清零当前计数？");
}

TEST_F(ViewTest, VersionPathNeedsTheVersionPathAddress) {
    ASSERT_TRUE(Start().bRunning);
    view->OnCommand(ids::VERSION_PATH_BUTTON);
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0].text, "设置IP为\"2.2.2.2\"时才可以设置下载版本的路径。");
    EXPECT_EQ(ui.messages[0].caption, "MG_RK880T_PDWA_CN_VEV1.00.00");
    EXPECT_TRUE(ui.fileSpecs.empty());
}

TEST_F(ViewTest, VersionPathInVersionPathMode) {
    host.dialogResult.strIp = "2.2.2.2";
    ASSERT_TRUE(Start().bRunning);
    ui.fileAnswer = env.program + "/missing.zip";
    view->OnCommand(ids::VERSION_PATH_BUTTON);
    ASSERT_EQ(ui.fileSpecs.size(), 1u);
    EXPECT_EQ(ui.fileSpecs[0].filter, "zip file (*.zip)|*.zip||");
    EXPECT_EQ(ui.fileSpecs[0].defaultName, "version.zip");
    EXPECT_EQ(ui.Texts().back(), env.program + "/missing.zip 文件不存在，请重新选择。");
    EXPECT_EQ(ui.closes, 0);

    const std::string zip = env.program + "/v.zip";
    ASSERT_TRUE(plat::WriteFileAtomic(zip, std::span<const unsigned char>()));
    ui.fileAnswer = zip;
    view->OnCommand(ids::VERSION_PATH_BUTTON);
    EXPECT_EQ(form.GetText(ids::VERSION_PATH_EDIT), zip);
    EXPECT_EQ(ui.Texts().back(), "版本设置完成，点击【确定】按钮退出程序。\n请严格按照操作说明进行管理操作。");
    EXPECT_EQ(ui.closes, 1);
    EXPECT_EQ(doc.GetLineText(0, LineField::VersionPackage), zip);
}

TEST_F(ViewTest, NvDirectoryAndBinFilesAreCopiedToEveryLineAndLongPathsRefused) {
    ASSERT_TRUE(Start().bRunning);
    ui.folderAnswer = std::nullopt;
    doc.SetLineText(0, LineField::NvDirectory, "/nv/old", nullptr);
    form.SetText(ids::NV_DIR_EDIT, "");
    view->OnCommand(ids::NV_DIR_BUTTON);
    EXPECT_EQ(ui.folderTitles.back(), "Please choose the NV directory");
    EXPECT_EQ(form.GetText(ids::NV_DIR_EDIT), "/nv/old");  // refreshed on cancel too

    ui.folderAnswer = "/nv/new";
    view->OnCommand(ids::NV_DIR_BUTTON);
    for (int line = 0; line < LINE_COUNT; ++line) EXPECT_EQ(doc.GetLineText(line, LineField::NvDirectory), "/nv/new");
    EXPECT_EQ(form.GetText(ids::NV_DIR_EDIT), "/nv/new");

    const std::string longPath = "/" + std::string(259, 'a');
    ASSERT_EQ(longPath.size(), 260u);
    ui.Clear();
    ui.folderAnswer = longPath;
    view->OnCommand(ids::NV_DIR_BUTTON);
    EXPECT_EQ(ui.Texts(), std::vector<std::string>{"路径过长：" + longPath});
    EXPECT_EQ(doc.GetLineText(3, LineField::NvDirectory), "/nv/new");

    ui.fileAnswer = "/fw/boot.bin";
    view->OnCommand(ids::BOOT_FILE_BUTTON);
    EXPECT_EQ(ui.fileSpecs.back().filter, "Bin Files(*.bin) | *.bin;||");
    EXPECT_TRUE(ui.fileSpecs.back().bMustExist);
    EXPECT_EQ(form.GetText(ids::BOOT_FILE_EDIT), "/fw/boot.bin");
    for (int line = 0; line < LINE_COUNT; ++line) EXPECT_EQ(doc.GetLineText(line, LineField::BootFile), "/fw/boot.bin");
    ui.fileAnswer = std::nullopt;
    view->OnCommand(ids::UPGRADE_SOFTWARE_BUTTON);
    EXPECT_EQ(form.GetText(ids::UPGRADE_SOFTWARE_EDIT), "");
}

TEST_F(ViewTest, ReleaseAllTogglesTheCaptionAndTheChannels) {
    ASSERT_TRUE(Start().bRunning);
    std::vector<std::string> calls;
    work.closeChannel = [&](int line) { calls.push_back("close " + std::to_string(line)); };
    work.openChannel = [&](int line) {
        calls.push_back("open " + std::to_string(line));
        return true;
    };
    view->OnCommand(ids::RELEASE_ALL);
    EXPECT_TRUE(view->Presenter().m_bAllReleased);
    EXPECT_EQ(form.GetText(ids::RELEASE_ALL), "全部连接");
    EXPECT_FALSE(form.IsEnabled(1008));
    EXPECT_TRUE(form.IsEnabled(ids::RELEASE_ALL));
    EXPECT_TRUE(form.IsEnabled(ids::RESTORE_ALL_PORTS));
    ASSERT_EQ(calls.size(), 8u);
    EXPECT_EQ(calls[0], "close 0");
    calls.clear();
    view->OnCommand(ids::RELEASE_ALL);
    EXPECT_FALSE(view->Presenter().m_bAllReleased);
    EXPECT_EQ(form.GetText(ids::RELEASE_ALL), "全部释放");
    EXPECT_TRUE(form.IsEnabled(1008));
    ASSERT_EQ(calls.size(), 8u);
    EXPECT_EQ(calls[7], "open 7");
}

// ---- StartLine and the threads ----

TEST_F(ViewTest, DownloadWithoutImagesShowsThePathError) {
    ASSERT_TRUE(Start().bRunning);
    version_source::DeleteImages(plat::VersionFolder());
    int started = 0;
    work.cpeUpgradeThread = [&](int) { ++started; };
    view->OnCommand(ids::DOWNLOAD_0);
    EXPECT_EQ(ui.Texts(), std::vector<std::string>{"版本路径错误!"});
    EXPECT_EQ(doc.Line(0).bRunning.load(), 0);
    view->Teardown();
    EXPECT_EQ(started, 0);
}

TEST_F(ViewTest, DownloadStartsTheTaskOfTheModeWithItsOwnLine) {
    ASSERT_TRUE(Start().bRunning);
    std::atomic<int> cpeLine{-1}, nvLine{-1};
    std::atomic<bool> sawRunning{false};
    work.cpeUpgradeThread = [&](int line) {
        sawRunning = doc.Line(static_cast<size_t>(line)).bRunning == 1;
        cpeLine = line;
    };
    work.nvBackupThread = [&](int line) { nvLine = line; };
    std::vector<std::optional<LineOutcome>> outcomes;
    std::mutex m;
    view->Presenter().observers.onTaskThreadReturned = [&](int, std::optional<LineOutcome> o) {
        std::lock_guard<std::mutex> lock(m);
        outcomes.push_back(o);
    };
    view->OnCommand(ids::DOWNLOAD_0);
    EXPECT_TRUE(host.PumpUntil([&] { return cpeLine == 0; }));
    EXPECT_TRUE(sawRunning);
    EXPECT_EQ(form.Get(ids::PICTURE_0).nPicture, PIC_RUNNING);
    EXPECT_EQ(doc.m_nMode.load(), 0);
    EXPECT_EQ(view->Presenter().m_nRadioMode.load(), 0);
    EXPECT_FALSE(form.IsEnabled(1008));  // line 0 runs: Download stays disabled
    EXPECT_TRUE(form.IsEnabled(1016));

    // Backup NV: the mode table picks the NV backup thread.
    doc.Line(0).bRunning = 0;
    form.CheckRadio(ids::MODE_BACKUP_NV);
    view->OnCommand(ids::DOWNLOAD_0);
    EXPECT_TRUE(host.PumpUntil([&] { return nvLine == 0; }));
    EXPECT_EQ(doc.Line(0).nTaskType.load(), TaskType::NvBackup);
    view->Teardown();
    EXPECT_EQ(outcomes, (std::vector<std::optional<LineOutcome>>{std::nullopt, std::nullopt}));
}

TEST_F(ViewTest, ATaskOfLineZeroThatFailsAtOnceLeavesDownloadDisabled) {
    ASSERT_TRUE(Start().bRunning);
    std::atomic<bool> ended{false};
    work.cpeUpgradeThread = [&](int line) {
        lines->Session(line).End(line, "x", LineOutcome::FailedClosing);
        ended = true;
    };
    view->OnCommand(ids::DOWNLOAD_0);
    EXPECT_TRUE(host.PumpUntil([&] { return ended.load(); }));
    host.RunPending();
    // Only the watcher's next keep-alive pass may offer Download again.
    EXPECT_EQ(doc.Line(0).bRunning.load(), 0);
    EXPECT_FALSE(form.IsEnabled(1008));
    view->Teardown();
}

TEST_F(ViewTest, DownloadWaitsForTheWatcherToPause) {
    std::atomic<bool> inRequest{false};
    std::atomic<bool> releaseRequest{false};
    std::atomic<int> passes{0};
    work.linkWatchThread = [&](int line) {
        for (;;) {
            // A channel request: no safe point inside.
            inRequest = true;
            while (!releaseRequest && !plat::StopRequested()) plat::SleepRaw(1);
            inRequest = false;
            ++passes;
            if (!lines->Threads().SafeSleep(line, 50)) return;
        }
    };
    std::atomic<bool> taskRan{false};
    std::atomic<bool> watcherPausedAtTaskStart{false};
    work.cpeUpgradeThread = [&](int) {
        watcherPausedAtTaskStart = lines->Threads().IsWatcherPaused(0) && !inRequest;
        taskRan = true;
    };
    ASSERT_TRUE(Start().bRunning);
    ASSERT_TRUE(host.PumpUntil([&] { return inRequest.load(); }));
    view->OnCommand(ids::DOWNLOAD_0);
    view->OnCommand(ids::DOWNLOAD_0);  // a second press while waiting is ignored
    host.RunPending();
    EXPECT_FALSE(taskRan);
    EXPECT_EQ(doc.Line(0).bRunning.load(), 0);
    releaseRequest = true;
    ASSERT_TRUE(host.PumpUntil([&] { return taskRan.load(); }));
    EXPECT_TRUE(watcherPausedAtTaskStart);
    const int before = passes;
    plat::SleepRaw(60);
    EXPECT_EQ(passes, before);  // it stays paused
    lines->Threads().ResumeWatcher(0);
    EXPECT_TRUE(host.PumpUntil([&] { return passes > before; }));
    view->Teardown();
}

TEST_F(ViewTest, PauseFromAWorkerAndTeardownOfAPausedWatcher) {
    std::atomic<bool> ended{false};
    ASSERT_TRUE(lines->Threads().StartWatcher(2, [&](int line) {
        while (lines->Threads().SafeSleep(line, 1000)) {
        }
        ended = true;
    }));
    bool paused = false;
    std::thread worker([&] { paused = lines->Threads().PauseWatcherAndWait(2, 5000); });
    worker.join();
    EXPECT_TRUE(paused);
    EXPECT_TRUE(lines->Threads().IsWatcherPaused(2));
    // The continuation of a GUI-thread pause runs at once when the watcher is paused already.
    bool ran = false;
    lines->Threads().PauseWatcher(2, [&] { ran = true; });
    EXPECT_TRUE(ran);
    view->Teardown();
    EXPECT_TRUE(ended);
    EXPECT_FALSE(lines->StartThread(2, [](int) {}));
}

TEST_F(ViewTest, PauseOfALineWithoutWatcherContinuesAtOnce) {
    bool ran = false;
    lines->Threads().PauseWatcher(5, [&] { ran = true; });
    EXPECT_TRUE(ran);
    EXPECT_TRUE(lines->Threads().PauseWatcherAndWait(5, 10));
}

TEST_F(ViewTest, ANewWatcherReplacesTheOldOne) {
    std::atomic<int> endedGen{0};
    lines->Threads().StartWatcher(0, [&](int line) {
        while (lines->Threads().SafeSleep(line, 1000)) {
        }
        endedGen = 1;
    });
    lines->Threads().StartWatcher(0, [&](int line) {
        while (lines->Threads().SafeSleep(line, 1000)) {
        }
        endedGen = 2;
    });
    EXPECT_TRUE(host.PumpUntil([&] { return endedGen == 1; }));
    EXPECT_TRUE(lines->Threads().HasLiveWatcher(0));
    view->Teardown();
    EXPECT_EQ(endedGen, 2);
}

// Every console operation from several threads at once while the GUI thread reads (the thread
// sanitizer build checks this for races).
TEST_F(ViewTest, ConsoleOperationsFromManyThreads) {
    work.isDownloadMode = [](int) { return false; };
    std::vector<std::thread> threads;
    std::atomic<bool> go{false};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            while (!go) std::this_thread::yield();
            for (int i = 0; i < 200; ++i) {
                const int line = (t + i) % LINE_COUNT;
                view->Presenter().Status(line, "status " + std::to_string(i), i % 2 == 0);
                view->Presenter().Picture(line, i % 5);
                view->Presenter().Progress(line, i % 101);
                view->Doc().Line(line).SetModemVersion("m" + std::to_string(i));
                view->Doc().Line(line).SetCpeVersion("c" + std::to_string(i));
                view->Presenter().VersionsChanged(line);
                view->Presenter().UpdateLineControls(line, i % 2 == 0);
                view->Presenter().ShowCurrentTime();
            }
        });
    }
    go = true;
    for (int i = 0; i < 200; ++i) {
        (void)form.Get(ids::STATUS_0);
        (void)view->Doc().Line(i % LINE_COUNT).History();
        view->OnPaint();
        view->OnCommand(ids::STOP_ALL);
    }
    for (auto& th : threads) th.join();
    size_t lines = 0;
    for (int l = 0; l < LINE_COUNT; ++l) {
        const std::string h = view->Doc().Line(l).History();
        lines += static_cast<size_t>(std::count(h.begin(), h.end(), '\n'));
    }
    EXPECT_EQ(lines, 800u);
}

}  // namespace
