// The Qt window and the start-up dialog, offscreen: a PNG of every visible state is saved under
// the build folder (gui-shots/), and the widgets are checked against the form model.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFont>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <atomic>
#include <memory>
#include <thread>

#include "model/document.h"
#include "form/control_ids.h"
#include "form/view.h"
#include "session/line_session.h"
#include "console_fakes.h"
#include "ui/qt/qt_form_window.h"
#include "ui/qt/qt_front_end.h"
#include "ui/qt/qt_startup_dialog.h"

namespace {

void Settle() {
    for (int i = 0; i < 5; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
}

QString ShotPath(const char* name) {
    const QString dir = QString::fromUtf8(RK_BINARY_DIR) + "/gui-shots";
    QDir().mkpath(dir);
    return dir + "/" + name + ".png";
}

void Save(QWidget& w, const char* name) {
    Settle();
    const QPixmap shot = w.grab();
    ASSERT_FALSE(shot.isNull());
    ASSERT_TRUE(shot.save(ShotPath(name)));
}

TEST(StartupDialog, TextsShotAndValidation) {
    CTerminalIpDialog dialog;
    std::vector<std::string> shown;
    dialog.showMessage = [&](const std::string& m) { shown.push_back(m); };
    dialog.show();
    Settle();
    EXPECT_EQ(dialog.windowTitle().toStdString(), "MG_RK880T_PDWA_CN_VEV1.00.00");
    auto* first = dialog.findChild<QLabel*>("1190");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->text().toStdString(), "使用WIFI终端管理工具前请先阅读说明书");
    auto* limitLabel = dialog.findChild<QLabel*>("1196");
    ASSERT_NE(limitLabel, nullptr);
    EXPECT_EQ(limitLabel->text().toStdString(), "WIFI最大连接：");
    EXPECT_EQ(dialog.LimitEdit()->text().toStdString(), "32");
    EXPECT_EQ(dialog.OkButton()->text().toStdString(), "确定");
    auto* cancel = dialog.findChild<QPushButton*>("2");
    ASSERT_NE(cancel, nullptr);
    EXPECT_FALSE(cancel->isVisible());
    Save(dialog, "startup_dialog");

    dialog.LimitEdit()->setText("0");
    dialog.OkButton()->click();
    dialog.LimitEdit()->setText("abc");
    dialog.OkButton()->click();
    EXPECT_EQ(shown, (std::vector<std::string>{"“请填入一个在1和32之间的整数。”", "请键入一个整数。"}));
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_NE(dialog.result(), QDialog::Accepted);

    dialog.LimitEdit()->setText(" 5");
    dialog.OkButton()->click();
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(dialog.Result().limitText, " 5");
    EXPECT_EQ(dialog.Result().address, "192.168.0.1");
}

TEST(StartupDialog, ValidationBoxShowsTheChineseOk) {
    CTerminalIpDialog dialog;
    dialog.show();
    Settle();
    std::string text, okCaption;
    int ticks = 0;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box) {
            text = box->text().toStdString();
            okCaption = box->button(QMessageBox::Ok) ? box->button(QMessageBox::Ok)->text().toStdString() : "";
            box->accept();
        } else if (++ticks > 250) {  // 5 s: whatever is modal goes, so the test ends
            if (QWidget* w = QApplication::activeModalWidget()) w->close();
        }
    });
    poll.start(20);
    dialog.LimitEdit()->setText("0");
    dialog.OkButton()->click();
    poll.stop();
    EXPECT_EQ(text, "“请填入一个在1和32之间的整数。”");
    EXPECT_EQ(okCaption, "确定");
}

class FormWindowTest : public ::testing::Test {
protected:
    FormWindowTest() {
        view = std::make_unique<CServiceToolView>(doc, form, ui, host, process, counts, ViewConfig{env.program, false});
        form.ApplyLabels(false);
        CFormWindow::Actions actions;
        actions.command = [this](int id) { commands.push_back(id); };
        actions.close = [this] { return bAllowClose; };
        window = std::make_unique<CFormWindow>(form, actions);
        window->show();
        Settle();
    }
    ~FormWindowTest() override {
        window.reset();
        view->Teardown();
    }

