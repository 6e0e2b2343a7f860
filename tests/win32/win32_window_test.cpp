// The Win32 window (Windows build, under Wine on a virtual X display): a whole CPE upgrade and a
// failed one against a simulated gateway in this process, through the window's own run
// (RunWin32Window with the program's wiring). The start-up dialog and the message boxes are
// answered and Download is clicked through their windows; texts and states are read from the form
// model. PNGs of the start-up dialog, offline, ready, running, passed and failed are saved under
// the build folder (win32-shots/), captured from the screen and written through GDI+; at a display
// DPI other than 96 (run-on-xvfb --dpi) their names end in "_<dpi>dpi". The program's resources (manifest,
// version, icon) are read from the built rk880t-tool.exe.
#include "ui/win32/win32_front_end.h"

// GDI+ needs the COM declarations that WIN32_LEAN_AND_MEAN leaves out.
#include <objidl.h>
#include <gdiplus.h>
#include <gtest/gtest.h>
#include <shellapi.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "app/wiring.h"
#include "form/control_ids.h"
#include "platform/clock.h"
#include "platform/fs.h"
#include "app/options.h"
#include "platform/wide.h"
#include "sim/gateway_sim.h"
#include "ui/win32/win32_font.h"
#include "ui/win32/win32_form_window.h"
#include "ui/win32/win32_resources.h"
#include "ui/win32/win32_session_guard.h"
#include "form/startup_dialog.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kSuccess = "管理成功。\n点击【确定】按钮退出程序。";
constexpr const char* kVersionFailed = "版本校验失败!";
constexpr const char* kClosing = "如果再次管理wifi，请关闭工具软件和设备。按照操作说明重新进行升级操作。";
constexpr int64_t kLimitMs = 180000;
constexpr int kMessageBoxText = 0xFFFF;  // the text of a system message box

std::wstring TextOf(HWND w) {
    std::wstring text(static_cast<size_t>(GetWindowTextLengthW(w)) + 1, L'\0');
    text.resize(static_cast<size_t>(GetWindowTextW(w, text.data(), static_cast<int>(text.size()))));
    return text;
}

// The display's DPI as this (DPI-aware) program sees it.
UINT ScreenDpi() { return WindowDpi(nullptr); }

// The window as it stands on the screen, as PNG through GDI+.
bool SaveShot(HWND w, const char* shot) {
    const std::string name = ScreenDpi() == 96 ? shot : shot + ("_" + std::to_string(ScreenDpi()) + "dpi");
    const fs::path dir = fs::path(RK_BINARY_DIR) / "win32-shots";
    std::error_code ec;
    fs::create_directories(dir, ec);
    RedrawWindow(w, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN | RDW_FRAME);
    // Wine hands a window's drawing to the X server a moment later, when the thread waits for
    // messages (a plain Sleep does not): the capture reads the screen. Nothing is dispatched here.
    GdiFlush();
    for (int i = 0; i < 10; ++i) MsgWaitForMultipleObjectsEx(0, nullptr, 10, QS_ALLINPUT, 0);
    RECT r{};
    if (!GetWindowRect(w, &r)) return false;
    const int cx = r.right - r.left, cy = r.bottom - r.top;
    HDC screen = GetDC(nullptr);
    HDC mem = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, cx, cy);
    HGDIOBJ old = SelectObject(mem, bitmap);
    BitBlt(mem, 0, 0, cx, cy, screen, r.left, r.top, SRCCOPY | CAPTUREBLT);
    SelectObject(mem, old);
    DeleteDC(mem);
    ReleaseDC(nullptr, screen);
    bool ok = false;
    {
        Gdiplus::Bitmap image(bitmap, nullptr);
        UINT count = 0, size = 0;
        Gdiplus::GetImageEncodersSize(&count, &size);
        std::vector<char> buffer(size);
        auto* codecs = reinterpret_cast<Gdiplus::ImageCodecInfo*>(buffer.data());
        if (size && Gdiplus::GetImageEncoders(count, size, codecs) == Gdiplus::Ok) {
            for (UINT i = 0; i < count; ++i) {
                if (std::wstring(codecs[i].MimeType) != L"image/png") continue;
                const std::wstring file = (dir / (name + ".png")).wstring();
                ok = image.Save(file.c_str(), &codecs[i].Clsid, nullptr) == Gdiplus::Ok;
            }
        }
    }
    DeleteObject(bitmap);
    return ok;
}

