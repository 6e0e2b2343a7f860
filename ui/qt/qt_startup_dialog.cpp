#include "ui/qt/qt_startup_dialog.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

QString Q(const char* text) { return QString::fromUtf8(text); }

}  // namespace

CTerminalIpDialog::CTerminalIpDialog(QWidget* parent) : QDialog(parent) {
    using namespace startup_dialog;
    setWindowTitle(Q(CAPTION));
    // Caption and modal frame, no system menu.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(16, 14, 16, 12);
    layout->setSpacing(6);
    for (const ControlText& t : OPENING_TEXTS) {
        if (t.id < 1190) continue;  // the buttons and the two labels come below
        if (t.id == IDC_IP_LABEL || t.id == IDC_LIMIT_LABEL) continue;
        auto* label = new QLabel(Q(t.text), this);
        label->setObjectName(QString::number(t.id));
        layout->addWidget(label);
    }

    auto* row = new QHBoxLayout();
    row->addStretch(1);
    auto* limitLabel = new QLabel(Q(TEXT_1196), this);
    limitLabel->setObjectName(QString::number(IDC_LIMIT_LABEL));
    limitLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    row->addWidget(limitLabel);
    m_pEdit = new QLineEdit(QString::number(32), this);
    m_pEdit->setObjectName(QString::number(IDC_LIMIT_EDIT));
    m_pEdit->setAlignment(Qt::AlignCenter);
    m_pEdit->setFixedWidth(80);
    row->addWidget(m_pEdit);
    row->addStretch(1);
    layout->addSpacing(6);
    layout->addLayout(row);

    auto* buttons = new QHBoxLayout();
    buttons->addStretch(1);
    m_pOk = new QPushButton(Q(TEXT_OK), this);
    m_pOk->setObjectName(QString::number(IDOK_BUTTON));
    m_pOk->setDefault(true);
    m_pOk->setAutoDefault(true);
    buttons->addWidget(m_pOk);
    buttons->addStretch(1);
    layout->addSpacing(4);
    layout->addLayout(buttons);

    // The hidden, disabled cancel button, IP label and IP address control of the template.
    auto* cancel = new QPushButton(Q(TEXT_CANCEL), this);
    cancel->setObjectName(QString::number(IDCANCEL_BUTTON));
    cancel->setEnabled(false);
    cancel->hide();

    connect(m_pOk, &QPushButton::clicked, this, [this] { OnOk(); });
    showMessage = [this](const std::string& text) {
        QMessageBox box(QMessageBox::Warning, Q(startup_dialog::CAPTION), QString::fromStdString(text),
                        QMessageBox::Ok, this);
        // The OK caption of a Chinese system, as on every other box.
        box.button(QMessageBox::Ok)->setText(Q(startup_dialog::TEXT_OK));
        box.exec();
    };
    setFixedSize(sizeHint().expandedTo(QSize(470, 0)));
}

void CTerminalIpDialog::OnOk() {
    const startup_dialog::DialogResult r = startup_dialog::PressOk(m_pEdit->text().toStdString());
    if (r.check != startup_dialog::LimitCheck::Ok) {
        if (showMessage) showMessage(r.message);
        m_pEdit->setFocus();
        m_pEdit->selectAll();
        return;
    }
    m_result = r;
    accept();
}
