#include "ui/win32/win32_front_end.h"

#include <commctrl.h>
#include <commdlg.h>
#include <objbase.h>
#include <shlobj.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "platform/wide.h"
#include "ui/win32/win32_font.h"
#include "ui/win32/win32_form_window.h"
#include "ui/win32/win32_startup_dialog.h"

namespace {

// "KVO Record File(*.sdi) | *.sdi; ||" -> the pairs of OPENFILENAME, each NUL-terminated, with a
// second NUL at the end (the bars become NULs, as the dialog classes of the framework do it).
std::wstring FilterPairs(const std::string& filter) {
    std::wstring out = plat::Widen(filter);
    for (wchar_t& c : out)
        if (c == L'|') c = L'\0';
    out.push_back(L'\0');
    out.push_back(L'\0');
    return out;
}

// The extension appended to a typed name without one: what follows the last dot of the default
// extension ("RecordCSV.sdi" -> "sdi"), since the dialog would append the start of a longer text.
std::wstring DefaultExtension(const std::string& defaultExt) {
    const size_t dot = defaultExt.rfind('.');
    return plat::Widen(dot == std::string::npos ? defaultExt : defaultExt.substr(dot + 1));
}

UINT IconFlags(plat::MsgIcon icon) {
    switch (icon) {
        case plat::MsgIcon::Information: return MB_ICONINFORMATION;
        case plat::MsgIcon::Exclamation: return MB_ICONEXCLAMATION;
        case plat::MsgIcon::Stop: return MB_ICONSTOP;
        case plat::MsgIcon::Question: return MB_ICONQUESTION;
        case plat::MsgIcon::None: break;
    }
    return 0;
}

}  // namespace

CWin32FrontEnd::CWin32FrontEnd(const plat::Options& options) : CFrontEnd(options) {}

CWin32FrontEnd::~CWin32FrontEnd() { m_gui.Close(); }

HWND CWin32FrontEnd::Owner() const {
    HWND w = m_pWindow ? m_pWindow->Handle() : nullptr;
    return w && IsWindowVisible(w) ? w : nullptr;
}

void CWin32FrontEnd::RunPosted() {
    std::function<void()> fn = m_gui.TakeNext();
    if (!fn) return;
    // A task starts in posted work (after the watcher's pause) and its end shows a message box
    // through it: the block follows before and after each item.
    SyncShutdownBlock();
    fn();
    SyncShutdownBlock();
}

void CWin32FrontEnd::SyncShutdownBlock() {
    if (!IsGuiThread() || !m_pApp || !m_pWindow || !m_pWindow->Handle()) return;
    CServiceToolView& view = m_pApp->View();
    const bool bRunning = !view.IsTornDown() && view.Commands().LineZeroRunning();
    if (bRunning && m_strBlockReason.empty()) {
        m_strBlockReason = plat::Widen(view.Commands().RunningText());
        ShutdownBlockReasonCreate(m_pWindow->Handle(), m_strBlockReason.c_str());
    } else if (!bRunning && !m_strBlockReason.empty()) {
        ShutdownBlockReasonDestroy(m_pWindow->Handle());
        m_strBlockReason.clear();
    }
}

bool CWin32FrontEnd::EndSessionAllowed() {
    SyncShutdownBlock();
    if (m_strBlockReason.empty()) return true;
    // Given again while the system asks: the reason it shows is the one set in this message.
    ShutdownBlockReasonCreate(m_pWindow->Handle(), m_strBlockReason.c_str());
    return false;
}

// ---------------------------------------------------------------------------------------------
// plat::IUiPort

