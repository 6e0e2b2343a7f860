#include "ui/win32/win32_form_window.h"

#include <commctrl.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "model/document.h"
#include "form/control_ids.h"
#include "form/pictures.h"
#include "platform/wide.h"
#include "ui/win32/win32_font.h"
#include "ui/win32/win32_resources.h"

namespace {

// Layout in pixels at 96 DPI (the form is not resizable; ApplyDpi scales it): a label column, the status edit and the progress
// bar beside it, the picture and "%d/100" right of them, the button and the three notes below.
constexpr int MARGIN_X = 18;
constexpr int MARGIN_TOP = 16;
constexpr int LABEL_W = 100;
constexpr int FIELD_X = MARGIN_X + LABEL_W + 8;
constexpr int FIELD_W = 360;
constexpr int SIDE_X = FIELD_X + FIELD_W + 10;
constexpr int SIDE_W = 60;
constexpr int CLIENT_W = SIDE_X + SIDE_W + MARGIN_X;
constexpr int STATUS_H = 40;
constexpr int ROW_GAP = 10;
constexpr int BAR_H = 18;
constexpr int BUTTON_W = 110;
constexpr int BUTTON_H = 30;
constexpr int NOTE_H = 18;
constexpr int TIME_LINE_H = 20;  // the task's time line under the form
constexpr int CLIENT_H =
    MARGIN_TOP + STATUS_H + ROW_GAP + BAR_H + 16 + BUTTON_H + 12 + 3 * NOTE_H + 2 * 4 + 8 + TIME_LINE_H + 14;
constexpr int FONT_POINTS = 9;
constexpr COLORREF NOTE_COLOUR = RGB(0xA0, 0x00, 0x00);

bool HighContrast() {
    HIGHCONTRASTW hc{};
    hc.cbSize = sizeof(hc);
    return SystemParametersInfoW(SPI_GETHIGHCONTRAST, sizeof(hc), &hc, 0) && (hc.dwFlags & HCF_HIGHCONTRASTON);
}

// The edit control breaks lines at "\r\n"; the model's texts use "\n".
std::wstring EditText(const std::string& text) {
    std::wstring out;
    for (wchar_t c : plat::Widen(text)) {
        if (c == L'\n') out += L'\r';
        out += c;
    }
    return out;
}

std::wstring WindowText(HWND hWnd) {
    std::wstring text(static_cast<size_t>(GetWindowTextLengthW(hWnd)) + 1, L'\0');
    text.resize(static_cast<size_t>(GetWindowTextW(hWnd, text.data(), static_cast<int>(text.size()))));
    return text;
}

BITMAPINFO TopDownInfo(int width, int height) {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;  // rows top to bottom, as the pixel arrays are
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    return info;
}

// 0xAARRGGBB pixels of w x h at dw x dh: each target pixel is the area-weighted mean of the
// source pixels it covers (colours weighted by their alpha), so whole factors keep the pixels
// sharp and 1.5 (144 DPI) softens only the edges a pixel shares.
std::vector<uint32_t> ScalePixels(const uint32_t* src, int w, int h, int dw, int dh) {
    std::vector<uint32_t> out(static_cast<size_t>(dw) * static_cast<size_t>(dh));
    const double sx = static_cast<double>(w) / dw, sy = static_cast<double>(h) / dh;
    for (int y = 0; y < dh; ++y) {
        const double y0 = y * sy, y1 = y0 + sy;
        for (int x = 0; x < dw; ++x) {
            const double x0 = x * sx, x1 = x0 + sx;
            double alpha = 0, r = 0, g = 0, b = 0, area = 0;
            for (int j = static_cast<int>(y0); j < h && j < y1; ++j) {
                const double wy = std::min<double>(j + 1, y1) - std::max<double>(j, y0);
                for (int i = static_cast<int>(x0); i < w && i < x1; ++i) {
                    const double weight = wy * (std::min<double>(i + 1, x1) - std::max<double>(i, x0));
                    const uint32_t p = src[j * w + i];
                    const double a = weight * (p >> 24);
                    alpha += a;
                    r += a * ((p >> 16) & 0xFF);
                    g += a * ((p >> 8) & 0xFF);
                    b += a * (p & 0xFF);
                    area += weight;
                }
            }
            if (alpha <= 0 || area <= 0) continue;  // transparent
            auto byte = [](double v) { return static_cast<uint32_t>(std::clamp(std::lround(v), 0L, 255L)); };
            out[static_cast<size_t>(y) * dw + x] =
                byte(alpha / area) << 24 | byte(r / alpha) << 16 | byte(g / alpha) << 8 | byte(b / alpha);
        }
    }
    return out;
}

// An icon of `size` pixels from the model's 0xAARRGGBB pixels (the alpha channel is the mask).
HICON MakeIconHandle(int resourceId, int size) {
    const IconPixels model = MakeIcon(resourceId);
    const std::vector<uint32_t> px = ScalePixels(model.data(), ICON_SIZE, ICON_SIZE, size, size);
    BITMAPINFO info = TopDownInfo(size, size);
    void* bits = nullptr;
    HDC screen = GetDC(nullptr);
    HBITMAP colour = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    ReleaseDC(nullptr, screen);
    if (!colour || !bits) return nullptr;
    std::memcpy(bits, px.data(), px.size() * sizeof(px[0]));
    // The mask (set bits: transparent) serves the drawings without alpha, such as the disabled
    // button's embossed icon.
    const int maskStride = (size + 15) / 16 * 2;  // rows of whole 16-bit words
    std::vector<BYTE> maskBits(static_cast<size_t>(maskStride) * static_cast<size_t>(size), 0);
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x)
            if ((px[static_cast<size_t>(y) * size + x] >> 24) < 0x80)
                maskBits[static_cast<size_t>(y) * maskStride + x / 8] |= static_cast<BYTE>(0x80 >> (x % 8));
    HBITMAP mask = CreateBitmap(size, size, 1, 1, maskBits.data());
    ICONINFO ii{};
    ii.fIcon = TRUE;
    ii.hbmColor = colour;
    ii.hbmMask = mask;
    HICON icon = CreateIconIndirect(&ii);
    DeleteObject(colour);
    DeleteObject(mask);
    return icon;
}

}  // namespace

