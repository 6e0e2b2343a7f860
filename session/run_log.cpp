#include "session/run_log.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "model/document.h"
#include "platform/adapters.h"
#include "platform/clock.h"
#include "platform/socket.h"
#include "platform/trace.h"
#include "records/unit_history.h"
#include "session/line_session.h"
#include "session/task_time.h"

namespace {

std::tm Local(std::time_t t) {
    std::tm tm{};
    plat::LocalTime(t, tm);
    return tm;
}

// "2026-12-09T19:30:01.123" (local time).
std::string IsoNow() {
    const int64_t ms = static_cast<int64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                std::chrono::system_clock::now().time_since_epoch())
                                                .count());
    const std::tm t = Local(static_cast<std::time_t>(ms / 1000));
    return plat::Format("%04d-%02d-%02dT%02d:%02d:%02d.%03d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour,
                        t.tm_min, t.tm_sec, static_cast<int>(ms % 1000));
}

std::string IsoOf(std::time_t when) {
    const std::tm t = Local(when);
    return plat::Format("%04d-%02d-%02dT%02d:%02d:%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour,
                        t.tm_min, t.tm_sec);
}

// The stamp of the status history's entries.
std::string HistoryStamp() {
    const std::tm t = Local(std::time(nullptr));
    return plat::Format("%d.%d.%d %d:%d:%d——", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min,
                        t.tm_sec);
}

std::string OneLine(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') out += "\\n";
        else if (c != '\r') out += c;
    }
    while (out.size() >= 2 && out.compare(out.size() - 2, 2, "\\n") == 0) out.resize(out.size() - 2);
    return out;
}

const char* TaskName(TaskType type) {
    switch (type) {
        case TaskType::CpeUpgrade: return "upgrade";
        case TaskType::Repair: return "repair";
        case TaskType::NvBackup: return "nv-backup";
        case TaskType::NvRestore: return "nv-restore";
        case TaskType::None: break;
    }
    return "none";
}

const char* OutcomeName(std::optional<LineOutcome> outcome) {
    if (!outcome) return "none reported";
    switch (*outcome) {
        case LineOutcome::Passed: return "passed (the modem is reset)";
        case LineOutcome::PassedAsIs: return "passed";
        case LineOutcome::FailedResetModem: return "failed (the modem is reset)";
        case LineOutcome::FailedStopLink: return "failed (the link stops)";
        case LineOutcome::FailedResetStopLink: return "failed (the modem is reset, the link stops)";
        case LineOutcome::FailedClosing: return "failed while closing";
    }
    return "";
}

std::string Seconds(int64_t ms) { return plat::Format("%lld.%03lld s", static_cast<long long>(ms / 1000), static_cast<long long>(ms % 1000)); }

// The stamp of a log's name ("20261209-193001-line1-upgrade.log"); -1 for another name.
std::time_t NameTime(const std::string& name) {
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    char tail[8] = {};
    if (name.size() < 20 || std::sscanf(name.c_str(), "%4d%2d%2d-%2d%2d%2d-%5s", &y, &mo, &d, &h, &mi, &s, tail) != 7 ||
        name.compare(16, 5, "-line") != 0 || name.compare(name.size() - 4, 4, ".log") != 0)
        return -1;
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    tm.tm_isdst = -1;
    return std::mktime(&tm);
}

}  // namespace

std::string RunLogFolder() { return plat::JoinPath(plat::DirName(plat::VersionFolder()), "Logs"); }

CRunRecorder::CRunRecorder(CServiceToolDoc& doc, ILineEvents& presenter, std::string folder)
    : m_doc(doc), m_next(presenter), m_strFolder(std::move(folder)) {}

CRunRecorder::~CRunRecorder() {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (Run& run : m_runs)
        if (run.bOpen) {
            Write(run, "the program ended before the task did");
            run.file.Close();
        }
}

std::string CRunRecorder::LogPath(int line) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return ValidLine(line) ? m_runs[static_cast<size_t>(line)].path : std::string();
}

void CRunRecorder::Write(Run& run, const std::string& text) {
    if (!run.bOpen) return;
    const std::string entry = IsoNow() + " " + OneLine(text) + "\n";
    run.file.Write({reinterpret_cast<const unsigned char*>(entry.data()), entry.size()});
}

void CRunRecorder::WriteAll(const std::string& text) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (Run& run : m_runs) Write(run, text);
}

