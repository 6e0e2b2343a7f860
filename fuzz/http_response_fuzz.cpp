// The HTTP client's response reader and the form commands' reading of the replies: the request
// goes to a loopback peer that answers every connection with the input and then closes its side.
// Input: a selector byte (which request: browser style, script style, the two form wrappers,
// OpenFactoryMode, SetMaxWifiNum), then the response.

#include <algorithm>

#include "fuzz/fuzz_support.h"
#include "fuzz/quiet_host.h"
#include "fuzz/loopback_peer.h"
#include "web/gateway_web.h"
#include "web/http_client.h"

namespace {

using namespace rkfuzz;

constexpr int kPeerFinishMs = 10000;
constexpr int kDrainMs = 5000;

bool Contains(const Bytes& bytes, const std::string& word) {
    return std::search(bytes.begin(), bytes.end(), word.begin(), word.end(),
                       [](uint8_t a, char b) { return a == static_cast<uint8_t>(b); }) != bytes.end();
}

// The form commands of GatewayWeb against the peer (every connection gets the same response).
void FormCommands(int which, const Bytes& response, int port) {
    plat::Endpoints endpoints;
    endpoints.gateway = "127.0.0.1";
    endpoints.webPort = port;
    NoProcess process;
    NoUi ui;
    DirectConnection connection;
    std::vector<std::string> statuses;
    GatewayWeb web(endpoints, process, [&statuses](const std::string& t) { statuses.push_back(t); }, ui, connection);
    if (which == 4) {
        const int code = web.OpenFactoryMode("127.0.0.1");
        Check(code == 0 || code == 1 || code == 2 || code == 3 || code == 5, "the peer answers both form posts");
        if (code == 0)
            Check(Contains(response, "FactoryResult:Success") && Contains(response, "FactoryResult:Opened"),
                  "factory mode open only on both answers");
        if (code == 1) Check(Contains(response, "FactoryResult:Closed"), "closed only on its answer");
        if (code == 2) Check(Contains(response, "FactoryResult:Unknow"), "unknown only on its answer");
        Check(!statuses.empty(), "the factory command shows a status text");
    } else {
        // The reply body is cut at its Content-Length and at its first NUL, so bytes may follow
        // the success text in the response; without that text the limit never succeeds.
        if (web.SetMaxWifiNum("127.0.0.1", "32"))
            Check(Contains(response, GatewayWeb::WIFI_SUCCESS), "the WiFi limit succeeds only on the success reply body");
    }
}

bool IsPrefix(const std::string& part, const Bytes& whole) {
    return part.size() <= whole.size() &&
           std::equal(part.begin(), part.end(), whole.begin(),
                      [](char a, uint8_t b) { return static_cast<uint8_t>(a) == b; });
}

}  // namespace

RK_FUZZ_TARGET(http_response) {
    InputScope scope;
    Reader in(data, size);
    const uint8_t which = in.U8() % 6;
    const Bytes response = in.Rest();

    LoopbackPeer& peer = LoopbackPeer::Instance();
    Check(peer.Ok(), "the loopback peer listens");
    peer.Serve([&response](const plat::Socket& sock) {
        LoopbackPeer::SendAll(sock, response.data(), response.size());
        sock.ShutdownSend();
        LoopbackPeer::Drain(sock, kDrainMs);
    });

    const std::string url = "http://127.0.0.1:" + std::to_string(peer.Port()) + "/goform/goform_process";
    if (which < 2) {
        // The exchange as received: header and body are the response's bytes in order.
        HttpExchange ex;
        const int r = which == 0 ? CHttpClient::SendHttp(url, nullptr, nullptr, 0, ex)
                                 : CHttpClient::SendHttpAjax(url, "goformId=CH_MAX_WIFI_NUM&MAX_Access_num=32",
                                                             "Connection: Keep-Alive\r\n", ex);
        Check(peer.Finish(kPeerFinishMs), "the peer served the request");
        if (r == 0) {
            Check(IsPrefix(ex.headerText + ex.body, response), "header and body are the bytes received");
            Check(ex.bodyLength == ex.body.size(), "the body length is the body's size");
            Check(ex.headerText.size() <= CHttpClient::HEADER_MAX, "the header stays within its bound");
            Check(ex.body.size() < CHttpClient::BODY_MAX + CHttpClient::RECEIVE_CHUNK, "the body stays within its bound");
        }
    } else if (which >= 4) {
        FormCommands(which, response, peer.Port());
        Check(peer.Finish(kPeerFinishMs), "the peer served the requests");
    } else {
        // The form calls: texts up to their first NUL.
        std::string body = "goformId=SwitchFactoryMode&SwitchCMD=Open";
        std::string request;
        std::string header;
        std::string reply;
        const bool ok = which == 2 ? CHttpClient::RequestForm(true, url, body, header, reply)
                                   : CHttpClient::RequestAjax(url, body, request, header, reply);
        Check(peer.Finish(kPeerFinishMs), "the peer served the request");
        if (ok) {
            Check(header.find('\0') == std::string::npos && reply.find('\0') == std::string::npos,
                  "form texts end at their first NUL");
            Check(IsPrefix(header, response), "the header text is the start of the response");
        }
    }
    return 0;
}

RK_FUZZ_SEEDS(http_response) {
    std::vector<Bytes> seeds;
    const char* responses[] = {
        "HTTP/1.0 200 OK\r\nContent-Length: 21\r\n\r\nFactoryResult:Success",
        "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\nFactoryResult:Opened",
        "HTTP/1.0 200 OK\r\ncontent-length:   20\r\n\r\n{\"result\":\"success\"}trailing",
        "HTTP/1.0 200 OK\r\nContent-Length: 99999999999999999999\r\n\r\nshort",
        "HTTP/1.0 200 OK\nContent-Length:\n\nno length",
        "HTTP/1.0 404 Not Found\r\n",
        "\r\n",
        "HTTP/1.0 200 OK\r\nContent-Length: 4\r\n\r\nab\0cd",
        "HTTP/1.0 200 OK\r\n\r\nFactoryResult:Success FactoryResult:Opened",
        "HTTP/1.0 200 OK\r\n\r\nFactoryResult:Success FactoryResult:Closed",
        "HTTP/1.0 200 OK\r\n\r\nFactoryResult:Success FactoryResult:Unknow",
        "HTTP/1.0 200 OK\r\n\r\n{\"result\":\"success\"}",
    };
    for (int which = 0; which < 6; ++which) {
        for (const char* r : responses) {
            Bytes s = {static_cast<uint8_t>(which)};
            PutText(s, r);
            seeds.push_back(s);
        }
    }
#ifdef RK_FUZZ_REGRESS
    {  // a header beyond its 64 KiB bound: the request fails. Only in the regression run: the
       // fuzzer cuts its inputs to 4 KiB, and 4 KiB of a header that never ends, read a byte at
       // a time, would make it spend its time on this one input's mutations.
        Bytes big = {0};
        PutText(big, "HTTP/1.0 200 OK\r\nX-Long: ");
        big.resize(big.size() + CHttpClient::HEADER_MAX, 'a');
        PutText(big, "\r\n\r\nbody");
        seeds.push_back(big);
    }
#endif
    Bytes nul = {2};
    PutText(nul, "HTTP/1.0 200 OK\r\nX: a");
    nul.push_back(0);
    PutText(nul, "b\r\n\r\nbody");
    seeds.push_back(nul);
    return seeds;
}