CWin32FormWindow::CWin32FormWindow(CFormModel& form, Actions actions)
    : m_form(form), m_actions(std::move(actions)), m_background(GetSysColorBrush(COLOR_BTNFACE)) {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = &CWin32FormWindow::WndProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
    // The program's icon (the system's application icon where the module has none).
    const auto icon = [instance](int metric) {
        const int size = GetSystemMetrics(metric);
        HANDLE h = LoadImageW(instance, MAKEINTRESOURCEW(IDI_RK880T_TOOL), IMAGE_ICON, size, size, LR_SHARED);
        return h ? static_cast<HICON>(h) : LoadIconW(nullptr, MAKEINTRESOURCEW(32512));  // IDI_APPLICATION
    };
    wc.hIcon = icon(SM_CXICON);
    wc.hIconSm = icon(SM_CXSMICON);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = FORM_WINDOW_CLASS;
    RegisterClassExW(&wc);  // fails harmlessly when a second window registers it again

    // A fixed-size frame: caption, system menu and minimize box; no sizing border, no maximize.
    // Its size follows from the DPI of the screen it opens on (ApplyDpi).
    const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
    m_hWnd = CreateWindowExW(0, FORM_WINDOW_CLASS, plat::Widen(PRODUCT_TITLE).c_str(), style, CW_USEDEFAULT,
                             CW_USEDEFAULT, CLIENT_W, CLIENT_H, nullptr, nullptr, instance, this);
    if (!m_hWnd) return;
    CreateControls();
    ApplyDpi(WindowDpi(m_hWnd));
    RefreshAll();

    // Changes may come from any thread: redraw on the GUI thread (dropped once the window is gone).
    m_nListener = m_form.AddListener([this](const ControlEvent& e) {
        if (m_controls.count(e.id) == 0) return;
        PostMessageW(m_hWnd, WM_APP_REFRESH, static_cast<WPARAM>(e.id), 0);
    });
}

CWin32FormWindow::~CWin32FormWindow() {
    m_form.RemoveListener(m_nListener);
    m_actions = Actions{};
    if (m_hWnd && IsWindow(m_hWnd)) DestroyWindow(m_hWnd);
    for (auto& [id, icon] : m_icons)
        if (icon) DestroyIcon(icon);
    if (m_smallIcon) DestroyIcon(m_smallIcon);
    if (m_font) DeleteObject(m_font);
}

int CWin32FormWindow::Scaled(int value) const { return ScaleForDpi(value, m_dpi); }