    std::string StatusText() { return static_cast<QPlainTextEdit*>(window->Control(1032))->toPlainText().toStdString(); }
    std::string ProgressText() { return static_cast<QLabel*>(window->Control(1101))->text().toStdString(); }
    int BarValue() { return static_cast<QProgressBar*>(window->Control(1024))->value(); }
    bool DownloadEnabled() { return window->Control(1008)->isEnabled(); }
    QRgb PictureCentre() {
        const QImage img = window->Control(1123)->grab().toImage();
        return img.pixel(16, 8) | 0xFF000000u;
    }

    fakes::TempEnv env;
    fakes::FakeUi ui;
    fakes::FakeHost host;
    fakes::FakeProcess process;
    CServiceToolDoc doc;
    CFormModel form;
    CCountsInfo counts;
    std::unique_ptr<CServiceToolView> view;
    std::unique_ptr<CFormWindow> window;
    std::vector<int> commands;
    bool bAllowClose = false;
};

TEST_F(FormWindowTest, OnlyTheVisibleControlsAreShown) {
    EXPECT_EQ(window->windowTitle().toStdString(), "MG_RK880T_PDWA_CN_VEV1.00.00 (rk880t-tool " RK880T_VERSION ")");
    for (int id : form.VisibleIds()) EXPECT_NE(window->Control(id), nullptr) << id;
    EXPECT_EQ(window->Control(1000), nullptr);
    EXPECT_EQ(window->Control(1164), nullptr);
    EXPECT_EQ(static_cast<QPushButton*>(window->Control(1008))->text().toStdString(), "执行");
    EXPECT_EQ(static_cast<QLabel*>(window->Control(1176))->text().toStdString(),
              "1：如有重要信息需要备份，请在开始执行前备份。");
    // Fixed size.
    EXPECT_EQ(window->minimumSize(), window->maximumSize());
    // The notes in dark red; under a high-contrast palette (white on black) in its text colour.
    auto noteColour = [&] { return window->Control(1199)->palette().color(QPalette::WindowText); };
    EXPECT_EQ(noteColour(), QColor(0xA0, 0x00, 0x00));
    const QPalette before = QApplication::palette();
    QPalette dark = before;
    dark.setColor(QPalette::Window, Qt::black);
    dark.setColor(QPalette::WindowText, Qt::white);
    QApplication::setPalette(dark);
    Settle();
    EXPECT_EQ(noteColour(), QColor(Qt::white));
    QApplication::setPalette(before);
    Settle();
    EXPECT_EQ(noteColour(), QColor(0xA0, 0x00, 0x00));
}

