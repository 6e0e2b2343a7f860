#include "sim/sim_web.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <httplib.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <thread>

#include "sim/sim_readers.h"

namespace {

constexpr size_t RECORD_SIZE = 2049;
constexpr size_t FIELD_SIZE = 128;
constexpr uint8_t REC_WRITE = 232;
constexpr uint8_t REC_READ = 231;
constexpr uint8_t REC_CLOSE = 68;
constexpr int SPLIT_GAP_MS = 80;
constexpr size_t SPLIT_FIRST = 1024;
constexpr int IO_TIMEOUT_MS = 5000;
constexpr int KEEP_ALIVE_MS = 2000;
constexpr int KEEP_ALIVE_REQUESTS = 5;
constexpr int TICK_MS = 100;

int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Waits for `events` up to `ms` milliseconds; >0 ready, 0 time-out, <0 error.
int PollFor(int fd, short events, int ms) {
    const int64_t end = NowMs() + ms;
    for (;;) {
        const int64_t left = end - NowMs();
        pollfd p{fd, events, 0};
        const int r = poll(&p, 1, left > 0 ? static_cast<int>(left) : 0);
        if (r < 0 && errno == EINTR) continue;
        return r;
    }
}

bool SendAll(int fd, const uint8_t* p, size_t n) {
    size_t sent = 0;
    while (sent < n) {
        if (PollFor(fd, POLLOUT, IO_TIMEOUT_MS) <= 0) return false;
        const ssize_t r = send(fd, p + sent, n - sent, MSG_NOSIGNAL);
        if (r < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (r <= 0) return false;
        sent += static_cast<size_t>(r);
    }
    return true;
}

// A listener on 127.0.0.1 with an accept thread and one thread per connection. Every thread is
// joined by Stop. The port stays the same when the listener is closed and opened again.
class TcpService {
public:
    using Admit = std::function<bool()>;      // false: close the new connection unanswered
    using Serve = std::function<void(int)>;   // serves one connection; the service closes it

    ~TcpService() { Stop(); }

    bool Start(Admit admit, Serve serve) {
        m_admit = std::move(admit);
        m_serve = std::move(serve);
        if (pipe2(m_wake, O_CLOEXEC | O_NONBLOCK) != 0) return false;
        m_listen = OpenListener(0);
        if (m_listen < 0) return false;
        sockaddr_in sa{};
        socklen_t len = sizeof sa;
        getsockname(m_listen, reinterpret_cast<sockaddr*>(&sa), &len);
        m_port = ntohs(sa.sin_port);
        m_listening = true;
        m_thread = std::thread([this] { Loop(); });
        return true;
    }

    int Port() const { return m_port; }
    bool StopRequested() const { return m_stop.load(); }

    void SetListening(bool on) {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_thread.joinable()) return;
        m_wantListening = on;
        Wake();
        m_cv.wait_for(lock, std::chrono::milliseconds(2000),
                      [&] { return m_listening == on || m_stop.load(); });
    }

    void Stop() {
        if (m_thread.joinable()) {
            m_stop = true;
            Wake();
            m_thread.join();
        }
        {
            std::lock_guard<std::mutex> lock(m_connMutex);
            for (auto& c : m_conns)
                if (c.fd >= 0) shutdown(c.fd, SHUT_RDWR);
        }
        for (auto& c : m_conns)
            if (c.thread.joinable()) c.thread.join();
        m_conns.clear();
        if (m_listen >= 0) close(m_listen);
        m_listen = -1;
        for (int& fd : m_wake) {
            if (fd >= 0) close(fd);
            fd = -1;
        }
    }

private:
    struct Conn {
        std::thread thread;
        int fd = -1;
        std::shared_ptr<std::atomic<bool>> done;
    };

    int OpenListener(int port) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return -1;
        const int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<uint16_t>(port));
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(fd, 16) != 0) {
            close(fd);
            return -1;
        }
        return fd;
    }

    void Wake() {
        const char c = 1;
        if (m_wake[1] >= 0) (void)!write(m_wake[1], &c, 1);
    }

    void Reap(bool all) {
        for (auto it = m_conns.begin(); it != m_conns.end();) {
            if (all || it->done->load()) {
                it->thread.join();
                it = m_conns.erase(it);
            } else {
                ++it;
            }
        }
    }

    void Loop() {
        while (!m_stop.load()) {
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                if (m_wantListening && m_listen < 0) m_listen = OpenListener(m_port);
                if (!m_wantListening && m_listen >= 0) {
                    close(m_listen);
                    m_listen = -1;
                }
                m_listening = m_listen >= 0;
            }
            m_cv.notify_all();
            Reap(false);

            pollfd p[2] = {{m_wake[0], POLLIN, 0}, {m_listen, POLLIN, 0}};
            const int r = poll(p, m_listen >= 0 ? 2 : 1, TICK_MS);
            if (r <= 0) continue;
            if (p[0].revents != 0) {
                char buf[64];
                while (read(m_wake[0], buf, sizeof buf) > 0) {
                }
            }
            if (m_listen >= 0 && (p[1].revents & POLLIN) != 0) {
                const int fd = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd < 0) {
                    // Out of descriptors or the like: do not spin on the pending connection.
                    std::this_thread::sleep_for(std::chrono::milliseconds(TICK_MS));
                    continue;
                }
                if (!m_admit()) {
                    close(fd);
                    continue;
                }
                Conn c;
                c.fd = fd;
                c.done = std::make_shared<std::atomic<bool>>(false);
                std::lock_guard<std::mutex> lock(m_connMutex);
                m_conns.push_back(std::move(c));
                Conn& added = m_conns.back();
                added.thread = std::thread([this, &added, fd, done = added.done] {
                    m_serve(fd);
                    {
                        std::lock_guard<std::mutex> l(m_connMutex);
                        close(fd);
                        added.fd = -1;
                    }
                    done->store(true);
                });
            }
        }
    }

    Admit m_admit;
    Serve m_serve;
    int m_listen = -1;
    int m_port = 0;
    int m_wake[2] = {-1, -1};
    std::atomic<bool> m_stop{false};
    std::thread m_thread;

    std::mutex m_mutex;  // m_wantListening, m_listening, m_listen (changes)
    std::condition_variable m_cv;
    bool m_wantListening = true;
    bool m_listening = false;

    std::mutex m_connMutex;  // the fds of m_conns
    std::list<Conn> m_conns;
};