void CWin32FormWindow::CreateControls() {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    auto make = [&](int id, const wchar_t* cls, DWORD style, DWORD exStyle) {
        m_controls[id] = CreateWindowExW(exStyle, cls, L"", WS_CHILD | WS_VISIBLE | style, 0, 0, 0, 0, m_hWnd,
                                         reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
    };
    make(ids::LABEL_STATUS, L"STATIC", SS_RIGHT | SS_CENTERIMAGE, 0);
    make(ids::STATUS_0, L"EDIT", ES_MULTILINE | ES_READONLY | ES_AUTOHSCROLL, WS_EX_CLIENTEDGE);
    make(ids::PICTURE_0, L"STATIC", SS_OWNERDRAW, 0);
    make(ids::LABEL_PROGRESS, L"STATIC", SS_RIGHT | SS_CENTERIMAGE, 0);
    make(ids::PROGRESS_0, PROGRESS_CLASSW, 0, 0);
    make(ids::PROGRESS_TEXT_0, L"STATIC", SS_LEFT | SS_CENTERIMAGE, 0);
    // The Download button, drawn by the window (icon and text).
    make(ids::DOWNLOAD_0, L"BUTTON", BS_OWNERDRAW | WS_TABSTOP, 0);
    for (int id : {ids::NOTE_1, ids::NOTE_2, ids::NOTE_3}) make(id, L"STATIC", SS_LEFT, 0);
    make(ids::TIME_LINE, L"STATIC", SS_LEFT | SS_CENTERIMAGE | SS_NOPREFIX, WS_EX_STATICEDGE);
}

void CWin32FormWindow::ApplyDpi(UINT dpi) {
    m_dpi = dpi;
    HFONT old = m_font;
    m_font = CreateCjkFont(FONT_POINTS, dpi);
    for (auto& [id, icon] : m_icons)
        if (icon) DestroyIcon(icon);
    m_icons.clear();

    // The places at 96 DPI, scaled.
    auto place = [&](int id, int x, int y, int w, int h) {
        HWND c = Control(id);
        SendMessageW(c, WM_SETFONT, reinterpret_cast<WPARAM>(m_font), FALSE);
        MoveWindow(c, Scaled(x), Scaled(y), Scaled(w), Scaled(h), FALSE);
    };
    int y = MARGIN_TOP;
    // Status line with its label and the state picture.
    place(ids::LABEL_STATUS, MARGIN_X, y, LABEL_W, STATUS_H);
    place(ids::STATUS_0, FIELD_X, y, FIELD_W, STATUS_H);
    place(ids::PICTURE_0, SIDE_X, y + (STATUS_H - PICTURE_HEIGHT) / 2, PICTURE_WIDTH, PICTURE_HEIGHT);
    y += STATUS_H + ROW_GAP;
    // Progress bar with its label and "%d/100".
    place(ids::LABEL_PROGRESS, MARGIN_X, y, LABEL_W, BAR_H);
    place(ids::PROGRESS_0, FIELD_X, y, FIELD_W, BAR_H);
    place(ids::PROGRESS_TEXT_0, SIDE_X, y, SIDE_W, BAR_H);
    y += BAR_H + 16;
    place(ids::DOWNLOAD_0, (CLIENT_W - BUTTON_W) / 2, y, BUTTON_W, BUTTON_H);
    y += BUTTON_H + 12;
    // The three notes.
    for (int id : {ids::NOTE_1, ids::NOTE_2, ids::NOTE_3}) {
        place(id, MARGIN_X, y, CLIENT_W - 2 * MARGIN_X, NOTE_H);
        y += NOTE_H + 4;
    }
    place(ids::TIME_LINE, MARGIN_X, y + 4, CLIENT_W - 2 * MARGIN_X, TIME_LINE_H);
    if (old) DeleteObject(old);

    // The frame around the scaled client area, measured as it stands (the frame's own metrics
    // follow the DPI too).
    RECT window{}, client{};
    GetWindowRect(m_hWnd, &window);
    GetClientRect(m_hWnd, &client);
    const int frameW = (window.right - window.left) - client.right;
    const int frameH = (window.bottom - window.top) - client.bottom;
    SetWindowPos(m_hWnd, nullptr, 0, 0, Scaled(CLIENT_W) + frameW, Scaled(CLIENT_H) + frameH,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);

    // The caption's icon at this DPI.
    const int small = Scaled(16);
    HICON smallIcon = static_cast<HICON>(
        LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_RK880T_TOOL), IMAGE_ICON, small, small, 0));
    if (smallIcon) {
        SendMessageW(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon));
        if (m_smallIcon) DestroyIcon(m_smallIcon);
        m_smallIcon = smallIcon;
    }
    InvalidateRect(m_hWnd, nullptr, TRUE);
}

