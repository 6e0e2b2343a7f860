#pragma once
// Dialog 162 ("Write Terminal IP") as a Qt dialog: the operator's instructions and the WiFi client
// limit, validated by the OK button. Escape or closing the dialog is a cancel.
#include <QDialog>
#include <functional>
#include <string>

#include "form/startup_dialog.h"

class QLineEdit;
class QPushButton;

class CTerminalIpDialog : public QDialog {
public:
    explicit CTerminalIpDialog(QWidget* parent = nullptr);

    // Shows a failed check's prompt (default: a message box); tests replace it.
    std::function<void(const std::string&)> showMessage;

    QLineEdit* LimitEdit() const { return m_pEdit; }
    QPushButton* OkButton() const { return m_pOk; }
    // The OK button's result (valid once the dialog was accepted).
    const startup_dialog::DialogResult& Result() const { return m_result; }

private:
    void OnOk();

    QLineEdit* m_pEdit = nullptr;
    QPushButton* m_pOk = nullptr;
    startup_dialog::DialogResult m_result;
};
