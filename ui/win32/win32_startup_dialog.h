#pragma once
// Dialog 162 ("Write Terminal IP") as a Win32 dialog built from an in-memory template with the
// layout of the resource (dialog units, the CJK font at 9 points; the dialog manager makes that
// font for the screen's DPI and derives the dialog units from it, so the dialog scales with the
// DPI as one, and PerMonitorV2 rescales it on a move): the operator's instructions
// and the WiFi client limit, validated by the OK button with the shared check of web/. Escape is a
// cancel; the template's cancel button is hidden and disabled.
#include <windows.h>

#include <string>

#include "form/startup_dialog.h"

// Runs the dialog modally on the calling (GUI) thread. True with `result` filled when it ended
// with OK; false when it was cancelled or could not be created.
bool RunWin32TerminalIpDialog(HWND owner, const std::wstring& fontFace, startup_dialog::DialogResult& result);