plat::MsgResult CWin32FrontEnd::MessageBox(const std::string& text, const std::string& caption,
                                           plat::MsgButtons buttons, plat::MsgIcon icon) {
    const bool yesNo = buttons != plat::MsgButtons::Ok;
    const plat::MsgResult fallback = yesNo ? plat::MsgResult::No : plat::MsgResult::Ok;
    return m_gui.Call<plat::MsgResult>(
        [this, text, caption, yesNo, buttons, icon] {
            // A question whose safe answer is No has No as its default button.
            const UINT defaultButton = buttons == plat::MsgButtons::YesNoDefaultNo ? MB_DEFBUTTON2 : 0;
            // The system's own message box: its buttons carry the captions of the system's language.
            const int r = ::MessageBoxW(Owner(), plat::Widen(text).c_str(),
                                      plat::Widen(caption.empty() ? std::string(PRODUCT_TITLE) : caption).c_str(),
                                      (yesNo ? MB_YESNO : MB_OK) | defaultButton | IconFlags(plat::ShownIcon(buttons, icon)) | MB_SETFOREGROUND);
            if (!yesNo) return plat::MsgResult::Ok;
            return r == IDYES ? plat::MsgResult::Yes : plat::MsgResult::No;
        },
        fallback);
}

std::optional<std::string> CWin32FrontEnd::AskFile(const plat::FileDialogSpec& dialogRequest) {
    return m_gui.Call<std::optional<std::string>>(
        [this, dialogRequest]() -> std::optional<std::string> {
            std::vector<wchar_t> name(32768, L'\0');
            const std::wstring initial = plat::Widen(dialogRequest.defaultName);
            if (initial.size() < name.size()) std::copy(initial.begin(), initial.end(), name.begin());
            const std::wstring filter = FilterPairs(dialogRequest.filter);
            const std::wstring ext = DefaultExtension(dialogRequest.defaultExt);
            OPENFILENAMEW ofn{};
            ofn.lStructSize = sizeof(ofn);
            ofn.hwndOwner = Owner();
            ofn.lpstrFilter = dialogRequest.filter.empty() ? nullptr : filter.c_str();
            ofn.nFilterIndex = 1;
            ofn.lpstrFile = name.data();
            ofn.nMaxFile = static_cast<DWORD>(name.size());
            ofn.lpstrDefExt = ext.empty() ? nullptr : ext.c_str();
            ofn.Flags = OFN_EXPLORER | OFN_HIDEREADONLY | OFN_NOCHANGEDIR;
            if (dialogRequest.bOverwritePrompt) ofn.Flags |= OFN_OVERWRITEPROMPT;
            if (dialogRequest.bOpen && dialogRequest.bMustExist) ofn.Flags |= OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST;
            const BOOL ok = dialogRequest.bOpen ? GetOpenFileNameW(&ofn) : GetSaveFileNameW(&ofn);
            if (!ok || name[0] == L'\0') return std::nullopt;
            return plat::NarrowPath(name.data());
        },
        std::nullopt);
}

std::optional<std::string> CWin32FrontEnd::ChooseFolder(const std::string& title) {
    return m_gui.Call<std::optional<std::string>>(
        [this, title]() -> std::optional<std::string> {
            const std::wstring wideTitle = plat::Widen(title);
            BROWSEINFOW info{};
            info.hwndOwner = Owner();
            info.lpszTitle = wideTitle.c_str();
            info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
            PIDLIST_ABSOLUTE list = SHBrowseForFolderW(&info);
            if (!list) return std::nullopt;
            wchar_t path[MAX_PATH] = {};
            const BOOL ok = SHGetPathFromIDListW(list, path);
            CoTaskMemFree(list);
            if (!ok || path[0] == L'\0') return std::nullopt;
            return plat::NarrowPath(path);
        },
        std::nullopt);
}

void CWin32FrontEnd::PostClose() {
    PostToGui([this] {
        if (m_pWindow && m_pWindow->Handle()) SendMessageW(m_pWindow->Handle(), WM_CLOSE, 0, 0);
    });
}

// ---------------------------------------------------------------------------------------------
// IViewHost

DialogEnd CWin32FrontEnd::RunTerminalIpDialog(TerminalIpResult& out) {
    startup_dialog::DialogResult r;
    if (!RunWin32TerminalIpDialog(nullptr, CjkFontFace(), r)) return DialogEnd::Cancel;
    out.strIp = r.address;
    out.strWifiMaxNum = r.limitText;
    return DialogEnd::Ok;
}

