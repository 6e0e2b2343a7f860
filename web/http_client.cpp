#include "web/http_client.h"

#include <cstdint>
#include <cstring>

#include <algorithm>
#include <climits>
#include <vector>

#include "platform/clock.h"
#include "platform/socket.h"
#include "platform/trace.h"

namespace {

constexpr const char* ACCEPT_BROWSER =
    "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, application/vnd.ms-excel, "
    "application/msword, application/vnd.ms-powerpoint, */*\r\n";
constexpr const char* ACCEPT_SCRIPT = "Accept: application/json, text/javascript, */*; q=0.01\r\n";
constexpr const char* REQUESTED_WITH = "x-requested-with: XMLHttpRequest\r\n";
constexpr const char* ACCEPT_LANGUAGE = "Accept-Language: en-us\r\n";
constexpr const char* REFERER = "Referer: http://192.168.0.1/index.html\r\n";
constexpr const char* CONTENT_TYPE_SCRIPT =
    "Content-Type: application/x-www-form-urlencoded; charset=UTF-8\r\n";
constexpr const char* ACCEPT_ENCODING = "Accept-Encoding: gzip, deflate\r\n";
constexpr const char* USER_AGENT_BROWSER = "User-Agent: Mozilla/4.0\r\n";
constexpr const char* USER_AGENT_SCRIPT =
    "User-Agent: Mozilla/4.0 (compatible; MSIE 8.0; Windows NT 5.1; Trident/4.0; .NET CLR "
    "2.0.50727; .NET CLR 3.0.4506.2152; .NET CLR 3.5.30729; RID_20140724141004)\r\n";
constexpr const char* CACHE_CONTROL = "Cache-Control: no-cache\r\n";
constexpr const char* CRLF = "\r\n";
constexpr const char* FORM_CONTENT_TYPE = "Content-Type: application/x-www-form-urlencoded\r\n";
constexpr const char* KEEP_ALIVE_TRAILER = "Connection: Keep-Alive\r\n";

bool IsHostChar(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           c == '-' || c == '.' || c == ':';
}

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// atoi rules (optional sign, decimal digits, stop at the first other character), saturating.
int AtoiSaturating(const std::string& s) {
    size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || (s[i] >= '\t' && s[i] <= '\r'))) ++i;
    bool neg = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) neg = s[i++] == '-';
    int64_t v = 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
        v = v * 10 + (s[i] - '0');
        if (v > static_cast<int64_t>(INT_MAX) + 1) v = static_cast<int64_t>(INT_MAX) + 1;
    }
    if (neg) v = -v;
    if (v > INT_MAX) v = INT_MAX;
    return static_cast<int>(v);
}

void SendPiece(const plat::Socket& sock, const std::string& piece) {
    // What send returns is not checked: a short or failed send shows in the reply.
    sock.SendAll(piece.data(), piece.size());
}

bool StartsWithNoCase(const std::string& s, size_t pos, const char* prefix) {
    for (size_t i = 0; prefix[i] != '\0'; ++i) {
        if (pos + i >= s.size() || Upper(s[pos + i]) != Upper(prefix[i])) return false;
    }
    return true;
}

// The Content-Length of a complete header, or -1 when it carries none.
int64_t HeaderContentLength(const std::string& header) {
    size_t pos = 0;
    while (pos < header.size()) {
        size_t eol = header.find('\n', pos);
        if (eol == std::string::npos) eol = header.size();
        if (StartsWithNoCase(header, pos, "Content-Length:")) {
            size_t i = pos + std::strlen("Content-Length:");
            while (i < eol && (header[i] == ' ' || header[i] == '\t')) ++i;
            int64_t v = 0;
            bool any = false;
            for (; i < eol && header[i] >= '0' && header[i] <= '9'; ++i) {
                any = true;
                v = v * 10 + (header[i] - '0');
                if (v > static_cast<int64_t>(CHttpClient::BODY_MAX)) v = CHttpClient::BODY_MAX;
            }
            return any ? v : -1;
        }
        pos = eol + 1;
    }
    return -1;
}

// Waits up to `ms` for the socket to become readable, looking at the thread's stop request
// between short waits: > 0 readable, 0 time-out, < 0 error or a stop request.
int WaitReadable(const plat::Socket& sock, int64_t ms) {
    const int64_t end = plat::TickMs() + ms;
    for (;;) {
        if (plat::StopRequested()) return -1;
        const int64_t left = end - plat::TickMs();
        if (left <= 0) return 0;
        const int r = sock.Wait(plat::SOCKET_READABLE, std::min<int64_t>(left, CHttpClient::STOP_POLL_MS));
        if (r != 0) return r;
    }
}

