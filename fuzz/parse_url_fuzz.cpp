// CHttpClient::ParseUrl over any text.
#include "fuzz/fuzz_support.h"
#include "web/http_client.h"

namespace {

using rkfuzz::Check;

bool HasLower(const std::string& s) {
    for (char c : s)
        if (c >= 'a' && c <= 'z') return true;
    return false;
}

}  // namespace

RK_FUZZ_TARGET(parse_url) {
    rkfuzz::Init();
    const std::string url(reinterpret_cast<const char*>(data), size);
    HttpUrl parts;
    parts.port = -12345;
    if (!CHttpClient::ParseUrl(url, parts)) {
        Check(parts.port == -12345 && parts.host.empty(), "a refused URL leaves the parts alone");
        return 0;
    }
    Check(parts.protocol.size() < CHttpClient::PROTOCOL_LIMIT, "protocol within its limit");
    Check(parts.host.size() < CHttpClient::HOST_LIMIT, "host within its limit");
    Check(!parts.path.empty() && parts.path.size() < CHttpClient::PATH_LIMIT, "path present and within its limit");
    Check(!HasLower(parts.protocol) && !HasLower(parts.host), "protocol and host are upper case");
    Check(parts.host.find(':') == std::string::npos, "the host carries no port");
    Check(parts.path == "/" || url.size() >= parts.path.size(), "the path comes from the URL");
    if (url.find(':') == std::string::npos) Check(parts.protocol == "HTTP", "no colon: HTTP");
    return 0;
}

RK_FUZZ_SEEDS(parse_url) {
    std::vector<rkfuzz::Bytes> seeds;
    for (const char* u : {"http://192.168.0.1/goform/goform_process", "http://127.0.0.1:8080/a?b=c",
                          "192.168.0.1", "HTTP://host:99999999999/x", "ftp://a:-5", "http://a:+7/",
                          "https://[::1]/", ":", "//", "http://a:b:c/d"}) {
        rkfuzz::Bytes s;
        rkfuzz::PutText(s, u);
        seeds.push_back(s);
    }
    return seeds;
}