TEST_F(FormWindowTest, StatesThroughTheConsoleOperations) {
    // Offline.
    view->Presenter().Status(0, "建立连接...");
    view->Presenter().Picture(0, PIC_OFFLINE);
    view->Presenter().Progress(0, 0);
    view->Presenter().UpdateLineControls(0, false);
    Settle();
    EXPECT_EQ(StatusText(), "建立连接...");
    EXPECT_EQ(ProgressText(), "0/100");
    EXPECT_FALSE(DownloadEnabled());
    EXPECT_EQ(PictureCentre(), 0xFF8B0000u);
    Save(*window, "form_offline");

    // Ready.
    view->Presenter().Status(0, "连接完成");
    view->Presenter().Picture(0, PIC_READY);
    view->Presenter().UpdateLineControls(0, true);
    Settle();
    EXPECT_EQ(StatusText(), "连接完成");
    EXPECT_TRUE(DownloadEnabled());
    EXPECT_EQ(PictureCentre(), 0xFF006400u);
    Save(*window, "form_ready");

    // Running, half way; the worker thread writes.
    doc.Line(0).bRunning = 1;
    view->Presenter().UpdateLineControls(0, false);
    std::thread worker([&] {
        view->Presenter().Picture(0, PIC_RUNNING);
        view->Presenter().Status(0, "正在管理CPE，请稍等...");
        view->Presenter().Progress(0, 50);
    });
    worker.join();
    Settle();
    EXPECT_EQ(StatusText(), "正在管理CPE，请稍等...");
    EXPECT_EQ(ProgressText(), "50/100");
    EXPECT_EQ(BarValue(), 50);
    EXPECT_FALSE(DownloadEnabled());
    EXPECT_EQ(PictureCentre(), 0xFFFF00FFu);
    Save(*window, "form_running");

    // Passed.
    view->Presenter().Progress(0, 100);
    view->Presenter().Picture(0, PIC_PASS);
    view->Presenter().Status(0, "管理成功。\n点击【确定】按钮退出程序。");
    Settle();
    EXPECT_EQ(StatusText(), "管理成功。\n点击【确定】按钮退出程序。");
    EXPECT_EQ(ProgressText(), "100/100");
    EXPECT_EQ(PictureCentre(), 0xFF00FF00u);
    Save(*window, "form_passed");

    // Failed: EndTask code 5, then the failure picture.
    CLineSessions lines({doc, view->Presenter(), process, [](std::function<void()>) {}, {}});
    lines.Session(0).End(0, "接入盒重启失败!", LineOutcome::FailedClosing);
    view->Presenter().Picture(0, PIC_FAIL);
    Settle();
    EXPECT_EQ(StatusText(), "接入盒重启失败!");
    EXPECT_EQ(ProgressText(), "0/100");
    EXPECT_EQ(BarValue(), 0);
    EXPECT_FALSE(DownloadEnabled());
    EXPECT_EQ(PictureCentre(), 0xFFFF0000u);
    EXPECT_EQ(ui.Texts().back(), "如果再次管理wifi，请关闭工具软件和设备。按照操作说明重新进行升级操作。");
    Save(*window, "form_failed");
}

TEST_F(FormWindowTest, ButtonKeysAndCloseGoToTheFrame) {
    static_cast<QPushButton*>(window->Control(1008))->click();
    EXPECT_EQ(commands, std::vector<int>{1008});
    bAllowClose = false;
    window->close();
    Settle();
    EXPECT_TRUE(window->isVisible());
    bAllowClose = true;
    window->close();
    Settle();
    EXPECT_FALSE(window->isVisible());
}

// The IMEI question of a restore: Enter (the default button) and Escape answer No. Asked without
// an icon, a question shows the question mark.
TEST(QtFrontEnd, AQuestionWhoseDefaultIsNoAnswersNoToEnterAndEscape) {
    CQtFrontEnd ui{plat::Options{}};
    std::atomic<int> answer{-1};
    std::thread worker([&] {
        answer = static_cast<int>(ui.MessageBox("q", {}, plat::MsgButtons::YesNoDefaultNo, plat::MsgIcon::None));
    });
    bool bDefaultNo = false, bEscapeNo = false;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) return;
        bDefaultNo = box->defaultButton() == box->button(QMessageBox::No);
        bEscapeNo = box->escapeButton() == box->button(QMessageBox::No);
        icon = box->icon();
        box->defaultButton()->click();  // as Enter does
    });
    poll.start(20);
    const int64_t deadline = plat::TickMs() + 10000;
    while (answer.load() < 0 && plat::TickMs() < deadline) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    poll.stop();
    worker.join();
    EXPECT_TRUE(bDefaultNo);
    EXPECT_TRUE(bEscapeNo);
    EXPECT_EQ(icon, QMessageBox::Question);
    EXPECT_EQ(answer.load(), static_cast<int>(plat::MsgResult::No));
}

}  // namespace

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setFont(QFont("WenQuanYi Micro Hei", 10));
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
