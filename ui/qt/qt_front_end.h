#pragma once
// The Qt front end: the UI port and the host of the view over a QApplication. Message boxes and
// choosers asked for by worker threads are shown on the GUI thread while the worker waits (the GUI
// thread never waits for a worker); at teardown the waiting workers are let go.
#include <QObject>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "app/app.h"
#include "console/view_host.h"
#include "platform/options.h"
#include "platform/process.h"
#include "platform/ui_port.h"

class CFormWindow;
class QTimer;

class CQtFrontEnd final : public plat::IUiPort, public IViewHost {
public:
    explicit CQtFrontEnd(const plat::Options& options);
    ~CQtFrontEnd() override;

    // Shows the window over the application's form once its start-up has run.
    void Attach(CServiceToolApp& app, CFormWindow& window);
    int ExitStatus() const { return m_nStatus; }

    // plat::IUiPort
    plat::MsgResult MessageBox(const std::string& text, const std::string& caption, plat::MsgButtons buttons,
                               plat::MsgIcon icon) override;
    std::optional<std::string> ChooseFile(const plat::FileDialogSpec& dialogRequest) override;
    std::optional<std::string> ChooseFolder(const std::string& title) override;
    void PostClose() override;

    // IViewHost
    DialogEnd RunTerminalIpDialog(TerminalIpResult& out) override;
    void PostToGui(std::function<void()> fn) override;
    bool IsGuiThread() const override;
    void StartTimer(int id, int64_t periodMs) override;
    void StopTimer(int id) override;
    void SetTitle(const std::string& title) override;
    void ExitProcessNow(int code) override;
    void RequestExit(int status, bool force) override;
    void BeginTeardown() override;

private:
    template <class T>
    T CallOnGui(std::function<T()> fn, T fallback);
    QWidget* Parent() const;

    plat::Options m_options;
    QObject* m_pContext;  // lives on the GUI thread; posted work runs in its context
    CServiceToolApp* m_pApp = nullptr;
    CFormWindow* m_pWindow = nullptr;
    std::map<int, QTimer*> m_timers;
    int m_nStatus = 0;

    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_bTeardown = false;
};

// Runs the Qt window: the application's start-up (with `wire` before it), then the event loop.
// Returns the exit status.
int RunQtWindow(int argc, char** argv, const plat::Options& options, const std::string& programFolder,
                const std::function<void(CServiceToolApp&)>& wire);
