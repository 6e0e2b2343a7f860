#include "app/options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "platform/socket.h"

namespace plat {

namespace {

bool ParsePort(const std::string& text, int& out) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < 0 || v > 65535) return false;
    out = static_cast<int>(v);
    return true;
}

bool ParseDouble(const std::string& text, double& out) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(v)) return false;
    out = v;
    return true;
}

// Far beyond any run, and small enough to count in milliseconds.
constexpr double kMaxGiveUpSeconds = 1e9;

bool IsIpv4(const std::string& text) {
    uint32_t address = 0;
    return ParseIpv4(text, address);
}

}  // namespace

std::string UsageText() {
    return "usage: rk880t-tool [--headless] [--simulate] [--wifi-max TEXT] [--gateway ADDRESS]\n"
           "                  [--web-port N] [--setting-port N] [--link-port N]\n"
           "                  [--announce-to ADDRESS:PORT] [--announce-address ADDRESS]\n"
           "                  [--no-arp-flush] [--time-scale F] [--root DIR] [--program-folder DIR]\n"
           "                  [--mode cpe-only|modem-and-cpe|backup-nv|restore-nv]\n"
           "                  [--nv-option 0|1|2|3] [--press-download] [--give-up-after SECONDS]\n"
           "                  [--export-csv PATH] [--export-sdi PATH] [--clear-counts]\n"
           "                  [--answer yes|no] [--restore-from DIR] [--diagnose] [--version]\n"
           "                  [--set-address] [--adapter NAME]\n";
}

std::string HelpText() {
    return UsageText() +
           "\n"
           "Upgrades an RK880T LTE home gateway over Ethernet; backs up and restores its modem's RF\n"
           "calibration. Without options: the window, against the gateway at 192.168.0.1.\n"
           "\n"
           "Exit status (headless and command runs): 0 success, 1 a failed task or command, 2 communication\n"
           "error or a wrong command line, 3 give-up, 4 bad --wifi-max, 5 the simulated gateway could not\n"
           "start, 128+N after signal N.\n"
           "\n"
           "Options:\n"
           "  --headless              no window: status history on standard output; MESSAGE:, PROGRESS:,\n"
           "                          PICTURE: and TRACE: lines on standard error (default: the window)\n"
           "  --wifi-max TEXT         the start-up dialog's WiFi limit, headless (default 32, 1 to 32)\n"
           "  --gateway ADDRESS       the gateway address (form URLs, setting check, ARP flush;\n"
           "                          default 192.168.0.1)\n"
           "  --mode MODE             cpe-only, modem-and-cpe, backup-nv or restore-nv (default\n"
           "                          modem-and-cpe, the form's own choice)\n"
           "  --nv-option 0|1|2|3     the NV option radio (default 2: all RF NV and the IMEI)\n"
           "  --press-download        press Download once line 0 is ready (default: the operator does)\n"
           "  --give-up-after SECONDS  headless: exit 3 when no task has ended by then (default never)\n"
           "  --answer yes|no         headless answer to Yes/No questions (default yes; the IMEI question\n"
           "                          before an NV restore takes Yes only from --answer yes)\n"
           "  --restore-from DIR      an NV restore takes Channel.nvm and _EFS_RF_NV from DIR (default\n"
           "                          the version folder)\n"
           "  --export-csv PATH       export the download record as CSV and exit (0 success, 1 failure)\n"
           "  --export-sdi PATH       export the download record as SDI and exit (0 success, 1 failure)\n"
           "  --clear-counts          run the Clear command and exit (0 success, 1 failure or declined)\n"
           "  --diagnose              print the way to the gateway and exit (0 when an adapter leads there)\n"
           "  --set-address           when no adapter is on the gateway's subnet, set a temporary address\n"
           "                          (192.168.0.100/24 or the first free one up to .199) on the wired\n"
           "                          adapter with link without asking; removed at exit (default: the window\n"
           "                          asks, headless only the hint)\n"
           "  --adapter NAME          the adapter --set-address uses when several could (default none:\n"
           "                          several give a line naming them and no address)\n"
           "  --simulate              start the built-in simulated gateway on 127.0.0.1 and point every\n"
           "                          endpoint at it (time scale 0.05 unless given; default off)\n"
           "  --version               print the version and exit\n"
           "  --help                  print this help and exit\n"
           "\n"
           "Test and developer options:\n"
           "  --web-port N            the gateway's web port (default 80)\n"
           "  --setting-port N        the gateway's setting port (default 3535)\n"
           "  --link-port N           the link server's port (default 4536; 0: the system picks)\n"
           "  --announce-to ADDRESS:PORT  where the announcements go (default 255.255.255.255:3536)\n"
           "  --announce-address ADDRESS  the address written into the announcement (default the\n"
           "                          PC's own address toward the gateway)\n"
           "  --time-scale F          multiply every pause and time-out of 1 s or more (0 < F <= 1;\n"
           "                          default 1, with --simulate 0.05)\n"
           "  --root DIR              the folder that stands in for drive C: (default on Linux\n"
           "                          $XDG_DATA_HOME/rk880t-tool/C, else ~/.local/share/rk880t-tool/C;\n"
           "                          on Windows the system drive)\n"
           "  --program-folder DIR    the folder taken as the program's own (default the program's)\n"
           "  --no-arp-flush          never run the ARP flush (default: run before the handshake)\n"
           "\n"
           "Examples:\n"
           "  $ rk880t-tool\n"
           "      the window: upgrade the gateway on the Ethernet cable\n"
           "  $ rk880t-tool --headless --press-download\n"
           "      upgrade without a window as soon as the gateway answers; the exit status tells\n"
           "  $ rk880t-tool --headless --mode backup-nv --press-download\n"
           "      back up the modem's RF calibration into the version folder and its archive\n"
           "  $ rk880t-tool --diagnose\n"
           "      say whether an adapter leads to 192.168.0.1, and what to change if none does\n"
           "  $ rk880t-tool --export-csv records.csv\n"
           "      export the download record as CSV\n"
           "  $ rk880t-tool --headless --simulate --press-download\n"
           "      try a whole upgrade against the built-in simulated gateway\n";
}