// A connected socket as cpp-httplib's stream.
class FdStream : public httplib::Stream {
public:
    explicit FdStream(int fd) : m_fd(fd) {}
    bool is_readable() const override { return PollFor(m_fd, POLLIN, IO_TIMEOUT_MS) > 0; }
    bool is_writable() const override { return PollFor(m_fd, POLLOUT, IO_TIMEOUT_MS) > 0; }
    ssize_t read(char* ptr, size_t size) override {
        if (!is_readable()) return -1;
        for (;;) {
            const ssize_t n = recv(m_fd, ptr, size, 0);
            if (n < 0 && errno == EINTR) continue;
            return n;
        }
    }
    ssize_t write(const char* ptr, size_t size) override {
        if (!is_writable()) return -1;
        for (;;) {
            const ssize_t n = send(m_fd, ptr, size, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            return n;
        }
    }
    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        Address(getpeername, ip, port);
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        Address(getsockname, ip, port);
    }
    socket_t socket() const override { return m_fd; }

private:
    template <class F>
    void Address(F fn, std::string& ip, int& port) const {
        sockaddr_in sa{};
        socklen_t len = sizeof sa;
        ip.clear();
        port = 0;
        if (fn(m_fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return;
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &sa.sin_addr, text, sizeof text);
        ip = text;
        port = ntohs(sa.sin_port);
    }
    int m_fd;
};

// cpp-httplib's request processing on connections the simulator accepts itself. Compression is
// off: the request's Accept-Encoding is dropped before routing, so every body goes out plain.
class HttpCore : public httplib::Server {
public:
    bool Serve(httplib::Stream& strm, bool bCloseConnection, bool& bClosed) {
        return process_request(strm, bCloseConnection, bClosed,
                               [](httplib::Request& req) { req.headers.erase("Accept-Encoding"); });
    }
};

}  // namespace

struct SimWebServer::Impl {
    mutable std::mutex mutex;
    SimWebKnobs knobs;
    SimWebCounts counts;
    bool bOpened = false;
    bool bRebooting = false;
    int refusalsLeft = 0;
    std::vector<std::string> wifiLimits;
    std::vector<std::pair<std::string, std::string>> written;
    std::map<std::string, std::string> settings;

    HttpCore http;
    TcpService web;
    TcpService setting;
    bool bStarted = false;
    bool bStopped = false;

    void SetupRoutes();
    bool AdmitWeb();
    void ServeWeb(int fd);
    void ServeSetting(int fd);

