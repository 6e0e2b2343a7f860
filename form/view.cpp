#include "form/view.h"

#include <algorithm>

#include "form/control_ids.h"
#include "model/version_source.h"
#include "platform/clock.h"
#include "platform/fs.h"

CServiceToolView::CServiceToolView(CServiceToolDoc& doc, CFormModel& form, plat::IUiPort& ui, IViewHost& host,
                                   plat::IProcess& process, CCountsInfo& counts, ViewConfig config)
    : m_doc(doc),
      m_form(form),
      m_ui(ui),
      m_host(host),
      m_config(std::move(config)),
      m_presenter(doc, form, ui, host, counts),
      m_commands({doc, form, ui, host, process, counts, m_presenter, m_config.programFolder}) {}

CServiceToolView::~CServiceToolView() { Teardown(); }

void CServiceToolView::AttachLines(ILineControl* lines) {
    m_pLines = lines;
    m_commands.AttachLines(lines);
}

// ---------------------------------------------------------------------------------------------
// Start-up

StartOutcome CServiceToolView::OnInitialUpdate() {
    // 1. Single instance.
    if (!m_instance.Acquire(INSTANCE_MUTEX_NAME)) {
        m_ui.MessageBox(TEXT_ALREADY_RUNNING);
        m_host.ExitProcessNow(0);
        return {false, 0};
    }
    // 2. Start-up dialog.
    TerminalIpResult dialog;
    switch (m_host.RunTerminalIpDialog(dialog)) {
        case DialogEnd::Ok: break;
        case DialogEnd::Cancel:
            m_instance.Release();
            m_host.ExitProcessNow(0);
            return {false, 0};
        case DialogEnd::Invalid:
            Teardown();
            return {false, 4};
    }
    if (m_pLines) m_pLines->ChooseGateway(dialog.strIp);
    m_doc.m_strWifiMaxNum = dialog.strWifiMaxNum;
    // 3. Labels.
    m_form.ApplyLabels(English());
    // 4, 5. Clock.
    m_presenter.ShowCurrentTime();
    m_host.StartTimer(ids::CLOCK_TIMER_ID, plat::Scaled(CLOCK_PERIOD_MS));
    // 6. Counters.
    m_presenter.CountersChanged();
    // 7. Line 0's record into the data members; its NV directory.
    m_presenter.m_strUpgradeSoftware = m_doc.GetLineText(0, LineField::UpgradeSoftware);
    m_presenter.m_strBootFile = m_doc.GetLineText(0, LineField::BootFile);
    m_presenter.m_strLoader = m_doc.GetLineText(0, LineField::LoaderImage);
    m_form.SetText(ids::NV_DIR_EDIT, m_doc.GetLineText(0, LineField::NvDirectory));
    // 8, 9. Layout and title (with the tool's version, so a technician can tell which build runs).
    m_host.SetTitle(WINDOW_TITLE);
    // 10. "Logs" in the current folder, where the line log writes, however long the folder's
    // path (a failure is not reported).
    plat::EnsureFolder(plat::JoinPath(plat::CurrentFolder(), "Logs"));
    // 11. Radio defaults; "擦Boot区" on and disabled.
    m_form.CheckRadio(ids::NV_OPTION_2);
    m_form.CheckRadio(ids::LINE_TASK_RADIOS[0][0]);
    m_form.SetCheck(ids::ERASE_BOOT, true);
    m_form.Enable(ids::ERASE_BOOT, false);
    // 12. Button images.
    m_form.SetImage(ids::DOWNLOAD_0, ids::ICON_DOWNLOAD);
    m_form.SetImage(ids::STOP_LINE_0, ids::ICON_STOP_LINE);
    // 13-15. Version folder, images, line 0's paths.
    if (!version_source::PrepareVersionSource(m_doc, m_ui)) {
        m_ui.MessageBox(version_source::TEXT_SOURCE_PATH_ERROR);
        m_host.ExitProcessNow(0);
        return {false, 0};
    }
    // 16. Line 0's versions, controls and progress.
    m_presenter.VersionsChanged(0);
    m_presenter.UpdateLineControls(0, true);
    m_presenter.Progress(0, 0);
    // 17. Members back into the controls (the lines wait for their web handshake from the start).
    m_presenter.DataToControls();
    // 18. DIAG port operation.
    if (m_doc.GetLineInt(0, LineField::DiagPortFlag) != 0 && m_pLines) m_pLines->SwitchPort(0, PortSwitch::AtStartUp);
    // 19.
    m_form.SetText(ids::CpeVersionEdit(0), m_doc.Line(0).CpeVersion());
    // 20. Line 0's link watcher.
    if (m_config.bStartLinkWatch && m_pLines && !m_bTornDown) {
        m_presenter.m_nCurLine = 0;
        m_pLines->Watch(0);
    }
    // 21.
    plat::Sleep(100);
    m_form.CheckRadio(ids::MODE_MODEM_AND_CPE);
    m_doc.m_nMode = MODE_MODEM_AND_CPE;
    return {true, 0};
}

// ---------------------------------------------------------------------------------------------
// Commands and messages

