#include "ui/win32/win32_session_guard.h"

namespace {

constexpr wchar_t kClass[] = L"RK880TSessionGuard";
// How long the guard's thread may take to make its window, and to end after it is closed.
constexpr DWORD kStartMs = 5000;
constexpr DWORD kEndMs = 5000;

}  // namespace

CWin32SessionGuard::CWin32SessionGuard(std::function<std::wstring()> reason) : m_reason(std::move(reason)) {
    const HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    m_hEnded = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!ready || !m_hEnded) {
        if (ready) CloseHandle(ready);
        return;
    }
    m_thread = std::thread([this, ready] {
        Run(ready);
        SetEvent(m_hEnded);
    });
    WaitForSingleObject(ready, kStartMs);
    CloseHandle(ready);
}

CWin32SessionGuard::~CWin32SessionGuard() {
    if (m_thread.joinable()) {
        const HWND hWnd = m_hWnd.load();
        if (hWnd) PostMessageW(hWnd, WM_CLOSE, 0, 0);
        // The thread ends with its window; one that does not within the bound is left to the
        // process's end rather than waited for (its event stays open for it).
        if (WaitForSingleObject(m_hEnded, kEndMs) != WAIT_OBJECT_0) {
            m_thread.detach();
            return;
        }
        m_thread.join();
    }
    if (m_hEnded) CloseHandle(m_hEnded);
}

void CWin32SessionGuard::Run(HANDLE ready) {
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &CWin32SessionGuard::WindowProc;
    wc.hInstance = instance;
    wc.lpszClassName = kClass;
    RegisterClassExW(&wc);  // fails harmlessly when a guard made it before
    // Top-level (a message-only window is not asked) and never shown.
    const HWND hWnd = CreateWindowExW(0, kClass, L"", WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr, instance, this);
    m_hWnd = hWnd;
    SetEvent(ready);
    if (!hWnd) return;
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

bool CWin32SessionGuard::EndSessionAllowed() {
    const std::wstring reason = m_reason ? m_reason() : std::wstring();
    if (reason.empty()) {
        if (m_bBlocking) ShutdownBlockReasonDestroy(m_hWnd.load());
        m_bBlocking = false;
        return true;
    }
    // Given while the system asks: the reason it shows is the one set in this message.
    ShutdownBlockReasonCreate(m_hWnd.load(), reason.c_str());
    m_bBlocking = true;
    return false;
}

LRESULT CALLBACK CWin32SessionGuard::WindowProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<CWin32SessionGuard*>(GetWindowLongPtrW(hWnd, GWLP_USERDATA));
    switch (msg) {
        case WM_QUERYENDSESSION:
            if (self) return self->EndSessionAllowed() ? TRUE : FALSE;
            break;
        case WM_CLOSE:
            DestroyWindow(hWnd);
            return 0;
        case WM_DESTROY:
            if (self && self->m_bBlocking) ShutdownBlockReasonDestroy(hWnd);
            PostQuitMessage(0);
            return 0;
        default:
            break;
    }
    return DefWindowProcW(hWnd, msg, wParam, lParam);
}
