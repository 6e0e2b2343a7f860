#pragma once
// The state of one line that its watcher, its tasks and the form share: whether its channel is
// open, whether a task runs and which, and the texts it shows (the status history and the two
// version texts). The flags are atomics; the texts are guarded by the state's own lock.
#include <atomic>
#include <mutex>
#include <string>

// What a line's Download starts (the line's task radio; line 0 follows the operation mode).
enum class TaskType { None = 0, CpeUpgrade = 1, Repair = 2, NvBackup = 3, NvRestore = 4 };

// The task of an operation mode 0..3 (both upgrade modes upgrade; None outside the range).
inline TaskType TaskForMode(int mode) {
    constexpr TaskType TASK_FOR_MODE[4] = {TaskType::CpeUpgrade, TaskType::CpeUpgrade, TaskType::NvBackup,
                                           TaskType::NvRestore};
    return mode >= 0 && mode < 4 ? TASK_FOR_MODE[mode] : TaskType::None;
}

struct LineState {
    std::atomic<bool> bChannelOpen{false};
    std::atomic<int> bRunning{0};   // 1 while a task of the line runs
    std::atomic<TaskType> nTaskType{TaskType::None};

    std::string History() const { return Get(m_strHistory); }
    void AppendHistory(const std::string& text) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_strHistory += text;
    }
    std::string ModemVersion() const { return Get(m_strModemVersion); }
    void SetModemVersion(const std::string& text) { Set(m_strModemVersion, text); }
    std::string CpeVersion() const { return Get(m_strCpeVersion); }
    void SetCpeVersion(const std::string& text) { Set(m_strCpeVersion, text); }

private:
    std::string Get(const std::string& text) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return text;
    }
    void Set(std::string& field, const std::string& text) {
        std::lock_guard<std::mutex> lock(m_mutex);
        field = text;
    }

    mutable std::mutex m_mutex;
    std::string m_strHistory;
    std::string m_strModemVersion;
    std::string m_strCpeVersion = "NULL";
};
