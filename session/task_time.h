#pragma once
// The texts of a task's time: how long it has run, what it waits for and the most the wait may
// still take (the window's time line and the terminal's progress line), and its total at the end
// (the last line of the status history, the run log and the unit history).
#include <array>
#include <cstdint>
#include <mutex>
#include <string>

#include "model/line_record.h"

#include "session/line_events.h"

namespace task_time {

// "45秒", "1分05秒", "1时02分03秒"; in English "45s", "1m05s", "1h02m03s" (whole seconds gone).
std::string Duration(int64_t ms, bool bEnglish);
// What a wait awaits ("等待接入盒回应"); empty for WaitFor::None.
std::string WaitText(WaitFor what, bool bEnglish);
// The time line: "已用时 1分05秒" and, during a bounded wait, "　等待接入盒回应，最多还需 7分41秒".
std::string Line(int64_t elapsedMs, WaitFor what, int64_t leftMs, bool bEnglish);
// After a task: "用时 1分05秒".
std::string Total(int64_t ms, bool bEnglish);
// The end of a task in the status history: "（用时 1分05秒）", with the run log when it failed
// ("（用时 1分05秒，日志：<path>）").
std::string EndNote(int64_t ms, const std::string& logPath, bool bEnglish);

// Per line: when its task began and ended and the bounded wait it is in. Any thread.
class Clock {
public:
    void Start(int line, int64_t nowMs);
    // A wait of at most `maxMs` begins (WaitFor::None: the wait has ended).
    void Wait(int line, WaitFor what, int64_t maxMs, int64_t nowMs);
    void End(int line, int64_t nowMs);
    bool Running(int line) const;
    // The time line while the task runs, its total after it ("" before any task).
    std::string Text(int line, int64_t nowMs, bool bEnglish) const;

private:
    struct Times {
        int64_t start = -1, end = -1, waitEnd = 0;
        WaitFor what = WaitFor::None;
    };
    mutable std::mutex m_mutex;
    std::array<Times, LINE_COUNT> m_lines{};
};

}  // namespace task_time
