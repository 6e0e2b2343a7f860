// The command line of rk880t-tool (plat::ParseCommandLine) and the start-up dialog's check of the
// WiFi client limit, which --wifi-max goes through. Input: the arguments, separated by NUL bytes
// (at most 24); each argument is also checked as a typed limit text.
#include <cctype>
#include <cmath>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "app/options.h"
#include "form/startup_dialog.h"

namespace {

using namespace rkfuzz;
using startup_dialog::LimitCheck;

constexpr size_t kMaxArgs = 24;

bool Blank(char c) { return c == ' ' || c == '\t'; }

// What the dialog promises of a text it accepts: white space (the integer conversion skips any,
// not only blanks and tabs), an optional sign, decimal digits, blanks or tabs, and a value of 1
// to 32.
bool LooksLikeALimit(const std::string& t) {
    size_t i = 0;
    while (i < t.size() && (Blank(t[i]) || (t[i] >= '\t' && t[i] <= '\r'))) ++i;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    const size_t digits = i;
    while (i < t.size() && std::isdigit(static_cast<unsigned char>(t[i]))) ++i;
    if (i == digits) return false;
    while (i < t.size() && Blank(t[i])) ++i;
    return i == t.size();
}

void CheckLimitText(const std::string& text) {
    int value = -1;
    const LimitCheck c = startup_dialog::ValidateLimitText(text, &value);
    const startup_dialog::DialogResult ok = startup_dialog::PressOk(text);
    Check(ok.check == c, "the OK button gives the check's result");
    Check(ok.message == startup_dialog::LimitMessage(c), "the OK button shows the check's message");
    if (c == LimitCheck::Ok) {
        Check(value >= startup_dialog::LIMIT_MIN && value <= startup_dialog::LIMIT_MAX, "an accepted limit is 1 to 32");
        Check(LooksLikeALimit(text), "an accepted limit is an integer between blanks");
        Check(ok.message.empty(), "an accepted limit shows no message");
        Check(ok.limitText == text, "the limit goes on as typed");
        Check(ok.address == startup_dialog::GATEWAY_ADDRESS, "the dialog gives the gateway's address");
    } else {
        Check(!ok.message.empty(), "a refused limit says why");
        Check(ok.limitText.empty() && ok.address.empty(), "a refused limit gives nothing to the form");
    }
}

bool ValidPort(int p, bool bZeroAllowed) { return p >= (bZeroAllowed ? 0 : 1) && p <= 65535; }

}  // namespace

RK_FUZZ_TARGET(command_line) {
    std::vector<std::string> args{"rk880t-tool"};
    std::string current;
    for (size_t i = 0; i < size && args.size() <= kMaxArgs; ++i) {
        if (data[i] == 0) {
            args.push_back(current);
            current.clear();
        } else {
            current.push_back(static_cast<char>(data[i]));
        }
    }
    if (args.size() <= kMaxArgs) args.push_back(current);
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());
    argv.push_back(nullptr);

    const plat::ParseResult r = plat::ParseCommandLine(static_cast<int>(args.size()), argv.data());
    if (r.error.empty()) {
        const plat::Options& o = r.options;
        Check(o.timeScale > 0.0 && o.timeScale <= 1.0, "the time scale is 0 < F <= 1");
        Check(ValidPort(o.endpoints.webPort, false) && ValidPort(o.endpoints.settingPort, false) &&
                  ValidPort(o.endpoints.linkPort, true) && ValidPort(o.endpoints.announcePort, false),
              "every port is in range");
        Check(o.nvOption >= -1 && o.nvOption <= 3, "the NV option is one of the radios");
        Check(std::isfinite(o.giveUpAfter) && o.giveUpAfter >= 0.0 && o.giveUpAfter <= 1e9,
              "the give-up time is a finite number of seconds");
        Check(!o.endpoints.gateway.empty(), "there is a gateway address");
        CheckLimitText(o.wifiMax);
    }
    for (size_t i = 1; i < args.size(); ++i) CheckLimitText(args[i]);
    return 0;
}

RK_FUZZ_SEEDS(command_line) {
    auto line = [](std::initializer_list<std::string_view> parts) {
        Bytes b;
        bool first = true;
        for (std::string_view p : parts) {
            if (!first) b.push_back(0);
            first = false;
            PutText(b, p);
        }
        return b;
    };
    return {
        line({"--headless", "--wifi-max", " 32\t"}),
        line({"--wifi-max", "+7", "--time-scale", "0.05", "--web-port", "8080"}),
        line({"--simulate", "--mode", "backup-nv", "--nv-option", "2", "--answer", "no"}),
        line({"--announce-to", "127.0.0.1:3536", "--announce-address", "127.0.0.1", "--link-port", "0"}),
        line({"--give-up-after", "1e9", "--export-csv", "x.csv", "--wifi-max", "00"}),
        line({"--wifi-max", "-0"}),
        line({"--time-scale", "nan"}),
    };
}
