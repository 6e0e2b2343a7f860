#include "sim/sim_web.h"

#include <boost/beast/core/error.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <thread>

#include "platform/clock.h"
#include "platform/socket.h"
#include "sim/sim_readers.h"

namespace {

namespace http = boost::beast::http;
using boost::system::error_code;

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
constexpr size_t BODY_LIMIT = 64 * 1024;

// A listener (127.0.0.1 unless told) with an accept thread and one thread per connection. Every thread is
// joined by Stop. The port stays the same when the listener is closed and opened again.
class TcpService {
public:
    using Admit = std::function<bool()>;                     // false: close the new connection unanswered
    using Serve = std::function<void(plat::Socket&)>;  // serves one connection; the service closes it

    ~TcpService() { Stop(); }

    bool Start(Admit admit, Serve serve, uint32_t address, int port) {
        m_admit = std::move(admit);
        m_serve = std::move(serve);
        if (!m_wake.Valid()) return false;
        m_address = address;
        m_listen = OpenListener(port);
        if (!m_listen) return false;
        m_port = m_listen.LocalPort();
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
        m_wake.Signal();
        m_cv.wait_for(lock, std::chrono::milliseconds(2000),
                      [&] { return m_listening == on || m_stop.load(); });
    }

    void Stop() {
        if (m_thread.joinable()) {
            m_stop = true;
            m_wake.Signal();
            m_thread.join();
        }
        {
            std::lock_guard<std::mutex> lock(m_connMutex);
            for (auto& c : m_conns) c.sock.Shutdown();
        }
        for (auto& c : m_conns)
            if (c.thread.joinable()) c.thread.join();
        m_conns.clear();
        m_listen.Close();
    }

private:
    struct Conn {
        std::thread thread;
        plat::Socket sock;  // closed by its thread (under m_connMutex) when served
        std::shared_ptr<std::atomic<bool>> done;
    };

    plat::Socket OpenListener(int port) const { return plat::ListenTcp({m_address, port}, 16); }

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
                if (m_wantListening && !m_listen) m_listen = OpenListener(m_port);
                if (!m_wantListening && m_listen) m_listen.Close();
                m_listening = m_listen.Valid();
            }
            m_cv.notify_all();
            Reap(false);

            plat::WaitItem items[2] = {m_wake.Item(), {m_listen.Native(), plat::SOCKET_READABLE, 0}};
            const int r = plat::WaitAny(std::span(items, m_listen ? 2 : 1), TICK_MS);
            if (r <= 0) continue;
            if (items[0].ready) m_wake.Drain();
            if (m_listen && (items[1].ready & plat::SOCKET_READABLE) != 0) {
                plat::Socket sock = m_listen.Accept();
                if (!sock) {
                    // Out of descriptors or the like: do not spin on the pending connection.
                    std::this_thread::sleep_for(std::chrono::milliseconds(TICK_MS));
                    continue;
                }
                if (!m_admit()) continue;  // closed unanswered
                std::lock_guard<std::mutex> lock(m_connMutex);
                m_conns.push_back(Conn{{}, std::move(sock), std::make_shared<std::atomic<bool>>(false)});
                Conn& added = m_conns.back();
                added.thread = std::thread([this, &added, done = added.done] {
                    m_serve(added.sock);
                    {
                        std::lock_guard<std::mutex> l(m_connMutex);
                        added.sock.Close();
                    }
                    done->store(true);
                });
            }
        }
    }

    Admit m_admit;
    Serve m_serve;
    plat::Socket m_listen;
    uint32_t m_address = plat::IPV4_LOOPBACK;
    int m_port = 0;
    plat::WakeUp m_wake;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;

    std::mutex m_mutex;  // m_wantListening, m_listening, m_listen (changes)
    std::condition_variable m_cv;
    bool m_wantListening = true;
    bool m_listening = false;

    std::mutex m_connMutex;  // the sockets of m_conns
    std::list<Conn> m_conns;
};

// A connected socket as a synchronous Beast stream: every read and write waits at most
// IO_TIMEOUT_MS.
class SocketStream {
public:
    explicit SocketStream(const plat::Socket& sock) : m_sock(sock) {}