// Sends the pieces on a new connection and reads the response. 0 success, 1 failure.
int Exchange(const HttpUrl& url, const std::vector<std::string>& pieces, int silenceMs,
             HttpExchange& ex) {
    size_t total = 0;
    for (const auto& p : pieces) total += p.size();
    // The request text and its terminating NUL must fit the request buffer.
    if (total + 1 > CHttpClient::REQUEST_LIMIT) return 1;
    if (url.port < 0 || url.port > 65535) return 1;

    plat::Socket sock = plat::Socket::Tcp();
    if (!sock) return 1;
    // An unresolved host gives address 0, and the connect fails.
    uint32_t ip = 0;
    plat::ResolveIpv4(url.host, ip);
    if (ip == 0 || !sock.Connect({ip, url.port}, plat::Scaled(CHttpClient::CONNECT_TIMEOUT_MS))) return 1;

    for (const auto& p : pieces) {
        SendPiece(sock, p);
        ex.requestText += p;
    }

    // Header: one byte at a time until an LF ends a line without characters other than CR/LF.
    const int64_t headerEnd = plat::TickMs() + plat::Scaled(CHttpClient::HEADER_TIMEOUT_MS);
    bool headerComplete = false;
    int lineChars = 0;
    for (;;) {
        const int64_t left = headerEnd - plat::TickMs();
        const int r = left > 0 ? WaitReadable(sock, left) : 0;
        if (r == 0 || plat::StopRequested()) return 1;  // no complete header within the bound
        if (r < 0) break;
        char c = 0;
        if (sock.Receive(&c, 1) <= 0) break;  // error or the peer closed: the header ends here
        if (ex.headerText.size() >= CHttpClient::HEADER_MAX) return 1;
        ex.headerText.push_back(c);
        if (c == '\n') {
            if (lineChars == 0) {
                headerComplete = true;
                break;
            }
            lineChars = 0;
        } else if (c != '\r') {
            ++lineChars;
        }
    }

    // Body: until the peer closes, the Content-Length is complete, or the line falls silent; a
    // peer that keeps trickling bytes fails at the body's bound.
    const int64_t contentLength = headerComplete ? HeaderContentLength(ex.headerText) : -1;
    // (Never shorter than a few of the silences that end a body, whatever the time scale.)
    const int64_t bodyEnd =
        plat::TickMs() + std::max<int64_t>(plat::Scaled(CHttpClient::BODY_TIMEOUT_MS), 4LL * silenceMs);
    char chunk[CHttpClient::RECEIVE_CHUNK];
    while (contentLength < 0 || ex.body.size() < static_cast<size_t>(contentLength)) {
        if (ex.body.size() >= CHttpClient::BODY_MAX) break;
        const int64_t left = bodyEnd - plat::TickMs();
        if (left <= 0) return 1;
        const int r = WaitReadable(sock, std::min<int64_t>(silenceMs, left));
        if (r < 0) return 1;
        if (r == 0) {
            if (silenceMs <= left) break;  // the silence ends the body
            return 1;                      // the bound ends it: still arriving
        }
        const std::ptrdiff_t n = sock.Receive(chunk, sizeof chunk);
        if (n <= 0) break;
        ex.body.append(chunk, static_cast<size_t>(n));
    }
    ex.bodyLength = ex.body.size();
    return 0;
}

std::string UpToNul(const std::string& s) { return std::string(s.c_str()); }

}  // namespace

bool CHttpClient::ParseUrl(const std::string& url, HttpUrl& parts) {
    std::string upper = url;
    for (char& c : upper) c = Upper(c);

    size_t pos = 0;
    const size_t colon = upper.find(':');
    std::string protocol;
    if (colon != std::string::npos) {
        protocol = upper.substr(0, colon);
        pos = colon + 1;
    } else {
        protocol = "HTTP";
    }
    if (upper.compare(pos, 2, "//") == 0) pos += 2;

    size_t end = pos;
    while (end < upper.size() && IsHostChar(upper[end])) ++end;
    std::string host = upper.substr(pos, end - pos);
    std::string path = url.substr(end);

    if (protocol.size() + 1 > PROTOCOL_LIMIT || host.size() + 1 > HOST_LIMIT ||
        path.size() + 1 > PATH_LIMIT)
        return false;

    int port = 80;
    const size_t portColon = host.find(':');
    if (portColon != std::string::npos) {
        port = AtoiSaturating(host.substr(portColon + 1));
        host.resize(portColon);
    }
    if (path.empty()) path = "/";

    parts.protocol = std::move(protocol);
    parts.host = std::move(host);
    parts.path = std::move(path);
    parts.port = port;
    return true;
}

