// AT commands through a line's channel, their answer parsing, and the DIAG port switch.
#include "modem/at_port.h"

#include <algorithm>
#include <array>

#include "cpelink/link_slots.h"
#include "platform/clock.h"
#include "platform/trace.h"

namespace {

constexpr std::string_view kCrLf = "\r\n";
constexpr size_t kKdiagPrefix = 8;  // "+KDIAG: "

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const auto x = static_cast<unsigned char>(a[i]);
        const auto y = static_cast<unsigned char>(b[i]);
        const auto lx = (x >= 'A' && x <= 'Z') ? x + 32 : x;
        const auto ly = (y >= 'A' && y <= 'Z') ? y + 32 : y;
        if (lx != ly) return false;
    }
    return true;
}

}  // namespace

bool ParseAtAnswer(std::string_view answer, std::string& line) {
    line.clear();
    const size_t first = answer.find(kCrLf);
    if (first == std::string_view::npos) return false;
    const size_t begin = first + kCrLf.size();
    const size_t second = answer.find(kCrLf, begin);
    if (second == std::string_view::npos) return false;
    line.assign(answer.substr(begin, second - begin));
    return !EqualsNoCase(line, "error");
}

std::string ModemVersionFromGmrLine(std::string_view line) {
    const size_t blank = line.find(' ');
    // No blank at all: the whole line is the remainder, and it has no further blank either.
    const std::string_view rest = blank == std::string_view::npos ? line : line.substr(blank + 1);
    const size_t next = rest.find(' ');
    if (next == std::string_view::npos) return {};
    return std::string(rest.substr(0, next));
}

int DiagModeFromKdiagLine(std::string_view line) {
    if (line.size() <= kKdiagPrefix) return 0;
    const char c = line[kKdiagPrefix];
    return (c >= '0' && c <= '9') ? c - '0' : 0;
}

std::string AnswerText(const uint8_t* buffer, size_t size, int count) {
    if (buffer == nullptr || count <= 0) return {};
    const size_t n = std::min({static_cast<size_t>(count), size, AT_ANSWER_SIZE});
    const auto* end = std::find(buffer, buffer + n, uint8_t{0});
    return std::string(reinterpret_cast<const char*>(buffer), static_cast<size_t>(end - buffer));
}

AtPort::AtPort(ILinkTunnel& tunnel) : m_tunnel(tunnel) {}

bool AtPort::Exchange() {
    const auto* bytes = reinterpret_cast<const uint8_t*>(m_strCommand.data());
    const int n = static_cast<int>(m_strCommand.size());
    const int64_t limit = plat::Scaled(m_nTimeoutMs);

    for (int attempt = 0; attempt < m_nTries; ++attempt) {
        if (m_tunnel.SendData(bytes, n) < n) continue;
        const int64_t sent = plat::TickMs();
        for (;;) {
            // The answer counts as there when two tests 20 ms apart both see it.
            if (!plat::SleepRaw(AT_POLL_MS)) return false;
            const bool first = m_tunnel.HasReply() != 0;
            if (!plat::SleepRaw(AT_POLL_MS)) return false;
            const bool second = m_tunnel.HasReply() != 0;
            if (first && second) {
                std::array<uint8_t, AT_ANSWER_SIZE> buffer{};
                const int got = m_tunnel.TakeData(buffer, buffer.size());
                m_strAnswer = AnswerText(buffer.data(), buffer.size(), got);
                return true;
            }
            if (plat::TickMs() - sent > limit) break;
        }
    }
    return false;
}

bool AtPort::AtCommand(const std::string& command, std::string& answerLine) {
    answerLine.clear();
    m_strCommand = command + '\r';
    m_strAnswer.clear();
    if (m_strCommand.size() > LINK_DATA_SIZE) return false;  // never fits one record
    if (!Exchange()) return false;
    return ParseAtAnswer(m_strAnswer, answerLine);
}

bool AtPort::ReadModemVersion(std::string& version) {
    version.clear();
    std::string line;
    if (!AtCommand("AT+GMR", line)) return false;
    version = ModemVersionFromGmrLine(line);
    return true;
}

int AtPort::GetDiagMode() {
    std::string line;
    if (!AtCommand("AT+KDIAG?", line)) return 0;
    return DiagModeFromKdiagLine(line);
}

bool AtPort::SetDiagMode(int n) {
    std::string line;
    return AtCommand(plat::Format("AT+KDIAG=%d", n), line);
}