ParseResult ParseCommandLine(int argc, const char* const argv[]) {
    ParseResult r;
    Options& o = r.options;
    auto fail = [&r](const std::string& why) {
        r.error = why;
        return r;
    };
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        std::string v;
        if (arg == "--help" || arg == "-h") {
            r.bHelp = true;
        } else if (arg == "--version") {
            r.bVersion = true;
        } else if (arg == "--headless") {
            o.bHeadless = true;
        } else if (arg == "--simulate") {
            o.bSimulate = true;
        } else if (arg == "--no-arp-flush") {
            o.bNoArpFlush = true;
        } else if (arg == "--press-download") {
            o.bPressDownload = true;
        } else if (arg == "--clear-counts") {
            o.bClearCounts = true;
        } else if (arg == "--diagnose") {
            o.bDiagnose = true;
        } else if (arg == "--set-address") {
            o.bSetAddress = true;
        } else if (arg == "--adapter") {
            if (!value(o.adapter) || o.adapter.empty()) return fail("--adapter needs an adapter name");
        } else if (arg == "--wifi-max") {
            if (!value(o.wifiMax)) return fail("--wifi-max needs a text");
            o.bWifiMaxGiven = true;
        } else if (arg == "--gateway") {
            if (!value(v) || v.empty()) return fail("--gateway needs an address");
            o.endpoints.gateway = v;
            o.endpoints.bGatewayOverridden = true;
        } else if (arg == "--web-port") {
            if (!value(v) || !ParsePort(v, o.endpoints.webPort) || o.endpoints.webPort == 0)
                return fail("--web-port needs a port number 1..65535");
        } else if (arg == "--setting-port") {
            if (!value(v) || !ParsePort(v, o.endpoints.settingPort) || o.endpoints.settingPort == 0)
                return fail("--setting-port needs a port number 1..65535");
        } else if (arg == "--link-port") {
            if (!value(v) || !ParsePort(v, o.endpoints.linkPort))
                return fail("--link-port needs a port number 0..65535");
        } else if (arg == "--announce-to") {
            if (!value(v)) return fail("--announce-to needs ADDRESS:PORT");
            const size_t colon = v.rfind(':');
            int port = 0;
            if (colon == std::string::npos || !IsIpv4(v.substr(0, colon)) ||
                !ParsePort(v.substr(colon + 1), port) || port == 0)
                return fail("--announce-to needs ADDRESS:PORT");
            o.endpoints.announceHost = v.substr(0, colon);
            o.endpoints.announcePort = port;
        } else if (arg == "--announce-address") {
            if (!value(v) || !IsIpv4(v)) return fail("--announce-address needs an IPv4 address");
            o.endpoints.announceAddress = v;
        } else if (arg == "--time-scale") {
            if (!value(v) || !ParseDouble(v, o.timeScale) || !(o.timeScale > 0.0) || o.timeScale > 1.0)
                return fail("--time-scale needs a factor 0 < F <= 1");
            o.bTimeScaleGiven = true;
        } else if (arg == "--root") {
            if (!value(o.root) || o.root.empty()) return fail("--root needs a folder");
        } else if (arg == "--program-folder") {
            if (!value(o.programFolder) || o.programFolder.empty())
                return fail("--program-folder needs a folder");
        } else if (arg == "--mode") {
            if (!value(v)) return fail("--mode needs cpe-only|modem-and-cpe|backup-nv|restore-nv");
            if (v == "cpe-only") o.mode = RunMode::CpeOnly;
            else if (v == "modem-and-cpe") o.mode = RunMode::ModemAndCpe;
            else if (v == "backup-nv") o.mode = RunMode::BackupNv;
            else if (v == "restore-nv") o.mode = RunMode::RestoreNv;
            else return fail("--mode needs cpe-only|modem-and-cpe|backup-nv|restore-nv");
        } else if (arg == "--nv-option") {
            if (!value(v) || v.size() != 1 || v[0] < '0' || v[0] > '3')
                return fail("--nv-option needs 0, 1, 2 or 3");
            o.nvOption = v[0] - '0';
        } else if (arg == "--give-up-after") {
            if (!value(v) || !ParseDouble(v, o.giveUpAfter) || !(o.giveUpAfter > 0.0) ||
                o.giveUpAfter > kMaxGiveUpSeconds)
                return fail("--give-up-after needs a number of seconds above 0, at most 1000000000");
        } else if (arg == "--export-csv") {
            if (!value(o.exportCsv) || o.exportCsv.empty()) return fail("--export-csv needs a path");
        } else if (arg == "--export-sdi") {
            if (!value(o.exportSdi) || o.exportSdi.empty()) return fail("--export-sdi needs a path");
        } else if (arg == "--answer") {
            if (!value(v) || (v != "yes" && v != "no")) return fail("--answer needs yes or no");
            o.bAnswerYes = (v == "yes");
            o.bAnswerGiven = true;
        } else if (arg == "--restore-from") {
            if (!value(o.restoreFrom) || o.restoreFrom.empty()) return fail("--restore-from needs a folder");
        } else {
            return fail("unknown option: " + arg);
        }
    }
    if (o.bSimulate && !o.bTimeScaleGiven) o.timeScale = 0.05;
    return r;
}

bool IsCommandRun(const Options& options) {
    return !options.exportCsv.empty() || !options.exportSdi.empty() || options.bClearCounts || options.bDiagnose;
}

std::optional<std::string> CommandLineFileAnswer(const Options& options, const FileDialogSpec& dialogRequest) {
    if (dialogRequest.bOpen) return std::nullopt;
    if (!options.exportCsv.empty() && dialogRequest.defaultExt == "csv") return options.exportCsv;
    if (!options.exportSdi.empty() && dialogRequest.defaultExt == "sdi") return options.exportSdi;
    return std::nullopt;
}

}  // namespace plat