int CHttpClient::SendHttp(const std::string& url, const char* headers, const char* body,
                          size_t bodyLength, HttpExchange& exchange) {
    exchange = HttpExchange{};
    HttpUrl u;
    if (!ParseUrl(url, u) || u.protocol != "HTTP") return 1;

    std::vector<std::string> pieces;
    pieces.emplace_back(body != nullptr ? "POST " : "GET ");
    pieces.push_back(u.path);
    pieces.emplace_back(" HTTP/1.0\r\n");
    pieces.emplace_back(ACCEPT_BROWSER);
    pieces.emplace_back(ACCEPT_LANGUAGE);
    pieces.emplace_back(ACCEPT_ENCODING);
    pieces.emplace_back(USER_AGENT_BROWSER);
    if (bodyLength != 0) pieces.push_back(plat::Format("Content-Length: %zu\r\n", bodyLength));
    pieces.push_back("Host: " + u.host + "\r\n");
    if (headers != nullptr && headers[0] != '\0') pieces.emplace_back(headers);
    pieces.emplace_back(CRLF);
    if (body != nullptr && bodyLength != 0) pieces.emplace_back(body, bodyLength);

    return Exchange(u, pieces, BROWSER_SILENCE_MS, exchange);
}

int CHttpClient::SendHttpAjax(const std::string& url, const char* body, const char* trailer,
                              HttpExchange& exchange) {
    exchange = HttpExchange{};
    HttpUrl u;
    if (!ParseUrl(url, u) || u.protocol != "HTTP") return 1;
    const std::string text = body != nullptr ? body : "";
    // The body and its CR LF (and a NUL) must fit the scratch buffer.
    if (text.size() + 3 > SCRATCH_SIZE) return 1;

    std::vector<std::string> pieces;
    pieces.emplace_back("POST ");
    pieces.push_back(u.path);
    pieces.emplace_back(" HTTP/1.0\r\n");
    pieces.emplace_back(ACCEPT_SCRIPT);
    pieces.emplace_back(REQUESTED_WITH);
    pieces.emplace_back(ACCEPT_LANGUAGE);
    pieces.emplace_back(REFERER);
    pieces.emplace_back(CONTENT_TYPE_SCRIPT);
    pieces.emplace_back(ACCEPT_ENCODING);
    pieces.emplace_back(USER_AGENT_SCRIPT);
    pieces.push_back("Host: " + u.host + "\r\n");
    pieces.push_back(plat::Format("Content-Length: %zu\r\n", text.size()));
    pieces.emplace_back(CACHE_CONTROL);
    pieces.emplace_back(CRLF);
    pieces.push_back(text + "\r\n");
    pieces.emplace_back(CRLF);
    if (trailer != nullptr && trailer[0] != '\0') pieces.emplace_back(trailer);
    pieces.emplace_back(CRLF);

    // 1500 ms: a wait of 1 s or more, so the time scale applies.
    return Exchange(u, pieces, static_cast<int>(plat::Scaled(SCRIPT_SILENCE_MS)), exchange);
}

bool CHttpClient::RequestForm(bool bPost, const std::string& url, std::string& body,
                              std::string& header, std::string& responseBody) {
    HttpExchange ex;
    const int r = bPost ? SendHttp(url, FORM_CONTENT_TYPE, body.data(), body.size(), ex)
                        : SendHttp(url, nullptr, nullptr, 0, ex);
    if (r != 0) return false;
    body = UpToNul(ex.requestText);
    header = UpToNul(ex.headerText);
    responseBody = UpToNul(ex.body);
    return true;
}

bool CHttpClient::RequestAjax(const std::string& url, const std::string& body,
                              std::string& request, std::string& header,
                              std::string& responseBody) {
    HttpExchange ex;
    // The body is a text: it ends at its first NUL, as the formatted request does.
    if (SendHttpAjax(url, body.c_str(), KEEP_ALIVE_TRAILER, ex) != 0) return false;
    request = UpToNul(ex.requestText);
    header = UpToNul(ex.headerText);
    responseBody = UpToNul(ex.body);
    return true;
}
