#include "ui/win32/win32_front_end.h"

#include <commctrl.h>
#include <commdlg.h>
#include <objbase.h>
#include <shlobj.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "platform/clock.h"
#include "platform/terminal.h"
#include "platform/process.h"
#include "platform/trace.h"
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

CWin32FrontEnd::CWin32FrontEnd(const plat::Options& options)
    : m_options(options), m_guiThread(GetCurrentThreadId()) {}

CWin32FrontEnd::~CWin32FrontEnd() { Shutdown(); }

void CWin32FrontEnd::Attach(CServiceToolApp& app, CWin32FormWindow& window) {
    bool bWake = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_pApp = &app;
        m_pWindow = &window;
        bWake = !m_queue.empty();
    }
    if (bWake) PostMessageW(window.Handle(), WM_APP_RUN_POSTED, 0, 0);
}

HWND CWin32FrontEnd::Owner() const {
    HWND w = m_pWindow ? m_pWindow->Handle() : nullptr;
    return w && IsWindowVisible(w) ? w : nullptr;
}

void CWin32FrontEnd::Shutdown() {
    std::deque<std::function<void()>> dropped;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bShutdown = true;
        m_bTeardown = true;
        dropped.swap(m_queue);
    }
    m_cv.notify_all();
}

// ---------------------------------------------------------------------------------------------
// The GUI thread's queue

void CWin32FrontEnd::PostToGui(std::function<void()> fn) {
    HWND target = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_bShutdown) return;
        m_queue.push_back(std::move(fn));
        if (m_pWindow) target = m_pWindow->Handle();
    }
    // One wake per item; an item that enters a modal loop (a message box) leaves the next wake to
    // that loop, so posted work goes on while the box is open.
    if (target) PostMessageW(target, WM_APP_RUN_POSTED, 0, 0);
}

void CWin32FrontEnd::RunPosted() {
    std::function<void()> fn;
    HWND target = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_bShutdown || m_queue.empty()) return;
        fn = std::move(m_queue.front());
        m_queue.pop_front();
        // Work queued before the window was there came with no wake of its own.
        if (!m_queue.empty() && m_pWindow) target = m_pWindow->Handle();
    }
    if (target) PostMessageW(target, WM_APP_RUN_POSTED, 0, 0);
    // A task starts in posted work (after the watcher's pause) and its end shows a message box
    // through it: the block follows before and after each item.
    SyncShutdownBlock();
    fn();
    SyncShutdownBlock();
}

void CWin32FrontEnd::SyncShutdownBlock() {
    if (!IsGuiThread() || !m_pApp || !m_pWindow || !m_pWindow->Handle()) return;
    CServiceToolView& view = m_pApp->View();
    const bool bRunning = !view.IsTornDown() && view.LineZeroRunning();
    if (bRunning && m_strBlockReason.empty()) {
        m_strBlockReason = plat::Widen(view.RunningText());
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

bool CWin32FrontEnd::IsGuiThread() const { return GetCurrentThreadId() == m_guiThread; }

template <class T>
T CWin32FrontEnd::CallOnGui(std::function<T()> fn, T fallback) {
    if (IsGuiThread()) return fn();
    struct Pending {
        bool bDone = false;
        T value;
    };
    auto pending = std::make_shared<Pending>();
    pending->value = fallback;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_bTeardown) return fallback;
    }
    PostToGui([this, pending, fn = std::move(fn)] {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_bTeardown) return;
        }
        T value = fn();
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            pending->value = std::move(value);
            pending->bDone = true;
        }
        m_cv.notify_all();
    });
    // The worker waits; the GUI thread never does. Teardown (or the worker's stop) lets it go.
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!pending->bDone && !m_bTeardown && !plat::StopRequested())
        m_cv.wait_for(lock, std::chrono::milliseconds(50));
    return pending->bDone ? pending->value : fallback;
}

// ---------------------------------------------------------------------------------------------
// plat::IUiPort

plat::MsgResult CWin32FrontEnd::MessageBox(const std::string& text, const std::string& caption,
                                           plat::MsgButtons buttons, plat::MsgIcon icon) {
    const bool yesNo = buttons != plat::MsgButtons::Ok;
    const plat::MsgResult fallback = yesNo ? plat::MsgResult::No : plat::MsgResult::Ok;
    return CallOnGui<plat::MsgResult>(
        [this, text, caption, yesNo, buttons, icon] {
            // A question whose safe answer is No has No as its default button.
            const UINT defaultButton = buttons == plat::MsgButtons::YesNoDefaultNo ? MB_DEFBUTTON2 : 0;
            // The system's own message box: its buttons carry the captions of the system's language.
            const int r = ::MessageBoxW(Owner(), plat::Widen(text).c_str(),
                                      plat::Widen(caption.empty() ? std::string(PRODUCT_TITLE) : caption).c_str(),
                                      (yesNo ? MB_YESNO : MB_OK) | defaultButton | IconFlags(icon) | MB_SETFOREGROUND);
            if (!yesNo) return plat::MsgResult::Ok;
            return r == IDYES ? plat::MsgResult::Yes : plat::MsgResult::No;
        },
        fallback);
}

