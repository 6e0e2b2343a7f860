#pragma once
// Test helpers: a scripted TCP server on 127.0.0.1 (port 0) that records what a client sends and
// answers with given bytes at given times, one script per connection; the time scale guard; a
// count of this process's open descriptors.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"

namespace webtest {

struct ScaleGuard {
    explicit ScaleGuard(double f) { plat::SetTimeScale(f); }
    ~ScaleGuard() { plat::SetTimeScale(1.0); }
};

inline int CountOpenFds() {
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr) return -1;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] != '.') ++n;
    }
    closedir(d);
    return n;
}

// A port on 127.0.0.1 where nobody listens.
inline int UnusedPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    close(fd);
    return ntohs(sa.sin_port);
}

// True once the header is complete and the body of its Content-Length is in.
inline bool HeaderAndBodyIn(const std::string& r) {
    const size_t end = r.find("\r\n\r\n");
    if (end == std::string::npos) return false;
    size_t length = 0;
    const size_t cl = r.find("Content-Length: ");
    if (cl != std::string::npos && cl < end) length = std::stoul(r.substr(cl + 16));
    return r.size() >= end + 4 + length;
}

inline std::function<bool(const std::string&)> EndsWith(const std::string& tail) {
    return [tail](const std::string& r) {
        return r.size() >= tail.size() && r.compare(r.size() - tail.size(), tail.size(), tail) == 0;
    };
}

class RawServer {
public:
    struct Step {
        int delayMs = 0;
        std::string bytes;
    };
    struct Script {
        std::vector<Step> steps;  // the answer, piece by piece
        int holdMs = 0;           // the connection stays open this long after the last piece
        std::function<bool(const std::string&)> complete = HeaderAndBodyIn;
    };

    explicit RawServer(std::vector<Script> scripts) : m_scripts(std::move(scripts)) {
        m_listen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(m_listen, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        listen(m_listen, 8);
        socklen_t len = sizeof sa;
        getsockname(m_listen, reinterpret_cast<sockaddr*>(&sa), &len);
        m_port = ntohs(sa.sin_port);
        m_thread = std::thread([this] { Run(); });
    }
    ~RawServer() {
        m_stop = true;
        m_thread.join();
        if (m_listen >= 0) close(m_listen);
    }

    int Port() const { return m_port; }
    int Accepted() const { return m_accepted.load(); }
    std::vector<std::string> Requests() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_requests;
    }
    // Waits (bounded) until every script has run.
    void WaitDone() {
        for (int i = 0; i < 400 && !m_done; ++i) plat::SleepRaw(25);
    }

private:
    bool Wait(int fd, int ms) {
        const int64_t end = plat::TickMs() + ms;
        while (!m_stop) {
            const int64_t left = end - plat::TickMs();
            if (left <= 0) return false;
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left < 50 ? left : 50)) > 0) return true;
        }
        return false;
    }
    void Pause(int ms) {
        const int64_t end = plat::TickMs() + ms;
        while (!m_stop && plat::TickMs() < end) plat::SleepRaw(10);
    }

    void Run() {
        for (size_t i = 0; i < m_scripts.size(); ++i) {
            auto& script = m_scripts[i];
            if (!Wait(m_listen, 20000)) break;
            const int fd = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) break;
            ++m_accepted;
            if (i + 1 == m_scripts.size()) {
                // The last script: nobody listens from now on, so a client that connects again
                // while (or right after) it is answered is refused, not left in the backlog.
                close(m_listen);
                m_listen = -1;
            }
            std::string req;
            char buf[4096];
            while (!script.complete(req) && Wait(fd, 3000)) {
                const ssize_t n = recv(fd, buf, sizeof buf, 0);
                if (n <= 0) break;
                req.append(buf, static_cast<size_t>(n));
            }
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_requests.push_back(req);
            }
            for (const auto& step : script.steps) {
                Pause(step.delayMs);
                send(fd, step.bytes.data(), step.bytes.size(), MSG_NOSIGNAL);
            }
            Pause(script.holdMs);
            close(fd);
        }
        if (m_listen >= 0) close(m_listen);
        m_listen = -1;
        m_done = true;
    }

    std::vector<Script> m_scripts;
    int m_listen = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_done{false};
    std::atomic<int> m_accepted{0};
    std::mutex m_mutex;
    std::vector<std::string> m_requests;
    std::thread m_thread;
};

// One script that answers with `reply` at once and closes.
inline RawServer::Script Answer(const std::string& reply) {
    RawServer::Script s;
    s.steps.push_back({0, reply});
    return s;
}

}  // namespace webtest
