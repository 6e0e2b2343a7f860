#pragma once
// Shared pieces of the record and counter tests: a scripted UI port, a temporary machine root,
// file helpers and an environment guard.
#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/fs.h"
#include "platform/ui_port.h"
#include "tests/support/temp_folder.h"

namespace rectest {

struct ShownMessage {
    std::string text;
    std::string caption;
    plat::MsgButtons buttons;
    plat::MsgIcon icon;
};

// Records every message box and chooser; answers Yes/No with `answer` and the choosers from a queue
// (an empty queue or an empty entry cancels).
class FakeUi : public plat::IUiPort {
public:
    plat::MsgResult MessageBox(const std::string& text, const std::string& caption, plat::MsgButtons buttons,
                               plat::MsgIcon icon) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        messages.push_back({text, caption, buttons, icon});
        if (buttons == plat::MsgButtons::YesNo) return answer;
        return plat::MsgResult::Ok;
    }
    std::optional<std::string> ChooseFile(const plat::FileDialogSpec& dialogRequest) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        fileRequests.push_back(dialogRequest);
        if (fileAnswers.empty()) return std::nullopt;
        std::optional<std::string> a = fileAnswers.front();
        fileAnswers.pop_front();
        return a;
    }
    std::optional<std::string> ChooseFolder(const std::string&) override { return std::nullopt; }
    void PostClose() override {}

    std::vector<std::string> Texts() const {
        std::vector<std::string> t;
        for (const auto& m : messages) t.push_back(m.text);
        return t;
    }

    plat::MsgResult answer = plat::MsgResult::Yes;
    std::vector<ShownMessage> messages;
    std::vector<plat::FileDialogSpec> fileRequests;
    std::deque<std::optional<std::string>> fileAnswers;

private:
    std::mutex m_mutex;
};

using test_support::MakeReadOnly;
using test_support::MakeTempFolder;

// A fresh machine root with its system directory, removed afterwards.
class TempRoot {
public:
    TempRoot() {
        m_path = MakeTempFolder("rk_records_");
        plat::SetMachineRoot(m_path + "/C");
        plat::EnsureFolderTree(plat::SystemDirectory());
        plat::EnsureFolderTree(ProgramFolder());
    }
    ~TempRoot() {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    const std::string& Path() const { return m_path; }
    std::string ProgramFolder() const { return m_path + "/program"; }
    std::string System(const std::string& name) const { return plat::JoinPath(plat::SystemDirectory(), name); }

private:
    std::string m_path;
};

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void WriteFile(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

// The names in a folder (to find temporary files left behind).
inline std::vector<std::string> ListFolder(const std::string& path) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(path)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Sets environment variables for one test and restores them afterwards (nullptr unsets).
class EnvGuard {
public:
    void Set(const char* name, const char* value) {
        if (!m_saved.count(name)) {
            const char* old = ::getenv(name);
            m_saved[name] = old ? std::optional<std::string>(old) : std::nullopt;
        }
        test_support::SetEnv(name, value);
    }
    ~EnvGuard() {
        for (const auto& [name, value] : m_saved) test_support::SetEnv(name.c_str(), value ? value->c_str() : nullptr);
    }

private:
    std::map<std::string, std::optional<std::string>> m_saved;
};

}  // namespace rectest