void CServiceToolView::OnCommand(int id) {
    if (m_bTornDown) return;
    if (id >= ids::DOWNLOAD_0 && id < ids::DOWNLOAD_0 + LINE_COUNT) return StartLine(id - ids::DOWNLOAD_0);
    if (id >= ids::STOP_LINE_0 && id < ids::STOP_LINE_0 + LINE_COUNT) return StopLine(id - ids::STOP_LINE_0);
    if (std::find(ids::MODE_RADIOS.begin(), ids::MODE_RADIOS.end(), id) != ids::MODE_RADIOS.end())
        return OnModeRadio(id);
    for (const auto& radios : ids::LINE_TASK_RADIOS)
        if (std::find(radios.begin(), radios.end(), id) != radios.end()) return LineTaskRadio(id);
    if (std::find(ids::NV_OPTION_RADIOS.begin(), ids::NV_OPTION_RADIOS.end(), id) != ids::NV_OPTION_RADIOS.end()) {
        m_form.CheckRadio(id);
        return SwitchPortOf(id);
    }
    if (m_commands.Handle(id)) return;
    switch (id) {
        case ids::START_ALL:
            for (int line = 0; line < LINE_COUNT; ++line)
                if (m_doc.Line(line).bRunning == 0) StartLine(line);
            return;
        case ids::STOP_ALL:
            for (int line = 0; line < LINE_COUNT; ++line) StopLine(line);
            return;
        case ids::RELEASE_ALL: return ReleaseAll();
        default: break;
    }
    if ((id >= 1131 && id <= 1148 && id != ids::BOOT_FILE_BUTTON) || id == 1158 || id == 1160) {
        if (id == ids::ERASE_BOOT) m_form.SetCheck(id, !m_form.IsChecked(id));
        SwitchPortOf(id);
    }
    // Anything else (the frame's 57601, 32780, 32783 among them) does nothing.
}

void CServiceToolView::OnTimer(int id) {
    if (id != ids::TASK_TIMER_ID) return m_presenter.ShowCurrentTime();
    if (!m_presenter.TaskTick()) m_host.StopTimer(ids::TASK_TIMER_ID);
}

void CServiceToolView::OnPaint() {
    const int kind = m_presenter.m_nLastPicture;
    const int shown = (kind >= PIC_READY && kind <= PIC_FAIL) ? kind : PIC_OFFLINE;
    if (m_form.Get(ids::PICTURE_0).nPicture != shown) m_form.SetPicture(ids::PICTURE_0, shown);
}

bool CServiceToolView::OnKeyDown(int key) const { return key == ids::KEY_ENTER || key == ids::KEY_ESCAPE; }

void CServiceToolView::OnModeRadio(int id) {
    const auto it = std::find(ids::MODE_RADIOS.begin(), ids::MODE_RADIOS.end(), id);
    if (it == ids::MODE_RADIOS.end()) return;
    const int index = static_cast<int>(it - ids::MODE_RADIOS.begin());
    m_form.CheckRadio(id);
    m_presenter.m_nRadioMode = index;
    m_doc.ChooseMode(index);
}

void CServiceToolView::LineTaskRadio(int id) {
    for (int line = 0; line < LINE_COUNT; ++line) {
        const auto& radios = ids::LINE_TASK_RADIOS[static_cast<size_t>(line)];
        const auto it = std::find(radios.begin(), radios.end(), id);
        if (it == radios.end()) continue;
        m_form.CheckRadio(id);
        m_doc.Line(line).nTaskType = static_cast<TaskType>(it - radios.begin() + 1);
        return;
    }
}

void CServiceToolView::SwitchPortOf(int id) {
    if (!m_pLines) return;
    if (id == ids::RESTORE_ALL_PORTS) return m_pLines->SwitchPort(0, PortSwitch::AllLines);
    for (int line = 0; line < LINE_COUNT; ++line)
        if (ids::RESTORE_PORT[static_cast<size_t>(line)] == id) return m_pLines->SwitchPort(line, PortSwitch::Line);
}

void CServiceToolView::StopLine(int line) {
    if (!ValidLine(line)) return;
    if (m_pLines) m_pLines->Stop(line);
    m_presenter.ApplyBusyLocks();
}

void CServiceToolView::ReleaseAll() {
    const bool bWasReleased = m_presenter.m_bAllReleased.load();
    m_presenter.m_bAllReleased = !bWasReleased;
    for (int line = 0; line < LINE_COUNT; ++line) {
        if (m_pLines) m_pLines->Release(line, !bWasReleased);
        m_form.SetText(ids::RELEASE_ALL, bWasReleased ? TEXT_RELEASE_ALL : TEXT_CONNECT_ALL);
        m_presenter.UpdateLineControls(line, bWasReleased);
    }
    m_form.Enable(ids::RESTORE_ALL_PORTS, true);
    m_form.Enable(ids::RELEASE_ALL, true);
}

void CServiceToolView::StartLine(int line) {
    if (!ValidLine(line) || !m_pLines || m_bTornDown) return;
    m_presenter.DataFromControls();
    // The radio's mode is used once; the mode radios choose it again on the next press.
    if (m_pLines->Start(line, m_presenter.m_nRadioMode.load())) m_presenter.m_nRadioMode = 0;
}

// ---------------------------------------------------------------------------------------------
// Close

bool CServiceToolView::OnFrameClose() {
    if (m_commands.LineZeroRunning()) {
        m_commands.RunningMessage();
        return false;
    }
    m_host.StopTimer(ids::CLOCK_TIMER_ID);
    Teardown();
    return true;
}

void CServiceToolView::Teardown() {
    if (m_bTornDown.exchange(true)) return;
    m_host.BeginTeardown();
    m_host.StopTimer(ids::CLOCK_TIMER_ID);
    m_host.StopTimer(ids::TASK_TIMER_ID);
    if (m_pLines) m_pLines->Shutdown();
    version_source::DeleteImages(plat::VersionFolder());
    m_instance.Release();
}
