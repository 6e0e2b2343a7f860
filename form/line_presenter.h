#pragma once
// CLinePresenter: what the lines report, shown on the form. It implements ILineEvents over the
// form model (status texts and history, pictures, progress, versions, the enable rules, the
// time line, the counters' texts) and tells the front ends through its observers. Every call
// may come from the GUI thread or a worker thread at once; message boxes are shown with no lock
// held.
#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "form/form_model.h"
#include "form/view_host.h"
#include "model/document.h"
#include "platform/ui_port.h"
#include "records/counts_info.h"
#include "session/line_events.h"
#include "session/task_time.h"

// Captions of the DIAG port buttons (1140..1146, 1148) and of the all-lines button 1147.
constexpr const char* TEXT_HIDE_PORT = "隐藏端口";     // the port is shown
constexpr const char* TEXT_RESTORE_PORT = "恢复端口";  // the port is hidden
constexpr const char* TEXT_RESTORE_ALL_PORTS = "恢复全部端口";

// What the front ends watch. Set before the start-up. Observers run on the thread that caused
// the event, in order, and must not call back into the presenter.
struct ViewObservers {
    // A status history entry as appended (stamp, text and "\n").
    std::function<void(int line, const std::string& entry)> onHistoryAppended;
    // Every picture of a kind 0..4 set.
    std::function<void(int line, int kind)> onPictureSet;
    // Every progress set, with the percentage shown ("%d/100"), repeats included.
    std::function<void(int line, int percent)> onProgressSet;
    // The watcher's keep-alive pass has shown "连接完成" and enabled Download.
    std::function<void(int line)> onLineReady;
    // A task thread's body has returned.
    std::function<void(int line, std::optional<LineOutcome> outcome)> onTaskThreadReturned;
};

class CLinePresenter final : public ILineEvents {
public:
    CLinePresenter(CServiceToolDoc& doc, CFormModel& form, plat::IUiPort& ui, IViewHost& host, CCountsInfo& counts)
        : m_doc(doc), m_form(form), m_ui(ui), m_host(host), m_counts(counts) {}

    ViewObservers observers;

    // ---- The line events ----
    void Status(int line, const std::string& text, bool bStamp = true) override;
    void History(int line, const std::string& text) override;
    void Progress(int line, int percent) override;
    void Picture(int line, int kind) override;
    void ModemVersionChanged(int line) override;
    void VersionsChanged(int line) override;
    void Available(int line, bool bAvailable) override;
    void DiagPortShown(int line, bool bShown) override;
    void Ready(int line) override;
    // Shows the counters store's texts in 1185, 1182 and 1181.
    void CountersChanged() override;
    void Message(const std::string& text, bool bTitled = false) override;
    bool AskDefaultNo(const std::string& text) override;
    void ModeChanged(int mode) override;
    void RunningChanged(int line, bool bStartAllowed) override;
    void TaskReturned(int line, std::optional<LineOutcome> outcome) override;
    void Waiting(int line, WaitFor what, int64_t maxMs) override;
    void Concluded(int line, LineOutcome outcome) override { m_host.LineConcluded(line, outcome); }

    // ---- The form's own state ----
    // The busy locks, then the line's Download and Stop.
    void UpdateLineControls(int line, bool bDownloadEnabled);
    // Every control locked while a line is busy, and the all-lines buttons.
    void ApplyBusyLocks();
    void ShowCurrentTime();
    // The task timer's tick: the time line again; false once no line's task runs.
    bool TaskTick();
    // The form's data exchange (GUI thread): the radios and texts into the members and the
    // document's NV option, or the members back into the controls.
    void DataFromControls();
    void DataToControls();
    // The local time used by the stamps and the clock (tests replace it).
    void SetTimeSource(std::function<std::tm()> source);

    std::atomic<int> m_nCurLine{0};          // the line started last: its time line shows
    std::atomic<int> m_nRadioMode{0};        // the mode radio's index, used once by a start
    std::atomic<bool> m_bAllReleased{false};  // "全部释放" pressed: every line counts as busy
    std::atomic<int> m_nLastPicture{-1};
    std::atomic<int> m_nLastPictureLine{0};
    // Data members of the form's data exchange (GUI thread).
    std::string m_strUpgradeSoftware;  // 1080
    std::string m_strBootFile;         // 1137
    std::string m_strLoader;           // 1139

private:
    void ShowTimeLine();
    std::tm LocalTime() const;

    CServiceToolDoc& m_doc;
    CFormModel& m_form;
    plat::IUiPort& m_ui;
    IViewHost& m_host;
    CCountsInfo& m_counts;

    mutable std::mutex m_textMutex;  // m_strModemCtl
    mutable std::mutex m_emitMutex;  // keeps observer calls in the order of the changes
    mutable std::mutex m_timeMutex;
    std::function<std::tm()> m_timeSource;
    std::string m_strModemCtl;  // 1000 (worker threads show versions)
    task_time::Clock m_taskClock;
};