    bool ReadRecord(int fd, std::array<uint8_t, RECORD_SIZE>& rec);
    bool SendReply(int fd, const std::array<uint8_t, RECORD_SIZE>& rec, bool bSplit);
};

void SimWebServer::Impl::SetupRoutes() {
    http.Post("/goform/goform_process", [this](const httplib::Request& req, httplib::Response& res) {
        std::string id;
        std::string cmd;
        SimFormValue(req.body, "goformId", id);
        SimFormValue(req.body, "SwitchCMD", cmd);
        std::string reply = "FactoryResult:Fail";
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (id == "SwitchFactoryMode" && cmd == "Open") {
                ++counts.openRequests;
                if (!knobs.bOpenRefused) {
                    bOpened = true;
                    reply = "FactoryResult:Success";
                }
            } else if (id == "SwitchFactoryMode" && cmd == "Query") {
                ++counts.queryRequests;
                switch (knobs.queryAnswer) {
                    case SimWebKnobs::QueryAnswer::Auto:
                        reply = bOpened ? "FactoryResult:Opened" : "FactoryResult:Closed";
                        break;
                    case SimWebKnobs::QueryAnswer::Opened: reply = "FactoryResult:Opened"; break;
                    case SimWebKnobs::QueryAnswer::Closed: reply = "FactoryResult:Closed"; break;
                    case SimWebKnobs::QueryAnswer::Unknow: reply = "FactoryResult:Unknow"; break;
                    case SimWebKnobs::QueryAnswer::None: reply = "FactoryResult:Busy"; break;
                }
            } else {
                ++counts.otherRequests;
            }
        }
        res.set_content(reply, "text/html");
    });
    http.Post("/goform/goform_set_cmd_process",
              [this](const httplib::Request& req, httplib::Response& res) {
                  std::string id;
                  std::string limit;
                  SimFormValue(req.body, "goformId", id);
                  std::string reply = "{\"result\":\"failure\"}";
                  {
                      std::lock_guard<std::mutex> lock(mutex);
                      if (id == "CH_MAX_WIFI_NUM" && SimFormValue(req.body, "MAX_Access_num", limit)) {
                          ++counts.wifiRequests;
                          wifiLimits.push_back(limit);
                          reply = "{\"result\":\"success\"}";
                          if (knobs.bWifiTrailingCrLf) reply += "\r\n";
                      } else {
                          ++counts.otherRequests;
                      }
                  }
                  res.set_content(reply, "application/json");
              });
}

bool SimWebServer::Impl::AdmitWeb() {
    std::lock_guard<std::mutex> lock(mutex);
    if (bRebooting && refusalsLeft > 0) {
        ++counts.refusedConnections;
        if (--refusalsLeft == 0) bRebooting = false;
        return false;
    }
    bRebooting = false;
    ++counts.webConnections;
    return true;
}

void SimWebServer::Impl::ServeWeb(int fd) {
    FdStream strm(fd);
    for (int i = 0; i < KEEP_ALIVE_REQUESTS && !web.StopRequested(); ++i) {
        if (i > 0 && PollFor(fd, POLLIN, KEEP_ALIVE_MS) <= 0) break;
        bool bClosed = false;
        // The HTTP library shares lazily built state between its servers and threads: requests are
        // served one at a time, across every simulator of the process.
        static std::mutex serveMutex;
        std::unique_lock<std::mutex> serving(serveMutex);
        if (!http.Serve(strm, i == KEEP_ALIVE_REQUESTS - 1, bClosed) || bClosed) break;
    }
    // End with a clean close: the client sees the end of the stream, and whatever it sent after
    // the request (the script-style trailer lines) is read so the close sends no reset.
    shutdown(fd, SHUT_WR);
    const int64_t end = NowMs() + 200;
    char buf[512];
    while (NowMs() < end && PollFor(fd, POLLIN, static_cast<int>(end - NowMs())) > 0) {
        if (recv(fd, buf, sizeof buf, 0) <= 0) break;
    }
}