HWND CWin32FormWindow::Control(int id) const {
    const auto it = m_controls.find(id);
    return it == m_controls.end() ? nullptr : it->second;
}

void CWin32FormWindow::Show() {
    ShowWindow(m_hWnd, SW_SHOWNORMAL);
    UpdateWindow(m_hWnd);
    SetForegroundWindow(m_hWnd);
}

void CWin32FormWindow::CloseForced() {
    m_bForced = true;
    if (m_hWnd) SendMessageW(m_hWnd, WM_CLOSE, 0, 0);
}

void CWin32FormWindow::SetTitle(const std::string& title) {
    if (m_hWnd) SetWindowTextW(m_hWnd, plat::Widen(title).c_str());
}

void CWin32FormWindow::RefreshAll() {
    for (const auto& [id, w] : m_controls) Refresh(id);
}

void CWin32FormWindow::Refresh(int id) {
    HWND w = Control(id);
    if (!w) return;
    const ControlState s = m_form.Get(id);
    EnableWindow(w, s.bEnabled);
    switch (s.kind) {
        case ControlKind::Edit: {
            const std::wstring text = EditText(s.text);
            if (WindowText(w) != text) SetWindowTextW(w, text.c_str());
            break;
        }
        case ControlKind::Progress:
            SendMessageW(w, PBM_SETRANGE32, static_cast<WPARAM>(s.nMin), static_cast<LPARAM>(s.nMax));
            SendMessageW(w, PBM_SETPOS, static_cast<WPARAM>(s.nPos), 0);
            break;
        case ControlKind::Picture:
            InvalidateRect(w, nullptr, TRUE);
            break;
        default: {
            const std::wstring text = plat::Widen(s.text);
            if (WindowText(w) != text) SetWindowTextW(w, text.c_str());
            if (s.kind == ControlKind::Button) InvalidateRect(w, nullptr, TRUE);
            break;
        }
    }
}

void CWin32FormWindow::DrawButton(const DRAWITEMSTRUCT& item) {
    HDC dc = item.hDC;
    RECT rc = item.rcItem;
    const bool bPushed = (item.itemState & ODS_SELECTED) != 0;
    const bool bDisabled = (item.itemState & ODS_DISABLED) != 0;
    DrawFrameControl(dc, &rc, DFC_BUTTON, DFCS_BUTTONPUSH | (bPushed ? DFCS_PUSHED : 0));

    const ControlState s = m_form.Get(static_cast<int>(item.CtlID));
    const std::wstring text = plat::Widen(s.text);
    HGDIOBJ oldFont = SelectObject(dc, m_font);
    SIZE extent{};
    GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &extent);
    const int iconSize = Scaled(ICON_SIZE);
    HICON icon = nullptr;
    if (s.nImage != 0) {
        HICON& cached = m_icons[s.nImage];
        if (!cached) cached = MakeIconHandle(s.nImage, iconSize);
        icon = cached;
    }
    const int gap = icon ? Scaled(4) : 0;
    const int total = (icon ? iconSize : 0) + gap + extent.cx;
    int x = (rc.left + rc.right - total) / 2 + (bPushed ? 1 : 0);
    const int midY = (rc.top + rc.bottom) / 2 + (bPushed ? 1 : 0);
    if (icon) {
        DrawStateW(dc, nullptr, nullptr, reinterpret_cast<LPARAM>(icon), 0, x, midY - iconSize / 2, iconSize,
                   iconSize, DST_ICON | (bDisabled ? DSS_DISABLED : DSS_NORMAL));
        x += iconSize + gap;
    }
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, GetSysColor(bDisabled ? COLOR_GRAYTEXT : COLOR_BTNTEXT));
    TextOutW(dc, x, midY - extent.cy / 2, text.c_str(), static_cast<int>(text.size()));
    SelectObject(dc, oldFont);
    if (item.itemState & ODS_FOCUS) {
        RECT focus = rc;
        InflateRect(&focus, -Scaled(4), -Scaled(4));
        DrawFocusRect(dc, &focus);
    }
}

