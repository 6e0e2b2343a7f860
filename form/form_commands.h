#pragma once
// CFormCommands: the menu's commands and the form's file and folder choosers (GUI thread): the
// record exports, clearing the counters, About, the operating guide, Exit, the uninstaller, the
// version package, the NV directory and the two image files. The command runs of the command
// line call the exports and the clearing too.
#include <string>

#include "form/form_model.h"
#include "form/line_presenter.h"
#include "form/view_host.h"
#include "model/document.h"
#include "platform/process.h"
#include "platform/ui_port.h"
#include "records/counts_info.h"
#include "session/line_session.h"

constexpr const char* TEXT_RUNNING_CN = "程序正在运行，不允许操作！";
constexpr const char* TEXT_RUNNING_EN = "Still running,can not allow config!";
constexpr const char* TEXT_RUNNING_GUIDE_EN = "Still running, can not allow config!";
constexpr const char* TEXT_SDI_WARNING_CN = "注意：导出SDI文件记录，将会清空使用本平台下载的相关记录！";
constexpr const char* TEXT_SDI_WARNING_EN = "Warning:After export sdi file,the upgrade information will be clear!";
constexpr const char* TEXT_ABOUT = "MG_RK880T_PDWA_CN_VEV1.00.00：RK880T 接入盒管理工具，版本 1.00.00。";
constexpr const char* TEXT_VERSION_IP_ONLY = "设置IP为\"2.2.2.2\"时才可以设置下载版本的路径。";
constexpr const char* TEXT_VERSION_SET = "版本设置完成，点击【确定】按钮退出程序。\n请严格按照操作说明进行管理操作。";
constexpr const char* TEXT_FILE_MISSING_SUFFIX = " 文件不存在，请重新选择。";
constexpr const char* TEXT_NV_DIR_TITLE = "Please choose the NV directory";
constexpr const char* GUIDE_FILE_NAME = "MG_RK880T_PDWA_CN_EU操作说明.doc";
constexpr const char* UNINSTALLER_NAME = "UnInstallAll.exe";
constexpr const char* BIN_FILTER = "Bin Files(*.bin) | *.bin;||";

class CFormCommands {
public:
    struct Deps {
        CServiceToolDoc& doc;
        CFormModel& form;
        plat::IUiPort& ui;
        IViewHost& host;
        plat::IProcess& process;
        CCountsInfo& counts;
        CLinePresenter& presenter;
        std::string programFolder;  // the operating guide and the uninstaller
    };
    explicit CFormCommands(Deps deps) : m_d(std::move(deps)) {}

    // The lines the commands reach (the gateway address, the uninstaller's channel close).
    void AttachLines(ILineControl* lines) { m_pLines = lines; }

    // Runs the command `id` when it is one of these; false for any other id.
    bool Handle(int id);

    // Refused (the running message, false) while line 0 runs.
    bool ExportCsv();
    bool ExportSdi();
    bool ClearCounts();
    // WM_USER + 1: line 0's channel closed, then the uninstaller started.
    void Uninstall();

    // Line 0 runs a task: the close is refused then (and the session end held back).
    bool LineZeroRunning() const { return m_d.doc.Line(0).bRunning.load() != 0; }
    // The text that says so, in the program's language.
    std::string RunningText() const { return m_d.doc.English() ? TEXT_RUNNING_EN : TEXT_RUNNING_CN; }
    // Shows it (the guide's English variant with `bGuideText`).
    void RunningMessage(bool bGuideText = false);

private:
    void VersionPath();
    void NvDirectory();
    void ChooseBinFile(int buttonId);

    Deps m_d;
    ILineControl* m_pLines = nullptr;
};
