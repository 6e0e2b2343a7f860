// The link's throughput and idle cost:
//  - the 9.3 MB root image sent through SendImage to the simulator, and the same bytes in
//    1350-byte writes over a plain loopback socket; the raw phase (first raw byte to last) of
//    both and their ratio (goal: at least 0.9);
//  - the CPU time the link server's threads use in 10 s of an idle, connected line (goal: under
//    1 percent of one core).
#include <dirent.h>
#include <unistd.h>

#include <atomic>
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
#include "platform/socket.h"
#include "sim/gateway_sim.h"

namespace {

const std::string kImage = std::string(RK_IMAGE_DIR) + "/root_uImage";

double Now() { return static_cast<double>(plat::TickMs()) / 1000.0; }

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

// The same bytes in 1350-byte writes over a plain loopback socket: seconds of the raw phase.
double PlainSocketSeconds(const std::vector<char>& bytes) {
    const plat::Socket listener = plat::ListenTcp({plat::IPV4_LOOPBACK, 0}, 1);
    std::atomic<double> end{0};
    std::thread reader([&] {
        listener.Wait(plat::SOCKET_READABLE, 10000);
        const plat::Socket c = listener.Accept();
        std::vector<char> buf(65536);
        size_t got = 0;
        while (got < bytes.size()) {
            const std::ptrdiff_t n = c.Receive(buf.data(), buf.size());
            if (n <= 0) break;
            got += static_cast<size_t>(n);
        }
        end = Now();
    });
    plat::Socket s = plat::Socket::Tcp();
    s.Connect(listener.LocalAddress(), 10000);
    const double start = Now();
    for (size_t off = 0; off < bytes.size(); off += 1350) {
        if (!s.SendAll(bytes.data() + off, std::min<size_t>(1350, bytes.size() - off))) break;
    }
    reader.join();
    return end - start;
}

}  // namespace

int main() {
    plat::SetTimeScale(0.02);  // the 5 s pause before the raw phase; the phase itself is real
    const std::vector<char> bytes = ReadFile(kImage);

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
    server.Start(LinkServerConfig{ep, {}});
    std::set<int> serverThreads;
    for (auto& [tid, t] : ThreadTicks())
        if (!before.count(tid)) serverThreads.insert(tid);

    CLineChannel channel;
    const int64_t deadline = plat::TickMs() + 20000;
    while (!channel.Attach(0) && plat::TickMs() < deadline) plat::SleepRaw(50);
    if (!channel.IsOpen()) {
        std::fprintf(stderr, "the simulated gateway did not connect\n");
        return 1;
    }

    // Raw phase through SendImage: from the first piece to the simulator holding every byte.
    std::atomic<double> first{0};
    std::atomic<bool> done{false};
    std::atomic<double> last{0};
    std::thread watch([&] {
        while (!done) {
            { const auto img = sim.Image(CMD_DOWN_LINUX); if (img && img->received >= bytes.size() && last == 0) last = Now(); }
            plat::SleepRaw(1);
        }
    });
    TransferCallbacks cb;
    cb.progress = [&](int) {
        if (first == 0) first = Now();
    };
    const bool ok = SendImage(channel, ImageVariant::Linux, kImage, cb);
    done = true;
    watch.join();
    const double linkSeconds = last - first;
    const double plainSeconds = PlainSocketSeconds(bytes);
    const double mb = static_cast<double>(bytes.size()) / (1024.0 * 1024.0);
    if (!ok || linkSeconds <= 0) {
        std::fprintf(stderr, "transfer failed\n");
        return 1;
    }
    bench::Report("link: raw phase through SendImage", mb / linkSeconds, "MiB/s");
    bench::Report("link: raw phase, plain loopback socket", mb / plainSeconds, "MiB/s");
    bench::ReportAtLeast("link: SendImage / plain socket throughput", plainSeconds / linkSeconds, "x", 0.9);

    // Idle, connected line: 10 s of the server's threads.
    channel.Close();
    CLineChannel idle;
    const int64_t d2 = plat::TickMs() + 20000;
    sim.UpdateKnobs([](SimKnobs&) {});
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
