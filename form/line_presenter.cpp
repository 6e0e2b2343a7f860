#include "form/line_presenter.h"

#include <algorithm>

#include "form/control_ids.h"
#include "platform/clock.h"
#include "platform/fs.h"
#include "platform/trace.h"

namespace {

// Enabled only while no line is busy.
constexpr int LOCKED_WHILE_BUSY[] = {1081, 1136, 1121, 1135, 1131, 1134, 1164, 1165, 1168, 1169, 1133,
                                     1132, 1138, 1147, 1109, 1154, 1156, 1158, 1159, 1162, 1140, 1141,
                                     1142, 1143, 1144, 1145, 1146, 1148};

}  // namespace

void CLinePresenter::SetTimeSource(std::function<std::tm()> source) {
    std::lock_guard<std::mutex> lock(m_timeMutex);
    m_timeSource = std::move(source);
}

std::tm CLinePresenter::LocalTime() const {
    {
        std::lock_guard<std::mutex> lock(m_timeMutex);
        if (m_timeSource) return m_timeSource();
    }
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    plat::LocalTime(now, tm);
    return tm;
}

void CLinePresenter::Status(int line, const std::string& text, bool bStamp) {
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

void CLinePresenter::History(int line, const std::string& text) {
    if (!ValidLine(line) || text.empty()) return;
    std::lock_guard<std::mutex> emit(m_emitMutex);
    m_doc.Line(line).AppendHistory(text);
    if (observers.onHistoryAppended) observers.onHistoryAppended(line, text);
}

void CLinePresenter::Picture(int line, int kind) {
    if (!ValidLine(line) || kind < PIC_READY || kind > PIC_OFFLINE) return;
    std::lock_guard<std::mutex> emit(m_emitMutex);
    m_nLastPicture = kind;
    m_nLastPictureLine = line;
    m_form.SetPicture(ids::PICTURE_0 + line, kind);
    if (observers.onPictureSet) observers.onPictureSet(line, kind);
}

void CLinePresenter::Progress(int line, int percent) {
    if (!ValidLine(line)) return;
    const int p = std::clamp(percent, 0, 100);
    if (p == 0) m_form.SetProgressRange(ids::PROGRESS_0 + line, 0, 100);
    m_form.SetProgressPos(ids::PROGRESS_0 + line, p);
    m_form.SetText(ids::PROGRESS_TEXT_0 + line, plat::Format("%d/100", p));
    if (observers.onProgressSet) observers.onProgressSet(line, p);
}

void CLinePresenter::ModemVersionChanged(int line) {
    if (!ValidLine(line)) return;
    const std::string text = m_doc.Line(line).ModemVersion();
    if (line == 0) {
        std::lock_guard<std::mutex> lock(m_textMutex);
        m_strModemCtl = text;
    }
    m_form.SetText(ids::MODEM_VERSION_0 + line, text);
}

void CLinePresenter::VersionsChanged(int line) {
    ModemVersionChanged(line);
    if (ValidLine(line)) m_form.SetText(ids::CpeVersionEdit(line), m_doc.Line(line).CpeVersion());
}

void CLinePresenter::DataFromControls() {
    m_nRadioMode = m_form.CheckedIndex({ids::MODE_RADIOS.begin(), ids::MODE_RADIOS.end()});
    const int nv = m_form.CheckedIndex({ids::NV_OPTION_RADIOS.begin(), ids::NV_OPTION_RADIOS.end()});
    if (nv >= 0) m_doc.m_nNvOption = nv;
    m_strUpgradeSoftware = m_form.GetText(ids::UPGRADE_SOFTWARE_EDIT);
    m_strBootFile = m_form.GetText(ids::BOOT_FILE_EDIT);
    m_strLoader = m_form.GetText(ids::LOADER_EDIT);
    const std::string modem = m_form.GetText(ids::MODEM_VERSION_0);
    std::lock_guard<std::mutex> lock(m_textMutex);
    m_strModemCtl = modem;
}

void CLinePresenter::DataToControls() {
    const int mode = m_nRadioMode;
    if (mode >= 0 && mode < 4) m_form.CheckRadio(ids::MODE_RADIOS[static_cast<size_t>(mode)]);
    const int nv = m_doc.m_nNvOption;
    if (nv >= 0 && nv < 4) m_form.CheckRadio(ids::NV_OPTION_RADIOS[static_cast<size_t>(nv)]);
    m_form.SetText(ids::UPGRADE_SOFTWARE_EDIT, m_strUpgradeSoftware);
    m_form.SetText(ids::BOOT_FILE_EDIT, m_strBootFile);
    m_form.SetText(ids::LOADER_EDIT, m_strLoader);
    std::string modem;
    {
        std::lock_guard<std::mutex> lock(m_textMutex);
        modem = m_strModemCtl;
    }
    m_form.SetText(ids::MODEM_VERSION_0, modem);
}

void CLinePresenter::ApplyBusyLocks() {
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

void CLinePresenter::UpdateLineControls(int line, bool bDownloadEnabled) {
    if (!ValidLine(line)) return;
    ApplyBusyLocks();
    m_form.Enable(ids::DOWNLOAD_0 + line, bDownloadEnabled);
    m_form.Enable(ids::STOP_LINE_0 + line, !bDownloadEnabled);
}

void CLinePresenter::ShowCurrentTime() {
    const std::tm t = LocalTime();
    char buf[64] = {};
    std::strftime(buf, sizeof buf, "%m/%d/%Y %H:%M", &t);
    m_form.SetText(ids::NOW_TIME, buf);
}

void CLinePresenter::Available(int line, bool bAvailable) {
    if (ValidLine(line)) m_form.Enable(ids::DOWNLOAD_0 + line, bAvailable);
}

void CLinePresenter::DiagPortShown(int line, bool bShown) {
    if (ValidLine(line))
        m_form.SetText(ids::RESTORE_PORT[static_cast<size_t>(line)], bShown ? TEXT_HIDE_PORT : TEXT_RESTORE_PORT);
}

void CLinePresenter::Message(const std::string& text, bool bTitled) {
    if (bTitled) m_ui.MessageBox(text, PRODUCT_TITLE);
    else m_ui.MessageBox(text);
}

bool CLinePresenter::AskDefaultNo(const std::string& text) {
    return m_ui.MessageBox(text, {}, plat::MsgButtons::YesNoDefaultNo, plat::MsgIcon::Question) == plat::MsgResult::Yes;
}

void CLinePresenter::ModeChanged(int mode) {
    if (mode < 0 || mode >= 4) return;
    m_form.CheckRadio(ids::MODE_RADIOS[static_cast<size_t>(mode)]);
    m_nRadioMode = mode;
}

void CLinePresenter::Ready(int line) {
    if (observers.onLineReady) observers.onLineReady(line);
}

void CLinePresenter::CountersChanged() {
    const CountsTexts texts = m_counts.GetDisplayTexts();
    m_form.SetText(ids::CLEAR_TIME, texts.strClearTime);
    m_form.SetText(ids::NOW_COUNTS, texts.strNow);
    m_form.SetText(ids::ALL_COUNTS, texts.strAll);
}

void CLinePresenter::RunningChanged(int line, bool bStartAllowed) {
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

void CLinePresenter::Waiting(int line, WaitFor what, int64_t maxMs) {
    m_taskClock.Wait(line, what, maxMs, plat::TickMs());
    if (line == m_nCurLine) ShowTimeLine();
}

void CLinePresenter::ShowTimeLine() {
    const int line = m_nCurLine;
    m_form.SetText(ids::TIME_LINE, m_taskClock.Text(line, plat::TickMs(), m_doc.English()));
}

bool CLinePresenter::TaskTick() {
    ShowTimeLine();
    for (int line = 0; line < LINE_COUNT; ++line)
        if (m_taskClock.Running(line)) return true;
    return false;
}

void CLinePresenter::TaskReturned(int line, std::optional<LineOutcome> outcome) {
    m_taskClock.End(line, plat::TickMs());
    if (line == m_nCurLine) ShowTimeLine();
    if (observers.onTaskThreadReturned) observers.onTaskThreadReturned(line, outcome);
}
