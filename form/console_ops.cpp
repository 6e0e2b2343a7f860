// The console operations of a line: status and history, picture, progress, version texts, the
// enable rules and the end-of-task report. Called from the GUI thread and worker threads at once.
#include <algorithm>
#include <ctime>

#include "form/control_ids.h"
#include "platform/fs.h"
#include "form/view.h"
#include "platform/trace.h"

namespace {

// Enabled only while no line is busy.
constexpr int LOCKED_WHILE_BUSY[] = {1081, 1136, 1121, 1135, 1131, 1134, 1164, 1165, 1168, 1169, 1133,
                                     1132, 1138, 1147, 1109, 1154, 1156, 1158, 1159, 1162, 1140, 1141,
                                     1142, 1143, 1144, 1145, 1146, 1148};

}  // namespace

void CServiceToolView::SetTimeSource(std::function<std::tm()> source) {
    std::lock_guard<std::mutex> lock(m_timeMutex);
    m_timeSource = std::move(source);
}

std::tm CServiceToolView::LocalTime() const {
    {
        std::lock_guard<std::mutex> lock(m_timeMutex);
        if (m_timeSource) return m_timeSource();
    }
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    plat::LocalTime(now, tm);
    return tm;
}

void CServiceToolView::ShowLineStatus(int line, const std::string& text, bool bStamp) {
    if (!ValidLine(line)) return;
    std::string entry;
    if (bStamp) {
        const std::tm t = LocalTime();
        entry = plat::Format("%d.%d.%d %d:%d:%d——", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour,
                             t.tm_min, t.tm_sec);
    }
    entry += text;
    entry += "\n";
    {
        std::lock_guard<std::mutex> emit(m_emitMutex);
        m_doc.Line(line).AppendHistory(entry);
        if (observers.onHistoryAppended) observers.onHistoryAppended(line, entry);
    }
    m_form.SetText(ids::STATUS_0 + line, text);
}

void CServiceToolView::AppendHistory(int line, const std::string& text) {
    if (!ValidLine(line) || text.empty()) return;
    std::lock_guard<std::mutex> emit(m_emitMutex);
    m_doc.Line(line).AppendHistory(text);
    if (observers.onHistoryAppended) observers.onHistoryAppended(line, text);
}

void CServiceToolView::SetLinePicture(int line, int kind) {
    if (!ValidLine(line) || kind < PIC_READY || kind > PIC_OFFLINE) return;
    std::lock_guard<std::mutex> emit(m_emitMutex);
    m_nLastPicture = kind;
    m_nLastPictureLine = line;
    m_form.SetPicture(ids::PICTURE_0 + line, kind);
    if (observers.onPictureSet) observers.onPictureSet(line, kind);
}

void CServiceToolView::SetLineProgress(int line, int percent) {
    if (!ValidLine(line)) return;
    const int p = std::clamp(percent, 0, 100);
    if (p == 0) m_form.SetProgressRange(ids::PROGRESS_0 + line, 0, 100);
    m_form.SetProgressPos(ids::PROGRESS_0 + line, p);
    m_form.SetText(ids::PROGRESS_TEXT_0 + line, plat::Format("%d/100", p));
    if (observers.onProgressSet) observers.onProgressSet(line, p);
}

void CServiceToolView::ShowModemVersion(int line) {
    if (!ValidLine(line)) return;
    const std::string text = m_doc.Line(line).ModemVersion();
    if (line == 0) {
        std::lock_guard<std::mutex> lock(m_textMutex);
        m_strModemCtl = text;
    }
    m_form.SetText(ids::MODEM_VERSION_0 + line, text);
}

void CServiceToolView::ShowCpeVersion(int line) {
    if (!ValidLine(line)) return;
    m_form.SetText(ids::CpeVersionEdit(line), m_doc.Line(line).CpeVersion());
}

void CServiceToolView::ShowLineVersions(int line) {
    ShowModemVersion(line);
    ShowCpeVersion(line);
}

void CServiceToolView::ApplyBusyLocks() {
    bool bBusy = false;
    bool bAllBusy = true;
    for (const auto& state : m_doc.Lines()) {
        if (state.bRunning.load() == 1) bBusy = true;
        else bAllBusy = false;
    }
    if (m_bAllReleased) bBusy = bAllBusy = true;
    for (int id : LOCKED_WHILE_BUSY) m_form.Enable(id, !bBusy);
    m_form.Enable(ids::STOP_ALL, bBusy);
    m_form.Enable(ids::START_ALL, !bAllBusy);
}

void CServiceToolView::UpdateLineControls(int line, bool bDownloadEnabled) {
    if (!ValidLine(line)) return;
    ApplyBusyLocks();
    m_form.Enable(ids::DOWNLOAD_0 + line, bDownloadEnabled);
    m_form.Enable(ids::STOP_LINE_0 + line, !bDownloadEnabled);
}

void CServiceToolView::ShowCurrentTime() {
    const std::tm t = LocalTime();
    char buf[64] = {};
    std::strftime(buf, sizeof buf, "%m/%d/%Y %H:%M", &t);
    m_form.SetText(ids::NOW_TIME, buf);
}

void CServiceToolView::Available(int line, bool bAvailable) {
    if (ValidLine(line)) m_form.Enable(ids::DOWNLOAD_0 + line, bAvailable);
}

void CServiceToolView::DiagPortShown(int line, bool bShown) {
    if (ValidLine(line))
        m_form.SetText(ids::RESTORE_PORT[static_cast<size_t>(line)], bShown ? TEXT_HIDE_PORT : TEXT_RESTORE_PORT);
}

void CServiceToolView::Message(const std::string& text, bool bTitled) {
    if (bTitled) m_ui.MessageBox(text, PRODUCT_TITLE);
    else m_ui.MessageBox(text);
}

bool CServiceToolView::AskDefaultNo(const std::string& text) {
    return m_ui.MessageBox(text, {}, plat::MsgButtons::YesNoDefaultNo, plat::MsgIcon::Question) == plat::MsgResult::Yes;
}

void CServiceToolView::ModeChosen(int mode) {
    if (mode >= 0 && mode < 4) OnModeRadio(ids::MODE_RADIOS[static_cast<size_t>(mode)]);
}

void CServiceToolView::RunningChanged(int line, bool bStartAllowed) {
    if (!ValidLine(line)) return;
    if (!bStartAllowed && m_doc.Line(line).bRunning.load() != 0) {
        m_nCurLine = line;
        if (!m_taskClock.Running(line)) {
            m_taskClock.Start(line, plat::TickMs());
            ShowTimeLine();
            m_host.PostToGui([this] { m_host.StartTimer(ids::TASK_TIMER_ID, ids::TASK_TIMER_PERIOD_MS); });
        }
    }
    UpdateLineControls(line, bStartAllowed);
}

void CServiceToolView::Waiting(int line, WaitFor what, int64_t maxMs) {
    m_taskClock.Wait(line, what, maxMs, plat::TickMs());
    if (line == m_nCurLine) ShowTimeLine();
}

void CServiceToolView::ShowTimeLine() {
    const int line = m_nCurLine;
    m_form.SetText(ids::TIME_LINE, m_taskClock.Text(line, plat::TickMs(), English()));
}

void CServiceToolView::TaskReturned(int line, std::optional<LineOutcome> outcome) {
    m_taskClock.End(line, plat::TickMs());
    if (line == m_nCurLine) ShowTimeLine();
    if (observers.onTaskThreadReturned) observers.onTaskThreadReturned(line, outcome);
}
