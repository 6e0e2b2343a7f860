// The link's throughput and idle cost:
//  - the 9.3 MB root image sent through SendImage, and the same bytes in the same 1350-byte
//    writes over a plain loopback socket with the link's socket options, each timed from the first byte sent to the last byte
//    received by the same receiver (64 KiB receives into a buffer); their ratio is the share of
//    the plain socket's speed the link keeps (goal: at least 0.9). One transfer takes some 10 ms,
//    so a single pair says little on a shared machine: 21 pairs alternate (each pair's order
//    swapped with the next), and the median of the pairs' ratios is the figure, printed with
//    its quartiles and its extremes;
//  - two reference lines: the same bytes in one large write (what this machine's loopback does
//    at most) and the time the image takes at the real cable's 100 Mbit/s line rate;
//  - the CPU time the link server's threads use in 10 s of an idle line connected to the
//    simulator (goal: under 1 percent of one core).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_report.h"
#include "cpelink/image_transfer.h"
#include "cpelink/line_channel.h"
#include "cpelink/link_server.h"
#include "platform/clock.h"
#include "platform/network.h"
#include "platform/socket.h"
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

constexpr size_t kBlock = IMAGE_BLOCK_SIZE;
constexpr int kPairs = 21;

// The receiver of both measurements: reads exactly `n` bytes in 64 KiB receives; the time the
// last one arrived (0 when the connection ended first).
double ReceiveAll(const plat::Socket& s, size_t n) {
    std::vector<char> buf(65536);
    size_t got = 0;
    while (got < n) {
        const std::ptrdiff_t r = s.Receive(buf.data(), std::min(buf.size(), n - got));
        if (r <= 0) return 0;
        got += static_cast<size_t>(r);
    }
    return Now();
}

// The bytes over a plain loopback socket in writes of `block` bytes: seconds from the first byte
// sent to the last received. The sending socket has the options the link server gives every
// accepted connection (TCP_NODELAY, 16 MiB buffers): they are part of the link, not of SendImage,
// so the ratio compares the sending code alone.
double PlainSocketSeconds(const std::vector<char>& bytes, size_t block) {
    plat::Socket listener = plat::ListenTcp({plat::IPV4_LOOPBACK, 0}, 1);
    double end = 0;
    std::thread receiver([&] {
        if ((listener.Wait(plat::SOCKET_READABLE, 5000) & plat::SOCKET_READABLE) == 0) return;
        const plat::Socket c = listener.Accept();
        if (c) end = ReceiveAll(c, bytes.size());
    });
    plat::Socket s = plat::Socket::Tcp();
    s.SetNoDelay(true);
    s.SetBufferSizes(16 * 1024 * 1024);
    double start = 0;
    if (s.Connect({plat::IPV4_LOOPBACK, listener.LocalPort()}, 5000)) {
        start = Now();
        for (size_t off = 0; off < bytes.size(); off += block)
            if (!s.SendAll(bytes.data() + off, std::min(block, bytes.size() - off))) break;
    }
    receiver.join();
    return end > 0 && start > 0 ? end - start : 0;
}

// The gateway's side of the link for the transfer: connects to the server, answers the hello,
// then per image reads the header, the raw bytes (with ReceiveAll) and confirms the image.
class LinkReceiver {
public:
    explicit LinkReceiver(int port) : m_s(plat::Socket::Tcp()) {
        m_bOk = m_s.Connect({plat::IPV4_LOOPBACK, port}, 5000);
    }
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
        const double end = ReceiveAll(m_s, plat::GetLe32(header, LinkOffset::DataTotal));
        return end > 0 && Reply(header) ? end : 0;
    }

private:
    bool ReadMessage(LinkMessage& m) {
        size_t got = 0;
        while (got < m.size()) {
            const std::ptrdiff_t r = m_s.Receive(m.data() + got, m.size() - got);
            if (r <= 0) return false;
            got += static_cast<size_t>(r);
        }
        return true;
    }
    bool Reply(const LinkMessage& request) {
        LinkMessage r{};
        r[0] = request[0];
        std::copy_n(request.begin() + 5, 4, r.begin() + 5);  // nSeq
        return m_s.SendAll(r.data(), r.size());
    }

    plat::Socket m_s;
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

// The value at fraction `q` (0..1) of the sorted values, interpolated between neighbours.
double Quantile(std::vector<double> v, double q) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const double pos = q * static_cast<double>(v.size() - 1);
    const size_t lo = static_cast<size_t>(pos);
    const size_t hi = std::min(lo + 1, v.size() - 1);
    return v[lo] + (v[hi] - v[lo]) * (pos - static_cast<double>(lo));
}

// The runs that completed (a failed one is 0).
std::vector<double> Completed(const std::vector<double>& runs) {
    std::vector<double> out;
    for (double r : runs)
        if (r > 0) out.push_back(r);
    return out;
}

}  // namespace

