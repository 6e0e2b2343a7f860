// The headless front end in-process, with scripted watcher and task bodies: the output lines, the
// Download press on readiness, and the exit statuses through the close path.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#ifndef _WIN32
#include <pty.h>
#include <sys/ioctl.h>
#endif

#include <atomic>
#include <fstream>
#include <sstream>
#include <thread>

#include "form/control_ids.h"
#include "console_fakes.h"
#define RK880T_FAKE_LINES_FOR_APP
#include "../support/fake_line_work.h"
#include "platform/trace.h"
#include "ui/common/gui_queue.h"
#include "ui/headless/headless_runner.h"

namespace {

// Standard output and error of the process go to files while it lives.
class Capture {
public:
    explicit Capture(const std::string& dir) : m_out(dir + "/out.txt"), m_err(dir + "/err.txt") {
        std::fflush(stdout);
        std::fflush(stderr);
        m_saved1 = ::dup(1);
        m_saved2 = ::dup(2);
        const int o = ::open(m_out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int e = ::open(m_err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(o, 1);
        ::dup2(e, 2);
        ::close(o);
        ::close(e);
    }
    ~Capture() { Stop(); }
    void Stop() {
        if (m_saved1 < 0) return;
        std::fflush(stdout);
        std::fflush(stderr);
        ::dup2(m_saved1, 1);
        ::dup2(m_saved2, 2);
        ::close(m_saved1);
        ::close(m_saved2);
        m_saved1 = m_saved2 = -1;
    }
    std::string Out() const { return Read(m_out); }
    std::string Err() const { return Read(m_err); }

private:
    static std::string Read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    std::string m_out, m_err;
    int m_saved1 = -1, m_saved2 = -1;
};

plat::Options LoopbackOptions(const fakes::TempEnv& env) {
    plat::Options o;
    o.bHeadless = true;
    o.endpoints.gateway = "127.0.0.1";
    o.endpoints.bGatewayOverridden = true;
    o.bNoArpFlush = true;
    o.root = env.root;
    o.programFolder = env.program;
    o.giveUpAfter = 20;
    return o;
}

size_t Count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t pos = text.find(part); pos != std::string::npos; pos = text.find(part, pos + 1)) ++n;
    return n;
}

class Headless : public ::testing::Test {
protected:
    Headless() { std::ofstream(env.program + "/RecordCSV.sdi", std::ios::binary); }
    fakes::TempEnv env;
};

TEST_F(Headless, ReadyLinePressesDownloadAndAFailedTaskEndsWithOne) {
    plat::Options options = LoopbackOptions(env);
    options.bPressDownload = true;
    options.mode = plat::RunMode::CpeOnly;
    options.nvOption = 1;
    int taskTypeSeen = -1;
    int nvOptionSeen = -1;
    std::string versionFolder = plat::VersionFolder();
    int status = -1;
    Capture capture(env.base);
    {
        CHeadlessRunner runner(options, env.program);
        status = runner.Run([&](CServiceToolApp& app) {
            CServiceToolView& view = app.View();
            FakeLineWork& work = WireFakeLines(app);
            work.linkWatchThread = [&view, &app](int line) {
                plat::Trace("Initialize control ports 0 success\n");
                view.Presenter().Status(line, "连接完成");
                view.Presenter().Picture(line, PIC_READY);
                app.Form().Enable(ids::DOWNLOAD_0 + line, true);
                view.Presenter().Ready(line);
                while (app.Lines()->Threads().SafeSleep(line, 3000)) view.Presenter().Ready(line);  // pressed once only
            };
            work.cpeUpgradeThread = [&view, &app, &taskTypeSeen, &nvOptionSeen](int line) {
                taskTypeSeen = static_cast<int>(app.Doc().Line(0).nTaskType.load());
                nvOptionSeen = app.Doc().m_nNvOption;
                view.Presenter().Progress(line, 50);
                view.Presenter().Progress(line, 50);
                app.Lines()->Session(line).End(line, "管理CPE失败!", LineOutcome::FailedStopLink);
                view.Presenter().Picture(line, PIC_OFFLINE);
                plat::Sleep(1000);
            };
        });
    }
    capture.Stop();
    const std::string out = capture.Out();
    const std::string err = capture.Err();
    EXPECT_EQ(status, 1) << err;
    EXPECT_EQ(taskTypeSeen, static_cast<int>(TaskType::CpeUpgrade));
    EXPECT_EQ(nvOptionSeen, 1);
    EXPECT_EQ(Count(out, "——连接完成\n"), 1u) << out;
    EXPECT_EQ(Count(out, "——管理CPE失败!\n"), 2u) << out;
    EXPECT_EQ(err,
              "PROGRESS: 0 0\n"
              "TRACE: Initialize control ports 0 success\n"
              "PICTURE: 0 0\n"
              "PICTURE: 0 1\n"
              "PROGRESS: 0 50\n"
              "PICTURE: 0 3\n"
              "PROGRESS: 0 0\n"
              "MESSAGE: 如果再次管理wifi，请关闭工具软件和设备。按照操作说明重新进行升级操作。\n"
              "PICTURE: 0 4\n");
    // Through the close path: the images are gone.
    EXPECT_FALSE(plat::PathExists(versionFolder + "/root_uImage"));
    EXPECT_FALSE(plat::PathExists(versionFolder + "/uboot.img"));
}

TEST_F(Headless, CommunicationErrorEndsWithTwo) {
    plat::Options options = LoopbackOptions(env);
    int status = -1;
    Capture capture(env.base);
    {
        CHeadlessRunner runner(options, env.program);
        status = runner.Run([](CServiceToolApp& app) {
            CServiceToolView& view = app.View();
            FakeLineWork& work = WireFakeLines(app);
            work.linkWatchThread = [&view, &app](int) {
                app.Ui().MessageBox("与设备通信异常，点击【确定】按钮退出程序。\n请严格按照操作说明重新进行管理操作。");
                view.Host().RequestExit(2, false);
            };
        });
    }
    capture.Stop();
    EXPECT_EQ(status, 2);
    EXPECT_EQ(capture.Err(),
              "PROGRESS: 0 0\n"
              "MESSAGE: 与设备通信异常，点击【确定】按钮退出程序。\\n请严格按照操作说明重新进行管理操作。\n");
}

TEST_F(Headless, CloseAfterSuccessEndsWithZeroAndARunningLineRefusesTheClose) {
    plat::Options options = LoopbackOptions(env);
    options.bPressDownload = true;
    int status = -1;
    Capture capture(env.base);
    {
        CHeadlessRunner runner(options, env.program);
        status = runner.Run([](CServiceToolApp& app) {
            CServiceToolView& view = app.View();
            FakeLineWork& work = WireFakeLines(app);
            work.linkWatchThread = [&view, &app](int line) {
                view.Presenter().Ready(line);
                while (app.Lines()->Threads().SafeSleep(line, 3000)) {
                }
            };
            work.cpeUpgradeThread = [&view, &app](int line) {
                // A close while the line runs is refused.
                app.Ui().PostClose();
                // Real time, long enough for the GUI thread to finish StartLine and refuse it.
                plat::SleepRaw(1000);
                view.Presenter().Progress(line, 100);
                app.Doc().Line(static_cast<size_t>(line)).bRunning = 0;
                app.Ui().MessageBox("管理成功。\n点击【确定】按钮退出程序。", PRODUCT_TITLE);
                app.Ui().PostClose();
            };
        });
    }
    capture.Stop();
    EXPECT_EQ(status, 0);
    const std::string err = capture.Err();
    EXPECT_NE(err.find("MESSAGE: 程序正在运行，不允许操作！\n"), std::string::npos) << err;
    EXPECT_NE(err.find("MESSAGE: 管理成功。\\n点击【确定】按钮退出程序。\n"), std::string::npos) << err;
    EXPECT_NE(err.find("PROGRESS: 0 100\n"), std::string::npos) << err;
}

TEST(HeadlessAnswers, AQuestionWhoseDefaultIsNoTakesYesOnlyFromAnswerYes) {
    const struct {
        std::vector<const char*> args;
        plat::MsgResult yesNo, defaultNo;
    } cases[] = {
        {{}, plat::MsgResult::Yes, plat::MsgResult::No},
        {{"--answer", "yes"}, plat::MsgResult::Yes, plat::MsgResult::Yes},
        {{"--answer", "no"}, plat::MsgResult::No, plat::MsgResult::No},
    };
    for (const auto& c : cases) {
        std::vector<const char*> argv = {"rk880t-tool", "--headless"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const plat::ParseResult parsed = plat::ParseCommandLine(static_cast<int>(argv.size()), argv.data());
        ASSERT_TRUE(parsed.error.empty()) << parsed.error;
        CHeadlessRunner runner(parsed.options, "/nonexistent");
        EXPECT_EQ(runner.MessageBox("q", {}, plat::MsgButtons::YesNo, plat::MsgIcon::None), c.yesNo) << c.args.size();
        EXPECT_EQ(runner.MessageBox("q", {}, plat::MsgButtons::YesNoDefaultNo, plat::MsgIcon::Question), c.defaultNo)
            << c.args.size();
        EXPECT_EQ(runner.MessageBox("q", {}, plat::MsgButtons::Ok, plat::MsgIcon::None), plat::MsgResult::Ok);
    }
}

TEST(HeadlessFormat, LineBreaksInsideAreEscapedTrailingOnesDropped) {
    EXPECT_EQ(CHeadlessRunner::EscapeLine("a\nb\n\n"), "a\\nb");
    EXPECT_EQ(CHeadlessRunner::EscapeLine("Initialize control ports 0 success\n"),
              "Initialize control ports 0 success");
    EXPECT_EQ(CHeadlessRunner::EscapeLine(""), "");
}

TEST(HeadlessFormat, TheTerminalsProgressLineHasLinePercentBarAndStatus) {
    EXPECT_EQ(CHeadlessRunner::ProgressLine(0, 42, "正在管理CPE，请稍等..."), "线路1  42% [########------------] 正在管理CPE，请稍等...");
    EXPECT_EQ(CHeadlessRunner::ProgressLine(0, 100, "管理成功。\n点击【确定】按钮退出程序。"),
              "线路1 100% [####################] 管理成功。");
    EXPECT_EQ(CHeadlessRunner::ProgressLine(7, 0, ""), "线路8   0% [--------------------] ");
    // Fitted to a width: one column is left free; the text is cut by columns (a Chinese character
    // takes two, none is split), then the bar shrinks to 5.
    EXPECT_EQ(CHeadlessRunner::ProgressLine(0, 42, "正在管理CPE，请稍等...", 40), "线路1  42% [########------------] 正在");
    EXPECT_EQ(CHeadlessRunner::ProgressLine(0, 42, "正在管理CPE，请稍等...", 41), "线路1  42% [########------------] 正在管");
    EXPECT_EQ(CHeadlessRunner::ProgressLine(0, 100, "管理成功。", 30), "线路1 100% [###########] 管理");
    EXPECT_EQ(CHeadlessRunner::ProgressLine(0, 100, "管理成功。", 20), "线路1 100% [#####] ");
    EXPECT_EQ(CHeadlessRunner::ProgressLine(0, 100, "管理成功。", 12), "线路1 100% ");
    // The task's time line comes before the status, and is cut with it.
    EXPECT_EQ(CHeadlessRunner::ProgressLine(0, 96, "接入盒正在重启!", 0, "已用时 1分05秒　等待接入盒重启，最多还需 1分40秒"),
              "线路1  96% [###################-] 已用时 1分05秒　等待接入盒重启，最多还需 1分40秒 | 接入盒正在重启!");
    EXPECT_EQ(CHeadlessRunner::ProgressLine(0, 96, "接入盒正在重启!", 40, "已用时 1分05秒"),
              "线路1  96% [###################-] 已用");
}

#ifndef _WIN32
// Standard error on a terminal of 120 columns, narrowed to 40 while the line shows: every drawing
// of the progress line fits the width it was drawn at, and the resize redraws it.
TEST_F(Headless, TheTerminalsProgressLineFitsTheWidthAndFollowsAResize) {
    int master = -1, slave = -1;
    winsize size{};
    size.ws_row = 24;
    size.ws_col = 120;
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, &size), 0);
    std::string screen;
    std::thread reader([&] {
        char buf[4096];
        for (ssize_t n; (n = ::read(master, buf, sizeof buf)) > 0;) screen.append(buf, static_cast<size_t>(n));
    });
    const std::string status = "正在管理CPE，请稍等，这一步最多需要几分钟，请不要关闭程序或断开设备的电源和网线。";
    int exitStatus = -1;
    {
        Capture capture(env.base);
        ::dup2(slave, 2);
        CHeadlessRunner runner(LoopbackOptions(env), env.program);
        exitStatus = runner.Run([&](CServiceToolApp& app) {
            CServiceToolView& view = app.View();
            FakeLineWork& work = WireFakeLines(app);
            work.linkWatchThread = [&view, &status, master](int line) {
                view.Presenter().Status(line, status);
                view.Presenter().Progress(line, 42);
                plat::SleepRaw(300);
                winsize narrow{};
                narrow.ws_row = 24;
                narrow.ws_col = 40;
                ::ioctl(master, TIOCSWINSZ, &narrow);
                plat::SleepRaw(500);  // the runner looks at the width every 100 ms
                view.Host().RequestExit(2, false);
            };
        });
    }
    ::close(slave);
    reader.join();
    ::close(master);
    EXPECT_EQ(exitStatus, 2);
    // The progress line's drawings, each after "\r\033[K" (the pty turns "\n" into "\r\n").
    std::vector<std::string> drawn;
    for (size_t at = screen.find("\r\033[K"); at != std::string::npos; at = screen.find("\r\033[K", at + 1)) {
        const size_t from = at + 4;
        const size_t end = screen.find('\r', from);
        const std::string piece = screen.substr(from, end == std::string::npos ? std::string::npos : end - from);
        if (piece.rfind("线路", 0) == 0) drawn.push_back(piece);
    }
    const std::string wide = "线路1  42% [########------------] " + status;
    const std::string narrow = "线路1  42% [########------------] 正在";
    ASSERT_GE(drawn.size(), 2u) << screen;
    EXPECT_EQ(drawn[drawn.size() - 2], wide);
    EXPECT_EQ(drawn.back(), narrow);
}
#endif

