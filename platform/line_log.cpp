#include "platform/line_log.h"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
    localtime_r(&now, &tm);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S ", &tm);
    const std::string entry = stamp + escaped + "\n";

    std::lock_guard<std::mutex> lock(m_mutex);
    const int fd = open(PathFor(line).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    size_t done = 0;
    bool ok = true;
    while (done < entry.size()) {
        const ssize_t n = write(fd, entry.data() + done, entry.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = false;
            break;
        }
        done += static_cast<size_t>(n);
    }
    close(fd);
    return ok;
}

}  // namespace plat
