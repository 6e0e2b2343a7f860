// The AT answer parsing of AtPort: the answer text cut from the channel's bytes (AnswerText), its
// line (ParseAtAnswer), the version of AT+GMR and the mode of AT+KDIAG?. AtPort's own exchange
// adds only waits (two 20 ms polls per answer), so the parsers are driven directly.
// Input: a byte that sets the count the channel reports, then the answer.
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "modem/at_port.h"

namespace {

using namespace rkfuzz;

bool IsErrorWord(const std::string& s) {
    if (s.size() != 5) return false;
    for (size_t i = 0; i < 5; ++i)
        if ((s[i] | 0x20) != "error"[i]) return false;
    return true;
}

void CheckLine(const std::string& line) {
    const std::string version = ModemVersionFromGmrLine(line);
    Check(version.find(' ') == std::string::npos && line.find(version) != std::string::npos,
          "the version is a blank-free part of the line");
    const int mode = DiagModeFromKdiagLine(line);
    Check(mode >= 0 && mode <= 9, "the KDIAG mode is one digit");
}

void ParseAnswer(std::string_view answer) {
    std::string line = "stale";
    const bool ok = ParseAtAnswer(answer, line);
    Check(line.find("\r\n") == std::string::npos, "the answer line holds no CR LF");
    if (ok) {
        Check(answer.find("\r\n" + line + "\r\n") != std::string_view::npos, "the line lies between two CR LF");
        Check(!IsErrorWord(line), "an \"error\" line is no success");
    }
    if (answer.find("\r\n") == std::string_view::npos) Check(!ok && line.empty(), "no CR LF: no line");
    CheckLine(line);
    CheckLine(std::string(answer));
}

}  // namespace

RK_FUZZ_TARGET(at_answer) {
    Init();
    Reader in(data, size);
    const uint8_t selector = in.U8();
    const Bytes rest = in.Rest();
    const std::string_view answer(reinterpret_cast<const char*>(rest.data()), rest.size());
    ParseAnswer(answer);

    // The answer as TakeData delivered it, with any count the channel reports (the record's
    // nLength, up to any value).
    const int count = selector < 250 ? static_cast<int>(selector) * 3 - 40 : (selector - 250) * 400000000 - 1;
    const std::string text = AnswerText(rest.data(), rest.size(), count);
    Check(text.size() <= AT_ANSWER_SIZE && text.size() <= rest.size() && text.find('\0') == std::string::npos,
          "the answer text is cut to the buffer and ends before a NUL");
    Check(answer.substr(0, text.size()) == text, "the answer text is the start of the bytes");
    if (count <= 0) Check(text.empty(), "no bytes: no text");
    ParseAnswer(text);
    return 0;
}

RK_FUZZ_SEEDS(at_answer) {
    std::vector<Bytes> seeds;
    for (const char* a : {"AT+GMR\r\r\nPD_WA_RK880T M9615A-CEFWMAZM-2.0.40001 1 [Jan 01 2015]\r\n\r\nOK\r\n",
                          "\r\n+KDIAG: 6\r\n\r\nOK\r\n", "\r\nERROR\r\n", "\r\nError\r\n", "\r\n\r\n",
                          "\r\nno end", "no start\r\n", "\r\n+KDIAG: x\r\n"}) {
        Bytes s = {20};
        PutText(s, a);
        seeds.push_back(s);
    }
    return seeds;
}