// The queue every front end posts through: order, one wake per item (those posted before the wake
// was set included), a worker's question let go at teardown, nothing taken after Close.
TEST(GuiQueue, RunsInOrderLetsAWaitingWorkerGoAtTeardownAndDropsAfterClose) {
    CGuiQueue queue;
    std::string ran;
    queue.Post([&] { ran += "a"; });
    std::atomic<int> wakes{0};
    queue.SetWake([&] { ++wakes; });
    queue.Post([&] { ran += "b"; });
    EXPECT_EQ(wakes.load(), 2);
    while (auto fn = queue.TakeNext()) fn();
    EXPECT_EQ(ran, "ab");
    // On the GUI thread a question is answered at once.
    EXPECT_EQ(queue.Call<int>([] { return 7; }, -1), 7);

    // A worker's question waits for the GUI thread; the teardown lets it go with the fallback.
    std::atomic<int> answer{0};
    std::thread worker([&] { answer = queue.Call<int>([] { return 7; }, -1); });
    const int64_t deadline = plat::TickMs() + 10000;
    while (wakes.load() < 3 && plat::TickMs() < deadline) plat::SleepRaw(1);
    EXPECT_EQ(wakes.load(), 3);
    queue.BeginTeardown();
    worker.join();
    EXPECT_EQ(answer.load(), -1);
    std::thread late([&] { answer = queue.Call<int>([] { return 7; }, -2); });
    late.join();
    EXPECT_EQ(answer.load(), -2);

    queue.Close();
    EXPECT_FALSE(queue.TakeNext());  // the question posted before is dropped
    queue.Post([&] { ran += "c"; });
    EXPECT_FALSE(queue.TakeNext());
    EXPECT_EQ(wakes.load(), 3);
}

}  // namespace
