// The console operations of a line: status and history, picture, progress, version texts, the
// enable rules and the end-of-task report. Called from the GUI thread and worker threads at once.
#include <algorithm>
#include <ctime>

#include "form/control_ids.h"
#include "platform/fs.h"
#include "form/view.h"
#include "platform/trace.h"

namespace {

bool ValidLine(int line) { return line >= 0 && line < LINE_COUNT; }

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

void CServiceToolView::EndTask(int line, const std::string& text, LineOutcome outcome) {
    if (!ValidLine(line)) return;
    const size_t l = static_cast<size_t>(line);
    m_nOutcome[l] = static_cast<int>(IsPass(outcome) ? TaskOutcome::Succeeded : TaskOutcome::Failed);
    ShowLineStatus(line, text, true);
    // The mode radio of the current mode, with its handler.
    switch (m_doc.m_nMode.load()) {
        case MODE_MODEM_AND_CPE: OnModeRadio(ids::MODE_MODEM_AND_CPE); break;
        case MODE_CPE_ONLY: OnModeRadio(ids::MODE_CPE_ONLY); break;
        case MODE_BACKUP_NV: OnModeRadio(ids::MODE_BACKUP_NV); break;
        case MODE_RESTORE_NV: OnModeRadio(ids::MODE_RESTORE_NV); break;
        default: break;
    }
    ShowLineStatus(line, text, true);

    const bool bDownload = hooks.isDownloadMode && hooks.isDownloadMode(line);
    auto resetModem = [&] {
        if (hooks.resetModem) hooks.resetModem(line, bDownload);
    };
    auto stopLinkServer = [&] {
        m_doc.m_bHandshakePending = 1;
        if (hooks.stopLinkServer) hooks.stopLinkServer();
    };
    switch (outcome) {
        case LineOutcome::Passed:
            SetLinePicture(line, PIC_PASS);
            resetModem();
            break;
        case LineOutcome::PassedAsIs: SetLinePicture(line, PIC_PASS); break;
        case LineOutcome::FailedResetModem:
            SetLinePicture(line, PIC_FAIL);
            resetModem();
            break;
        case LineOutcome::FailedStopLink:
            stopLinkServer();
            SetLinePicture(line, PIC_FAIL);
            break;
        case LineOutcome::FailedResetStopLink:
            // The reset goes out on the line's connection, which the server's stop closes: it
            // is sent first, or it would never reach the modem.
            resetModem();
            stopLinkServer();
            SetLinePicture(line, PIC_FAIL);
            break;
        case LineOutcome::FailedClosing:
            SetLinePicture(line, PIC_FAIL);
            if (bDownload)
                m_ui.MessageBox(plat::Format(English() ? TEXT_LINE_FAILED_EN : TEXT_LINE_FAILED_CN, line + 1));
            break;
    }
    m_doc.Line(l).bRunning = 0;
    m_form.SetProgressPos(ids::PROGRESS_0 + line, 0);
    SetLineProgress(line, 0);
    m_ui.MessageBox(TEXT_CLOSING, PRODUCT_TITLE);
}

void CServiceToolView::ShowCurrentTime() {
    const std::tm t = LocalTime();
    char buf[64] = {};
    std::strftime(buf, sizeof buf, "%m/%d/%Y %H:%M", &t);
    m_form.SetText(ids::NOW_TIME, buf);
}

void CServiceToolView::DownloadEnabled(int line, bool bEnabled) {
    if (ValidLine(line)) m_form.Enable(ids::DOWNLOAD_0 + line, bEnabled);
}

void CServiceToolView::PortButtonCaption(int line, const std::string& caption) {
    if (ValidLine(line)) m_form.SetText(ids::RESTORE_PORT[static_cast<size_t>(line)], caption);
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

void CServiceToolView::Finished(int line) {
    if (!ValidLine(line)) return;
    m_doc.Line(line).bRunning = 0;
    UpdateLineControls(line, false);
}
