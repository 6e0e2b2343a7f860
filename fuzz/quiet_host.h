#pragma once
// The process and operator stand-ins of the web targets: nothing is started, every message box
// is answered with OK, every chooser is cancelled.
#include <optional>
#include <string>

#include "platform/process.h"
#include "platform/ui_port.h"

namespace rkfuzz {

class NoProcess : public plat::IProcess {
public:
    void FlushArp(const std::string&) override {}
    void OpenDocument(const std::string&) override {}
    void StartProgram(const std::string&) override {}
};

class NoUi : public plat::IUiPort {
public:
    plat::MsgResult MessageBox(const std::string&, const std::string&, plat::MsgButtons, plat::MsgIcon) override {
        return plat::MsgResult::Ok;
    }
    std::optional<std::string> ChooseFile(const plat::FileDialogSpec&) override { return {}; }
    std::optional<std::string> ChooseFolder(const std::string&) override { return {}; }
    void PostClose() override {}
};

}  // namespace rkfuzz
