#pragma once
// The lines' work as a test sets it: a body per step, empty bodies do nothing. WireFakeLines
// puts it under an application's lines in place of the program's wiring.
#include <functional>
#include <memory>

#include "session/line_session.h"

struct FakeLineWork : ILineWork {
    std::function<void(int)> linkWatchThread, cpeUpgradeThread, nvBackupThread, closeChannel;
    std::function<bool(int)> isDownloadMode, openChannel;
    std::function<void()> stopLinkServer;
    std::function<void(int, bool)> resetModem;
    void WatchLink(int line) override {
        if (linkWatchThread) linkWatchThread(line);
    }
    void RunTask(int line, TaskType type) override {
        if (type == TaskType::CpeUpgrade && cpeUpgradeThread) cpeUpgradeThread(line);
        if (type == TaskType::NvBackup && nvBackupThread) nvBackupThread(line);
    }
    bool InDownloadMode(int line) override { return isDownloadMode && isDownloadMode(line); }
    void ResetModem(int line, bool bDownload) override {
        if (resetModem) resetModem(line, bDownload);
    }
    bool OpenChannel(int line) override { return openChannel && openChannel(line); }
    void CloseChannel(int line) override {
        if (closeChannel) closeChannel(line);
    }
    void StopLink() override {
        if (stopLinkServer) stopLinkServer();
    }
    void SwitchPort(int, PortSwitch) override {}
};

#ifdef RK880T_FAKE_LINES_FOR_APP
#include "app/app.h"

// The application's lines over a FakeLineWork; the test sets its bodies.
inline FakeLineWork& WireFakeLines(CServiceToolApp& app) {
    struct Wired {
        FakeLineWork work;
        std::unique_ptr<CLineSessions> lines;
        ~Wired() {
            if (lines) lines->Shutdown();
        }
    };
    auto wired = std::make_shared<Wired>();
    CServiceToolView& view = app.View();
    wired->lines = std::make_unique<CLineSessions>(CLineSessions::Deps{
        app.Doc(), view.Presenter(), app.Process(), [&view](std::function<void()> fn) { view.Host().PostToGui(std::move(fn)); },
        app.Config().options.endpoints});
    wired->lines->SetWork(&wired->work);
    view.AttachLines(wired->lines.get());
    app.SetLines(wired->lines.get());
    app.Own(wired);
    return wired->work;
}
#endif
