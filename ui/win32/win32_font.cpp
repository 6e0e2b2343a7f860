#include "ui/win32/win32_font.h"

#include <vector>

namespace {

int CALLBACK CollectFace(const LOGFONTW* font, const TEXTMETRICW*, DWORD, LPARAM param) {
    auto* faces = reinterpret_cast<std::vector<std::wstring>*>(param);
    // "@Name" is the vertical-writing variant of a face.
    if (font->lfFaceName[0] != L'@') faces->push_back(font->lfFaceName);
    return 1;
}

std::wstring ChooseFace() {
    std::vector<std::wstring> faces;
    LOGFONTW query{};
    query.lfCharSet = GB2312_CHARSET;
    HDC dc = GetDC(nullptr);
    EnumFontFamiliesExW(dc, &query, CollectFace, reinterpret_cast<LPARAM>(&faces), 0);
    ReleaseDC(nullptr, dc);
    // SimSun first; then the face the Linux window uses (fonts-wqy-microhei), so both builds look
    // alike on a machine that has it; then whatever CJK face the system lists first.
    for (const wchar_t* preferred : {L"宋体", L"SimSun", L"WenQuanYi Micro Hei"})
        for (const std::wstring& face : faces)
            if (face == preferred) return face;
    if (!faces.empty()) return faces.front();
    return L"宋体";  // the system's font mapper picks its nearest
}

}  // namespace

const std::wstring& CjkFontFace() {
    static const std::wstring face = ChooseFace();
    return face;
}

HFONT CreateCjkFont(int points) {
    HDC dc = GetDC(nullptr);
    const int height = -MulDiv(points, GetDeviceCaps(dc, LOGPIXELSY), 72);
    ReleaseDC(nullptr, dc);
    return CreateFontW(height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, GB2312_CHARSET, OUT_DEFAULT_PRECIS,
                       CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, CjkFontFace().c_str());
}
