#include "form/view.h"

#include <algorithm>

#include "form/control_ids.h"
#include "model/version_source.h"
#include "platform/fs.h"
#include "platform/trace.h"
#include "records/record_store.h"

CServiceToolView::CServiceToolView(CServiceToolDoc& doc, CFormModel& form,
                                               plat::IUiPort& ui, IViewHost& host,
                                               plat::IProcess& process, ViewConfig config)
    : m_doc(doc), m_form(form), m_ui(ui), m_host(host), m_process(process), m_config(std::move(config)) {
    if (!m_icmp.IsReady() && !m_icmp.ErrorText().empty()) m_ui.MessageBox(m_icmp.ErrorText(), "Error:");
}

CServiceToolView::~CServiceToolView() { Teardown(); }

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
    ShowCurrentTime();
    m_host.StartTimer(ids::CLOCK_TIMER_ID, plat::Scaled(CLOCK_PERIOD_MS));
    // 6. Counters.
    RefreshCounters();
    // 7. Line 0's record into the data members; its NV directory.
    m_strUpgradeSoftware = m_doc.GetLineText(0, LineField::UpgradeSoftware);
    m_strBootFile = m_doc.GetLineText(0, LineField::BootFile);
    m_strLoader = m_doc.GetLineText(0, LineField::LoaderImage);
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
    ShowLineVersions(0);
    UpdateLineControls(0, true);
    SetLineProgress(0, 0);
    // 17. Members back into the controls (the lines wait for their web handshake from the start).
    DataToControls();
    // 18. DIAG port operation.
    if (m_doc.GetLineInt(0, LineField::DiagPortFlag) != 0 && m_pLines) m_pLines->SwitchPort(0, PortSwitch::AtStartUp);
    // 19.
    ShowCpeVersion(0);
    // 20.
    if (m_config.bStartLinkWatch) StartLinkWatch(0);
    // 21.
    plat::Sleep(100);
    m_form.CheckRadio(ids::MODE_MODEM_AND_CPE);
    m_doc.m_nMode = MODE_MODEM_AND_CPE;
    return {true, 0};
}

void CServiceToolView::RefreshCounters() {
    const CountsTexts texts = m_countsInfo.GetDisplayTexts();
    m_form.SetText(ids::CLEAR_TIME, texts.strClearTime);
    m_form.SetText(ids::NOW_COUNTS, texts.strNow);
    m_form.SetText(ids::ALL_COUNTS, texts.strAll);
}

