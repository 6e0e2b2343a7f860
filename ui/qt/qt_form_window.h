#pragma once
// The main window: the visible controls of dialog 101 over the form model, at a fixed size. It
// redraws a control when the model reports a change (posted to the GUI thread) and hands button
// presses, keys and the close box to the frame and the view.
#include <QImage>
#include <QWidget>
#include <functional>
#include <map>

#include "form/form_model.h"

class CFormWindow : public QWidget {
public:
    struct Actions {
        std::function<void(int id)> command;  // a button of the form
        std::function<bool()> close;          // the frame's close: false refuses
        std::function<bool(int key)> key;     // true: the key was swallowed
        std::function<void()> closed;         // the window has closed
    };

    CFormWindow(CFormModel& form, Actions actions, QWidget* parent = nullptr);
    ~CFormWindow() override;

    // The widget of a visible control; null for hidden ones.
    QWidget* Control(int id) const;
    // Closes without asking the frame (the close path already ran).
    void CloseForced();
    // Redraws every control from the model.
    void RefreshAll();

    static QImage PictureImage(int kind);

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void Refresh(int id);
    // The notes in dark red, or in the palette's text colour where dark red does not stand out
    // from the palette's background (a high-contrast theme).
    void ColourNotes();

    CFormModel& m_form;
    Actions m_actions;
    std::map<int, QWidget*> m_widgets;
    int m_nListener = 0;
    bool m_bForced = false;
};
