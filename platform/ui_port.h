#pragma once
// What the program asks of its operator: message boxes, file and folder choosers, the close
// request. The Qt window and the headless runner implement it. A worker thread that calls it
// blocks until the operator has answered; nobody calls it while holding the form-model lock or a
// slot lock.
#include <optional>
#include <string>

namespace plat {

enum class MsgIcon { None, Information, Exclamation, Stop, Question };
// YesNoDefaultNo: a Yes/No box whose default button is No (Enter and Escape answer No); the
// headless runner answers it Yes only when --answer yes was given.
enum class MsgButtons { Ok, YesNo, YesNoDefaultNo };
enum class MsgResult { Ok, Yes, No };

// The icon a window shows: the one asked for, else the framework's default for the buttons (an OK
// box the exclamation, a Yes/No box the question).
inline MsgIcon ShownIcon(MsgButtons buttons, MsgIcon icon) {
    if (icon != MsgIcon::None) return icon;
    return buttons == MsgButtons::Ok ? MsgIcon::Exclamation : MsgIcon::Question;
}

struct FileDialogSpec {
    bool bOpen = true;            // file-open (true) or file-save (false)
    std::string defaultExt;       // e.g. ".zip"
    std::string defaultName;      // e.g. "version.zip"
    std::string filter;           // the dialog's filter text, e.g. "zip file (*.zip)|*.zip||"
    bool bMustExist = false;
    bool bOverwritePrompt = false;
};

class IUiPort {
public:
    virtual ~IUiPort() = default;
    virtual MsgResult MessageBox(const std::string& text, const std::string& caption = {},
                                 MsgButtons buttons = MsgButtons::Ok,
                                 MsgIcon icon = MsgIcon::None) = 0;
    // The chosen full path, or nothing when cancelled.
    virtual std::optional<std::string> ChooseFile(const FileDialogSpec& dialogRequest) = 0;
    virtual std::optional<std::string> ChooseFolder(const std::string& title) = 0;
    // The close message to the main window (WM_CLOSE posted): handled later on the GUI thread.
    virtual void PostClose() = 0;
};

}  // namespace plat