    template <class Buffers>
    std::size_t read_some(const Buffers& buffers, error_code& ec) {
        ec = {};
        const boost::asio::mutable_buffer b = First<boost::asio::mutable_buffer>(buffers);
        if (b.size() == 0) return 0;
        if (m_sock.Wait(plat::SOCKET_READABLE, IO_TIMEOUT_MS) <= 0) {
            ec = boost::asio::error::timed_out;
            return 0;
        }
        const std::ptrdiff_t n = m_sock.Receive(b.data(), b.size());
        if (n == 0) ec = boost::asio::error::eof;
        if (n < 0) ec = boost::asio::error::connection_reset;
        return n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    template <class Buffers>
    std::size_t read_some(const Buffers& buffers) {
        return OrThrow([&](error_code& ec) { return read_some(buffers, ec); });
    }

    template <class Buffers>
    std::size_t write_some(const Buffers& buffers, error_code& ec) {
        ec = {};
        const boost::asio::const_buffer b = First<boost::asio::const_buffer>(buffers);
        if (!m_sock.SendAll(b.data(), b.size(), IO_TIMEOUT_MS)) {
            ec = boost::asio::error::broken_pipe;
            return 0;
        }
        return b.size();
    }
    template <class Buffers>
    std::size_t write_some(const Buffers& buffers) {
        return OrThrow([&](error_code& ec) { return write_some(buffers, ec); });
    }

private:
    // The throwing form of a call that reports its failure through an error_code.
    template <class Call>
    static std::size_t OrThrow(Call call) {
        error_code ec;
        const std::size_t n = call(ec);
        if (ec) throw boost::system::system_error(ec);
        return n;
    }

    // The first non-empty buffer of a sequence (empty when there is none).
    template <class Buffer, class Buffers>
    static Buffer First(const Buffers& buffers) {
        for (auto it = boost::asio::buffer_sequence_begin(buffers); it != boost::asio::buffer_sequence_end(buffers);
             ++it) {
            const Buffer b(*it);
            if (b.size() != 0) return b;
        }
        return Buffer();
    }

    const plat::Socket& m_sock;
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

    TcpService web;
    TcpService setting;
    bool bStarted = false;
    bool bStopped = false;

    // The reply text of a form request (the status stays 200).
    std::string FactoryReply(const std::string& body);
    std::string WifiReply(const std::string& body);
    http::response<http::string_body> Answer(const http::request<http::string_body>& req);
    bool AdmitWeb();
    void ServeWeb(const plat::Socket& sock);
    void ServeSetting(plat::Socket& sock);

    bool ReadRecord(const plat::Socket& sock, std::array<uint8_t, RECORD_SIZE>& rec);
    bool SendReply(const plat::Socket& sock, const std::array<uint8_t, RECORD_SIZE>& rec, bool bSplit);
};

std::string SimWebServer::Impl::FactoryReply(const std::string& body) {
    std::string id;
    std::string cmd;
    SimFormValue(body, "goformId", id);
    SimFormValue(body, "SwitchCMD", cmd);
    std::string reply = "FactoryResult:Fail";
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
    return reply;
}

std::string SimWebServer::Impl::WifiReply(const std::string& body) {
    std::string id;
    std::string limit;
    SimFormValue(body, "goformId", id);
    std::string reply = "{\"result\":\"failure\"}";
    std::lock_guard<std::mutex> lock(mutex);
    if (id == "CH_MAX_WIFI_NUM" && SimFormValue(body, "MAX_Access_num", limit)) {
        ++counts.wifiRequests;
        wifiLimits.push_back(limit);
        reply = "{\"result\":\"success\"}";
        if (knobs.bWifiTrailingCrLf) reply += "\r\n";
    } else {
        ++counts.otherRequests;
    }
    return reply;
}

// The two forms answer POSTs; anything else is 404. Bodies go out plain: nothing here compresses,
// whatever Accept-Encoding the request carries.
http::response<http::string_body> SimWebServer::Impl::Answer(const http::request<http::string_body>& req) {
    http::response<http::string_body> res{http::status::ok, 11};
    const std::string_view target(req.target().data(), req.target().size());
    const std::string_view path = target.substr(0, target.find('?'));
    if (req.method() == http::verb::post && path == "/goform/goform_process") {
        res.set(http::field::content_type, "text/html");
        res.body() = FactoryReply(req.body());
    } else if (req.method() == http::verb::post && path == "/goform/goform_set_cmd_process") {
        res.set(http::field::content_type, "application/json");
        res.body() = WifiReply(req.body());
    } else {
        res.result(http::status::not_found);
    }
    return res;
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

void SimWebServer::Impl::ServeWeb(const plat::Socket& sock) {
    SocketStream stream(sock);
    boost::beast::flat_buffer buffer;
    for (int i = 0; i < KEEP_ALIVE_REQUESTS && !web.StopRequested(); ++i) {
        if (i > 0 && buffer.size() == 0 && sock.Wait(plat::SOCKET_READABLE, KEEP_ALIVE_MS) <= 0) break;
        // Requests are served one at a time, across every simulator of the process: the tests
        // count on the order in which a run's requests arrive.
        static std::mutex serveMutex;
        std::unique_lock<std::mutex> serving(serveMutex);
        http::request_parser<http::string_body> parser;
        parser.body_limit(BODY_LIMIT);
        error_code ec;
        http::read(stream, buffer, parser, ec);
        if (ec == http::error::end_of_stream || ec == boost::asio::error::timed_out ||
            ec == boost::asio::error::connection_reset)
            break;
        http::response<http::string_body> res;
        bool bKeep = false;
        if (ec) {
            res = {ec == http::error::body_limit ? http::status::payload_too_large : http::status::bad_request, 11};
        } else {
            res = Answer(parser.get());
            bKeep = parser.get().keep_alive() && i < KEEP_ALIVE_REQUESTS - 1;
        }
        res.keep_alive(bKeep);
        res.prepare_payload();
        http::write(stream, res, ec);
        if (ec || !bKeep) break;
    }
    // End with a clean close: the client sees the end of the stream, and whatever it sent after
    // the request (the script-style trailer lines) is read so the close sends no reset.
    sock.ShutdownSend();
    const int64_t end = plat::TickMs() + 200;
    char buf[512];
    for (int64_t left = 200; left > 0; left = end - plat::TickMs()) {
        if (sock.Wait(plat::SOCKET_READABLE, left) <= 0 || sock.Receive(buf, sizeof buf) <= 0) break;
    }
}

bool SimWebServer::Impl::ReadRecord(const plat::Socket& sock, std::array<uint8_t, RECORD_SIZE>& rec) {
    size_t got = 0;
    while (got < rec.size()) {
        if (setting.StopRequested()) return false;
        const int r = sock.Wait(plat::SOCKET_READABLE, TICK_MS);
        if (r < 0) return false;
        if (r == 0) continue;
        const std::ptrdiff_t n = sock.Receive(rec.data() + got, rec.size() - got);
        if (n <= 0) return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

bool SimWebServer::Impl::SendReply(const plat::Socket& sock, const std::array<uint8_t, RECORD_SIZE>& rec,
                                   bool bSplit) {
    if (!bSplit) return sock.SendAll(rec.data(), rec.size(), IO_TIMEOUT_MS);
    if (!sock.SendAll(rec.data(), SPLIT_FIRST, IO_TIMEOUT_MS)) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(SPLIT_GAP_MS));
    return sock.SendAll(rec.data() + SPLIT_FIRST, rec.size() - SPLIT_FIRST, IO_TIMEOUT_MS);
}

void SimWebServer::Impl::ServeSetting(plat::Socket& sock) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        ++counts.settingConnections;
    }
    std::array<uint8_t, RECORD_SIZE> rec{};
    while (ReadRecord(sock, rec)) {
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
        if (bReply && !SendReply(sock, reply, bSplit)) return;
        if (bReset) {
            // Closing with a zero linger time resets the connection.
            sock.SetLinger(true, 0);
            return;
        }
    }
}

SimWebServer::SimWebServer() : m_impl(std::make_unique<Impl>()) {}

SimWebServer::~SimWebServer() { Stop(); }

bool SimWebServer::Start(uint32_t address, int webPort, int settingPort) {
    Impl& m = *m_impl;
    if (m.bStopped) return false;
    if (m.bStarted) return true;
    if (!m.web.Start([&m] { return m.AdmitWeb(); }, [&m](plat::Socket& s) { m.ServeWeb(s); }, address, webPort) ||
        !m.setting.Start([] { return true; }, [&m](plat::Socket& s) { m.ServeSetting(s); }, address, settingPort)) {
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