void CWin32FrontEnd::SetGuiTimer(int id, int64_t periodMs) {
    if (!m_pWindow || !m_pWindow->Handle()) return;
    const UINT period = static_cast<UINT>(std::min<int64_t>(std::max<int64_t>(periodMs, USER_TIMER_MINIMUM), 0x7FFFFFFF));
    SetTimer(m_pWindow->Handle(), static_cast<UINT_PTR>(id), period, nullptr);
}

void CWin32FrontEnd::KillGuiTimer(int id) {
    if (m_pWindow && m_pWindow->Handle()) KillTimer(m_pWindow->Handle(), static_cast<UINT_PTR>(id));
}

void CWin32FrontEnd::SetTitle(const std::string& title) {
    if (m_pWindow) m_pWindow->SetTitle(title);
}

void CWin32FrontEnd::Trace(const std::string& text) {
    CFrontEnd::Trace(text);
    std::fflush(stdout);
}

// ---------------------------------------------------------------------------------------------
// The run

void CWin32FrontEnd::Open(CServiceToolApp& app) {
    CWin32FormWindow::Actions actions;
    actions.command = [this, &app](int id) {
        app.View().OnCommand(id);
        SyncShutdownBlock();
    };
    actions.close = [&app] { return app.View().OnFrameClose(); };
    actions.key = [this, &app](int key) {
        const bool bSwallowed = app.View().OnKeyDown(key);
        SyncShutdownBlock();
        return bSwallowed;
    };
    actions.timer = [&app](int id) { app.View().OnTimer(id); };
    actions.posted = [this] { RunPosted(); };
    actions.destroyed = [this] { PostQuitMessage(ExitStatus()); };
    actions.endSession = [this] { return EndSessionAllowed(); };
    m_pWindow = std::make_unique<CWin32FormWindow>(app.Form(), actions);
    // One wake per posted item; what was posted before the window was there is woken now.
    const HWND target = m_pWindow->Handle();
    m_gui.SetWake([target] { PostMessageW(target, WM_APP_RUN_POSTED, 0, 0); });
}

void CWin32FrontEnd::Wired(CServiceToolApp& app) {
    // The end of a task on line 0 releases the session end.
    CServiceToolView& view = app.View();
    view.Presenter().observers.onTaskThreadReturned = [this, before = view.Presenter().observers.onTaskThreadReturned](
                                              int line, std::optional<LineOutcome> outcome) {
        if (before) before(line, outcome);
        if (line == 0) PostToGui([this] { SyncShutdownBlock(); });
    };
}

int CWin32FrontEnd::Loop() {
    m_pWindow->Show();
    MSG msg;
    BOOL got;
    while ((got = GetMessageW(&msg, nullptr, 0, 0)) != 0) {
        if (got == -1) break;
        if (m_pWindow->FilterKey(msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return got == 0 ? static_cast<int>(msg.wParam) : 1;
}

void CWin32FrontEnd::Closed() { m_pWindow.reset(); }

void CWin32FrontEnd::EndLoop() {
    if (m_pWindow) m_pWindow->CloseForced();
}

// ---------------------------------------------------------------------------------------------

int RunWin32Window(const plat::Options& options, const std::string& programFolder,
                   const std::function<void(CServiceToolApp&)>& wire) {
    // The file and folder choosers are COM objects of the GUI thread.
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_PROGRESS_CLASS | ICC_INTERNET_CLASSES | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&icc);

    int status = 0;
    {
        CWin32FrontEnd front(options);
        status = front.RunApplication(programFolder, wire);
    }
    if (SUCCEEDED(com)) CoUninitialize();
    return status;
}

void ReleaseOwnConsole() {
    DWORD processes[2] = {};
    // Only this process on the console: it was made for this program (started from the desktop).
    if (GetConsoleWindow() && GetConsoleProcessList(processes, 2) == 1) FreeConsole();
}
