#include "session/task_time.h"

#include "platform/trace.h"

namespace task_time {

std::string Duration(int64_t ms, bool bEnglish) {
    const int64_t s = ms <= 0 ? 0 : ms / 1000;
    const int h = static_cast<int>(s / 3600), m = static_cast<int>(s / 60 % 60), sec = static_cast<int>(s % 60);
    if (bEnglish) {
        if (h > 0) return plat::Format("%dh%02dm%02ds", h, m, sec);
        if (m > 0) return plat::Format("%dm%02ds", m, sec);
        return plat::Format("%ds", sec);
    }
    if (h > 0) return plat::Format("%d时%02d分%02d秒", h, m, sec);
    if (m > 0) return plat::Format("%d分%02d秒", m, sec);
    return plat::Format("%d秒", sec);
}

std::string WaitText(WaitFor what, bool bEnglish) {
    switch (what) {
        case WaitFor::None: return {};
        case WaitFor::GatewayReply: return bEnglish ? "waiting for the gateway's reply" : "等待接入盒回应";
        case WaitFor::GatewayRestart: return bEnglish ? "waiting for the gateway to restart" : "等待接入盒重启";
        case WaitFor::GatewayClose: return bEnglish ? "waiting for the gateway to close the link" : "等待接入盒断开连接";
        case WaitFor::ModemReply: return bEnglish ? "waiting for the modem's reply" : "等待模块回应";
    }
    return {};
}

std::string Line(int64_t elapsedMs, WaitFor what, int64_t leftMs, bool bEnglish) {
    std::string text = (bEnglish ? "Elapsed " : "已用时 ") + Duration(elapsedMs, bEnglish);
    const std::string wait = WaitText(what, bEnglish);
    if (wait.empty()) return text;
    // The time left counts the seconds to come, so it never reads 0 while the wait lasts.
    const std::string left = Duration(leftMs <= 0 ? 0 : leftMs + 999, bEnglish);
    return text + (bEnglish ? ", " + wait + ", at most " + left + " more" : "　" + wait + "，最多还需 " + left);
}

std::string Total(int64_t ms, bool bEnglish) { return (bEnglish ? "took " : "用时 ") + Duration(ms, bEnglish); }

std::string EndNote(int64_t ms, const std::string& logPath, bool bEnglish) {
    if (bEnglish) return " (" + Total(ms, true) + (logPath.empty() ? "" : ", log: " + logPath) + ")";
    return "（" + Total(ms, false) + (logPath.empty() ? "" : "，日志：" + logPath) + "）";
}

void Clock::Start(int line, int64_t nowMs) {
    if (!ValidLine(line)) return;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines[static_cast<size_t>(line)] = Times{nowMs, -1, 0, WaitFor::None};
}

void Clock::Wait(int line, WaitFor what, int64_t maxMs, int64_t nowMs) {
    if (!ValidLine(line)) return;
    std::lock_guard<std::mutex> lock(m_mutex);
    Times& t = m_lines[static_cast<size_t>(line)];
    t.what = what;
    t.waitEnd = nowMs + maxMs;
}

void Clock::End(int line, int64_t nowMs) {
    if (!ValidLine(line)) return;
    std::lock_guard<std::mutex> lock(m_mutex);
    Times& t = m_lines[static_cast<size_t>(line)];
    if (t.start < 0 || t.end >= 0) return;
    t.end = nowMs;
    t.what = WaitFor::None;
}

bool Clock::Running(int line) const {
    if (!ValidLine(line)) return false;
    std::lock_guard<std::mutex> lock(m_mutex);
    const Times& t = m_lines[static_cast<size_t>(line)];
    return t.start >= 0 && t.end < 0;
}

std::string Clock::Text(int line, int64_t nowMs, bool bEnglish) const {
    if (!ValidLine(line)) return {};
    std::lock_guard<std::mutex> lock(m_mutex);
    const Times& t = m_lines[static_cast<size_t>(line)];
    if (t.start < 0) return {};
    if (t.end >= 0) return Total(t.end - t.start, bEnglish);
    return Line(nowMs - t.start, t.what, t.waitEnd - nowMs, bEnglish);
}

}  // namespace task_time
