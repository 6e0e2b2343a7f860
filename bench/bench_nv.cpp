// The NV backup's cost against a gateway that answers at once (the simulator on loopback), at
// time scale 1:
//  - the RK19T backup thread in-process (BackupNvThread over a DiagClient on a real CLineChannel
//    attached to a CLinkServer that the simulator connects to): the whole run, the list loop, the
//    time per DIAG exchange in the loop, and the share of the run spent in the procedure's fixed
//    pauses (2000 ms before and after entering download mode, the enter switch's 1000 ms poll
//    before it looks for the gateway's reply, 2000 ms before leaving it, 1000 ms after the
//    success);
//  - NV item reads alone (ReadNvItem in a loop): the time per NV exchange.

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "bench/bench_report.h"
#include "cpelink/line_channel.h"
#include "cpelink/link_server.h"
#include "modem/diag_client.h"
#include "model/document.h"
#include "modem/nv_store.h"
#include "platform/clock.h"
#include "platform/network.h"
#include "session/nv_tasks.h"
#include "sim/gateway_sim.h"
#include "tests/support/quiet_line_events.h"
#include "tests/support/temp_folder.h"

namespace {

// The procedure's fixed pauses on a run without failed reads (ms at time scale 1).
constexpr double kFixedPausesMs = 2000 + 1000 + 2000 + 2000 + 1000;

// The view's part, kept to what the backup needs: time stamps of the status texts.
class BenchHost : public QuietLineEvents {
public:
    void Status(int, const std::string& text, bool) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_status.push_back({plat::TickMs(), text});
    }
    void End(int, const std::string& text, LineOutcome outcome) override {
        std::fprintf(stderr, "the backup failed (%d): %s\n", static_cast<int>(outcome), text.c_str());
        m_bFailed = true;
    }
    void Concluded(int, LineOutcome outcome) override {
        std::fprintf(stderr, "the backup asked to end the program (%d)\n", static_cast<int>(outcome));
        m_bFailed = true;
    }

    // The time of the first status text equal to `text` (or beginning with it); -1 when none.
    int64_t When(const std::string& text) {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto& [t, s] : m_status)
            if (s.rfind(text, 0) == 0) return t;
        return -1;
    }
    bool Failed() const { return m_bFailed; }

private:
    std::mutex m_mutex;
    std::vector<std::pair<int64_t, std::string>> m_status;
    std::atomic<bool> m_bFailed{false};
};

}  // namespace

int main() {
    plat::StartSocketsForProcess();
    plat::SetTimeScale(1.0);
    const std::string folder = test_support::MakeTempFolder("rk-bench-nv-");

    GatewaySimConfig config;  // RK19T, the modem preset for it
    GatewaySim sim(config);
    if (!sim.Start()) {
        std::fprintf(stderr, "simulator did not start: %s\n", sim.LastError().c_str());
        return 1;
    }
    // When the gateway dealt with its last tunnel record and with the request to leave download
    // mode (the link thread's events).
    std::atomic<int64_t> lastTunnel{0};
    std::atomic<int64_t> exitRequest{0};
    std::atomic<int> tunnelRequests{0};
    sim.SetEventSink([&](const std::string& e) {
        if (e.rfind("link: reply 0x04", 0) == 0) lastTunnel = plat::TickMs();
        if (e.rfind("link: request 0x04", 0) == 0) ++tunnelRequests;
        if (e.rfind("link: request 0x30", 0) == 0 && exitRequest == 0) exitRequest = plat::TickMs();
    });

    plat::Endpoints ep;
    ep.gateway = "127.0.0.1";
    ep.linkPort = 0;
    ep.announceHost = "127.0.0.1";
    ep.announcePort = sim.AnnouncePort();
    ep.announceAddress = "127.0.0.1";
    CLinkServer server;
    server.Start(LinkServerConfig{ep, {}, {}});
    CLineChannel channel;
    const int64_t deadline = plat::TickMs() + 30000;
    while (!channel.Attach(0) && plat::TickMs() < deadline) plat::SleepRaw(50);
    if (!channel.IsOpen()) {
        std::fprintf(stderr, "the simulated gateway did not connect\n");
        return 1;
    }
    DiagClient diag(channel);

    // 1. NV item reads alone.
    constexpr int kReads = 500;
    std::array<uint8_t, NV_ITEM_SIZE> data{};
    int16_t status = 0;
    int failed = 0;
    const int64_t r0 = plat::TickMs();
    for (int i = 0; i < kReads; ++i) {
        data.fill(0);
        if (!diag.ReadNvItem(22, data, status)) ++failed;
    }
    const double readMs = static_cast<double>(plat::TickMs() - r0) / kReads;
    if (failed) std::fprintf(stderr, "%d of %d reads failed\n", failed, kReads);

    // 2. The backup thread.
    BenchHost host;
    CServiceToolDoc doc;
    doc.SetLineText(0, LineField::VersionFolder, folder, nullptr);
    doc.Line(0).SetCpeVersion("RK19T_V1.0.0");
    doc.Line(0).nTaskType = TaskType::NvBackup;
    doc.m_nMode = MODE_BACKUP_NV;
    const int before = tunnelRequests.load();
    const int64_t t0 = plat::TickMs();
    BackupNvThread(doc, host, diag, 0);
    const int64_t t1 = plat::TickMs();
    const int64_t loopStart = host.When(TEXT_NV_BACKING_UP);
    if (host.Failed() || loopStart < 0 || host.When("Backup NV success") < 0) {
        std::fprintf(stderr, "the backup did not succeed\n");
        return 1;
    }
    // The loop: from "Backup NV..." to the gateway's reply to the last tunnel record before the
    // request to leave download mode (the pause before that request is not part of it).
    const int64_t loopEnd = lastTunnel.load() < exitRequest.load() ? lastTunnel.load()
                                                                   : exitRequest.load() - 2000;
    const double totalMs = static_cast<double>(t1 - t0);
    const double loopMs = static_cast<double>(loopEnd - loopStart);
    // The tunnel records of the run less those before the loop (IMEI and ESN reads).
    const int loopExchanges = tunnelRequests.load() - before - 2;

    bench::Report("nv: NV item read (ReadNvItem loop), per exchange", readMs, "ms");
    bench::Report("nv: RK19T backup run (BackupNvThread)", totalMs / 1000.0, "s");
    bench::Report("nv: RK19T backup list loop (468 items, 19 RF NV files)", loopMs / 1000.0, "s");
    bench::Report("nv: DIAG exchanges in the list loop", loopExchanges, "exchanges");
    bench::Report("nv: backup list loop, per DIAG exchange", loopExchanges > 0 ? loopMs / loopExchanges : 0, "ms");
    bench::Report("nv: fixed pauses of the procedure", kFixedPausesMs / 1000.0, "s");
    bench::Report("nv: fixed pauses, share of the backup run", 100.0 * kFixedPausesMs / totalMs, "%");
    // The rest: entering and leaving download mode, the IMEI and ESN reads, the channel's close.
    bench::Report("nv: backup run outside the list loop and the fixed pauses", (totalMs - loopMs - kFixedPausesMs) / 1000.0,
                  "s");

    server.Stop();
    sim.Stop();
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
    return 0;
}
