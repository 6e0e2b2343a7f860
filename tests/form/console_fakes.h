#pragma once
// Stand-ins for the front end of the view: a UI port that records every message and answers from
// a script, a host with a queue the test runs by hand, a process interface that records calls, and
// a temporary machine root, runtime folder and working folder per test.

#include <cstdlib>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "form/view_host.h"
#include "platform/clock.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "platform/ui_port.h"
#include "tests/support/temp_folder.h"

namespace fakes {

struct Message {
    std::string text;
    std::string caption;
    plat::MsgButtons buttons;
};

class FakeUi : public plat::IUiPort {
public:
    plat::MsgResult MessageBox(const std::string& text, const std::string& caption, plat::MsgButtons buttons,
                               plat::MsgIcon) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        messages.push_back({text, caption, buttons});
        if (buttons == plat::MsgButtons::YesNo) return bAnswerYes ? plat::MsgResult::Yes : plat::MsgResult::No;
        return plat::MsgResult::Ok;
    }
    std::optional<std::string> ChooseFile(const plat::FileDialogSpec& dialogRequest) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        fileSpecs.push_back(dialogRequest);
        return fileAnswer;
    }
    std::optional<std::string> ChooseFolder(const std::string& title) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        folderTitles.push_back(title);
        return folderAnswer;
    }
    void PostClose() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++closes;
    }
    std::vector<std::string> Texts() {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<std::string> out;
        for (const auto& m : messages) out.push_back(m.text);
        return out;
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(m_mutex);
        messages.clear();
    }

    std::mutex m_mutex;
    std::vector<Message> messages;
    std::vector<plat::FileDialogSpec> fileSpecs;
    std::vector<std::string> folderTitles;
    std::optional<std::string> fileAnswer;
    std::optional<std::string> folderAnswer;
    bool bAnswerYes = true;
    int closes = 0;
};

class FakeHost : public IViewHost {
public:
    FakeHost() : m_gui(std::this_thread::get_id()) {}

    DialogEnd RunTerminalIpDialog(TerminalIpResult& out) override {
        ++dialogRuns;
        if (dialogEnd == DialogEnd::Ok) out = dialogResult;
        return dialogEnd;
    }
    void PostToGui(std::function<void()> fn) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_queue.push_back(std::move(fn));
    }
    bool IsGuiThread() const override { return std::this_thread::get_id() == m_gui; }
    void StartTimer(int id, int64_t periodMs) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        timers[id] = periodMs;
    }
    void StopTimer(int id) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        timers.erase(id);
    }
    void SetTitle(const std::string& t) override { title = t; }
    void ExitProcessNow(int code) override { exitNow.push_back(code); }
    void RequestExit(int status, bool force) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        exitRequests.push_back({status, force});
    }
    void LineConcluded(int, LineOutcome outcome) override { RequestExit(IsPass(outcome) ? 0 : 2, false); }
    void BeginTeardown() override { bTeardown = true; }

    // Runs the posted work on the calling (GUI) thread; the number of items run.
    int RunPending() {
        int n = 0;
        for (;;) {
            std::function<void()> fn;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                if (m_queue.empty()) return n;
                fn = std::move(m_queue.front());
                m_queue.pop_front();
            }
            fn();
            ++n;
        }
    }
    // Runs posted work until `done` holds, at most `limitMs` real ms.
    bool PumpUntil(const std::function<bool()>& done, int64_t limitMs = 5000) {
        const int64_t end = plat::TickMs() + limitMs;
        while (!done()) {
            if (plat::TickMs() > end) return false;
            if (RunPending() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }
    std::map<int, int64_t> Timers() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return timers;
    }

    DialogEnd dialogEnd = DialogEnd::Ok;
    TerminalIpResult dialogResult{"192.168.0.1", "32"};
    int dialogRuns = 0;
    std::string title;
    std::vector<int> exitNow;
    std::vector<std::pair<int, bool>> exitRequests;
    bool bTeardown = false;
    std::map<int, int64_t> timers;

private:
    std::thread::id m_gui;
    std::mutex m_mutex;
    std::deque<std::function<void()>> m_queue;
};

class FakeProcess : public plat::IProcess {
public:
    void FlushArp(const std::string& gateway) override { calls.push_back("arp " + gateway); }
    void OpenDocument(const std::string& path) override { calls.push_back("open " + path); }
    void StartProgram(const std::string& path) override { calls.push_back("start " + path); }
    std::vector<std::string> calls;
};

// A fresh machine root, runtime folder (single-instance marker) and working folder; the time
// scale 0.05. Everything is put back in the destructor.
class TempEnv {
public:
    TempEnv() {
        base = test_support::MakeTempFolder("rk-console-");
        root = base + "/root";
        run = base + "/run";
        cwd = base + "/cwd";
        program = base + "/program";
        for (const auto& d : {root, run, cwd, program}) std::filesystem::create_directories(d);
        const char* oldRun = std::getenv("XDG_RUNTIME_DIR");
        if (oldRun) m_oldRun = oldRun;
        test_support::SetEnv("XDG_RUNTIME_DIR", run.c_str());
        m_oldCwd = std::filesystem::current_path().string();
        std::filesystem::current_path(cwd);
        plat::SetMachineRoot(root);
        plat::SetTimeScale(0.05);
    }
    ~TempEnv() {
        plat::SetTimeScale(1.0);
        plat::InjectWriteFailureAfter(-1);
        if (!m_oldCwd.empty()) std::filesystem::current_path(m_oldCwd);
        test_support::SetEnv("XDG_RUNTIME_DIR", m_oldRun ? m_oldRun->c_str() : nullptr);
        std::error_code ec;
        std::filesystem::remove_all(base, ec);
    }
    std::string VersionFile(const std::string& name) const { return plat::VersionFolder() + "/" + name; }

    std::string base, root, run, cwd, program;

private:
    std::string m_oldCwd;
    std::optional<std::string> m_oldRun;
};

}  // namespace fakes
