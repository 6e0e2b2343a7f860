#include "ui/qt/qt_front_end.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
#include <QFont>
#include <QMessageBox>
#include <QTimer>
#include <algorithm>
#include <cstdint>

#include "form/control_ids.h"
#include "platform/clock.h"
#include "platform/terminal.h"
#include "ui/qt/qt_form_window.h"
#include "ui/qt/qt_startup_dialog.h"

namespace {

QString Q(const std::string& text) { return QString::fromUtf8(text.data(), static_cast<int>(text.size())); }

// Message box button captions as a Chinese system shows them.
constexpr const char* BUTTON_OK = "确定";
constexpr const char* BUTTON_YES = "是(&Y)";
constexpr const char* BUTTON_NO = "否(&N)";

// "Bin Files(*.bin) | *.bin;||" -> "Bin Files (*.bin)".
QString QtFilter(const std::string& filter) {
    const size_t bar = filter.find('|');
    std::string name = filter.substr(0, bar);
    while (!name.empty() && name.back() == ' ') name.pop_back();
    return Q(name);
}

}  // namespace

CQtFrontEnd::CQtFrontEnd(const plat::Options& options) : CFrontEnd(options), m_pContext(new QObject()) {
    m_gui.SetWake([this] {
        QMetaObject::invokeMethod(
            m_pContext, [this] {
                if (auto fn = m_gui.TakeNext()) fn();
            },
            Qt::QueuedConnection);
    });
}

CQtFrontEnd::~CQtFrontEnd() {
    m_gui.Close();  // no wake reaches the context from here on
    delete m_pContext;
}

void CQtFrontEnd::Open(CServiceToolApp& app) {
    CFormWindow::Actions actions;
    actions.command = [&app](int id) { app.View().OnCommand(id); };
    actions.close = [&app] { return app.View().OnFrameClose(); };
    actions.key = [&app](int key) { return app.View().OnKeyDown(key); };
    actions.closed = [this] { QApplication::exit(ExitStatus()); };
    m_pWindow = std::make_unique<CFormWindow>(app.Form(), actions);
}

int CQtFrontEnd::Loop() {
    m_pWindow->show();
    return QApplication::exec();
}

void CQtFrontEnd::Closed() { m_pWindow.reset(); }

void CQtFrontEnd::EndLoop() {
    if (m_pWindow) m_pWindow->CloseForced();
}

QWidget* CQtFrontEnd::Parent() const { return m_pWindow && m_pWindow->isVisible() ? m_pWindow.get() : nullptr; }

plat::MsgResult CQtFrontEnd::MessageBox(const std::string& text, const std::string& caption,
                                        plat::MsgButtons buttons, plat::MsgIcon icon) {
    const plat::MsgResult fallback = buttons == plat::MsgButtons::Ok ? plat::MsgResult::Ok : plat::MsgResult::No;
    return m_gui.Call<plat::MsgResult>(
        [this, text, caption, buttons, icon] {
            QMessageBox::Icon qicon = QMessageBox::NoIcon;
            switch (plat::ShownIcon(buttons, icon)) {
                case plat::MsgIcon::Information: qicon = QMessageBox::Information; break;
                case plat::MsgIcon::Exclamation: qicon = QMessageBox::Warning; break;
                case plat::MsgIcon::Stop: qicon = QMessageBox::Critical; break;
                case plat::MsgIcon::Question: qicon = QMessageBox::Question; break;
                case plat::MsgIcon::None: break;
            }
            const bool yesNo = buttons != plat::MsgButtons::Ok;
            QMessageBox box(qicon, Q(caption.empty() ? std::string(PRODUCT_TITLE) : caption), Q(text),
                            yesNo ? (QMessageBox::Yes | QMessageBox::No) : QMessageBox::Ok, Parent());
            // The buttons carry the captions of a Chinese system: the texts name them ("点击【确定】按钮").
            if (yesNo) {
                box.button(QMessageBox::Yes)->setText(Q(BUTTON_YES));
                box.button(QMessageBox::No)->setText(Q(BUTTON_NO));
                if (buttons == plat::MsgButtons::YesNoDefaultNo) {
                    box.setDefaultButton(QMessageBox::No);
                    box.setEscapeButton(QMessageBox::No);
                }
            } else {
                box.button(QMessageBox::Ok)->setText(Q(BUTTON_OK));
            }
            const int r = box.exec();
            if (!yesNo) return plat::MsgResult::Ok;
            return r == QMessageBox::Yes ? plat::MsgResult::Yes : plat::MsgResult::No;
        },
        fallback);
}

