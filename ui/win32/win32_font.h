#pragma once
// The window's CJK font: "宋体" (SimSun) where it is installed, else the first installed font with
// the Chinese (GB2312) character set. The same font face serves the form and dialog 162.
#include <windows.h>

#include <string>

// The face name chosen (looked up once).
const std::wstring& CjkFontFace();
// That face at `points` points for the screen (any character set: the form mixes Latin and CJK
// texts, as dialog 162 does); the caller deletes it.
HFONT CreateCjkFont(int points);