// The visible static texts and buttons of `parent` whose text does not fit their control with the
// control's own font (wrapped as the control wraps it), as "id: text"; and the font heights.
struct Fit {
    std::vector<std::string> clipped;
    std::set<LONG> fontHeights;
};
Fit FitOf(HWND parent) {
    std::vector<HWND> children;
    EnumChildWindows(
        parent,
        [](HWND w, LPARAM param) {
            reinterpret_cast<std::vector<HWND>*>(param)->push_back(w);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&children));
    Fit fit;
    for (HWND c : children) {
        wchar_t cls[64] = {};
        GetClassNameW(c, cls, 64);
        const std::wstring kind = cls;
        const std::wstring text = TextOf(c);
        if (!IsWindowVisible(c) || text.empty() || (kind != L"Static" && kind != L"Button")) continue;
        HFONT font = reinterpret_cast<HFONT>(SendMessageW(c, WM_GETFONT, 0, 0));
        LOGFONTW lf{};
        if (font && GetObjectW(font, sizeof lf, &lf)) fit.fontHeights.insert(lf.lfHeight);
        RECT box{};
        GetClientRect(c, &box);
        const LONG style = GetWindowLongW(c, GWL_STYLE);
        HDC dc = GetDC(c);
        HGDIOBJ old = SelectObject(dc, font);
        RECT need{0, 0, box.right, 0};
        // Labels centred on their line are single lines; the other statics wrap at word breaks.
        const bool bSingle = kind == L"Button" || (style & SS_CENTERIMAGE);
        DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &need,
                  DT_CALCRECT | DT_NOPREFIX | (bSingle ? DT_SINGLELINE : DT_WORDBREAK));
        SelectObject(dc, old);
        ReleaseDC(c, dc);
        if (need.right > box.right || need.bottom > box.bottom)
            fit.clipped.push_back(std::to_string(GetDlgCtrlID(c)) + ": " + plat::Narrow(text));
    }
    return fit;
}

// What the driver saw, checked after the run.
struct Seen {
    bool bDialogAnswered = false, bDialogShot = false;
    std::string dialogLimit;  // the limit field's text in the dialog's shot
    Fit dialogFit, formFit;
    bool bOfflineShot = false, bOfflineDownloadEnabled = true;
    std::string readyStatus, readyProgress;
    bool bReadyDownloadEnabled = false, bReadyShot = false;
    int readyPicture = -1;
    bool bClicked = false;
    int runningPercent = -1, runningPicture = -1;
    bool bRunningDownloadEnabled = true, bRunningShot = false;
    std::string passedStatus, passedProgress;
    int passedBar = -1, passedPicture = -1;
    bool bPassedShot = false;
    int failedPicture = -1;
    std::string failedStatus, failedProgress;
    bool bFailedDownloadEnabled = true;
    bool bFailedShot = false;
    // WM_QUERYENDSESSION's answer and the shut-down block's reason: ready, running, after the end.
    LRESULT readyEndSession = -1, runningEndSession = -1, endedEndSession = -1;
    std::wstring runningReason, endedReason = L"?";
    std::vector<std::string> boxes;       // caption + "|" + text of every message box
    std::vector<std::string> okCaptions;  // the OK button's caption of each OK box
    std::vector<std::string> icons;       // the icon of each box (IconOf)
    bool bTimedOut = false;
};

// Drives the window from its GUI thread every 20 ms (a thread timer: it also fires inside the
// dialog's and the message boxes' modal loops). Clicks are posted, so a tick never blocks.
class Driver {
public:
    Driver(CServiceToolApp& app, Seen& seen, bool bExpectFailure)
        : m_app(app), m_seen(seen), m_bFailure(bExpectFailure), m_deadline(plat::TickMs() + kLimitMs) {
        s_pDriver = this;
        m_app.View().Presenter().observers.onLineReady = [this](int line) {
            if (line == 0) m_bReady = true;
        };
        m_app.View().Presenter().observers.onTaskThreadReturned = [this](int line, std::optional<LineOutcome>) {
            if (line == 0) m_bTaskReturned = true;
        };
        m_timer = SetTimer(nullptr, 0, 20, &Driver::OnTimer);
    }
    ~Driver() {
        KillTimer(nullptr, m_timer);
        s_pDriver = nullptr;
    }

private:
    static void CALLBACK OnTimer(HWND, UINT, UINT_PTR, DWORD) {
        if (s_pDriver && !s_pDriver->m_bInTick) {
            s_pDriver->m_bInTick = true;
            s_pDriver->Tick();
            s_pDriver->m_bInTick = false;
        }
    }
    static BOOL CALLBACK Collect(HWND w, LPARAM param) {
        reinterpret_cast<std::vector<HWND>*>(param)->push_back(w);
        return TRUE;
    }