std::string CRunRecorder::PcSide(int line) const {
    std::string gateway, adapter, address;
    if (m_pLines) {
        const LineEndpoints& e = m_pLines->Session(line).Endpoints();
        gateway = e.net.gateway;
        adapter = e.adapter;
        address = e.pcAddress;
    }
    uint32_t gw = 0;
    if ((adapter.empty() || address.empty()) && plat::ParseIpv4(gateway, gw)) {
        // The adapter whose subnet holds the gateway, as the system would choose it.
        for (const plat::AdapterAddress& a : plat::ListAdapterAddresses()) {
            if (a.ip == 0 || a.bLoopback || ((a.ip ^ gw) & a.mask) != 0) continue;
            if (adapter.empty()) adapter = a.name;
            if (address.empty()) address = plat::Ipv4Text(a.ip);
            break;
        }
    }
    return "gateway " + (gateway.empty() ? std::string("?") + "" : gateway) + ", MAC unknown; PC adapter " +
           (adapter.empty() ? "the system's choice" : adapter) + ", address " +
           (address.empty() ? "the system's choice" : address);
}

void CRunRecorder::Prune(const std::string& folder, std::time_t now, const std::string& keep) {
    std::vector<plat::FolderEntry> entries;
    if (!plat::ListFolder(folder, entries)) return;
    struct Log {
        std::time_t when;
        std::string path;
        long long size;
    };
    std::vector<Log> logs;
    for (const auto& e : entries) {
        const std::time_t when = e.kind == plat::EntryKind::File ? NameTime(e.name) : -1;
        const std::string path = plat::JoinPath(folder, e.name);
        if (when < 0 || e.name == plat::BaseName(keep)) continue;
        logs.push_back({when, path, std::max(0LL, plat::FileSize(path))});
    }
    std::sort(logs.begin(), logs.end(), [](const Log& a, const Log& b) { return a.when > b.when; });
    long long total = keep.empty() ? 0 : std::max(0LL, plat::FileSize(keep));
    for (const Log& log : logs) {
        total += log.size;
        if (now - log.when > RUN_LOG_KEEP_DAYS * 86400LL || total > RUN_LOG_KEEP_BYTES) plat::DeleteFile(log.path);
    }
}

void CRunRecorder::Begin(int line) {
    Run& run = m_runs[static_cast<size_t>(line)];
    if (run.bOpen) {
        Write(run, "a new task began before this one reported its end");
        run.file.Close();
        run.bOpen = false;
    }
    const LineState& state = m_doc.Line(line);
    run.task = TaskName(state.nTaskType.load());
    run.start = std::time(nullptr);
    run.startTick = run.stepTick = plat::TickMs();
    run.wait = WaitFor::None;
    run.lastProgress = -1;
    run.lastStatus.clear();
    run.modem = state.ModemVersion();
    run.cpe = state.CpeVersion();
    const std::tm t = Local(run.start);
    if (!plat::EnsureFolderTree(m_strFolder)) return;
    run.path = plat::JoinPath(m_strFolder, plat::Format("%04d%02d%02d-%02d%02d%02d-line%d-%s.log", t.tm_year + 1900,
                                                         t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec,
                                                         line + 1, run.task.c_str()));
    // The head comes in through a rename: the file never exists without it. Then each line is
    // appended with one write, so a crash leaves a readable log up to the last whole line.
    std::string head = "rk880t-tool " RK880T_VERSION "\n";
    head += "task: " + run.task + ", line " + std::to_string(line + 1) + ", started " + IsoOf(run.start) + "\n";
    head += PcSide(line) + "\n";
    head += "modem version: " + OneLine(run.modem) + "\n";
    head += "CPE version: " + OneLine(run.cpe) + "\n";
    if (!run.before.empty()) {
        head += "before the task:\n";
        for (const std::string& s : run.before) head += "  " + s + "\n";
        run.before.clear();
    }
    if (!plat::WriteFileAtomic(run.path, {reinterpret_cast<const unsigned char*>(head.data()), head.size()}) ||
        !run.file.Open(run.path, true)) {
        plat::TraceF("run log: cannot write %s\n", run.path.c_str());
        run.path.clear();
        return;
    }
    run.bOpen = true;
    Prune(m_strFolder, run.start, run.path);
}

