#include "ui/win32/win32_font.h"

#include <vector>

namespace {

int CALLBACK CollectFace(const LOGFONTW* font, const TEXTMETRICW*, DWORD, LPARAM param) {
    auto* faces = reinterpret_cast<std::vector<std::wstring>*>(param);
    // "@Name" is the vertical-writing variant of a face.
    if (font->lfFaceName[0] != L'@') faces->push_back(font->lfFaceName);
    return 1;
}

bool HasLatin(const std::wstring& face) {
    HFONT font = CreateFontW(-12, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                             CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, face.c_str());
    if (!font) return false;
    HDC dc = CreateCompatibleDC(nullptr);
    HGDIOBJ old = SelectObject(dc, font);
    const wchar_t sample[] = L"0A/a";
    WORD glyphs[4] = {};
    const DWORD n = GetGlyphIndicesW(dc, sample, 4, glyphs, GGI_MARK_NONEXISTING_GLYPHS);
    SelectObject(dc, old);
    DeleteDC(dc);
    DeleteObject(font);
    if (n != 4) return false;
    for (WORD g : glyphs)
        if (g == 0xFFFF) return false;
    return true;
}

std::wstring ChooseFace() {
    std::vector<std::wstring> faces;
    LOGFONTW query{};
    query.lfCharSet = GB2312_CHARSET;
    HDC dc = GetDC(nullptr);
    EnumFontFamiliesExW(dc, &query, CollectFace, reinterpret_cast<LPARAM>(&faces), 0);
    ReleaseDC(nullptr, dc);
    // SimSun first (listed under its Chinese or its English name, by the system's language); then
    // the face the Linux window uses (fonts-wqy-microhei), so both builds look alike where it is
    // installed; then the first CJK face that also has the Latin letters and digits the form's
    // texts carry (a CJK-only fallback font would show them as boxes).
    for (const wchar_t* preferred : {L"宋体", L"SimSun", L"文泉驿微米黑", L"WenQuanYi Micro Hei"})
        for (const std::wstring& face : faces)
            if (face == preferred) return face;
    for (const std::wstring& face : faces)
        if (HasLatin(face)) return face;
    if (!faces.empty()) return faces.front();
    return L"宋体";  // the system's font mapper picks its nearest
}

}  // namespace

const std::wstring& CjkFontFace() {
    static const std::wstring face = ChooseFace();
    return face;
}

HFONT CreateCjkFont(int points, UINT dpi) {
    const int height = -MulDiv(points, static_cast<int>(dpi), 72);
    return CreateFontW(height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                       CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, CjkFontFace().c_str());
}

UINT WindowDpi(HWND hWnd) {
    using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
    static const auto getDpiForWindow = reinterpret_cast<GetDpiForWindowFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
    if (getDpiForWindow && hWnd) {
        if (const UINT dpi = getDpiForWindow(hWnd)) return dpi;
    }
    HDC dc = GetDC(nullptr);
    const int dpi = GetDeviceCaps(dc, LOGPIXELSY);
    ReleaseDC(nullptr, dc);
    return dpi > 0 ? static_cast<UINT>(dpi) : 96;
}
