#pragma once
// The Qt front end: the UI port and the host of the view over a QApplication. Posted work runs as
// queued calls in the context of an object of the GUI thread. Message boxes and choosers asked for
// by worker threads are shown on the GUI thread while the worker waits (ui/common/gui_queue.h).
#include <QObject>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "ui/common/front_end.h"

class CFormWindow;
class QTimer;

class CQtFrontEnd final : public CFrontEnd {
public:
    explicit CQtFrontEnd(const plat::Options& options);
    ~CQtFrontEnd() override;

    // plat::IUiPort
    plat::MsgResult MessageBox(const std::string& text, const std::string& caption, plat::MsgButtons buttons,
                               plat::MsgIcon icon) override;
    std::optional<std::string> ChooseFolder(const std::string& title) override;
    void PostClose() override;

    // IViewHost
    DialogEnd RunTerminalIpDialog(TerminalIpResult& out) override;
    void SetTitle(const std::string& title) override;

private:
    void Open(CServiceToolApp& app) override;
    void SetGuiTimer(int id, int64_t periodMs) override;
    void KillGuiTimer(int id) override;
    int Loop() override;
    void Closed() override;
    void EndLoop() override;
    std::optional<std::string> AskFile(const plat::FileDialogSpec& dialogRequest) override;
    QWidget* Parent() const;

    QObject* m_pContext;  // lives on the GUI thread; posted work runs in its context
    std::unique_ptr<CFormWindow> m_pWindow;
    std::map<int, QTimer*> m_timers;
};

// Runs the Qt window: the application's start-up (with `wire` before it), then the event loop.
// Returns the exit status.
int RunQtWindow(int argc, char** argv, const plat::Options& options, const std::string& programFolder,
                const std::function<void(CServiceToolApp&)>& wire);