std::optional<std::string> CWin32FrontEnd::ChooseFile(const plat::FileDialogSpec& dialogRequest) {
    if (auto answer = plat::CommandLineFileAnswer(m_options, dialogRequest)) return answer;
    return CallOnGui<std::optional<std::string>>(
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
    return CallOnGui<std::optional<std::string>>(
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

void CWin32FrontEnd::StartTimer(int id, int64_t periodMs) {
    if (!IsGuiThread()) return PostToGui([this, id, periodMs] { StartTimer(id, periodMs); });
    if (!m_pWindow || !m_pWindow->Handle()) return;
    const UINT period = static_cast<UINT>(std::min<int64_t>(std::max<int64_t>(periodMs, USER_TIMER_MINIMUM), 0x7FFFFFFF));
    SetTimer(m_pWindow->Handle(), static_cast<UINT_PTR>(id), period, nullptr);
}

void CWin32FrontEnd::StopTimer(int id) {
    if (!IsGuiThread()) return PostToGui([this, id] { StopTimer(id); });
    if (m_pWindow && m_pWindow->Handle()) KillTimer(m_pWindow->Handle(), static_cast<UINT_PTR>(id));
}

void CWin32FrontEnd::SetTitle(const std::string& title) {
    if (m_pWindow) m_pWindow->SetTitle(title);
}

void CWin32FrontEnd::ExitProcessNow(int code) {
    plat::ExitNow(code);
}

void CWin32FrontEnd::RequestExit(int status, bool force) {
    PostToGui([this, status, force] {
        if (!m_pApp || !m_pWindow) return;
        if (force) m_pApp->View().Teardown();
        else if (!m_pApp->Frame().OnClose()) return;
        m_nStatus = status;
        m_pWindow->CloseForced();
    });
}

void CWin32FrontEnd::BeginTeardown() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bTeardown = true;
    }
    m_cv.notify_all();
}

// ---------------------------------------------------------------------------------------------

int RunWin32Window(const plat::Options& options, const std::string& programFolder,
                   const std::function<void(CServiceToolApp&)>& wire) {
    // The file and folder choosers are COM objects of the GUI thread.
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_PROGRESS_CLASS | ICC_INTERNET_CLASSES | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&icc);

    // One trace per line: the debugger's messages ("Tools Send: ...") carry no line break.
    plat::SetTraceSink([](const std::string& text) {
        const std::string line = !text.empty() && text.back() == '\n' ? text : text + "\n";
        std::fputs(line.c_str(), stdout);
        std::fflush(stdout);
    });
    plat::SystemProcess process(!options.bNoArpFlush);
    CWin32FrontEnd front(options);
    const AppConfig config = AppConfigFor(options, programFolder);
    int status = 0;
    {
        CServiceToolApp app(front, front, process, config);
        CWin32FormWindow::Actions actions;
        actions.command = [&app, &front](int id) {
            app.Frame().OnCommand(id);
            front.SyncShutdownBlock();
        };
        actions.close = [&app] { return app.Frame().OnClose(); };
        actions.key = [&app, &front](int key) {
            const bool bSwallowed = app.View().OnKeyDown(key);
            front.SyncShutdownBlock();
            return bSwallowed;
        };
        actions.timer = [&app](int id) { app.View().OnTimer(id); };
        actions.posted = [&front] { front.RunPosted(); };
        actions.destroyed = [&front] { PostQuitMessage(front.ExitStatus()); };
        actions.endSession = [&front] { return front.EndSessionAllowed(); };
        CWin32FormWindow window(app.Form(), actions);
        front.Attach(app, window);
        if (wire) wire(app);
        // The end of a task on line 0 releases the session end.
        CServiceToolView& view = app.View();
        view.observers.onTaskThreadReturned = [&front, before = view.observers.onTaskThreadReturned](
                                                  int line, TaskOutcome outcome) {
            if (before) before(line, outcome);
            if (line == 0) front.PostToGui([&front] { front.SyncShutdownBlock(); });
        };
        const StartOutcome start = app.InitInstance();
        if (!start.bRunning) {
            status = start.exitCode;
        } else {
            window.Show();
            MSG msg;
            BOOL got;
            while ((got = GetMessageW(&msg, nullptr, 0, 0)) != 0) {
                if (got == -1) break;
                if (window.FilterKey(msg)) continue;
                TranslateMessage(&msg);
                DispatchMessageW(&msg);
            }
            status = got == 0 ? static_cast<int>(msg.wParam) : 1;
        }
        app.View().Teardown();
        front.Shutdown();
    }
    plat::SetTraceSink(nullptr);
    if (SUCCEEDED(com)) CoUninitialize();
    return status;
}

void ReleaseOwnConsole() {
    DWORD processes[2] = {};
    // Only this process on the console: it was made for this program (started from the desktop).
    if (GetConsoleWindow() && GetConsoleProcessList(processes, 2) == 1) FreeConsole();
}
