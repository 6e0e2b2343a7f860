#pragma once
// Test helpers: a scripted TCP server on 127.0.0.1 (port 0) that records what a client sends and
// answers with given bytes at given times, one script per connection; the time scale guard; a
// count of this process's open descriptors.
#include <dirent.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/socket.h"

namespace webtest {

struct ScaleGuard {
    explicit ScaleGuard(double f) { plat::SetTimeScale(f); }
    ~ScaleGuard() { plat::SetTimeScale(1.0); }
};

inline int CountOpenFds() {
#ifdef _WIN32
    // Under Wine /proc/self/fd lists Wine's own Unix descriptors, which come and go; the Linux
    // builds check the leaks.
    return 0;
#endif
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
    plat::Socket s = plat::Socket::Tcp();
    s.Bind({plat::IPV4_LOOPBACK, 0});
    return s.LocalPort();
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

    explicit RawServer(std::vector<Script> scripts)
        : m_scripts(std::move(scripts)), m_listen(plat::ListenTcp({plat::IPV4_LOOPBACK, 0}, 8)),
          m_port(m_listen.LocalPort()) {
        m_thread = std::thread([this] { Run(); });
    }
    ~RawServer() {
        m_stop = true;
        m_thread.join();
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
    bool Wait(const plat::Socket& s, int ms) {
        const int64_t end = plat::TickMs() + ms;
        while (!m_stop) {
            const int64_t left = end - plat::TickMs();
            if (left <= 0) return false;
            if (s.Wait(plat::SOCKET_READABLE, left < 50 ? left : 50) > 0) return true;
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
            plat::Socket conn = m_listen.Accept();
            if (!conn) break;
            ++m_accepted;
            if (i + 1 == m_scripts.size()) {
                // The last script: nobody listens from now on, so a client that connects again
                // while (or right after) it is answered is refused, not left in the backlog.
                m_listen.Close();
            }
            std::string req;
            char buf[4096];
            while (!script.complete(req) && Wait(conn, 3000)) {
                const std::ptrdiff_t n = conn.Receive(buf, sizeof buf);
                if (n <= 0) break;
                req.append(buf, static_cast<size_t>(n));
            }
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_requests.push_back(req);
            }
            for (const auto& step : script.steps) {
                Pause(step.delayMs);
                conn.SendAll(step.bytes.data(), step.bytes.size());
            }
            Pause(script.holdMs);
        }
        m_listen.Close();
        m_done = true;
    }

    std::vector<Script> m_scripts;
    plat::Socket m_listen;
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