    std::string Text(int id) const { return m_app.Form().GetText(id); }
    // What a shut-down or log-off would be told now, and the reason given.
    LRESULT QueryEndSession(HWND form, std::wstring& reason) const {
        const LRESULT r = SendMessageW(form, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF);
        if (auto* front = dynamic_cast<CWin32FrontEnd*>(&m_app.View().Host())) reason = front->ShutdownBlockReason();
        return r;
    }
    int Percent() const {
        int percent = -1;
        return std::sscanf(Text(ids::PROGRESS_TEXT_0).c_str(), "%d/100", &percent) == 1 ? percent : -1;
    }

    void Tick() {
        if (plat::TickMs() > m_deadline) {
            m_seen.bTimedOut = true;
            PostQuitMessage(99);
            return;
        }
        std::vector<HWND> windows;
        EnumThreadWindows(GetCurrentThreadId(), &Driver::Collect, reinterpret_cast<LPARAM>(&windows));
        HWND form = nullptr;
        for (HWND w : windows) {
            if (!IsWindowVisible(w)) continue;
            wchar_t cls[64] = {};
            GetClassNameW(w, cls, 64);
            if (std::wstring(cls) == FORM_WINDOW_CLASS) form = w;
            if (std::wstring(cls) != L"#32770" || m_handled.count(w)) continue;
            m_handled.insert(w);
            if (HWND edit = GetDlgItem(w, startup_dialog::IDC_LIMIT_EDIT)) {
                // The start-up dialog, shot as it opens (the default limit, as the guide shows
                // it); then the limit typed as the operator would, and OK.
                m_seen.dialogLimit = plat::Narrow(TextOf(edit));
                m_seen.dialogFit = FitOf(w);
                m_seen.bDialogShot = SaveShot(w, "win32_startup_dialog");
                SetWindowTextW(edit, L" 7");
                m_seen.bDialogAnswered = true;
                PostMessageW(w, WM_COMMAND, IDOK, reinterpret_cast<LPARAM>(GetDlgItem(w, IDOK)));
                return;
            }
            OnMessageBox(w);
            return;
        }
        if (!form) return;
        const bool bDownloadEnabled = m_app.Form().IsEnabled(ids::DOWNLOAD_0);
        const int picture = m_app.Form().Get(ids::PICTURE_0).nPicture;
        if (!m_bFailure && !m_seen.bClicked && !m_seen.bOfflineShot && picture == PIC_OFFLINE) {
            // Offline: the form as it opens, while the gateway has not answered yet.
            m_seen.bOfflineDownloadEnabled = bDownloadEnabled;
            m_seen.bOfflineShot = SaveShot(form, "win32_offline");
            return;
        }
        if (!m_seen.bClicked) {
            // Ready: a keep-alive pass enabled Download, and the window shows it.
            HWND status = GetDlgItem(form, ids::STATUS_0);
            if (!m_bReady || !bDownloadEnabled || Text(ids::STATUS_0) != "连接完成") return;
            if (plat::Narrow(TextOf(status)) != "连接完成") return;
            m_seen.readyStatus = Text(ids::STATUS_0);
            m_seen.readyProgress = Text(ids::PROGRESS_TEXT_0);
            m_seen.bReadyDownloadEnabled = bDownloadEnabled;
            m_seen.readyPicture = picture;
            m_seen.formFit = FitOf(form);
            std::wstring reason;
            m_seen.readyEndSession = QueryEndSession(form, reason);
            m_seen.bReadyShot = SaveShot(form, m_bFailure ? "win32_failure_ready" : "win32_ready");
            m_seen.bClicked = true;
            PostMessageW(GetDlgItem(form, ids::DOWNLOAD_0), BM_CLICK, 0, 0);
            return;
        }
        if (m_bFailure) {
            // The failed task has shown its boxes and returned: the operator closes the window.
            if (m_bTaskReturned && m_bClosingAnswered && !m_bCloseSent) {
                m_seen.failedPicture = picture;
                m_seen.failedStatus = Text(ids::STATUS_0);
                m_seen.failedProgress = Text(ids::PROGRESS_TEXT_0);
                m_seen.bFailedDownloadEnabled = bDownloadEnabled;
                m_bCloseSent = true;
                PostMessageW(form, WM_CLOSE, 0, 0);
            }
            return;
        }
        // Running: one shot while the Linux image is being sent, the bar some way along.
        const int percent = Percent();
        if (m_seen.bRunningShot || picture != PIC_RUNNING || percent < 40 || percent > 89) return;
        m_seen.runningPercent = percent;
        m_seen.runningPicture = picture;
        m_seen.bRunningDownloadEnabled = bDownloadEnabled;
        m_seen.runningEndSession = QueryEndSession(form, m_seen.runningReason);
        m_seen.bRunningShot = SaveShot(form, "win32_running");
    }

