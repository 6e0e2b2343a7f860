#pragma once
// The window's CJK font: "宋体" (SimSun) where it is installed, else the first installed font with
// the Chinese (GB2312) character set. The same font face serves the form and dialog 162.
#include <windows.h>

#include <string>

// The face name chosen (looked up once).
const std::wstring& CjkFontFace();
// That face at `points` points for `dpi` (any character set: the form mixes Latin and CJK texts,
// as dialog 162 does); the caller deletes it.
HFONT CreateCjkFont(int points, UINT dpi);

// The DPI a window is drawn at (the program is DPI-aware per monitor): GetDpiForWindow where the
// system has it (Windows 10 1607 and later), else the screen's LOGPIXELSY, the system DPI.
UINT WindowDpi(HWND hWnd);
// `value` pixels at 96 DPI, at `dpi`.
inline int ScaleForDpi(int value, UINT dpi) { return MulDiv(value, static_cast<int>(dpi), 96); }