bool SimWebServer::Impl::ReadRecord(int fd, std::array<uint8_t, RECORD_SIZE>& rec) {
    size_t got = 0;
    while (got < rec.size()) {
        if (setting.StopRequested()) return false;
        const int r = PollFor(fd, POLLIN, TICK_MS);
        if (r < 0) return false;
        if (r == 0) continue;
        const ssize_t n = recv(fd, rec.data() + got, rec.size() - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

bool SimWebServer::Impl::SendReply(int fd, const std::array<uint8_t, RECORD_SIZE>& rec,
                                   bool bSplit) {
    if (!bSplit) return SendAll(fd, rec.data(), rec.size());
    if (!SendAll(fd, rec.data(), SPLIT_FIRST)) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(SPLIT_GAP_MS));
    return SendAll(fd, rec.data() + SPLIT_FIRST, rec.size() - SPLIT_FIRST);
}

void SimWebServer::Impl::ServeSetting(int fd) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        ++counts.settingConnections;
    }
    std::array<uint8_t, RECORD_SIZE> rec{};
    while (ReadRecord(fd, rec)) {
        std::array<uint8_t, RECORD_SIZE> reply{};
        bool bReply = false;
        bool bReset = false;
        bool bSplit = false;
        const SimSettingRequest request = ReadSettingRecord(rec);
        const std::string& name = request.name;
        const std::string& value = request.value;
        {
            std::lock_guard<std::mutex> lock(mutex);
            bSplit = knobs.bSettingReplySplit;
            if (rec[0] == REC_WRITE) {
                ++counts.settingWrites;
                uint8_t status = 1;
                if (knobs.writeStatusZero > 0) {
                    --knobs.writeStatusZero;
                    status = 0;
                } else {
                    settings[name] = value;
                    written.emplace_back(name, value);
                }
                reply[0] = REC_WRITE;
                reply[1] = status;
                bReply = true;
                if (knobs.resetAfterWrite > 0) {
                    --knobs.resetAfterWrite;
                    bReset = true;
                }
            } else if (rec[0] == REC_READ) {
                ++counts.settingReads;
                std::string stored;
                const auto it = settings.find(name);
                if (it != settings.end()) stored = it->second;
                if (knobs.readOtherValue > 0) {
                    --knobs.readOtherValue;
                    stored = stored == "1" ? "0" : "1";
                }
                reply[0] = REC_READ;
                std::memcpy(reply.data() + 1, rec.data() + 1, FIELD_SIZE);
                std::memcpy(reply.data() + 1 + FIELD_SIZE, stored.data(),
                            std::min(stored.size(), FIELD_SIZE));
                bReply = true;
            } else if (rec[0] == REC_CLOSE) {
                ++counts.settingCloses;
            }
        }
        if (bReply && !SendReply(fd, reply, bSplit)) return;
        if (bReset) {
            // Closing with a zero linger time resets the connection.
            const linger lg{1, 0};
            setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
            return;
        }
    }
}

SimWebServer::SimWebServer() : m_impl(std::make_unique<Impl>()) {}

SimWebServer::~SimWebServer() { Stop(); }

bool SimWebServer::Start() {
    Impl& m = *m_impl;
    if (m.bStopped) return false;
    if (m.bStarted) return true;
    m.SetupRoutes();
    m.http.set_payload_max_length(64 * 1024);
    if (!m.web.Start([&m] { return m.AdmitWeb(); }, [&m](int fd) { m.ServeWeb(fd); }) ||
        !m.setting.Start([] { return true; }, [&m](int fd) { m.ServeSetting(fd); })) {
        m.web.Stop();
        m.setting.Stop();
        return false;
    }
    m.bStarted = true;
    if (Knobs().bWebDown) m.web.SetListening(false);
    return true;
}

void SimWebServer::Stop() {
    m_impl->bStopped = m_impl->bStarted;
    m_impl->web.Stop();
    m_impl->setting.Stop();
}

int SimWebServer::WebPort() const { return m_impl->web.Port(); }
int SimWebServer::SettingPort() const { return m_impl->setting.Port(); }

void SimWebServer::SetKnobs(const SimWebKnobs& knobs) {
    {
        std::lock_guard<std::mutex> lock(m_impl->mutex);
        m_impl->knobs = knobs;
    }
    m_impl->web.SetListening(!knobs.bWebDown);
}

SimWebKnobs SimWebServer::Knobs() const {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->knobs;
}

void SimWebServer::BeginReboot() {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    m_impl->bOpened = false;
    m_impl->refusalsLeft = m_impl->knobs.rebootRefusals;
    m_impl->bRebooting = m_impl->refusalsLeft > 0;
}

bool SimWebServer::Rebooting() const {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->bRebooting;
}

bool SimWebServer::FactoryModeOpen() const {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->bOpened;
}

std::vector<std::string> SimWebServer::WifiLimits() const {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->wifiLimits;
}

std::vector<std::pair<std::string, std::string>> SimWebServer::SettingsWritten() const {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->written;
}

SimWebCounts SimWebServer::Counts() const {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->counts;
}