    // The system icon a message box shows, by its shared handle (the icon's static is 20 on
    // Windows, stc1 under Wine).
    static std::string IconOf(HWND box) {
        HWND icon = GetDlgItem(box, 20);
        if (!icon) icon = GetDlgItem(box, 0x0440);
        const HICON shown = icon ? reinterpret_cast<HICON>(SendMessageW(icon, STM_GETICON, 0, 0)) : nullptr;
        if (!shown) return "none";
        if (shown == LoadIconW(nullptr, IDI_EXCLAMATION)) return "exclamation";
        if (shown == LoadIconW(nullptr, IDI_QUESTION)) return "question";
        return "other";
    }

    void OnMessageBox(HWND box) {
        const std::string text = plat::Narrow(TextOf(GetDlgItem(box, kMessageBoxText)));
        // The box's static keeps the text's own line breaks as "\r\n" under some systems.
        std::string plain;
        for (char c : text)
            if (c != '\r') plain += c;
        m_seen.boxes.push_back(plat::Narrow(TextOf(box)) + "|" + plain);
        // Also on standard error: a box before an immediate end of the program (a second instance,
        // the version folder) is the only trace such a run leaves.
        std::fprintf(stderr, "MESSAGE: %s\n", plain.c_str());
        std::fflush(stderr);
        if (HWND ok = GetDlgItem(box, IDOK)) m_seen.okCaptions.push_back(plat::Narrow(TextOf(ok)));
        m_seen.icons.push_back(IconOf(box));
        HWND form = GetWindow(box, GW_OWNER);
        // The task has ended when its closing box shows: the session may end again.
        if ((plain == kSuccess || plain == kClosing) && form)
            m_seen.endedEndSession = QueryEndSession(form, m_seen.endedReason);
        if (plain == kSuccess) {
            m_seen.passedStatus = Text(ids::STATUS_0);
            m_seen.passedProgress = Text(ids::PROGRESS_TEXT_0);
            m_seen.passedBar = m_app.Form().Get(ids::PROGRESS_0).nPos;
            m_seen.passedPicture = m_app.Form().Get(ids::PICTURE_0).nPicture;
            m_seen.bPassedShot = form && SaveShot(form, "win32_passed") && SaveShot(box, "win32_passed_message");
        }
        if (plain == kClosing) {
            m_seen.bFailedShot = form && SaveShot(form, "win32_failed") && SaveShot(box, "win32_failed_message");
            m_bClosingAnswered = true;
        }
        PostMessageW(box, WM_COMMAND, IDOK, 0);
    }

    static Driver* s_pDriver;
    CServiceToolApp& m_app;
    Seen& m_seen;
    const bool m_bFailure;
    const int64_t m_deadline;
    UINT_PTR m_timer = 0;
    bool m_bInTick = false;
    std::set<HWND> m_handled;
    std::atomic<bool> m_bReady{false};
    std::atomic<bool> m_bTaskReturned{false};
    bool m_bClosingAnswered = false;
    bool m_bCloseSent = false;
};
Driver* Driver::s_pDriver = nullptr;

