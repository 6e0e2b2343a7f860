#pragma once
// CMainFrame: the fixed-size frame around the form. It has no members of its own: its close is
// the view's close check, and three commands of its own do nothing.
class CServiceToolView;

class CMainFrame {
public:
    explicit CMainFrame(CServiceToolView& view) : m_view(view) {}

    // WM_CLOSE: refused (the running message) while line 0 runs; otherwise the clock timer stops
    // and the window goes (teardown). True when the window may close.
    bool OnClose();
    // Command routing: the view first, then the frame (57601, 32780 and 32783 do nothing).
    void OnCommand(int id);

private:
    CServiceToolView& m_view;
};
