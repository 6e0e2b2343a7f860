// The link's throughput and idle cost:
//  - the 9.3 MB root image sent through SendImage, and the same bytes in the same 1350-byte
//    writes over a plain loopback socket with the link's socket options, each timed from the first byte sent to the last byte
//    received by the same receiver (64 KiB receives into a buffer); their ratio is the share of
//    the plain socket's speed the link keeps (goal: at least 0.9). Best of five interleaved runs;
//  - two reference lines: the same bytes in one large write (what this machine's loopback does
//    at most) and the time the image takes at the real cable's 100 Mbit/s line rate;
//  - the CPU time the link server's threads use in 10 s of an idle line connected to the
//    simulator (goal: under 1 percent of one core).
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_report.h"
#include "cpelink/image_transfer.h"
#include "cpelink/line_channel.h"
#include "cpelink/link_server.h"
#include "platform/clock.h"
#include "sim/gateway_sim.h"

namespace {

const std::string kImage = std::string(RK_IMAGE_DIR) + "/root_uImage";

double Now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

std::vector<char> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), {});
}

// CPU ticks (user + system) of each thread of this process.
std::map<int, long> ThreadTicks() {
    std::map<int, long> out;
    DIR* d = opendir("/proc/self/task");
    if (!d) return out;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::ifstream st(std::string("/proc/self/task/") + e->d_name + "/stat");
        std::string s((std::istreambuf_iterator<char>(st)), {});
        const size_t p = s.rfind(')');
        if (p == std::string::npos) continue;
        std::vector<std::string> f;
        size_t i = p + 2;
        while (i < s.size()) {
            size_t j = s.find(' ', i);
            if (j == std::string::npos) j = s.size();
            f.push_back(s.substr(i, j - i));
            i = j + 1;
        }
        if (f.size() > 13) out[std::atoi(e->d_name)] = std::atol(f[11].c_str()) + std::atol(f[12].c_str());
    }
    closedir(d);
    return out;
}

constexpr size_t kBlock = IMAGE_BLOCK_SIZE;
constexpr int kRuns = 5;

// The receiver of both measurements: reads exactly `n` bytes in 64 KiB receives; the time the
// last one arrived (0 when the connection ended first).
double ReceiveAll(int fd, size_t n) {
    std::vector<char> buf(65536);
    size_t got = 0;
    while (got < n) {
        const ssize_t r = recv(fd, buf.data(), std::min(buf.size(), n - got), 0);
        if (r <= 0) return 0;
        got += static_cast<size_t>(r);
    }
    return Now();
}

bool SendAll(int fd, const char* p, size_t n) {
    size_t done = 0;
    while (done < n) {
        const ssize_t w = send(fd, p + done, n - done, MSG_NOSIGNAL);
        if (w <= 0) return false;
        done += static_cast<size_t>(w);
    }
    return true;
}

