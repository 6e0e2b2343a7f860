#pragma once
// The run log and the history of units. CRunRecorder stands between the lines' sessions and the
// presenter: it passes every line event on unchanged and records, per task, one log file
// ("<folder>/<yyyymmdd-hhmmss>-line<N>-<task>.log": the tool's version, the PC's adapter and
// address, the gateway, the versions, every status line with its time and the step before it, the
// waits, the message boxes, the outcome and the exit status) and one row of "history.csv" beside
// it. At a task's end the status history gets its last line again with the total time (and, when
// it failed, the log's path). Old logs are pruned when a new one begins.
#include <array>
#include <cstdint>
#include <ctime>
#include <deque>
#include <mutex>
#include <string>

#include "model/line_record.h"
#include "platform/fs.h"
#include "session/line_events.h"

class CServiceToolDoc;
class CLineSessions;

// Logs older than this many days, then the oldest beyond this many bytes in all, are deleted.
constexpr int RUN_LOG_KEEP_DAYS = 90;
constexpr long long RUN_LOG_KEEP_BYTES = 50LL * 1024 * 1024;
// The watcher's status lines kept for the start of the next task's log (the network hints).
constexpr size_t RUN_LOG_LINES_BEFORE = 20;

// The folder of the run logs and the history: "Logs" beside the version folder.
std::string RunLogFolder();

class CRunRecorder final : public ILineEvents {
public:
    CRunRecorder(CServiceToolDoc& doc, ILineEvents& presenter, std::string folder);
    ~CRunRecorder() override;
    // The sessions whose endpoints the log names; set once before any thread starts.
    void SetLines(const CLineSessions* lines) { m_pLines = lines; }
    const std::string& Folder() const { return m_strFolder; }
    // The log of the line's current or last task ("" when none).
    std::string LogPath(int line) const;

    // Deletes the logs of `folder` past the bounds, as of `now`, never `keep`.
    static void Prune(const std::string& folder, std::time_t now, const std::string& keep = {});

    void Status(int line, const std::string& text, bool bStamp = true) override;
    void History(int line, const std::string& text) override;
    void Progress(int line, int percent) override;
    void Picture(int line, int kind) override;
    void ModemVersionChanged(int line) override { m_next.ModemVersionChanged(line); }
    void VersionsChanged(int line) override { m_next.VersionsChanged(line); }
    void Available(int line, bool bAvailable) override { m_next.Available(line, bAvailable); }
    void DiagPortShown(int line, bool bShown) override { m_next.DiagPortShown(line, bShown); }
    void Ready(int line) override { m_next.Ready(line); }
    void CountersChanged() override { m_next.CountersChanged(); }
    void Message(const std::string& text, bool bTitled = false) override;
    bool AskDefaultNo(const std::string& text) override;
    void ModeChanged(int mode) override { m_next.ModeChanged(mode); }
    void RunningChanged(int line, bool bStartAllowed) override;
    void TaskReturned(int line, std::optional<LineOutcome> outcome) override;
    void Waiting(int line, WaitFor what, int64_t maxMs) override;
    void Concluded(int line, LineOutcome outcome) override;

private:
    struct Run {
        bool bOpen = false;
        std::string path;
        std::string task;
        std::time_t start = 0;
        int64_t startTick = 0;
        int64_t stepTick = 0;
        int64_t waitTick = 0;
        WaitFor wait = WaitFor::None;
        int lastProgress = -1;
        std::string lastStatus;
        std::string modem, cpe;
        plat::OutFile file;
        std::deque<std::string> before;  // stamped status lines of the watcher
    };
    // Every Run below is guarded by m_mutex.
    void Begin(int line);
    void Finish(int line, std::optional<LineOutcome> outcome);
    void Write(Run& run, const std::string& text);
    // Writes to every open run (the message boxes and the exit belong to no one line).
    void WriteAll(const std::string& text);
    std::string PcSide(int line) const;

    CServiceToolDoc& m_doc;
    ILineEvents& m_next;
    const std::string m_strFolder;
    const CLineSessions* m_pLines = nullptr;
    mutable std::mutex m_mutex;
    std::array<Run, LINE_COUNT> m_runs;
};
