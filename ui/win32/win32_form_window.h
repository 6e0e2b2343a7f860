#pragma once
// The main window of the Windows build: the visible controls of dialog 101 over the form model,
// at a fixed size: the layout's pixels at 96 DPI, scaled with its font to the window's DPI (and
// again when the window moves to a screen of another DPI). A model change (from any thread) is posted to the GUI thread, which redraws
// that control; button presses, Enter and Escape, the close box and the timers go to the frame and
// the view through the actions.
#include <windows.h>

#include <array>
#include <functional>
#include <map>
#include <string>

#include "form/form_model.h"

// The window class of the form (tests find the window by it).
constexpr const wchar_t* FORM_WINDOW_CLASS = L"RK880TFormWindow";
// The form window's message that runs the GUI thread's posted work.
constexpr UINT WM_APP_RUN_POSTED = WM_APP + 1;
// A model change of control `wParam` to redraw.
constexpr UINT WM_APP_REFRESH = WM_APP + 2;

class CWin32FormWindow {
public:
    struct Actions {
        std::function<void(int id)> command;  // a button of the form
        std::function<bool()> close;          // the frame's close: false refuses
        std::function<bool(int key)> key;     // true: the key was swallowed
        std::function<void(int id)> timer;    // a window timer
        std::function<void()> posted;         // WM_APP_RUN_POSTED
        std::function<void()> destroyed;      // the window is gone
        std::function<bool()> endSession;     // WM_QUERYENDSESSION: false holds the session end back
    };

    // Creates the window, hidden, with every visible control drawn from the model.
    CWin32FormWindow(CFormModel& form, Actions actions);
    ~CWin32FormWindow();
    CWin32FormWindow(const CWin32FormWindow&) = delete;
    CWin32FormWindow& operator=(const CWin32FormWindow&) = delete;

    HWND Handle() const { return m_hWnd; }
    // The window of a visible control; null for hidden ones.
    HWND Control(int id) const;
    void Show();
    // Closes without asking the frame (the close path already ran).
    void CloseForced();
    void SetTitle(const std::string& title);
    // Redraws every control from the model.
    void RefreshAll();

    // Enter or Escape on the form or one of its controls: true when the view swallowed it.
    bool FilterKey(const MSG& msg);

private:
    static LRESULT CALLBACK WndProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam);
    LRESULT Handle(UINT msg, WPARAM wParam, LPARAM lParam);
    void CreateControls();
    // Font, control places, frame size and icons for `dpi`.
    void ApplyDpi(UINT dpi);
    int Scaled(int value) const;
    void Refresh(int id);
    void DrawButton(const DRAWITEMSTRUCT& item);
    void DrawPicture(const DRAWITEMSTRUCT& item);

    CFormModel& m_form;
    Actions m_actions;
    UINT m_dpi = 96;
    HFONT m_font = nullptr;
    HWND m_hWnd = nullptr;
    std::map<int, HWND> m_controls;
    std::map<int, HICON> m_icons;  // button images by resource id, at m_dpi
    HICON m_smallIcon = nullptr;   // the caption's icon, at m_dpi
    HBRUSH m_background;
    int m_nListener = 0;
    bool m_bForced = false;
};