int ListenLoopback(sockaddr_in& a) {
    const int lfd = socket(AF_INET, SOCK_STREAM, 0);
    a = sockaddr_in{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(lfd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(lfd, 1);
    socklen_t len = sizeof a;
    getsockname(lfd, reinterpret_cast<sockaddr*>(&a), &len);
    return lfd;
}

// The bytes over a plain loopback socket in writes of `block` bytes: seconds from the first byte
// sent to the last received. The sending socket has the options the link server gives every
// accepted connection (TCP_NODELAY, 16 MiB buffers): they are part of the link, not of SendImage,
// so the ratio compares the sending code alone.
double PlainSocketSeconds(const std::vector<char>& bytes, size_t block) {
    sockaddr_in a{};
    const int lfd = ListenLoopback(a);
    double end = 0;
    std::thread receiver([&] {
        const int c = accept(lfd, nullptr, nullptr);
        end = ReceiveAll(c, bytes.size());
        close(c);
    });
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    const int buffer = 16 * 1024 * 1024;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    setsockopt(s, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
    setsockopt(s, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    const double start = Now();
    for (size_t off = 0; off < bytes.size(); off += block)
        if (!SendAll(s, bytes.data() + off, std::min(block, bytes.size() - off))) break;
    receiver.join();
    close(s);
    close(lfd);
    return end > 0 ? end - start : 0;
}

// The gateway's side of the link for the transfer: connects to the server, answers the hello,
// then per image reads the header, the raw bytes (with ReceiveAll) and confirms the image.
class LinkReceiver {
public:
    explicit LinkReceiver(int port) {
        m_fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_bOk = connect(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~LinkReceiver() { close(m_fd); }
    bool Ok() const { return m_bOk; }

    // Answers the next request with a reply of its type and sequence number.
    bool AnswerHello() {
        LinkMessage m{};
        return ReadMessage(m) && Reply(m);
    }
    // Takes one image; the time its last byte arrived (0 on failure).
    double TakeImage() {
        LinkMessage header{};
        if (!ReadMessage(header)) return 0;
        const double end = ReceiveAll(m_fd, plat::GetLe32(header, LinkOffset::DataTotal));
        return end > 0 && Reply(header) ? end : 0;
    }

private:
    bool ReadMessage(LinkMessage& m) {
        size_t got = 0;
        while (got < m.size()) {
            const ssize_t r = recv(m_fd, m.data() + got, m.size() - got, 0);
            if (r <= 0) return false;
            got += static_cast<size_t>(r);
        }
        return true;
    }
    bool Reply(const LinkMessage& request) {
        LinkMessage r{};
        r[0] = request[0];
        std::copy_n(request.begin() + 5, 4, r.begin() + 5);  // nSeq
        return SendAll(m_fd, reinterpret_cast<const char*>(r.data()), r.size());
    }

    int m_fd = -1;
    bool m_bOk = false;
};

// The image through SendImage to a LinkReceiver: seconds from the first byte sent (the first
// piece's progress call, just before it is read and written) to the last received.
double LinkSeconds(CLineChannel& channel, LinkReceiver& receiver) {
    double first = 0;
    double end = 0;
    std::thread gateway([&] { end = receiver.TakeImage(); });
    TransferCallbacks cb;
    cb.progress = [&](int) {
        if (first == 0) first = Now();
    };
    const bool ok = SendImage(channel, ImageVariant::Linux, kImage, cb);
    gateway.join();
    return ok && end > first && first > 0 ? end - first : 0;
}

double Best(const std::vector<double>& runs) {
    double best = 0;
    for (double r : runs)
        if (r > 0 && (best == 0 || r < best)) best = r;
    return best;
}

}  // namespace

int main() {
    plat::SetTimeScale(0.02);  // the 5 s pause before the raw phase; the phase itself is real
    const std::vector<char> bytes = ReadFile(kImage);
    const double mb = static_cast<double>(bytes.size()) / (1024.0 * 1024.0);

    // The transfer: a link server whose announcements go to a UDP socket nobody reads, and the
    // receiver connected to it as the gateway.
    std::vector<double> link, plain, large;
    {
        sockaddr_in u{};
        u.sin_family = AF_INET;
        u.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const int udp = socket(AF_INET, SOCK_DGRAM, 0);
        bind(udp, reinterpret_cast<sockaddr*>(&u), sizeof u);
        socklen_t len = sizeof u;
        getsockname(udp, reinterpret_cast<sockaddr*>(&u), &len);
        plat::Endpoints ep;
        ep.gateway = "127.0.0.1";
        ep.linkPort = 0;
        ep.announceHost = "127.0.0.1";
        ep.announcePort = ntohs(u.sin_port);
        ep.announceAddress = "127.0.0.1";
        CLinkServer server;
        server.Start(LinkServerConfig{ep, {}, {}});
        LinkReceiver receiver(server.Port());
        const int64_t deadline = plat::TickMs() + 5000;
        while (receiver.Ok() && server.PendingCount() == 0 && plat::TickMs() < deadline) plat::SleepRaw(5);
        CLineChannel channel;
        std::thread hello([&] { receiver.AnswerHello(); });
        channel.Attach(0);
        hello.join();
        if (!channel.IsOpen()) {
            std::fprintf(stderr, "the link did not open\n");
            return 1;
        }
        // Interleaved, so that both see the same load of a busy machine.
        for (int i = 0; i < kRuns; ++i) {
            link.push_back(LinkSeconds(channel, receiver));
            plain.push_back(PlainSocketSeconds(bytes, kBlock));
            large.push_back(PlainSocketSeconds(bytes, bytes.size()));
        }
        channel.Close();
        server.Stop();
        close(udp);
    }
    const double linkSeconds = Best(link);
    const double plainSeconds = Best(plain);
    const double largeSeconds = Best(large);
    if (linkSeconds <= 0 || plainSeconds <= 0 || largeSeconds <= 0) {
        std::fprintf(stderr, "transfer failed\n");
        return 1;
    }
    bench::Report("link: root image through SendImage, first byte to last", mb / linkSeconds, "MiB/s");
    bench::Report("link: same bytes, plain socket, 1350-byte writes", mb / plainSeconds, "MiB/s");
    bench::ReportAtLeast("link: SendImage / plain socket throughput", plainSeconds / linkSeconds, "x", 0.9);
    bench::Report("link: reference, plain socket, one large write", mb / largeSeconds, "MiB/s");
    bench::Report("link: reference, root image at 100 Mbit/s line rate",
                  static_cast<double>(bytes.size()) * 8.0 / 100e6, "s");
    bench::Report("link: root image through SendImage", linkSeconds, "s");

    // The idle line: the simulator connects to a link server of its own.
    GatewaySimConfig config;
    GatewaySim sim(config);
    if (!sim.Start()) {
        std::fprintf(stderr, "simulator did not start\n");
        return 1;
    }
    const std::set<int> before = [] {
        std::set<int> s;
        for (auto& [tid, t] : ThreadTicks()) s.insert(tid);
        return s;
    }();
    plat::Endpoints ep;
    ep.gateway = "127.0.0.1";
    ep.linkPort = 0;
    ep.announceHost = "127.0.0.1";
    ep.announcePort = sim.AnnouncePort();
    ep.announceAddress = "127.0.0.1";
    CLinkServer server;
    server.Start(LinkServerConfig{ep, {}, {}});
    std::set<int> serverThreads;
    for (auto& [tid, t] : ThreadTicks())
        if (!before.count(tid)) serverThreads.insert(tid);

    // Idle, connected line: 10 s of the server's threads.
    CLineChannel idle;
    const int64_t d2 = plat::TickMs() + 20000;
    while (!idle.Attach(0) && plat::TickMs() < d2) plat::SleepRaw(50);
    auto ticks = [&] {
        long sum = 0;
        for (auto& [tid, t] : ThreadTicks())
            if (serverThreads.count(tid)) sum += t;
        return sum;
    };
    const long t0 = ticks();
    plat::SleepRaw(10000);
    const long t1 = ticks();
    const double cpuSeconds = static_cast<double>(t1 - t0) / static_cast<double>(sysconf(_SC_CLK_TCK));
    bench::ReportAtMost("link: server threads' CPU on an idle connected line", 100.0 * cpuSeconds / 10.0,
                        "% of a core", 1.0);
    idle.Close();
    server.Stop();
    sim.Stop();
    return 0;
}
