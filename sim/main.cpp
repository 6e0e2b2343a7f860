// rk880t-gateway-sim: the simulated RK880T gateway as a program of its own. It binds on 127.0.0.1
// with system-chosen ports (with --lan, the gateway's own address and ports), prints them, then prints every line of what it receives and does
// until SIGINT / SIGTERM (or --run-seconds), and a summary at the end.
//
// Point the tool at it with the printed ports:
//   rk880t-tool --gateway 127.0.0.1 --web-port W --setting-port S --link-port 0
//               --announce-to 127.0.0.1:A --announce-address 127.0.0.1
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/clock.h"
#include "platform/network.h"
#include "platform/terminal.h"
#include "sim/gateway_sim.h"

namespace {

volatile std::sig_atomic_t g_signal = 0;

void OnSignal(int sig) { g_signal = sig; }

void Usage(std::FILE* out, bool bWhole) {
    std::fputs("usage: rk880t-gateway-sim [--cpe-version TEXT] [--modem-version TEXT]\n"
               "                          [--terminal-type KEY|none] [--imei DIGITS] [--never-connect]\n"
               "                          [--run-seconds N] [--lan ADDRESS] [--web-down]\n",
               out);
    if (!bWhole) return;
    std::fputs("\n"
               "Plays an RK880T gateway for rk880t-tool on 127.0.0.1 (ports the system picks, printed at\n"
               "the start): web forms, setting port, announcement listener and link client, the modem.\n"
               "\n"
               "  --cpe-version TEXT       the CPE software version the gateway reports\n"
               "  --modem-version TEXT     the modem version the gateway reports\n"
               "  --terminal-type KEY|none the modem's terminal type and its NV preset (none: empty)\n"
               "  --imei DIGITS            the modem's IMEI\n"
               "  --never-connect          hear the announcements but never connect to the tool\n"
               "  --run-seconds N          end after N seconds (default: at SIGINT or SIGTERM)\n"
               "  --lan ADDRESS            the gateway's own ports on ADDRESS (web 80, setting 3535, UDP\n"
               "                           3536 broadcasts): only inside a private network namespace\n"
               "                           (scripts/netns)\n"
               "  --web-down               the web server does not answer\n"
               "  --version                print the version and exit\n"
               "  --help                   print this help and exit\n",
               out);
}

}  // namespace

int main(int argc, char** argv) {
    plat::PrepareConsole();
    plat::StartSocketsForProcess();
    GatewaySimConfig config;
    double runSeconds = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](const char* name) -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "%s needs a value\n", name);
                Usage(stderr, false);
                std::exit(2);
            }
            return argv[++i];
        };
        if (arg == "--cpe-version") config.knobs.cpeVersion = value("--cpe-version");
        else if (arg == "--modem-version") config.knobs.modemVersion = value("--modem-version");
        else if (arg == "--terminal-type") {
            config.terminalType = value("--terminal-type");
            config.bPresetModem = config.terminalType != "none";
        }
        else if (arg == "--imei") config.imei = value("--imei");
        else if (arg == "--never-connect") config.knobs.bNeverConnect = true;
        else if (arg == "--run-seconds") runSeconds = std::atof(value("--run-seconds"));
        else if (arg == "--web-down") config.webKnobs.bWebDown = true;
        else if (arg == "--lan") {
            const char* address = value("--lan");
            if (!plat::ParseIpv4(address, config.lanAddress) || (config.lanAddress >> 24) == 127) {
                std::fprintf(stderr, "--lan needs an IPv4 address outside 127.0.0.0/8\n");
                return 2;
            }
        }
        else if (arg == "--version") {
            std::printf("rk880t-gateway-sim %s\n", RK880T_VERSION);
            return 0;
        }
        else if (arg == "--help" || arg == "-h") {
            Usage(stdout, true);
            return 0;
        }
        else {
            std::fprintf(stderr, "unknown option: %s\n", arg.c_str());
            Usage(stderr, false);
            return 2;
        }
    }

    GatewaySim sim(config);
    std::mutex printLock;
    sim.SetEventSink([&printLock](const std::string& line) {
        std::lock_guard<std::mutex> lock(printLock);
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    });
    if (!sim.Start()) {
        std::fprintf(stderr, "cannot start: %s\n", sim.LastError().c_str());
        return 1;
    }
    {
        std::lock_guard<std::mutex> lock(printLock);
        std::printf("announce port %d\nweb port %d\nsetting port %d\n", sim.AnnouncePort(), sim.WebPort(),
                    sim.SettingPort());
        std::fflush(stdout);
    }

    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    const int64_t end = runSeconds > 0 ? plat::TickMs() + static_cast<int64_t>(runSeconds * 1000) : 0;
    while (g_signal == 0 && (end == 0 || plat::TickMs() < end)) plat::SleepRaw(100);
    sim.Stop();

    std::printf("summary: %d connection(s), %zu request(s), %d upgrade end(s)\n", sim.Connections(),
                sim.Requests().size(), sim.UpgradeEnds());
    for (uint8_t type : {CMD_DOWN_BOOT, CMD_DOWN_LINUX}) {
        if (const auto image = sim.Image(type)) {
            std::printf("image 0x%02X: %llu of %llu bytes%s, sha256 %s\n", type,
                        static_cast<unsigned long long>(image->received),
                        static_cast<unsigned long long>(image->announced), image->bComplete ? "" : " (incomplete)",
                        image->sha256.c_str());
        }
    }
    const SimWebCounts web = sim.Web().Counts();
    std::printf("web: %d open, %d query, %d wifi request(s); setting port: %d connection(s)\n", web.openRequests,
                web.queryRequests, web.wifiRequests, web.settingConnections);
    for (const std::string& limit : sim.Web().WifiLimits()) std::printf("wifi limit \"%s\"\n", limit.c_str());
    for (const auto& [name, value] : sim.Web().SettingsWritten())
        std::printf("setting written %s=%s\n", name.c_str(), value.c_str());
    return 0;
}