void CServiceToolView::DataFromControls() {
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

void CServiceToolView::DataToControls() {
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

// ---------------------------------------------------------------------------------------------
// Commands and messages

void CServiceToolView::OnCommand(int id) {
    if (m_bTornDown) return;
    if (id >= ids::DOWNLOAD_0 && id < ids::DOWNLOAD_0 + LINE_COUNT) return StartLine(id - ids::DOWNLOAD_0);
    if (id >= ids::STOP_LINE_0 && id < ids::STOP_LINE_0 + LINE_COUNT) return OnStopLine(id - ids::STOP_LINE_0);
    if (std::find(ids::MODE_RADIOS.begin(), ids::MODE_RADIOS.end(), id) != ids::MODE_RADIOS.end())
        return OnModeRadio(id);
    for (const auto& radios : ids::LINE_TASK_RADIOS)
        if (std::find(radios.begin(), radios.end(), id) != radios.end()) return OnLineTaskRadio(id);
    if (std::find(ids::NV_OPTION_RADIOS.begin(), ids::NV_OPTION_RADIOS.end(), id) != ids::NV_OPTION_RADIOS.end())
        return OnNvOptionRadio(id);
    switch (id) {
        case ids::VERSION_PATH_BUTTON: return OnVersionPath();
        case ids::NV_DIR_BUTTON: return OnNvDirectory();
        case ids::CLEAR_COUNTS: OnClearCounts(); return;
        case ids::START_ALL: return OnStartAll();
        case ids::STOP_ALL: return OnStopAll();
        case ids::RELEASE_ALL: return OnReleaseAll();
        case ids::UPGRADE_SOFTWARE_BUTTON:
        case ids::BOOT_FILE_BUTTON: return OnChooseBinFile(id);
        case ids::CMD_EXIT: return OnExitCommand();
        case ids::CMD_EXPORT_CSV: OnExportCsv(); return;
        case ids::CMD_EXPORT_SDI: OnExportSdi(); return;
        case ids::CMD_OPERATING_GUIDE: return OnOperatingGuide();
        case ids::CMD_ABOUT: return OnAbout();
        default: break;
    }
    if ((id >= 1131 && id <= 1148 && id != ids::BOOT_FILE_BUTTON) || id == 1158 || id == 1160) {
        if (id == ids::ERASE_BOOT) m_form.SetCheck(id, !m_form.IsChecked(id));
        SwitchPortOf(id);
    }
    // Anything else (the frame's 57601, 32780, 32783 among them) does nothing.
}

void CServiceToolView::OnTimer(int id) {
    if (id != ids::TASK_TIMER_ID) return ShowCurrentTime();
    ShowTimeLine();
    bool bAny = false;
    for (int line = 0; line < LINE_COUNT; ++line) bAny = bAny || m_taskClock.Running(line);
    if (!bAny) m_host.StopTimer(ids::TASK_TIMER_ID);
}

void CServiceToolView::OnPaint() {
    const int kind = m_nLastPicture;
    const int shown = (kind >= PIC_READY && kind <= PIC_FAIL) ? kind : PIC_OFFLINE;
    if (m_form.Get(ids::PICTURE_0).nPicture != shown) m_form.SetPicture(ids::PICTURE_0, shown);
}

bool CServiceToolView::OnKeyDown(int key) { return key == ids::KEY_ENTER || key == ids::KEY_ESCAPE; }

void CServiceToolView::RunningMessage(bool bGuideText) {
    const char* text = English() ? (bGuideText ? TEXT_RUNNING_GUIDE_EN : TEXT_RUNNING_EN) : TEXT_RUNNING_CN;
    m_ui.MessageBox(text);
}

void CServiceToolView::OnExitCommand() {
    if (LineZeroRunning()) return RunningMessage();
    // The process ends at once: no teardown, the images stay.
    m_host.ExitProcessNow(0);
}

void CServiceToolView::OnAbout() { m_ui.MessageBox(TEXT_ABOUT, PRODUCT_TITLE); }

void CServiceToolView::OnOperatingGuide() {
    if (LineZeroRunning()) return RunningMessage(true);
    m_process.OpenDocument(plat::JoinPath(m_config.programFolder, GUIDE_FILE_NAME));
}

bool CServiceToolView::OnExportCsv() {
    if (LineZeroRunning()) {
        RunningMessage();
        return false;
    }
    CRecordStore* store = m_doc.RecordStore();
    return store != nullptr && store->ExportCsv();
}

bool CServiceToolView::OnExportSdi() {
    if (LineZeroRunning()) {
        RunningMessage();
        return false;
    }
    m_ui.MessageBox(English() ? TEXT_SDI_WARNING_EN : TEXT_SDI_WARNING_CN);
    CRecordStore* store = m_doc.RecordStore();
    return store != nullptr && store->ExportSdi();
}

bool CServiceToolView::OnClearCounts() {
    if (!m_countsInfo.Clear(m_ui, English())) return false;
    RefreshCounters();
    return true;
}

void CServiceToolView::OnUninstallMessage() {
    const int line = m_nCurLine;
    if (m_pLines) m_pLines->CloseChannel(line);
    plat::Sleep(1500);
    m_process.StartProgram(plat::JoinPath(m_config.programFolder, UNINSTALLER_NAME));
}

void CServiceToolView::OnVersionPath() {
    if (TerminalIp() != VERSION_PATH_ADDRESS) {
        m_ui.MessageBox(TEXT_VERSION_IP_ONLY, PRODUCT_TITLE);
        return;
    }
    DataFromControls();
    plat::FileDialogSpec dialogRequest;
    dialogRequest.bOpen = true;
    dialogRequest.defaultExt = ".zip";
    dialogRequest.defaultName = "version.zip";
    dialogRequest.filter = "zip file (*.zip)|*.zip||";
    dialogRequest.bOverwritePrompt = true;
    const auto path = m_ui.ChooseFile(dialogRequest);
    if (!path) return;
    if (!m_doc.SetLineText(0, LineField::VersionPackage, *path, &m_ui)) return;
    if (plat::PathExists(*path)) {
        m_form.SetText(ids::VERSION_PATH_EDIT, *path);
        m_ui.MessageBox(TEXT_VERSION_SET);
        m_ui.PostClose();
    } else {
        m_ui.MessageBox(*path + TEXT_FILE_MISSING_SUFFIX);
    }
}

void CServiceToolView::OnNvDirectory() {
    if (const auto folder = m_ui.ChooseFolder(TEXT_NV_DIR_TITLE)) {
        for (int line = 0; line < LINE_COUNT; ++line)
            if (!m_doc.SetLineText(line, LineField::NvDirectory, *folder, line == 0 ? &m_ui : nullptr)) break;
    }
    m_form.SetText(ids::NV_DIR_EDIT, m_doc.GetLineText(0, LineField::NvDirectory));
}

void CServiceToolView::OnChooseBinFile(int buttonId) {
    const bool bUpgrade = buttonId == ids::UPGRADE_SOFTWARE_BUTTON;
    plat::FileDialogSpec dialogRequest;
    dialogRequest.bOpen = true;
    dialogRequest.filter = BIN_FILTER;
    dialogRequest.bMustExist = true;
    const auto path = m_ui.ChooseFile(dialogRequest);
    if (!path) return;
    const TextField field = bUpgrade ? LineField::UpgradeSoftware : LineField::BootFile;
    if (!m_doc.SetLineText(0, field, *path, &m_ui)) return;
    for (int line = 1; line < LINE_COUNT; ++line) m_doc.SetLineText(line, field, *path, nullptr);
    (bUpgrade ? m_strUpgradeSoftware : m_strBootFile) = *path;
    m_form.SetText(bUpgrade ? ids::UPGRADE_SOFTWARE_EDIT : ids::BOOT_FILE_EDIT, *path);
}

void CServiceToolView::OnModeRadio(int id) {
    const auto it = std::find(ids::MODE_RADIOS.begin(), ids::MODE_RADIOS.end(), id);
    if (it == ids::MODE_RADIOS.end()) return;
    const int index = static_cast<int>(it - ids::MODE_RADIOS.begin());
    m_form.CheckRadio(id);
    m_nRadioMode = index;
    m_doc.m_nMode = index;
    m_doc.Line(0).nTaskType = TaskForMode(index);
}

void CServiceToolView::OnLineTaskRadio(int id) {
    for (int line = 0; line < LINE_COUNT; ++line) {
        const auto& radios = ids::LINE_TASK_RADIOS[static_cast<size_t>(line)];
        const auto it = std::find(radios.begin(), radios.end(), id);
        if (it == radios.end()) continue;
        m_form.CheckRadio(id);
        m_doc.Line(line).nTaskType = static_cast<TaskType>(it - radios.begin() + 1);
        return;
    }
}

void CServiceToolView::OnNvOptionRadio(int id) {
    m_form.CheckRadio(id);
    SwitchPortOf(id);
}

void CServiceToolView::SwitchPortOf(int id) {
    if (!m_pLines) return;
    if (id == ids::RESTORE_ALL_PORTS) return m_pLines->SwitchPort(0, PortSwitch::AllLines);
    for (int line = 0; line < LINE_COUNT; ++line)
        if (ids::RESTORE_PORT[static_cast<size_t>(line)] == id) return m_pLines->SwitchPort(line, PortSwitch::Line);
}

void CServiceToolView::OnStartAll() {
    for (int line = 0; line < LINE_COUNT; ++line)
        if (m_doc.Line(line).bRunning == 0) StartLine(line);
}

void CServiceToolView::OnStopAll() {
    for (int line = 0; line < LINE_COUNT; ++line) OnStopLine(line);
}

void CServiceToolView::OnStopLine(int line) {
    if (!ValidLine(line)) return;
    if (m_pLines) m_pLines->Stop(line);
    ApplyBusyLocks();
}

void CServiceToolView::OnReleaseAll() {
    const bool bWasReleased = m_bAllReleased.load();
    m_bAllReleased = !bWasReleased;
    for (int line = 0; line < LINE_COUNT; ++line) {
        if (m_pLines) m_pLines->Release(line, !bWasReleased);
        if (bWasReleased) {
            m_form.SetText(ids::RELEASE_ALL, TEXT_RELEASE_ALL);
            UpdateLineControls(line, true);
        } else {
            m_form.SetText(ids::RELEASE_ALL, TEXT_CONNECT_ALL);
            UpdateLineControls(line, false);
        }
    }
    m_form.Enable(ids::RESTORE_ALL_PORTS, true);
    m_form.Enable(ids::RELEASE_ALL, true);
}

// ---------------------------------------------------------------------------------------------
// Upgrade controller

void CServiceToolView::StartLinkWatch(int line) {
    if (!ValidLine(line) || !m_pLines || m_bTornDown) return;
    m_nCurLine = line;
    m_pLines->Watch(line);
}

void CServiceToolView::StartLine(int line) {
    if (!ValidLine(line) || !m_pLines || m_bTornDown) return;
    DataFromControls();
    // The radio's mode is used once; the mode radios choose it again on the next press.
    if (m_pLines->Start(line, m_nRadioMode.load())) m_nRadioMode = 0;
}

// ---------------------------------------------------------------------------------------------
// Close

bool CServiceToolView::OnFrameClose() {
    if (LineZeroRunning()) {
        RunningMessage();
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

// ---------------------------------------------------------------------------------------------
// Signals

void CServiceToolView::NotifyLineReady(int line) {
    if (observers.onLineReady) observers.onLineReady(line);
}

void CServiceToolView::RequestExit(int status, bool force) { m_host.RequestExit(status, force); }