void CWin32FormWindow::DrawPicture(const DRAWITEMSTRUCT& item) {
    FillRect(item.hDC, &item.rcItem, m_background);
    const int kind = m_form.Get(static_cast<int>(item.CtlID)).nPicture;
    if (kind < 0) return;
    const PicturePixels model = MakePicture(kind);
    const int w = Scaled(PICTURE_WIDTH), h = Scaled(PICTURE_HEIGHT);
    const std::vector<uint32_t> px = ScalePixels(model.data(), PICTURE_WIDTH, PICTURE_HEIGHT, w, h);
    BITMAPINFO info = TopDownInfo(w, h);
    StretchDIBits(item.hDC, item.rcItem.left, item.rcItem.top, w, h, 0, 0, w, h, px.data(), &info, DIB_RGB_COLORS,
                  SRCCOPY);
}

bool CWin32FormWindow::FilterKey(const MSG& msg) {
    if (msg.message != WM_KEYDOWN || !m_hWnd) return false;
    if (msg.hwnd != m_hWnd && !IsChild(m_hWnd, msg.hwnd)) return false;
    int key = 0;
    if (msg.wParam == VK_RETURN) key = ids::KEY_ENTER;
    else if (msg.wParam == VK_ESCAPE) key = ids::KEY_ESCAPE;
    return key != 0 && m_actions.key && m_actions.key(key);
}

LRESULT CALLBACK CWin32FormWindow::WndProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<CWin32FormWindow*>(GetWindowLongPtrW(hWnd, GWLP_USERDATA));
    if (msg == WM_NCDESTROY) {
        SetWindowLongPtrW(hWnd, GWLP_USERDATA, 0);
        if (self) self->m_hWnd = nullptr;
    }
    if (!self || self->m_hWnd != hWnd) return DefWindowProcW(hWnd, msg, wParam, lParam);
    return self->Handle(msg, wParam, lParam);
}

LRESULT CWin32FormWindow::Handle(UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
        case WM_COMMAND:
            if (HIWORD(wParam) == BN_CLICKED && lParam != 0 && m_actions.command) {
                m_actions.command(LOWORD(wParam));
                return 0;
            }
            break;
        case WM_SETTINGCHANGE:
            // A high-contrast theme switched on or off: the notes' colour follows.
            if (wParam == SPI_SETHIGHCONTRAST) RedrawWindow(m_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN);
            break;
        case WM_DRAWITEM: {
            const auto& item = *reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
            if (item.CtlType == ODT_BUTTON) DrawButton(item);
            else DrawPicture(item);
            return TRUE;
        }
        case WM_CTLCOLORSTATIC: {
            HDC dc = reinterpret_cast<HDC>(wParam);
            const HWND c = reinterpret_cast<HWND>(lParam);
            const int id = GetDlgCtrlID(c);
            SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
            const bool bNote = id == ids::NOTE_1 || id == ids::NOTE_2 || id == ids::NOTE_3;
            // Under a high-contrast theme the notes take the theme's text colour, as every text does.
            SetTextColor(dc, bNote && !HighContrast() ? NOTE_COLOUR : GetSysColor(COLOR_WINDOWTEXT));
            return reinterpret_cast<LRESULT>(m_background);
        }
        case WM_DPICHANGED: {
            // Moved to a screen of another DPI: the suggested place, then font and layout anew.
            const RECT* r = reinterpret_cast<const RECT*>(lParam);
            SetWindowPos(m_hWnd, nullptr, r->left, r->top, r->right - r->left, r->bottom - r->top,
                         SWP_NOZORDER | SWP_NOACTIVATE);
            ApplyDpi(HIWORD(wParam));
            return 0;
        }
        case WM_APP_REFRESH:
            Refresh(static_cast<int>(wParam));
            return 0;
        case WM_APP_RUN_POSTED:
            if (m_actions.posted) m_actions.posted();
            return 0;
        case WM_TIMER:
            if (m_actions.timer) m_actions.timer(static_cast<int>(wParam));
            return 0;
        case WM_QUERYENDSESSION:
            if (m_actions.endSession) return m_actions.endSession() ? TRUE : FALSE;
            break;
        case WM_CLOSE:
            if (!m_bForced && m_actions.close && !m_actions.close()) return 0;
            m_bForced = true;
            DestroyWindow(m_hWnd);
            return 0;
        case WM_DESTROY: {
            const auto destroyed = m_actions.destroyed;
            if (destroyed) destroyed();
            return 0;
        }
        default:
            break;
    }
    return DefWindowProcW(m_hWnd, msg, wParam, lParam);
}
