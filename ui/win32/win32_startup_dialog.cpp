#include "ui/win32/win32_startup_dialog.h"

#include <vector>

#include "platform/wide.h"

namespace {

using namespace startup_dialog;

constexpr WORD CLASS_BUTTON = 0x0080;
constexpr WORD CLASS_EDIT = 0x0081;
constexpr WORD CLASS_STATIC = 0x0082;
constexpr const wchar_t* CLASS_IP_ADDRESS = L"SysIPAddress32";

// A DLGTEMPLATE with its items, written word by word (items start on DWORD boundaries).
class TemplateWriter {
public:
    void Word(WORD w) { m_words.push_back(w); }
    void DWord(DWORD d) {
        Word(LOWORD(d));
        Word(HIWORD(d));
    }
    void Text(const std::wstring& text) {
        for (wchar_t c : text) Word(static_cast<WORD>(c));
        Word(0);
    }
    void Align() {
        if (m_words.size() % 2) Word(0);
    }
    void Item(int id, WORD atom, const wchar_t* className, DWORD style, int x, int y, int cx, int cy) {
        Align();
        DWord(WS_CHILD | style);
        DWord(0);
        for (int v : {x, y, cx, cy}) Word(static_cast<WORD>(static_cast<short>(v)));
        Word(static_cast<WORD>(id));
        if (className) {
            Text(className);
        } else {
            Word(0xFFFF);
            Word(atom);
        }
        Text(L"");  // texts are written when the dialog opens
        Word(0);    // no creation data
    }
    const DLGTEMPLATE* Get() const { return reinterpret_cast<const DLGTEMPLATE*>(m_words.data()); }

private:
    std::vector<WORD> m_words;
};

struct DialogState {
    DialogResult* result;
};

std::string ItemText(HWND dialog, int id) {
    HWND item = GetDlgItem(dialog, id);
    std::wstring text(static_cast<size_t>(GetWindowTextLengthW(item)) + 1, L'\0');
    text.resize(static_cast<size_t>(GetWindowTextW(item, text.data(), static_cast<int>(text.size()))));
    return plat::Narrow(text);
}

INT_PTR CALLBACK DialogProc(HWND dialog, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
        case WM_INITDIALOG: {
            SetWindowLongPtrW(dialog, DWLP_USER, lParam);
            SetDlgItemInt(dialog, IDC_LIMIT_EDIT, 32, TRUE);
            for (const ControlText& t : OPENING_TEXTS) SetDlgItemTextW(dialog, t.id, plat::Widen(t.text).c_str());
            SetWindowTextW(dialog, plat::Widen(CAPTION).c_str());
            return TRUE;  // focus on the first tab stop: the edit box
        }
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK_BUTTON) {
                auto* state = reinterpret_cast<DialogState*>(GetWindowLongPtrW(dialog, DWLP_USER));
                const DialogResult r = PressOk(ItemText(dialog, IDC_LIMIT_EDIT));
                if (r.check != LimitCheck::Ok) {
                    ::MessageBoxW(dialog, plat::Widen(r.message).c_str(), plat::Widen(CAPTION).c_str(),
                                MB_OK | MB_ICONEXCLAMATION);
                    HWND edit = GetDlgItem(dialog, IDC_LIMIT_EDIT);
                    SetFocus(edit);
                    SendMessageW(edit, EM_SETSEL, 0, -1);
                    return TRUE;
                }
                *state->result = r;
                EndDialog(dialog, IDOK);
                return TRUE;
            }
            if (LOWORD(wParam) == IDCANCEL_BUTTON) {  // Escape
                EndDialog(dialog, IDCANCEL);
                return TRUE;
            }
            break;
        default:
            break;
    }
    return FALSE;
}

}  // namespace

bool RunWin32TerminalIpDialog(HWND owner, const std::wstring& fontFace, DialogResult& result) {
    TemplateWriter t;
    // Pop-up with caption and modal frame, no system menu; 272 x 152 dialog units; 9-point font.
    t.DWord(WS_POPUP | WS_CAPTION | DS_MODALFRAME | DS_SETFONT | DS_CENTER | DS_NOFAILCREATE);
    t.DWord(0);
    t.Word(13);  // items
    for (int v : {0, 0, 272, 152}) t.Word(static_cast<WORD>(v));
    t.Word(0);  // no menu
    t.Word(0);  // the dialog class
    t.Text(plat::Widen(TEMPLATE_CAPTION));
    t.Word(9);
    t.Text(fontFace);

    const DWORD shown = WS_VISIBLE;
    const DWORD hidden = WS_DISABLED;
    t.Item(1190, CLASS_STATIC, nullptr, shown | SS_LEFT, 10, 10, 252, 8);
    t.Item(1191, CLASS_STATIC, nullptr, shown | SS_LEFT, 10, 24, 252, 8);
    t.Item(1192, CLASS_STATIC, nullptr, shown | SS_LEFT, 10, 39, 252, 8);
    t.Item(1193, CLASS_STATIC, nullptr, shown | SS_LEFT, 10, 54, 252, 8);
    t.Item(1197, CLASS_STATIC, nullptr, shown | SS_LEFT, 10, 70, 258, 10);
    t.Item(1200, CLASS_STATIC, nullptr, shown | SS_LEFT, 10, 83, 258, 10);
    t.Item(1198, CLASS_STATIC, nullptr, shown | SS_LEFT, 10, 98, 258, 8);
    t.Item(IDC_LIMIT_LABEL, CLASS_STATIC, nullptr, shown | SS_RIGHT, 43, 117, 69, 8);
    t.Item(IDC_LIMIT_EDIT, CLASS_EDIT, nullptr, shown | WS_BORDER | WS_TABSTOP | ES_CENTER | ES_AUTOHSCROLL, 137,
           113, 50, 13);
    t.Item(IDOK_BUTTON, CLASS_BUTTON, nullptr, shown | WS_TABSTOP | BS_DEFPUSHBUTTON, 97, 134, 50, 14);
    t.Item(IDCANCEL_BUTTON, CLASS_BUTTON, nullptr, hidden | BS_PUSHBUTTON, 149, 134, 50, 14);
    t.Item(IDC_IP_LABEL, CLASS_STATIC, nullptr, hidden | SS_RIGHT, 174, 140, 67, 8);
    t.Item(IDC_IP_ADDRESS, 0, CLASS_IP_ADDRESS, hidden, 247, 135, 12, 13);

    DialogState state{&result};
    const INT_PTR end = DialogBoxIndirectParamW(GetModuleHandleW(nullptr), t.Get(), owner, DialogProc,
                                                reinterpret_cast<LPARAM>(&state));
    return end == IDOK;
}
