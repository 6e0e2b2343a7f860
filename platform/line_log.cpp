#include "platform/line_log.h"

#include <ctime>

#include "platform/fs.h"
#include "platform/trace.h"

namespace plat {

LineLog::LineLog(std::string logsFolder) : m_strFolder(std::move(logsFolder)) {}

std::string LineLog::PathFor(int line) const {
    return m_strFolder + "/" + Format("Line%d.log", line + 1);
}

bool LineLog::Write(int line, const std::string& text) {
    std::string body = text;
    while (!body.empty() && (body.back() == '\n' || body.back() == '\r')) body.pop_back();
    std::string escaped;
    escaped.reserve(body.size());
    for (char c : body) {
        if (c == '\n')
            escaped += "\\n";
        else if (c != '\r')
            escaped += c;
    }
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    LocalTime(now, tm);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S ", &tm);
    const std::string entry = stamp + escaped + "\n";

    std::lock_guard<std::mutex> lock(m_mutex);
    OutFile file;
    if (!file.Open(PathFor(line), true)) return false;
    const bool ok = file.Write({reinterpret_cast<const unsigned char*>(entry.data()), entry.size()});
    return file.Close() && ok;
}

}  // namespace plat