void CRunRecorder::Finish(int line, std::optional<LineOutcome> outcome) {
    Run& run = m_runs[static_cast<size_t>(line)];
    if (!run.bOpen) return;
    const bool bEnglish = m_doc.English();
    const int64_t total = plat::TickMs() - run.startTick;
    const bool bPassed = outcome && IsPass(*outcome);
    Write(run, "last step took " + Seconds(plat::TickMs() - run.stepTick));
    Write(run, std::string("outcome: ") + OutcomeName(outcome));
    Write(run, "total time: " + Seconds(total) + " (" + task_time::Duration(total, bEnglish) + ")");
    if (!bPassed) Write(run, "exit status of a run from the command line: 1");
    run.file.Close();
    run.bOpen = false;

    unit_history::Row row;
    row.start = IsoOf(run.start);
    row.durationS = (total + 500) / 1000;
    row.line = line + 1;
    row.task = run.task;
    row.modemVersion = run.modem;
    row.cpeVersion = run.cpe;
    row.result = run.lastStatus;
    std::replace(row.result.begin(), row.result.end(), '\n', ' ');
    row.outcome = bPassed ? "passed" : "failed";
    row.log = plat::BaseName(run.path);
    if (!unit_history::Append(plat::JoinPath(m_strFolder, unit_history::FILE_NAME), row))
        plat::TraceF("history: cannot append to %s\n", m_strFolder.c_str());

    // The last status again, with the total time and, after a failure, the log.
    const std::string note = run.lastStatus + task_time::EndNote(total, bPassed ? std::string() : run.path, bEnglish);
    m_next.History(line, HistoryStamp() + note + "\n");
}

void CRunRecorder::Status(int line, const std::string& text, bool bStamp) {
    if (ValidLine(line)) {
        std::lock_guard<std::mutex> lock(m_mutex);
        Run& run = m_runs[static_cast<size_t>(line)];
        if (run.bOpen) {
            const int64_t now = plat::TickMs();
            Write(run, "[+" + Seconds(now - run.stepTick) + "] " + text);
            run.stepTick = now;
            run.lastStatus = text;
        } else {
            run.before.push_back(IsoNow() + " " + OneLine(text));
            if (run.before.size() > RUN_LOG_LINES_BEFORE) run.before.pop_front();
        }
    }
    m_next.Status(line, text, bStamp);
}

void CRunRecorder::History(int line, const std::string& text) {
    if (ValidLine(line)) {
        std::lock_guard<std::mutex> lock(m_mutex);
        Write(m_runs[static_cast<size_t>(line)], "history: " + text);
    }
    m_next.History(line, text);
}

void CRunRecorder::Progress(int line, int percent) {
    if (ValidLine(line)) {
        std::lock_guard<std::mutex> lock(m_mutex);
        Run& run = m_runs[static_cast<size_t>(line)];
        if (percent != run.lastProgress) Write(run, plat::Format("progress %d/100", percent));
        run.lastProgress = percent;
    }
    m_next.Progress(line, percent);
}

void CRunRecorder::Picture(int line, int kind) {
    static const char* const NAMES[] = {"ready", "running", "passed", "failed", "offline"};
    if (ValidLine(line) && kind >= PIC_READY && kind <= PIC_OFFLINE) {
        std::lock_guard<std::mutex> lock(m_mutex);
        Write(m_runs[static_cast<size_t>(line)], std::string("picture: ") + NAMES[kind]);
    }
    m_next.Picture(line, kind);
}

void CRunRecorder::Message(const std::string& text, bool bTitled) {
    WriteAll("message box: " + text);
    m_next.Message(text, bTitled);
}

bool CRunRecorder::AskDefaultNo(const std::string& text) {
    WriteAll("question: " + text);
    const bool bYes = m_next.AskDefaultNo(text);
    WriteAll(bYes ? "answer: yes" : "answer: no");
    return bYes;
}

void CRunRecorder::RunningChanged(int line, bool bStartAllowed) {
    if (ValidLine(line) && !bStartAllowed && m_doc.Line(line).bRunning.load() != 0) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_runs[static_cast<size_t>(line)].bOpen) Begin(line);
    }
    m_next.RunningChanged(line, bStartAllowed);
}

void CRunRecorder::TaskReturned(int line, std::optional<LineOutcome> outcome) {
    if (ValidLine(line)) {
        std::lock_guard<std::mutex> lock(m_mutex);
        Finish(line, outcome);
    }
    m_next.TaskReturned(line, outcome);
}

void CRunRecorder::Waiting(int line, WaitFor what, int64_t maxMs) {
    if (ValidLine(line)) {
        std::lock_guard<std::mutex> lock(m_mutex);
        Run& run = m_runs[static_cast<size_t>(line)];
        const int64_t now = plat::TickMs();
        // The NV exchanges come one after the other: only the first of a row and the end are written.
        if (what == WaitFor::None && run.wait != WaitFor::None)
            Write(run, "wait ended after " + Seconds(now - run.waitTick));
        else if (what != WaitFor::None && what != run.wait) {
            Write(run, task_time::WaitText(what, true) + ", at most " + Seconds(maxMs));
            run.waitTick = now;
        }
        run.wait = what;
    }
    m_next.Waiting(line, what, maxMs);
}

void CRunRecorder::Concluded(int line, LineOutcome outcome) {
    // The program ends on it: 0 after a pass, 2 after a failure.
    WriteAll(plat::Format("exit status: %d", IsPass(outcome) ? 0 : 2));
    m_next.Concluded(line, outcome);
}