std::optional<std::string> CQtFrontEnd::AskFile(const plat::FileDialogSpec& dialogRequest) {
    return m_gui.Call<std::optional<std::string>>(
        [this, dialogRequest]() -> std::optional<std::string> {
            QFileDialog dialog(Parent());
            dialog.setAcceptMode(dialogRequest.bOpen ? QFileDialog::AcceptOpen : QFileDialog::AcceptSave);
            dialog.setFileMode(dialogRequest.bOpen && dialogRequest.bMustExist ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
            dialog.setNameFilter(QtFilter(dialogRequest.filter));
            if (!dialogRequest.defaultName.empty()) dialog.selectFile(Q(dialogRequest.defaultName));
            std::string ext = dialogRequest.defaultExt;
            if (!ext.empty() && ext[0] == '.') ext.erase(0, 1);
            if (!ext.empty()) dialog.setDefaultSuffix(Q(ext));
            if (!dialogRequest.bOverwritePrompt) dialog.setOption(QFileDialog::DontConfirmOverwrite);
            if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
            return dialog.selectedFiles().first().toStdString();
        },
        std::nullopt);
}

std::optional<std::string> CQtFrontEnd::ChooseFolder(const std::string& title) {
    return m_gui.Call<std::optional<std::string>>(
        [this, title]() -> std::optional<std::string> {
            const QString folder = QFileDialog::getExistingDirectory(Parent(), Q(title));
            if (folder.isEmpty()) return std::nullopt;
            return folder.toStdString();
        },
        std::nullopt);
}

void CQtFrontEnd::PostClose() {
    PostToGui([this] {
        if (m_pWindow) m_pWindow->close();
    });
}

DialogEnd CQtFrontEnd::RunTerminalIpDialog(TerminalIpResult& out) {
    CTerminalIpDialog dialog;
    if (dialog.exec() != QDialog::Accepted) return DialogEnd::Cancel;
    out.strIp = dialog.Result().address;
    out.strWifiMaxNum = dialog.Result().limitText;
    return DialogEnd::Ok;
}

void CQtFrontEnd::SetGuiTimer(int id, int64_t periodMs) {
    QTimer*& timer = m_timers[id];
    if (!timer) {
        timer = new QTimer(m_pContext);
        QObject::connect(timer, &QTimer::timeout, m_pContext, [this, id] {
            if (m_pApp) m_pApp->View().OnTimer(id);
        });
    }
    timer->start(static_cast<int>(std::min<int64_t>(periodMs, INT32_MAX)));
}

void CQtFrontEnd::KillGuiTimer(int id) {
    const auto it = m_timers.find(id);
    if (it != m_timers.end() && it->second) it->second->stop();
}

void CQtFrontEnd::SetTitle(const std::string& title) {
    if (m_pWindow) m_pWindow->setWindowTitle(Q(title));
}

int RunQtWindow(int argc, char** argv, const plat::Options& options, const std::string& programFolder,
                const std::function<void(CServiceToolApp&)>& wire) {
    QApplication qapp(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setFont(QFont("WenQuanYi Micro Hei", 10));

    CQtFrontEnd front(options);
    // SIGINT and SIGTERM close the window as its close button does, forced.
    plat::WorkerThread exitSignals;
    exitSignals.Start([&front] {
        while (!plat::StopRequested())
            if (const int status = plat::WaitExitSignal(100)) front.RequestExit(status, true);
    });
    const int status = front.RunApplication(programFolder, wire);
    exitSignals.Join();
    return status;
}