// A machine root, working folder and program folder of its own (with the pristine record).
struct Sandbox {
    Sandbox() {
        wchar_t temp[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, temp);
        base = fs::path(temp) / ("rk-win32-" + std::to_string(GetCurrentProcessId()) + "-" +
                                 std::to_string(plat::TickMs()));
        for (const char* d : {"root", "cwd", "program"}) fs::create_directories(base / d);
        std::FILE* f = _wfopen((base / "program" / "RecordCSV.sdi").wstring().c_str(), L"wb");
        if (f) std::fclose(f);
    }
    ~Sandbox() {
        std::error_code ec;
        fs::remove_all(base, ec);
    }
    std::string Path(const char* sub) const { return plat::NarrowPath((base / sub).wstring()); }
    fs::path base;
};

struct RunResult {
    int status = -1;
    bool bDriven = false;
};

RunResult RunWindow(GatewaySim& sim, const Sandbox& box, Seen& seen, bool bExpectFailure) {
    const std::vector<std::string> args = {
        "rk880t-tool", "--root", box.Path("root"), "--program-folder", box.Path("program"), "--gateway",
        "127.0.0.1", "--no-arp-flush", "--web-port", std::to_string(sim.WebPort()), "--setting-port",
        std::to_string(sim.SettingPort()), "--link-port", "0", "--announce-to",
        "127.0.0.1:" + std::to_string(sim.AnnouncePort()), "--announce-address", "127.0.0.1", "--time-scale", "0.05"};
    std::vector<const char*> argv;
    for (const auto& a : args) argv.push_back(a.c_str());
    const plat::ParseResult parsed = plat::ParseCommandLine(static_cast<int>(argv.size()), argv.data());
    EXPECT_TRUE(parsed.error.empty()) << parsed.error;

    // The program's own set-up (main): working folder, time scale and root.
    const fs::path oldCwd = fs::current_path();
    fs::current_path(box.base / "cwd");
    plat::SetTimeScale(parsed.options.timeScale);
    plat::SetMachineRoot(parsed.options.root);
    RunResult result;
    std::unique_ptr<Driver> driver;
    result.status = RunWin32Window(parsed.options, box.Path("program"), [&](CServiceToolApp& app) {
        WireApplication(app);
        driver = std::make_unique<Driver>(app, seen, bExpectFailure);
    });
    result.bDriven = driver != nullptr;
    driver.reset();
    plat::SetTimeScale(1.0);
    fs::current_path(oldCwd);
    return result;
}

