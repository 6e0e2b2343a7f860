#include "form/form_commands.h"

#include "form/control_ids.h"
#include "platform/clock.h"
#include "platform/fs.h"
#include "records/record_store.h"

bool CFormCommands::Handle(int id) {
    switch (id) {
        case ids::VERSION_PATH_BUTTON: VersionPath(); return true;
        case ids::NV_DIR_BUTTON: NvDirectory(); return true;
        case ids::CLEAR_COUNTS: ClearCounts(); return true;
        case ids::UPGRADE_SOFTWARE_BUTTON:
        case ids::BOOT_FILE_BUTTON: ChooseBinFile(id); return true;
        case ids::CMD_EXPORT_CSV: ExportCsv(); return true;
        case ids::CMD_EXPORT_SDI: ExportSdi(); return true;
        case ids::CMD_ABOUT: m_d.ui.MessageBox(TEXT_ABOUT, PRODUCT_TITLE); return true;
        case ids::CMD_EXIT:
            if (LineZeroRunning()) RunningMessage();
            else m_d.host.ExitProcessNow(0);  // at once: no teardown, the images stay
            return true;
        case ids::CMD_OPERATING_GUIDE:
            if (LineZeroRunning()) RunningMessage(true);
            else m_d.process.OpenDocument(plat::JoinPath(m_d.programFolder, GUIDE_FILE_NAME));
            return true;
        default: return false;
    }
}

void CFormCommands::RunningMessage(bool bGuideText) {
    const char* text = m_d.doc.English() ? (bGuideText ? TEXT_RUNNING_GUIDE_EN : TEXT_RUNNING_EN) : TEXT_RUNNING_CN;
    m_d.ui.MessageBox(text);
}

bool CFormCommands::ExportCsv() {
    if (LineZeroRunning()) {
        RunningMessage();
        return false;
    }
    CRecordStore* store = m_d.doc.RecordStore();
    return store != nullptr && store->ExportCsv();
}

bool CFormCommands::ExportSdi() {
    if (LineZeroRunning()) {
        RunningMessage();
        return false;
    }
    m_d.ui.MessageBox(m_d.doc.English() ? TEXT_SDI_WARNING_EN : TEXT_SDI_WARNING_CN);
    CRecordStore* store = m_d.doc.RecordStore();
    return store != nullptr && store->ExportSdi();
}

bool CFormCommands::ClearCounts() {
    if (!m_d.counts.Clear(m_d.ui, m_d.doc.English())) return false;
    m_d.presenter.CountersChanged();
    return true;
}

void CFormCommands::Uninstall() {
    if (m_pLines) m_pLines->CloseChannel(m_d.presenter.m_nCurLine);
    plat::Sleep(1500);
    m_d.process.StartProgram(plat::JoinPath(m_d.programFolder, UNINSTALLER_NAME));
}

void CFormCommands::VersionPath() {
    const std::string gateway = m_pLines ? m_pLines->Gateway(0) : std::string();
    if (gateway != VERSION_PATH_ADDRESS) {
        m_d.ui.MessageBox(TEXT_VERSION_IP_ONLY, PRODUCT_TITLE);
        return;
    }
    m_d.presenter.DataFromControls();
    plat::FileDialogSpec dialogRequest;
    dialogRequest.bOpen = true;
    dialogRequest.defaultExt = ".zip";
    dialogRequest.defaultName = "version.zip";
    dialogRequest.filter = "zip file (*.zip)|*.zip||";
    dialogRequest.bOverwritePrompt = true;
    const auto path = m_d.ui.ChooseFile(dialogRequest);
    if (!path) return;
    if (!m_d.doc.SetLineText(0, LineField::VersionPackage, *path, &m_d.ui)) return;
    if (plat::PathExists(*path)) {
        m_d.form.SetText(ids::VERSION_PATH_EDIT, *path);
        m_d.ui.MessageBox(TEXT_VERSION_SET);
        m_d.ui.PostClose();
    } else {
        m_d.ui.MessageBox(*path + TEXT_FILE_MISSING_SUFFIX);
    }
}

void CFormCommands::NvDirectory() {
    if (const auto folder = m_d.ui.ChooseFolder(TEXT_NV_DIR_TITLE)) {
        for (int line = 0; line < LINE_COUNT; ++line)
            if (!m_d.doc.SetLineText(line, LineField::NvDirectory, *folder, line == 0 ? &m_d.ui : nullptr)) break;
    }
    m_d.form.SetText(ids::NV_DIR_EDIT, m_d.doc.GetLineText(0, LineField::NvDirectory));
}

void CFormCommands::ChooseBinFile(int buttonId) {
    const bool bUpgrade = buttonId == ids::UPGRADE_SOFTWARE_BUTTON;
    plat::FileDialogSpec dialogRequest;
    dialogRequest.bOpen = true;
    dialogRequest.filter = BIN_FILTER;
    dialogRequest.bMustExist = true;
    const auto path = m_d.ui.ChooseFile(dialogRequest);
    if (!path) return;
    const TextField field = bUpgrade ? LineField::UpgradeSoftware : LineField::BootFile;
    if (!m_d.doc.SetLineText(0, field, *path, &m_d.ui)) return;
    for (int line = 1; line < LINE_COUNT; ++line) m_d.doc.SetLineText(line, field, *path, nullptr);
    (bUpgrade ? m_d.presenter.m_strUpgradeSoftware : m_d.presenter.m_strBootFile) = *path;
    m_d.form.SetText(bUpgrade ? ids::UPGRADE_SOFTWARE_EDIT : ids::BOOT_FILE_EDIT, *path);
}
