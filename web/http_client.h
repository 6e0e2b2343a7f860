#pragma once
// A minimal HTTP/1.0 client for the gateway's web server: one request per connection, sent piece
// by piece with a fixed header set, in one of two styles:
//  - browser style: GET (no body) or POST (body given), as a desktop browser sends a form;
//  - script style: a form POST that presents itself as a script call (XMLHttpRequest).
// The client holds no state between requests; calls from different threads need no lock.
#include <cstddef>
#include <string>

// The parts of a URL as `ParseUrl` splits it.
struct HttpUrl {
    std::string protocol;  // upper case; "HTTP" when the URL has no ':'
    std::string host;      // upper case, without the port
    std::string path;      // case unchanged, query included; "/" when empty
    int port = 80;
};

// The result of one request.
struct HttpExchange {
    std::string requestText;  // every byte sent, in order
    std::string headerText;   // status line and header lines as received, up to the empty line
    std::string body;         // the bytes received after the header
    size_t bodyLength = 0;
};

class CHttpClient {
public:
    // Field limits of a parsed URL, terminating NUL included.
    static constexpr size_t PROTOCOL_LIMIT = 20;
    static constexpr size_t HOST_LIMIT = 256;
    static constexpr size_t PATH_LIMIT = 1024;
    // The request as a whole (with its terminating NUL) must fit in this buffer.
    static constexpr size_t REQUEST_LIMIT = 1024;
    // A script-style body is formatted with "%s\r\n" into a buffer of this size.
    static constexpr size_t SCRATCH_SIZE = 512;
    static constexpr size_t RECEIVE_CHUNK = SCRATCH_SIZE - 1;
    // Silence after which the body is taken as complete: the browser-style one in real
    // milliseconds, the script-style one scaled by the time scale.
    static constexpr int BROWSER_SILENCE_MS = 500;
    static constexpr int SCRIPT_SILENCE_MS = 1500;
    // Bounds of the connect, of the header read and of the body read as a whole (scaled by the
    // time scale). A body still arriving at its bound fails the request.
    static constexpr int CONNECT_TIMEOUT_MS = 5000;
    static constexpr int HEADER_TIMEOUT_MS = 5000;
    static constexpr int BODY_TIMEOUT_MS = 10000;
    // The reads look at the thread's stop request at least this often (real milliseconds); a
    // stop fails the request.
    static constexpr int STOP_POLL_MS = 50;
    // A header or body beyond these sizes is not read further.
    static constexpr size_t HEADER_MAX = 64 * 1024;
    static constexpr size_t BODY_MAX = 1024 * 1024;

    // Splits `url`; false when a part does not fit its limit.
    static bool ParseUrl(const std::string& url, HttpUrl& parts);

    // Browser style: POST when `body` is given, GET when it is null. `headers` are complete extra
    // header lines (each ending in CR LF) or null. 0 on success, 1 on failure.
    static int SendHttp(const std::string& url, const char* headers, const char* body,
                        size_t bodyLength, HttpExchange& exchange);
    // Script-style POST of `body` (null: empty), `trailer` lines (or null) after it.
    // 0 on success, 1 on failure.
    static int SendHttpAjax(const std::string& url, const char* body, const char* trailer,
                            HttpExchange& exchange);

    // bPost: a form POST of `body` with "Content-Type: application/x-www-form-urlencoded";
    // otherwise a GET. On success `body` is replaced by the request text, and `header` and
    // `responseBody` receive the response; each text ends at its first NUL byte.
    static bool RequestForm(bool bPost, const std::string& url, std::string& body,
                            std::string& header, std::string& responseBody);
    // A script-style POST with the trailer "Connection: Keep-Alive\r\n".
    static bool RequestAjax(const std::string& url, const std::string& body,
                            std::string& request, std::string& header, std::string& responseBody);
};