TEST(Win32Window, WholeUpgradeAndAFailedOneWithShots) {
    // A whole upgrade.
    {
        Sandbox box;
        GatewaySim sim;
        ASSERT_TRUE(sim.Start()) << sim.LastError();
        Seen seen;
        const RunResult run = RunWindow(sim, box, seen, false);
        ASSERT_TRUE(run.bDriven);
        EXPECT_FALSE(seen.bTimedOut);
        EXPECT_EQ(run.status, 0);
        EXPECT_TRUE(seen.bDialogAnswered);
        EXPECT_TRUE(seen.bDialogShot);
        EXPECT_EQ(seen.dialogLimit, startup_dialog::DEFAULT_LIMIT_TEXT);
        // The form and dialog 162 at the display's DPI: the 9-point font at that DPI (the dialog's
        // from its template, the form's own), every text inside its control.
        const LONG fontHeight = -MulDiv(9, static_cast<int>(ScreenDpi()), 72);
        EXPECT_EQ(seen.formFit.fontHeights, std::set<LONG>{fontHeight});
        EXPECT_EQ(seen.dialogFit.fontHeights, std::set<LONG>{fontHeight});
        EXPECT_EQ(seen.formFit.clipped, std::vector<std::string>{});
        EXPECT_EQ(seen.dialogFit.clipped, std::vector<std::string>{});

        EXPECT_TRUE(seen.bOfflineShot);
        EXPECT_FALSE(seen.bOfflineDownloadEnabled);
        EXPECT_TRUE(seen.bReadyShot);
        EXPECT_EQ(seen.readyStatus, "连接完成");
        EXPECT_EQ(seen.readyProgress, "0/100");
        EXPECT_TRUE(seen.bReadyDownloadEnabled);
        EXPECT_EQ(seen.readyPicture, PIC_READY);

        EXPECT_TRUE(seen.bRunningShot);
        EXPECT_GE(seen.runningPercent, 40);
        EXPECT_EQ(seen.runningPicture, PIC_RUNNING);
        EXPECT_FALSE(seen.bRunningDownloadEnabled);
        // A shut-down or log-off is held back while line 0 runs, with the running text as the
        // reason, and let through before and after.
        EXPECT_EQ(seen.readyEndSession, TRUE);
        EXPECT_EQ(seen.runningEndSession, FALSE);
        EXPECT_EQ(plat::Narrow(seen.runningReason), "程序正在运行，不允许操作！");
        EXPECT_EQ(seen.endedEndSession, TRUE);
        EXPECT_EQ(seen.endedReason, L"");

        EXPECT_TRUE(seen.bPassedShot);
        EXPECT_EQ(seen.passedStatus, kSuccess);
        EXPECT_EQ(seen.passedProgress, "100/100");
        EXPECT_EQ(seen.passedBar, 100);
        EXPECT_EQ(seen.passedPicture, PIC_PASS);
        EXPECT_EQ(seen.boxes, std::vector<std::string>{std::string("MG_RK880T_PDWA_CN_VEV1.00.00|") + kSuccess});
        // The system's own button caption, in the system's language (Chinese here): the text names it.
        EXPECT_EQ(seen.okCaptions, std::vector<std::string>{"确定"});
        EXPECT_EQ(seen.icons, std::vector<std::string>{"exclamation"});  // an OK box's default icon

        // The gateway got both images whole and the limit as typed into the dialog.
        ASSERT_TRUE(sim.Image(CMD_DOWN_BOOT).has_value());
        ASSERT_TRUE(sim.Image(CMD_DOWN_LINUX).has_value());
        EXPECT_TRUE(sim.Image(CMD_DOWN_BOOT)->bComplete);
        EXPECT_TRUE(sim.Image(CMD_DOWN_LINUX)->bComplete);
        EXPECT_EQ(sim.Web().WifiLimits(), std::vector<std::string>{" 7"});
    }
    // A gateway whose modem is not an RK880T: the version check fails; the window stays until the
    // operator closes it.
    {
        Sandbox box;
        GatewaySimConfig config;
        config.knobs.modemVersion = "PD_WA_RK990T_V1.0.0";
        GatewaySim sim(config);
        ASSERT_TRUE(sim.Start()) << sim.LastError();
        Seen seen;
        const RunResult run = RunWindow(sim, box, seen, true);
        ASSERT_TRUE(run.bDriven);
        EXPECT_FALSE(seen.bTimedOut);
        EXPECT_EQ(run.status, 0);
        EXPECT_TRUE(seen.bReadyShot);
        EXPECT_TRUE(seen.bFailedShot);
        std::vector<std::string> texts;
        for (const std::string& b : seen.boxes) texts.push_back(b.substr(b.find('|') + 1));
        EXPECT_EQ(texts, (std::vector<std::string>{kVersionFailed, kClosing}));
        EXPECT_EQ(seen.failedPicture, PIC_OFFLINE);
        EXPECT_EQ(seen.failedStatus, kVersionFailed);
        EXPECT_EQ(seen.failedProgress, "0/100");
        EXPECT_FALSE(seen.bFailedDownloadEnabled);
        EXPECT_EQ(seen.endedEndSession, TRUE);  // a failed task lets the session end as well
        EXPECT_EQ(seen.endedReason, L"");
        EXPECT_FALSE(sim.Image(CMD_DOWN_BOOT).has_value());
    }
}

