// AtPort: answer parsing, the bytes it sends, its tries and time-outs, answers too long for its
// buffer.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "tests/modem/at_script.h"
#include "modem/at_port.h"

namespace {


// ---------------------------------------------------------------------------------------------
TEST(AtAnswer, LineBetweenTheFirstTwoLineEnds) {
    std::string line;
    EXPECT_TRUE(ParseAtAnswer(kKdiag6, line));
    EXPECT_EQ(line, "+KDIAG: 6");
    EXPECT_EQ(DiagModeFromKdiagLine(line), 6);

    EXPECT_TRUE(ParseAtAnswer(kOk, line));
    EXPECT_EQ(line, "OK");
    // Text before the first line end is skipped; an empty line is a line.
    EXPECT_TRUE(ParseAtAnswer("AT+GMR\r\r\n+GMR: V1 B01\r\n", line));
    EXPECT_EQ(line, "+GMR: V1 B01");
    EXPECT_TRUE(ParseAtAnswer("\r\n\r\nOK\r\n", line));
    EXPECT_EQ(line, "");
}

TEST(AtAnswer, ErrorLineAndMissingLineEndsFail) {
    std::string line;
    EXPECT_FALSE(ParseAtAnswer(kError, line));
    EXPECT_EQ(line, "ERROR");
    EXPECT_FALSE(ParseAtAnswer("\r\nerror\r\n", line));
    EXPECT_FALSE(ParseAtAnswer("\r\nErRoR\r\n\r\nOK\r\n", line));
    // Only an exact "error" fails.
    EXPECT_TRUE(ParseAtAnswer("\r\n+CME ERROR: 10\r\n", line));

    EXPECT_FALSE(ParseAtAnswer("\r\n+KDIAG: 6", line));  // one line end only
    EXPECT_EQ(line, "");
    EXPECT_FALSE(ParseAtAnswer("+KDIAG: 6\r\n", line));
    EXPECT_FALSE(ParseAtAnswer("\n+KDIAG: 6\r\r\n", line));  // a lone LF or CR is no pair
    EXPECT_FALSE(ParseAtAnswer("", line));
}

TEST(AtAnswer, GmrVersionAndKdiagMode) {
    EXPECT_EQ(ModemVersionFromGmrLine("+GMR: V1.0 B01"), "V1.0");
    EXPECT_EQ(ModemVersionFromGmrLine("+GMR: PD_WA_RK880T_V2 B01 extra"), "PD_WA_RK880T_V2");
    // No blank after the version: empty (the version ends at a blank).
    EXPECT_EQ(ModemVersionFromGmrLine("+GMR: V1.0"), "");
    EXPECT_EQ(ModemVersionFromGmrLine("V1.0"), "");
    EXPECT_EQ(ModemVersionFromGmrLine(""), "");

    EXPECT_EQ(DiagModeFromKdiagLine("+KDIAG: 1"), 1);
    EXPECT_EQ(DiagModeFromKdiagLine("+KDIAG: 60"), 6);  // one digit only
    EXPECT_EQ(DiagModeFromKdiagLine("+KDIAG: x"), 0);
    EXPECT_EQ(DiagModeFromKdiagLine("+KDIAG: "), 0);  // nothing after the 8 characters
    EXPECT_EQ(DiagModeFromKdiagLine("OK"), 0);
}

TEST(AtAnswer, AnswerTextStaysInsideTheBuffer) {
    std::array<uint8_t, AT_ANSWER_SIZE> buf{};
    buf.fill('x');
    EXPECT_EQ(AnswerText(buf.data(), buf.size(), 1000).size(), AT_ANSWER_SIZE);
    EXPECT_EQ(AnswerText(buf.data(), buf.size(), 10), std::string(10, 'x'));
    EXPECT_EQ(AnswerText(buf.data(), buf.size(), -5), "");
    buf[4] = 0;
    EXPECT_EQ(AnswerText(buf.data(), buf.size(), 100), "xxxx");
}

// ---------------------------------------------------------------------------------------------
TEST(AtPortExchange, SendsTheCommandsWithACarriageReturn) {
    FakeTunnel t;
    t.steps = {At("AT+GMR\r", "\r\n+GMR: V1.0 B01\r\n\r\nOK\r\n"), At("AT+KDIAG?\r", kKdiag6),
               At("AT+KDIAG=6\r", kOk), At("AT+KDIAG=1\r", kOk), At("AT\r", kOk)};
    AtPort port(t);
    EXPECT_EQ(port.TimeoutMs(), 5000);
    EXPECT_EQ(port.Tries(), 3);

    std::string version = "old";
    EXPECT_TRUE(port.ReadModemVersion(version));
    EXPECT_EQ(version, "V1.0");
    EXPECT_EQ(port.Command(), "AT+GMR\r");
    EXPECT_EQ(port.Answer(), "\r\n+GMR: V1.0 B01\r\n\r\nOK\r\n");
    EXPECT_EQ(port.GetDiagMode(), 6);
    EXPECT_TRUE(port.SetDiagMode(6));
    EXPECT_TRUE(port.SetDiagMode(1));
    std::string line;
    EXPECT_TRUE(port.AtCommand("AT", line));
    EXPECT_EQ(line, "OK");

    ASSERT_EQ(t.sent.size(), 5u);
    EXPECT_EQ(t.sent[0], B("AT+GMR\r"));
    for (int o : t.sentOverride) EXPECT_EQ(o, 0);  // plain CMD_DATA records
    EXPECT_TRUE(t.open);
}

TEST(AtPortExchange, FailedCommandsGiveTheirDefaults) {
    ScaleGuard scale(0.02);
    FakeTunnel t;
    t.steps = {At("AT+GMR\r", kError), At("AT+KDIAG?\r", kError), At("AT+KDIAG=1\r", kError),
               At("AT+KDIAG?\r", "\r\n+KDIAG: 6")};
    AtPort port(t);
    std::string version = "old";
    EXPECT_FALSE(port.ReadModemVersion(version));
    EXPECT_EQ(version, "");
    EXPECT_EQ(port.GetDiagMode(), 0);
    EXPECT_FALSE(port.SetDiagMode(1));
    EXPECT_EQ(port.GetDiagMode(), 0);  // one line end only: failed, not 6
    EXPECT_EQ(t.sent.size(), 4u);      // an answer, even a failing one, is not retried
}

TEST(AtPortExchange, SilentTunnelThreeTriesThenFailure) {
    ScaleGuard scale(0.02);
    FakeTunnel t;
    t.steps = {AtSilent("AT+KDIAG?\r"), AtSilent("AT+KDIAG?\r"), AtSilent("AT+KDIAG?\r")};
    AtPort port(t);
    const int64_t start = plat::TickMs();
    EXPECT_EQ(port.GetDiagMode(), 0);
    const int64_t took = plat::TickMs() - start;
    EXPECT_EQ(t.sent.size(), 3u);
    EXPECT_GE(took, 3 * plat::Scaled(AT_TIMEOUT_MS));
    EXPECT_EQ(port.Answer(), "");
    EXPECT_TRUE(t.open);
}

TEST(AtPortExchange, RefusedSendsAndLateAnswers) {
    ScaleGuard scale(0.02);
    {
        // A refused send goes straight to the next try; the third one is answered.
        FakeTunnel t;
        t.steps = {Refuse(), Refuse(), At("AT+KDIAG?\r", kKdiag1)};
        AtPort port(t);
        EXPECT_EQ(port.GetDiagMode(), 1);
        EXPECT_EQ(t.sent.size(), 3u);
    }
    {
        FakeTunnel t;
        t.steps = {Refuse(), Refuse(), Refuse(), At("AT+KDIAG?\r", kKdiag6)};
        AtPort port(t);
        EXPECT_EQ(port.GetDiagMode(), 0);
        EXPECT_EQ(t.sent.size(), 3u);
        t.steps.clear();
    }
    {
        // Silence on the first try; the second try's answer counts.
        FakeTunnel t;
        t.steps = {AtSilent("AT+GMR\r"), At("AT+GMR\r", "\r\n+GMR: V9 B01\r\n")};
        AtPort port(t);
        std::string v;
        EXPECT_TRUE(port.ReadModemVersion(v));
        EXPECT_EQ(v, "V9");
        EXPECT_EQ(t.sent.size(), 2u);
    }
    {
        // An answer that shows up after a while within the time-out.
        FakeTunnel t;
        Step s = At("AT+KDIAG?\r", kKdiag6);
        s.delayMs = 70;
        t.steps = {s};
        AtPort port(t);
        EXPECT_EQ(port.GetDiagMode(), 6);
        EXPECT_EQ(t.sent.size(), 1u);
    }
    {
        // A closed channel takes nothing.
        FakeTunnel t;
        t.open = false;
        t.steps = {Silent(), Silent(), Silent()};
        AtPort port(t);
        EXPECT_FALSE(port.SetDiagMode(6));
        EXPECT_EQ(t.sent.size(), 3u);
    }
}

TEST(AtPortExchange, LongAnswersAreCutAtTheBuffer) {
    FakeTunnel t;
    // The line fits in the first 256 bytes: still parsed.
    const std::string fits = kKdiag6 + std::string(400, 'z');
    // The second line end lies beyond the buffer: no answer line.
    const std::string beyond = "\r\n" + std::string(300, 'v') + "\r\n";
    // A reply claiming more than it carries: the text ends where the data does.
    Step claims = At("AT+KDIAG?\r", kKdiag1);
    claims.lengthOverride = 1350;
    t.steps = {At("AT+KDIAG?\r", fits), At("AT+GMR\r", beyond), claims};
    AtPort port(t);

    EXPECT_EQ(port.GetDiagMode(), 6);
    EXPECT_EQ(port.Answer(), fits.substr(0, AT_ANSWER_SIZE));
    std::string v = "old";
    EXPECT_FALSE(port.ReadModemVersion(v));
    EXPECT_EQ(port.Answer().size(), AT_ANSWER_SIZE);
    EXPECT_EQ(port.GetDiagMode(), 1);
    EXPECT_EQ(port.Answer(), kKdiag1);
}

}  // namespace
