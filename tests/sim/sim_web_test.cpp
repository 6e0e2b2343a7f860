#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <string>

#include "tests/web/raw_server.h"
#include "sim/sim_web.h"
#include "web/http_client.h"

namespace {

std::string Url(int port, const std::string& path) {
    return "http://127.0.0.1:" + std::to_string(port) + path;
}

#ifndef _WIN32
// Runs curl with the arguments; its standard output, or nothing when it could not run.
std::string RunCurl(const std::vector<std::string>& args, int& status) {
    std::string cmd = "/usr/bin/curl -s -S --max-time 10";
    for (const auto& a : args) cmd += " '" + a + "'";
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    status = -1;
    if (p == nullptr) return out;
    char buf[512];
    size_t n = 0;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    status = pclose(p);
    return out;
}
#endif

TEST(SimWeb, PortsAreChosenBySystem) {
    SimWebServer sim;
    EXPECT_EQ(sim.WebPort(), 0);
    ASSERT_TRUE(sim.Start());
    EXPECT_GT(sim.WebPort(), 0);
    EXPECT_GT(sim.SettingPort(), 0);
    EXPECT_NE(sim.WebPort(), sim.SettingPort());
    sim.Stop();
    sim.Stop();
}

TEST(SimWeb, FormsAnswerTheClient) {
    SimWebServer sim;
    ASSERT_TRUE(sim.Start());
    const std::string form = Url(sim.WebPort(), "/goform/goform_process");
    std::string body = "goformId=SwitchFactoryMode&SwitchCMD=Query";
    std::string header;
    std::string reply;
    ASSERT_TRUE(CHttpClient::RequestForm(true, form, body, header, reply));
    EXPECT_EQ(reply, "FactoryResult:Closed");
    EXPECT_EQ(header.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    body = "goformId=SwitchFactoryMode&SwitchCMD=Open";
    ASSERT_TRUE(CHttpClient::RequestForm(true, form, body, header, reply));
    EXPECT_EQ(reply, "FactoryResult:Success");
    body = "goformId=SwitchFactoryMode&SwitchCMD=Query";
    ASSERT_TRUE(CHttpClient::RequestForm(true, form, body, header, reply));
    EXPECT_EQ(reply, "FactoryResult:Opened");

    std::string request;
    ASSERT_TRUE(CHttpClient::RequestAjax(Url(sim.WebPort(), "/goform/goform_set_cmd_process"),
                                         "goformId=CH_MAX_WIFI_NUM&MAX_Access_num=12", request,
                                         header, reply));
    EXPECT_EQ(reply, "{\"result\":\"success\"}");
    // The client asks for gzip; the reply is plain anyway.
    EXPECT_EQ(header.find("Content-Encoding"), std::string::npos);
    EXPECT_EQ(sim.WifiLimits(), (std::vector<std::string>{"12"}));
    const auto c = sim.Counts();
    EXPECT_EQ(c.openRequests, 1);
    EXPECT_EQ(c.queryRequests, 2);
    EXPECT_EQ(c.wifiRequests, 1);
    EXPECT_EQ(c.webConnections, 4);
}

TEST(SimWeb, DownMeansNotListeningOnTheSamePort) {
    SimWebServer sim;
    ASSERT_TRUE(sim.Start());
    const int port = sim.WebPort();
    SimWebKnobs k;
    k.bWebDown = true;
    sim.SetKnobs(k);
    HttpExchange ex;
    EXPECT_EQ(CHttpClient::SendHttpAjax(Url(port, "/goform/goform_set_cmd_process"),
                                        "goformId=CH_MAX_WIFI_NUM&MAX_Access_num=1", nullptr, ex),
              1);
    k.bWebDown = false;
    sim.SetKnobs(k);
    EXPECT_EQ(sim.WebPort(), port);
    EXPECT_EQ(CHttpClient::SendHttpAjax(Url(port, "/goform/goform_set_cmd_process"),
                                        "goformId=CH_MAX_WIFI_NUM&MAX_Access_num=1", nullptr, ex),
              0);
    EXPECT_EQ(ex.body, "{\"result\":\"success\"}");
}

TEST(SimWeb, RebootWithoutRefusalsAnswersAtOnce) {
    SimWebServer sim;
    ASSERT_TRUE(sim.Start());
    std::string body = "goformId=SwitchFactoryMode&SwitchCMD=Open";
    std::string header;
    std::string reply;
    ASSERT_TRUE(CHttpClient::RequestForm(true, Url(sim.WebPort(), "/goform/goform_process"), body,
                                         header, reply));
    EXPECT_TRUE(sim.FactoryModeOpen());
    SimWebKnobs k;
    k.rebootRefusals = 0;
    sim.SetKnobs(k);
    sim.BeginReboot();
    EXPECT_FALSE(sim.Rebooting());
    EXPECT_FALSE(sim.FactoryModeOpen());
}

TEST(SimWeb, CurlGetsPlainFormReplies) {
#ifdef _WIN32
    GTEST_SKIP() << "curl is a program of the Linux host, which a Windows program cannot start";
#else
    if (access("/usr/bin/curl", X_OK) != 0) GTEST_SKIP() << "no /usr/bin/curl";
    SimWebServer sim;
    ASSERT_TRUE(sim.Start());
    int status = -1;
    std::string out = RunCurl({"--compressed", "-D", "-", "-d",
                               "goformId=SwitchFactoryMode&SwitchCMD=Open",
                               Url(sim.WebPort(), "/goform/goform_process")},
                              status);
    ASSERT_EQ(status, 0) << out;
    EXPECT_EQ(out.find("Content-Encoding"), std::string::npos) << out;
    EXPECT_EQ(out.substr(out.size() - 21), "FactoryResult:Success");

    out = RunCurl({"-H", "Accept-Encoding: gzip, deflate, br", "-d",
                   "goformId=CH_MAX_WIFI_NUM&MAX_Access_num=32",
                   Url(sim.WebPort(), "/goform/goform_set_cmd_process")},
                  status);
    ASSERT_EQ(status, 0);
    EXPECT_EQ(out, "{\"result\":\"success\"}");

    out = RunCurl({"-d", "goformId=SwitchFactoryMode&SwitchCMD=Query",
                   Url(sim.WebPort(), "/goform/goform_process")},
                  status);
    EXPECT_EQ(out, "FactoryResult:Opened");
    EXPECT_EQ(sim.WifiLimits(), (std::vector<std::string>{"32"}));
#endif
}

TEST(SimWeb, StopEndsIdleConnections) {
    SimWebServer sim;
    ASSERT_TRUE(sim.Start());
    // Connections that never send anything must not hold Stop up for long.
    plat::Socket a = plat::Socket::Tcp();
    plat::Socket b = plat::Socket::Tcp();
    ASSERT_TRUE(a.Connect({plat::IPV4_LOOPBACK, sim.WebPort()}, 2000));
    ASSERT_TRUE(b.Connect({plat::IPV4_LOOPBACK, sim.SettingPort()}, 2000));
    plat::SleepRaw(200);
    sim.Stop();
    EXPECT_EQ(sim.Counts().settingConnections, 1);
}

}  // namespace