int main() {
    plat::StartSocketsForProcess();
    plat::SetTimeScale(0.02);  // the 5 s pause before the raw phase; the phase itself is real
    const std::vector<char> bytes = ReadFile(kImage);
    const double mb = static_cast<double>(bytes.size()) / (1024.0 * 1024.0);

    // The transfer: a link server whose announcements go to a UDP socket nobody reads, and the
    // receiver connected to it as the gateway.
    std::vector<double> link, plain, large;
    {
        const plat::Socket udp = plat::BindUdp({plat::IPV4_LOOPBACK, 0});
        plat::Endpoints ep;
        ep.gateway = "127.0.0.1";
        ep.linkPort = 0;
        ep.announceHost = "127.0.0.1";
        ep.announcePort = udp.LocalPort();
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
        // Alternating, so that both kinds see the same load of a busy machine; the order within
        // a pair swaps each time, so that neither always runs right after the large write.
        for (int i = 0; i < kPairs; ++i) {
            if (i % 2 == 0) {
                link.push_back(LinkSeconds(channel, receiver));
                plain.push_back(PlainSocketSeconds(bytes, kBlock));
            } else {
                plain.push_back(PlainSocketSeconds(bytes, kBlock));
                link.push_back(LinkSeconds(channel, receiver));
            }
            large.push_back(PlainSocketSeconds(bytes, bytes.size()));
        }
        channel.Close();
        server.Stop();
    }
    // A pair's ratio: the share of the plain socket's speed the link kept in that pair.
    std::vector<double> ratios;
    for (int i = 0; i < kPairs; ++i)
        if (link[i] > 0 && plain[i] > 0) ratios.push_back(plain[i] / link[i]);
    const double linkSeconds = Quantile(Completed(link), 0.5);
    const double plainSeconds = Quantile(Completed(plain), 0.5);
    const double largeSeconds = Quantile(Completed(large), 0.5);
    if (ratios.size() != static_cast<size_t>(kPairs) || largeSeconds <= 0) {
        std::fprintf(stderr, "transfer failed (%zu of %d pairs complete)\n", ratios.size(), kPairs);
        return 1;
    }
    bench::Report("link: root image through SendImage, first byte to last (median)", mb / linkSeconds, "MiB/s");
    bench::Report("link: same bytes, plain socket, 1350-byte writes (median)", mb / plainSeconds, "MiB/s");
    bench::ReportAtLeast("link: SendImage / plain socket throughput, median of " + std::to_string(kPairs) + " pairs", Quantile(ratios, 0.5), "x",
                         0.9);
    bench::Report("link: that ratio, lowest pair", Quantile(ratios, 0.0), "x");
    bench::Report("link: that ratio, lower quartile", Quantile(ratios, 0.25), "x");
    bench::Report("link: that ratio, upper quartile", Quantile(ratios, 0.75), "x");
    bench::Report("link: that ratio, highest pair", Quantile(ratios, 1.0), "x");
    bench::Report("link: reference, plain socket, one large write (median)", mb / largeSeconds, "MiB/s");
    bench::Report("link: reference, root image at 100 Mbit/s line rate",
                  static_cast<double>(bytes.size()) * 8.0 / 100e6, "s");
    bench::Report("link: root image through SendImage (median)", linkSeconds, "s");

    // The idle line: the simulator connects to a link server of its own.
    GatewaySimConfig config;
    GatewaySim sim(config);
    if (!sim.Start()) {
        std::fprintf(stderr, "simulator did not start\n");
        return 1;
    }
    const std::set<unsigned long> before = [] {
        std::set<unsigned long> s;
        for (auto& [tid, t] : bench::ThreadCpuSeconds()) s.insert(tid);
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
    std::set<unsigned long> serverThreads;
    for (auto& [tid, t] : bench::ThreadCpuSeconds())
        if (!before.count(tid)) serverThreads.insert(tid);

    // Idle, connected line: 10 s of the server's threads.
    CLineChannel idle;
    const int64_t d2 = plat::TickMs() + 20000;
    while (!idle.Attach(0) && plat::TickMs() < d2) plat::SleepRaw(50);
    auto cpu = [&] {
        double sum = 0;
        for (auto& [tid, t] : bench::ThreadCpuSeconds())
            if (serverThreads.count(tid)) sum += t;
        return sum;
    };
    const double t0 = cpu();
    plat::SleepRaw(10000);
    const double cpuSeconds = cpu() - t0;
    bench::ReportAtMost("link: server threads' CPU on an idle connected line", 100.0 * cpuSeconds / 10.0,
                        "% of a core", 1.0);
    idle.Close();
    server.Stop();
    sim.Stop();
    return 0;
}
