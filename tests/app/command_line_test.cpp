#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/options.h"

namespace {

plat::ParseResult Parse(std::vector<const char*> args) {
    args.insert(args.begin(), "rk880t-tool");
    return plat::ParseCommandLine(static_cast<int>(args.size()), args.data());
}

TEST(CommandLine, DefaultsAreTheProductsEndpoints) {
    const plat::ParseResult r = Parse({});
    ASSERT_TRUE(r.error.empty());
    const plat::Options& o = r.options;
    EXPECT_EQ(o.endpoints.gateway, "192.168.0.1");
    EXPECT_EQ(o.endpoints.webPort, 80);
    EXPECT_EQ(o.endpoints.settingPort, 3535);
    EXPECT_EQ(o.endpoints.linkPort, 4536);
    EXPECT_EQ(o.endpoints.announceHost, "255.255.255.255");
    EXPECT_EQ(o.endpoints.announcePort, 3536);
    EXPECT_EQ(o.wifiMax, "32");
    EXPECT_EQ(o.timeScale, 1.0);
    EXPECT_EQ(o.nvOption, -1);
    EXPECT_FALSE(o.bHeadless);
    EXPECT_TRUE(o.bAnswerYes);
}

TEST(CommandLine, ValuesAreTakenAsGiven) {
    const plat::ParseResult r =
        Parse({"--headless", "--gateway", "127.0.0.1", "--web-port", "8080", "--setting-port", "9",
               "--link-port", "0", "--announce-to", "127.0.0.1:4000", "--announce-address", "127.0.0.2",
               "--time-scale", "0.25", "--mode", "restore-nv", "--nv-option", "1", "--wifi-max", " 07",
               "--give-up-after", "2.5", "--answer", "no", "--no-arp-flush"});
    ASSERT_TRUE(r.error.empty()) << r.error;
    const plat::Options& o = r.options;
    EXPECT_TRUE(o.bHeadless);
    EXPECT_TRUE(o.endpoints.bGatewayOverridden);
    EXPECT_EQ(o.endpoints.webPort, 8080);
    EXPECT_EQ(o.endpoints.settingPort, 9);
    EXPECT_EQ(o.endpoints.linkPort, 0);  // the system picks
    EXPECT_EQ(o.endpoints.announceHost, "127.0.0.1");
    EXPECT_EQ(o.endpoints.announcePort, 4000);
    EXPECT_EQ(o.endpoints.announceAddress, "127.0.0.2");
    EXPECT_EQ(o.timeScale, 0.25);
    EXPECT_EQ(o.mode, plat::RunMode::RestoreNv);
    EXPECT_EQ(o.nvOption, 1);
    EXPECT_EQ(o.wifiMax, " 07");  // validated later, by the dialog's rules
    EXPECT_EQ(o.giveUpAfter, 2.5);
    EXPECT_FALSE(o.bAnswerYes);
    EXPECT_TRUE(o.bNoArpFlush);
}

TEST(CommandLine, SimulateRunsFastUnlessAScaleIsGiven) {
    EXPECT_EQ(Parse({"--simulate"}).options.timeScale, 0.05);
    EXPECT_EQ(Parse({"--simulate", "--time-scale", "1"}).options.timeScale, 1.0);
}

TEST(CommandLine, BadValuesAreRefusedWithTheirOption) {
    const std::vector<std::pair<std::vector<const char*>, std::string>> cases = {
        {{"--time-scale", "0"}, "--time-scale needs a factor 0 < F <= 1"},
        {{"--time-scale", "1.5"}, "--time-scale needs a factor 0 < F <= 1"},
        {{"--time-scale", "nan"}, "--time-scale needs a factor 0 < F <= 1"},
        {{"--time-scale", "0.5x"}, "--time-scale needs a factor 0 < F <= 1"},
        {{"--time-scale"}, "--time-scale needs a factor 0 < F <= 1"},
        {{"--give-up-after", "inf"}, "--give-up-after needs a number of seconds above 0, at most 1000000000"},
        {{"--give-up-after", "1e300"}, "--give-up-after needs a number of seconds above 0, at most 1000000000"},
        {{"--give-up-after", "-1"}, "--give-up-after needs a number of seconds above 0, at most 1000000000"},
        {{"--web-port", "0"}, "--web-port needs a port number 1..65535"},
        {{"--web-port", "65536"}, "--web-port needs a port number 1..65535"},
        {{"--setting-port", "x"}, "--setting-port needs a port number 1..65535"},
        {{"--link-port", "-1"}, "--link-port needs a port number 0..65535"},
        {{"--announce-to", "127.0.0.1"}, "--announce-to needs ADDRESS:PORT"},
        {{"--announce-to", "host:4000"}, "--announce-to needs ADDRESS:PORT"},
        {{"--announce-to", "127.0.0.1:0"}, "--announce-to needs ADDRESS:PORT"},
        {{"--announce-address", "::1"}, "--announce-address needs an IPv4 address"},
        {{"--nv-option", "4"}, "--nv-option needs 0, 1, 2 or 3"},
        {{"--nv-option", "01"}, "--nv-option needs 0, 1, 2 or 3"},
        {{"--mode", "repair"}, "--mode needs cpe-only|modem-and-cpe|backup-nv|restore-nv"},
        {{"--answer", "maybe"}, "--answer needs yes or no"},
        {{"--gateway", ""}, "--gateway needs an address"},
        {{"--root"}, "--root needs a folder"},
        {{"--restore-from", ""}, "--restore-from needs a folder"},
        {{"--wifi-max"}, "--wifi-max needs a text"},
        {{"--adapter", ""}, "--adapter needs an adapter name"},
        {{"--export-sdi", ""}, "--export-sdi needs a path"},
        {{"-x"}, "unknown option: -x"},
    };
    for (const auto& [args, text] : cases) EXPECT_EQ(Parse(args).error, text) << args[0];
    EXPECT_TRUE(Parse({"--help"}).bHelp);
    // Every option the usage names has its own line in the help, with its default when it takes a
    // value (the exports' paths have none); the test and developer options under their own heading.
    const std::string help = plat::HelpText();
    const std::string usage = plat::UsageText();
    const size_t developer = help.find("\nTest and developer options:\n");
    const size_t examples = help.find("\nExamples:\n  $ rk880t-tool");
    ASSERT_NE(developer, std::string::npos);
    ASSERT_NE(examples, std::string::npos);
    const std::set<std::string> developerOptions = {"--web-port",         "--setting-port", "--link-port",
                                                    "--announce-to",      "--announce-address", "--time-scale",
                                                    "--root",             "--program-folder", "--no-arp-flush"};
    for (size_t at = usage.find("[--"); at != std::string::npos; at = usage.find("[--", at + 1)) {
        const size_t end = usage.find_first_of(" ]", at);
        const std::string option = usage.substr(at + 1, end - at - 1);
        const size_t line = help.find("\n  " + option + " ");
        ASSERT_NE(line, std::string::npos) << option;
        EXPECT_EQ(line > developer, developerOptions.count(option) == 1) << option;
        EXPECT_LT(line, examples) << option;
        const size_t next = std::min(help.find("\n  --", line + 1), help.find("\n\n", line));
        const bool bValue = usage[end] == ' ' && option.rfind("--export-", 0) != 0;
        if (bValue) {
            EXPECT_NE(help.substr(line, next - line).find("default"), std::string::npos) << option;
        }
    }
}

}  // namespace
