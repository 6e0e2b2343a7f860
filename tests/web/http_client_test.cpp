#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "raw_server.h"
#include "web/http_client.h"

namespace {

using webtest::Answer;
using webtest::RawServer;

const std::string kAcceptBrowser =
    "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, application/vnd.ms-excel, "
    "application/msword, application/vnd.ms-powerpoint, */*\r\n";
const std::string kScriptTrailerEnd = "\r\n\r\nConnection: Keep-Alive\r\n\r\n";
const std::string kOkJson = "HTTP/1.0 200 OK\r\n\r\n{\"result\":\"success\"}";

std::string Url(int port, const std::string& path) {
    return "http://127.0.0.1:" + std::to_string(port) + path;
}

TEST(ParseUrl, ProductFormUrl) {
    HttpUrl u;
    ASSERT_TRUE(CHttpClient::ParseUrl("http://192.168.0.1/goform/goform_process", u));
    EXPECT_EQ(u.protocol, "HTTP");
    EXPECT_EQ(u.host, "192.168.0.1");
    EXPECT_EQ(u.port, 80);
    EXPECT_EQ(u.path, "/goform/goform_process");
}

TEST(ParseUrl, PortWithoutPathGivesRootPath) {
    HttpUrl u;
    ASSERT_TRUE(CHttpClient::ParseUrl("http://10.0.0.5:8080", u));
    EXPECT_EQ(u.host, "10.0.0.5");
    EXPECT_EQ(u.port, 8080);
    EXPECT_EQ(u.path, "/");
}

TEST(ParseUrl, HostUpperCasedPathCaseKept) {
    HttpUrl u;
    ASSERT_TRUE(CHttpClient::ParseUrl("hTTp://gate-Way.local:81/Index.HTML?a=b&C=d", u));
    EXPECT_EQ(u.protocol, "HTTP");
    EXPECT_EQ(u.host, "GATE-WAY.LOCAL");
    EXPECT_EQ(u.port, 81);
    EXPECT_EQ(u.path, "/Index.HTML?a=b&C=d");
}

TEST(ParseUrl, SchemeAndSlashRules) {
    HttpUrl u;
    // No ':' at all: the protocol is HTTP and the host starts at once.
    ASSERT_TRUE(CHttpClient::ParseUrl("192.168.0.1/x", u));
    EXPECT_EQ(u.protocol, "HTTP");
    EXPECT_EQ(u.host, "192.168.0.1");
    EXPECT_EQ(u.path, "/x");
    // A port without a scheme: the host becomes the protocol.
    ASSERT_TRUE(CHttpClient::ParseUrl("192.168.0.1:80/x", u));
    EXPECT_EQ(u.protocol, "192.168.0.1");
    // A single '/' is not skipped: no host.
    ASSERT_TRUE(CHttpClient::ParseUrl("http:/x", u));
    EXPECT_EQ(u.host, "");
    EXPECT_EQ(u.path, "/x");
    // Port by atoi rules.
    ASSERT_TRUE(CHttpClient::ParseUrl("http://h:12ab/p", u));
    EXPECT_EQ(u.host, "H");
    EXPECT_EQ(u.port, 12);
    ASSERT_TRUE(CHttpClient::ParseUrl("http://h:/p", u));
    EXPECT_EQ(u.port, 0);
    ASSERT_TRUE(CHttpClient::ParseUrl("http://h:99999999999", u));
    EXPECT_EQ(u.port, 2147483647);
}

TEST(ParseUrl, FieldLimits) {
    HttpUrl u;
    EXPECT_TRUE(CHttpClient::ParseUrl(std::string(19, 'p') + "://h/", u));
    EXPECT_FALSE(CHttpClient::ParseUrl(std::string(20, 'p') + "://h/", u));
    EXPECT_TRUE(CHttpClient::ParseUrl("http://" + std::string(255, 'h') + "/", u));
    EXPECT_FALSE(CHttpClient::ParseUrl("http://" + std::string(256, 'h') + "/", u));
    EXPECT_TRUE(CHttpClient::ParseUrl("http://h/" + std::string(1022, 'x'), u));
    EXPECT_FALSE(CHttpClient::ParseUrl("http://h/" + std::string(1023, 'x'), u));
}

TEST(HttpRequest, BrowserPostIsByteExact) {
    RawServer server({Answer("HTTP/1.0 200 OK\r\n\r\nFactoryResult:Success")});
    std::string body = "goformId=SwitchFactoryMode&SwitchCMD=Open";
    std::string header;
    std::string reply;
    ASSERT_TRUE(CHttpClient::RequestForm(true, Url(server.Port(), "/goform/goform_process"), body,
                                         header, reply));
    const std::string expected =
        "POST /goform/goform_process HTTP/1.0\r\n" + kAcceptBrowser +
        "Accept-Language: en-us\r\n"
        "Accept-Encoding: gzip, deflate\r\n"
        "User-Agent: Mozilla/4.0\r\n"
        "Content-Length: 41\r\n"
        "Host: 127.0.0.1\r\n"
        "Content-Type: application/x-www-form-urlencoded\r\n"
        "\r\n"
        "goformId=SwitchFactoryMode&SwitchCMD=Open";
    server.WaitDone();
    ASSERT_EQ(server.Requests().size(), 1u);
    EXPECT_EQ(server.Requests()[0], expected);
    EXPECT_EQ(body, expected);  // the body string now holds the request text
    EXPECT_EQ(header, "HTTP/1.0 200 OK\r\n\r\n");
    EXPECT_EQ(reply, "FactoryResult:Success");
}

TEST(HttpRequest, BrowserGetHasNoLengthAndNoBody) {
    RawServer server({Answer("HTTP/1.0 200 OK\r\n\r\nhi")});
    HttpExchange ex;
    ASSERT_EQ(CHttpClient::SendHttp(Url(server.Port(), ""), nullptr, nullptr, 0, ex), 0);
    const std::string expected = "GET / HTTP/1.0\r\n" + kAcceptBrowser +
                                 "Accept-Language: en-us\r\n"
                                 "Accept-Encoding: gzip, deflate\r\n"
                                 "User-Agent: Mozilla/4.0\r\n"
                                 "Host: 127.0.0.1\r\n"
                                 "\r\n";
    EXPECT_EQ(ex.requestText, expected);
    server.WaitDone();
    EXPECT_EQ(server.Requests().at(0), expected);
    EXPECT_EQ(ex.body, "hi");
    EXPECT_EQ(ex.bodyLength, 2u);
}

TEST(HttpRequest, HostNameArrivesUpperCased) {
    RawServer server({Answer("HTTP/1.0 200 OK\r\n\r\n")});
    HttpExchange ex;
    ASSERT_EQ(CHttpClient::SendHttp("http://localhost:" + std::to_string(server.Port()) + "/a",
                                    nullptr, nullptr, 0, ex),
              0);
    server.WaitDone();
    EXPECT_NE(server.Requests().at(0).find("\r\nHost: LOCALHOST\r\n"), std::string::npos);
}

TEST(HttpRequest, BrowserPostWithEmptyBodyHasNoLength) {
    RawServer server({Answer("HTTP/1.0 200 OK\r\n\r\n")});
    HttpExchange ex;
    ASSERT_EQ(CHttpClient::SendHttp(Url(server.Port(), "/f"), "X-A: 1\r\n", "", 0, ex), 0);
    EXPECT_EQ(ex.requestText.rfind("POST /f HTTP/1.0\r\n", 0), 0u);
    EXPECT_EQ(ex.requestText.find("Content-Length"), std::string::npos);
    EXPECT_EQ(ex.requestText.substr(ex.requestText.size() - 27), "Host: 127.0.0.1\r\nX-A: 1\r\n\r\n");
}

TEST(HttpRequest, ScriptPostIsByteExact) {
    RawServer::Script s = Answer(kOkJson);
    s.complete = webtest::EndsWith(kScriptTrailerEnd);
    RawServer server({s});
    std::string request;
    std::string header;
    std::string reply;
    ASSERT_TRUE(CHttpClient::RequestAjax(Url(server.Port(), "/goform/goform_set_cmd_process"),
                                         "goformId=CH_MAX_WIFI_NUM&MAX_Access_num=32", request,
                                         header, reply));
    const std::string expected =
        "POST /goform/goform_set_cmd_process HTTP/1.0\r\n"
        "Accept: application/json, text/javascript, */*; q=0.01\r\n"
        "x-requested-with: XMLHttpRequest\r\n"
        "Accept-Language: en-us\r\n"
        "Referer: http://192.168.0.1/index.html\r\n"
        "Content-Type: application/x-www-form-urlencoded; charset=UTF-8\r\n"
        "Accept-Encoding: gzip, deflate\r\n"
        "User-Agent: Mozilla/4.0 (compatible; MSIE 8.0; Windows NT 5.1; Trident/4.0; .NET CLR "
        "2.0.50727; .NET CLR 3.0.4506.2152; .NET CLR 3.5.30729; RID_20140724141004)\r\n"
        "Host: 127.0.0.1\r\n"
        "Content-Length: 42\r\n"
        "Cache-Control: no-cache\r\n"
        "\r\n"
        "goformId=CH_MAX_WIFI_NUM&MAX_Access_num=32\r\n"
        "\r\n"
        "Connection: Keep-Alive\r\n"
        "\r\n";
    server.WaitDone();
    EXPECT_EQ(server.Requests().at(0), expected);
    EXPECT_EQ(request, expected);
    EXPECT_EQ(header, "HTTP/1.0 200 OK\r\n\r\n");
    EXPECT_EQ(reply, "{\"result\":\"success\"}");
}

TEST(HttpRequest, ScriptPostAlwaysCarriesLengthAndOptionalTrailer) {
    RawServer::Script s = Answer("HTTP/1.0 200 OK\r\n\r\n");
    s.complete = webtest::EndsWith("Cache-Control: no-cache\r\n\r\n\r\n\r\n\r\n");
    RawServer server({s});
    HttpExchange ex;
    ASSERT_EQ(CHttpClient::SendHttpAjax(Url(server.Port(), "/p"), "", nullptr, ex), 0);
    EXPECT_NE(ex.requestText.find("Content-Length: 0\r\nCache-Control: no-cache\r\n\r\n\r\n\r\n\r\n"),
              std::string::npos);
    server.WaitDone();
    EXPECT_EQ(server.Requests().at(0), ex.requestText);
}

TEST(HttpRequest, NonHttpSchemeFailsBeforeConnecting) {
    RawServer server({Answer("HTTP/1.0 200 OK\r\n\r\n")});
    HttpExchange ex;
    const std::string port = std::to_string(server.Port());
    EXPECT_EQ(CHttpClient::SendHttp("ftp://127.0.0.1:" + port + "/", nullptr, nullptr, 0, ex), 1);
    EXPECT_EQ(CHttpClient::SendHttpAjax("ftp://127.0.0.1:" + port + "/", "a=b", nullptr, ex), 1);
    // No scheme but a port: the address is taken as the protocol.
    EXPECT_EQ(CHttpClient::SendHttp("127.0.0.1:" + port + "/", nullptr, nullptr, 0, ex), 1);
    plat::SleepRaw(100);
    EXPECT_EQ(server.Accepted(), 0);
}

TEST(HttpRequest, OversizeRequestsAreRefusedBeforeSending) {
    RawServer server({Answer("HTTP/1.0 200 OK\r\n\r\n")});
    HttpExchange ex;
    const std::string url = Url(server.Port(), "/p");
    // Browser style: measure the request around a 100-byte body, then reach exactly 1024 bytes.
    RawServer probe({Answer("HTTP/1.0 200 OK\r\n\r\n")});
    const std::string small(100, 'a');
    ASSERT_EQ(CHttpClient::SendHttp(Url(probe.Port(), "/p"), nullptr, small.data(), small.size(), ex),
              0);
    const size_t overhead = ex.requestText.size() - small.size();
    const std::string tooLong(1024 - overhead, 'a');  // same number of length digits (3)
    EXPECT_EQ(CHttpClient::SendHttp(url, nullptr, tooLong.data(), tooLong.size(), ex), 1);
    // Script style: a body of 510 bytes never fits.
    EXPECT_EQ(CHttpClient::SendHttpAjax(url, std::string(510, 'b').c_str(), nullptr, ex), 1);
    plat::SleepRaw(100);
    EXPECT_EQ(server.Accepted(), 0);
    // One byte less fits the buffer with its NUL and is sent.
    const std::string fits(1023 - overhead, 'a');
    ASSERT_EQ(CHttpClient::SendHttp(url, nullptr, fits.data(), fits.size(), ex), 0);
    EXPECT_EQ(ex.requestText.size(), 1023u);
    server.WaitDone();
    EXPECT_EQ(server.Requests().at(0).size(), 1023u);
}

TEST(HttpResponse, StatusLineEmptyLineAndJsonThenClose) {
    RawServer server({Answer(kOkJson)});
    HttpExchange ex;
    ASSERT_EQ(CHttpClient::SendHttp(Url(server.Port(), "/"), nullptr, nullptr, 0, ex), 0);
    EXPECT_EQ(ex.headerText, "HTTP/1.0 200 OK\r\n\r\n");
    EXPECT_EQ(ex.bodyLength, 20u);
    EXPECT_EQ(ex.body, "{\"result\":\"success\"}");
}

TEST(HttpResponse, LoneCrOrBareLfLineEndsTheHeader) {
    RawServer server({Answer("HTTP/1.0 200 OK\r\nServer: x\n\r\nBODY\r\n\r\nmore"),
                      Answer("HTTP/1.0 200 OK\n\nB"),
                      Answer("HTTP/1.0 200 OK\r\n\r\r\nC")});
    HttpExchange ex;
    ASSERT_EQ(CHttpClient::SendHttp(Url(server.Port(), "/"), nullptr, nullptr, 0, ex), 0);
    EXPECT_EQ(ex.headerText, "HTTP/1.0 200 OK\r\nServer: x\n\r\n");
    EXPECT_EQ(ex.body, "BODY\r\n\r\nmore");
    ASSERT_EQ(CHttpClient::SendHttp(Url(server.Port(), "/"), nullptr, nullptr, 0, ex), 0);
    EXPECT_EQ(ex.headerText, "HTTP/1.0 200 OK\n\n");
    EXPECT_EQ(ex.body, "B");
    ASSERT_EQ(CHttpClient::SendHttp(Url(server.Port(), "/"), nullptr, nullptr, 0, ex), 0);
    EXPECT_EQ(ex.headerText, "HTTP/1.0 200 OK\r\n\r\r\n");
    EXPECT_EQ(ex.body, "C");
}

TEST(HttpResponse, PeerClosingBeforeTheEmptyLineEndsTheHeader) {
    RawServer server({Answer("HTTP/1.0 200 OK\r\nX: 1")});
    HttpExchange ex;
    ASSERT_EQ(CHttpClient::SendHttp(Url(server.Port(), "/"), nullptr, nullptr, 0, ex), 0);
    EXPECT_EQ(ex.headerText, "HTTP/1.0 200 OK\r\nX: 1");
    EXPECT_EQ(ex.bodyLength, 0u);
}

TEST(HttpResponse, BodyWrittenLaterIsReadWhole) {
    RawServer::Script s;
    s.steps = {{0, "HTTP/1.0 200 OK\r\n\r\n"}, {200, "{\"result\":"}, {200, "\"success\"}"}};
    RawServer server({s});
    HttpExchange ex;
    ASSERT_EQ(CHttpClient::SendHttp(Url(server.Port(), "/"), nullptr, nullptr, 0, ex), 0);
    EXPECT_EQ(ex.body, "{\"result\":\"success\"}");
}

TEST(HttpResponse, SilenceEndsTheBodyPerStyle) {
    // 1000 ms of silence in the middle of the body: the browser style (500 ms) stops there, the
    // script style (1500 ms) waits for the rest.
    RawServer::Script browser;
    browser.steps = {{0, "HTTP/1.0 200 OK\r\n\r\nabc"}, {1000, "def"}};
    RawServer::Script script = browser;
    script.complete = webtest::EndsWith(kScriptTrailerEnd);
    RawServer server({browser, script});
    HttpExchange ex;
    const int64_t start = plat::TickMs();
    ASSERT_EQ(CHttpClient::SendHttp(Url(server.Port(), "/"), nullptr, nullptr, 0, ex), 0);
    EXPECT_GE(plat::TickMs() - start, CHttpClient::BROWSER_SILENCE_MS);
    EXPECT_EQ(ex.body, "abc");
    ASSERT_EQ(CHttpClient::SendHttpAjax(Url(server.Port(), "/"), "x=1", "Connection: Keep-Alive\r\n",
                                        ex),
              0);
    EXPECT_EQ(ex.body, "abcdef");

    // The script style's 1500 ms follow the time scale (150 ms here): the same silence ends it.
    webtest::ScaleGuard scale(0.1);
    RawServer scaled({script});
    ASSERT_EQ(CHttpClient::SendHttpAjax(Url(scaled.Port(), "/"), "x=1", "Connection: Keep-Alive\r\n", ex), 0);
    EXPECT_EQ(ex.body, "abc");
}

TEST(HttpResponse, ContentLengthEndsTheBody) {
    // The bytes after the announced length come within the silence time; they are not read.
    RawServer::Script s;
    s.steps = {{0, "HTTP/1.0 200 OK\r\ncontent-length: 5\r\n\r\nhel"}, {100, "lo"}, {200, "EXTRA"}};
    s.holdMs = 1000;
    RawServer server({s});
    HttpExchange ex;
    ASSERT_EQ(CHttpClient::SendHttp(Url(server.Port(), "/"), nullptr, nullptr, 0, ex), 0);
    EXPECT_EQ(ex.body, "hello");
}

TEST(HttpResponse, SilentServerFailsAfterTheHeaderBound) {
    webtest::ScaleGuard scale(0.05);
    RawServer::Script s;
    s.holdMs = 3000;
    RawServer server({s});
    HttpExchange ex;
    const int64_t start = plat::TickMs();
    EXPECT_EQ(CHttpClient::SendHttp(Url(server.Port(), "/"), nullptr, nullptr, 0, ex), 1);
    EXPECT_GE(plat::TickMs() - start, plat::Scaled(CHttpClient::HEADER_TIMEOUT_MS));
}

// A body trickling a byte every 100 ms, for longer than the body's bound: the request fails at
// the bound (scaled) instead of reading on.
TEST(HttpResponse, TricklingBodyFailsAtItsBound) {
    webtest::ScaleGuard scale(0.05);
    RawServer::Script s;
    s.steps.push_back({0, "HTTP/1.0 200 OK\r\n\r\n"});
    for (int i = 0; i < 150; ++i) s.steps.push_back({100, "x"});
    RawServer server({s});
    HttpExchange ex;
    const int64_t start = plat::TickMs();
    EXPECT_EQ(CHttpClient::SendHttp(Url(server.Port(), "/"), nullptr, nullptr, 0, ex), 1);
    EXPECT_LT(plat::TickMs() - start, 10000);  // the trickle lasts 15 s
}

// A connect that never completes ends after the scaled connect bound, not after the system's
// minutes of SYN retries: the listener's accept queue is full, so its SYNs are dropped.
TEST(HttpRequest, ConnectThatNeverCompletesEndsAfterTheBound) {
    webtest::ScaleGuard scale(0.05);
    const plat::Socket listener = plat::ListenTcp({plat::IPV4_LOOPBACK, 0}, 0);
    ASSERT_TRUE(listener.Valid());
    const int port = listener.LocalPort();
    // Connections that are never accepted, until one does not complete: the queue is full.
    std::vector<plat::Socket> fillers;
    bool bFull = false;
    for (int i = 0; i < 16 && !bFull; ++i) {
        fillers.push_back(plat::Socket::Tcp());
        bFull = !fillers.back().Connect({plat::IPV4_LOOPBACK, port}, 300);
    }
    ASSERT_TRUE(bFull);
    HttpExchange ex;
    const int64_t start = plat::TickMs();
    EXPECT_EQ(CHttpClient::SendHttp(Url(port, "/"), nullptr, nullptr, 0, ex), 1);
    const int64_t took = plat::TickMs() - start;
    EXPECT_GE(took, plat::Scaled(CHttpClient::CONNECT_TIMEOUT_MS));
    EXPECT_LT(took, 3000);
    EXPECT_TRUE(ex.requestText.empty());
}

TEST(HttpResponse, WrappersStopAtTheFirstNul) {
    RawServer server({Answer(std::string("HTTP/1.0 200 OK\r\n\r\nab\0cd", 24))});
    std::string body = "a=b";
    std::string header;
    std::string reply;
    ASSERT_TRUE(CHttpClient::RequestForm(true, Url(server.Port(), "/"), body, header, reply));
    EXPECT_EQ(reply, "ab");
}

TEST(HttpRequest, UnreachableServerFails) {
    HttpExchange ex;
    EXPECT_EQ(CHttpClient::SendHttp(Url(webtest::UnusedPort(), "/"), nullptr, nullptr, 0, ex), 1);
    std::string body = "x";
    std::string header;
    std::string reply = "unchanged";
    EXPECT_FALSE(CHttpClient::RequestForm(true, Url(webtest::UnusedPort(), "/"), body, header, reply));
    EXPECT_EQ(body, "x");
    EXPECT_EQ(reply, "unchanged");
}

}  // namespace