// The resources of the built rk880t-tool.exe, read as data: the manifest asks for administrator
// rights, common controls 6 and DPI awareness; the version is the project's, in the fixed part
// and in the texts; the icon has its four sizes and each of them makes an icon.
TEST(Win32Resources, ManifestVersionAndIconOfTheProgram) {
    const std::wstring tool = plat::Widen(RK_TOOL_PATH);
    HMODULE image = LoadLibraryExW(tool.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(image, nullptr) << RK_TOOL_PATH << ": " << GetLastError();
    const auto bytes = [image](const wchar_t* type, const wchar_t* name) {
        HRSRC found = FindResourceW(image, name, type);
        HGLOBAL loaded = found ? LoadResource(image, found) : nullptr;
        const char* data = loaded ? static_cast<const char*>(LockResource(loaded)) : nullptr;
        return data ? std::string(data, SizeofResource(image, found)) : std::string();
    };

    // The system reads a program's manifest from resource 1 of type 24.
    const std::string manifest = bytes(MAKEINTRESOURCEW(24), MAKEINTRESOURCEW(1));
    for (const char* part : {"<requestedExecutionLevel level=\"requireAdministrator\" uiAccess=\"false\"/>",
                             "name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"",
                             ">true/pm</dpiAware>", ">PerMonitorV2,PerMonitor</dpiAwareness>",
                             "<supportedOS Id=\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"/>"})
        EXPECT_NE(manifest.find(part), std::string::npos) << part << "\n" << manifest;

    // The group icon: 16, 32, 48 and 256 pixels (256 is written as 0), 32 bits each.
#pragma pack(push, 2)
    struct GroupEntry {
        BYTE width, height, colours, reserved;
        WORD planes, bitCount;
        DWORD bytes;
        WORD id;
    };
#pragma pack(pop)
    const std::string group = bytes(MAKEINTRESOURCEW(14), MAKEINTRESOURCEW(IDI_RK880T_TOOL));  // RT_GROUP_ICON
    ASSERT_GE(group.size(), 6u);
    const WORD count = *reinterpret_cast<const WORD*>(group.data() + 4);
    ASSERT_EQ(group.size(), 6 + count * sizeof(GroupEntry));
    std::vector<int> sizes;
    for (WORD i = 0; i < count; ++i) {
        const auto* e = reinterpret_cast<const GroupEntry*>(group.data() + 6 + i * sizeof(GroupEntry));
        const int size = e->width ? e->width : 256;
        sizes.push_back(size);
        EXPECT_EQ(e->bitCount, 32) << size;
        std::string icon = bytes(MAKEINTRESOURCEW(3), MAKEINTRESOURCEW(e->id));  // RT_ICON
        ASSERT_EQ(icon.size(), e->bytes) << size;
        HICON made = CreateIconFromResourceEx(reinterpret_cast<BYTE*>(icon.data()), static_cast<DWORD>(icon.size()),
                                              TRUE, 0x00030000, size, size, 0);
        EXPECT_NE(made, nullptr) << size;
        if (made) DestroyIcon(made);
    }
    EXPECT_EQ(sizes, (std::vector<int>{16, 32, 48, 256}));
    FreeLibrary(image);

    // The version resource: the project's version as numbers and as texts, and the names.
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(tool.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<char> info(size);
    ASSERT_TRUE(GetFileVersionInfoW(tool.c_str(), 0, size, info.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    const std::string numbers = std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." +
                                std::to_string(LOWORD(fixed->dwFileVersionMS)) + "." +
                                std::to_string(HIWORD(fixed->dwFileVersionLS));
    EXPECT_EQ(numbers, RK_PROJECT_VERSION);
    EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);
    EXPECT_EQ(fixed->dwProductVersionLS, fixed->dwFileVersionLS);
    const auto text = [&info](const wchar_t* name) {
        wchar_t* value = nullptr;
        UINT chars = 0;
        const std::wstring key = std::wstring(L"\\StringFileInfo\\040904b0\\") + name;
        if (!VerQueryValueW(info.data(), key.c_str(), reinterpret_cast<void**>(&value), &chars) || !value) return std::string();
        return plat::Narrow(value);
    };
    EXPECT_EQ(text(L"FileVersion"), RK_PROJECT_VERSION);
    EXPECT_EQ(text(L"ProductVersion"), RK_PROJECT_VERSION);
    EXPECT_EQ(text(L"OriginalFilename"), "rk880t-tool.exe");
    EXPECT_EQ(text(L"ProductName"), "RK880T Service Tool");
    EXPECT_FALSE(text(L"CompanyName").empty());
    EXPECT_FALSE(text(L"FileDescription").empty());
}

// ---- The console's code pages --------------------------------------------------------------

// A console's own code pages before the tool runs in it: those of a Chinese PC (GBK).
constexpr UINT kConsoleCodePage = 936;
constexpr int kNoConsole = 999;

// This program started again with "--console-owner TOOL ARGS...": in a console of its own, with
// kConsoleCodePage for input and output, it runs TOOL ARGS in that console as cmd would and ends
// with 100 x the tool's exit status + 10 when the output code page is back + 1 when the input one
// is.
int RunAsConsoleOwner(int argc, wchar_t** argv) {
    if (!GetConsoleWindow() || !SetConsoleOutputCP(kConsoleCodePage) || !SetConsoleCP(kConsoleCodePage))
        return kNoConsole;
    std::wstring commandLine;
    for (int i = 2; i < argc; ++i) commandLine += (i > 2 ? L" " : L"") + plat::QuoteArgument(argv[i]);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return 1;
    CloseHandle(pi.hThread);
    DWORD status = 1;
    if (WaitForSingleObject(pi.hProcess, 120000) == WAIT_OBJECT_0) GetExitCodeProcess(pi.hProcess, &status);
    else TerminateProcess(pi.hProcess, 1);
    CloseHandle(pi.hProcess);
    return static_cast<int>(status) * 100 + (GetConsoleOutputCP() == kConsoleCodePage ? 10 : 0) +
           (GetConsoleCP() == kConsoleCodePage ? 1 : 0);
}

// The tool switches its console to UTF-8 and gives it back its code pages on the way out: at the
// return from main (an export command) and at an immediate end ("source file path error!").
TEST(Win32Console, CodePagesComeBackWhenTheToolEnds) {
    Sandbox box;
    const std::string notAFolder = box.Path("program") + "/RecordCSV.sdi";
    struct Case {
        const char* what;
        std::vector<std::string> args;
        int status;
    };
    const Case cases[] = {
        {"export, return from main",
         {"--headless", "--root", box.Path("root"), "--program-folder", box.Path("program"), "--export-csv",
          box.Path("cwd") + "/out.csv"},
         0},
        {"version folder error, immediate end",
         {"--headless", "--root", notAFolder + "/root", "--program-folder", box.Path("program"), "--no-arp-flush"},
         0},
    };
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    for (const Case& c : cases) {
        std::wstring commandLine = plat::QuoteArgument(self) + L" --console-owner " + plat::QuoteArgument(plat::Widen(RK_TOOL_COM_PATH));
        for (const std::string& a : c.args) commandLine += L" " + plat::QuoteArgument(plat::Widen(a));
        STARTUPINFOW si{};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi{};
        ASSERT_TRUE(CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE, nullptr,
                                   plat::Widen(box.Path("cwd")).c_str(), &si, &pi));
        CloseHandle(pi.hThread);
        DWORD code = 0;
        EXPECT_EQ(WaitForSingleObject(pi.hProcess, 150000), WAIT_OBJECT_0) << c.what;
        GetExitCodeProcess(pi.hProcess, &code);
        CloseHandle(pi.hProcess);
        ASSERT_NE(static_cast<int>(code), kNoConsole) << "no console window for the test";
        EXPECT_EQ(static_cast<int>(code), c.status * 100 + 11) << c.what;
    }
    EXPECT_TRUE(fs::exists(box.base / "cwd" / "out.csv"));
}

// The console program's hidden window: a log-off or shut-down asked while a task runs is held back
// (FALSE), one asked before or after goes through (TRUE); the window is top-level, as the system
// asks only those, and goes with the guard.
TEST(Win32SessionGuard, HoldsTheSessionEndWhileATaskRuns) {
    std::atomic<bool> bRunning{false};
    HWND hWnd = nullptr;
    {
        const CWin32SessionGuard guard([&bRunning] { return bRunning ? std::wstring(L"程序正在运行") : std::wstring(); });
        hWnd = guard.Handle();
        ASSERT_NE(hWnd, nullptr);
        EXPECT_EQ(GetAncestor(hWnd, GA_ROOT), hWnd);
        EXPECT_FALSE(IsWindowVisible(hWnd));
        EXPECT_EQ(SendMessageW(hWnd, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF), TRUE) << "before the task";
        bRunning = true;
        EXPECT_EQ(SendMessageW(hWnd, WM_QUERYENDSESSION, 0, 0), FALSE) << "during the task (shut-down)";
        EXPECT_EQ(SendMessageW(hWnd, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF), FALSE) << "during the task (log-off)";
        bRunning = false;
        EXPECT_EQ(SendMessageW(hWnd, WM_QUERYENDSESSION, 0, 0), TRUE) << "after the task";
    }
    EXPECT_FALSE(IsWindow(hWnd));
}

}  // namespace

int main(int argc, char** argv) {
    {
        int n = 0;
        wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &n);
        if (wide && n > 2 && std::wstring(wide[1]) == L"--console-owner") return RunAsConsoleOwner(n, wide);
        LocalFree(wide);
    }
    Gdiplus::GdiplusStartupInput input;
    ULONG_PTR token = 0;
    Gdiplus::GdiplusStartup(&token, &input, nullptr);
    ::testing::InitGoogleTest(&argc, argv);
    const int r = RUN_ALL_TESTS();
    Gdiplus::GdiplusShutdown(token);
    return r;
}
