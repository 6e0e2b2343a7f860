#include "web/gateway_web.h"

#include <algorithm>
#include <cstring>

#include "platform/clock.h"
#include "platform/trace.h"
#include "web/http_client.h"

namespace {

constexpr const char* TEXT_QUERY_OK = "查询设备成功";
constexpr const char* TEXT_QUERY_FAILED = "查询设备失败";
constexpr const char* TEXT_CONNECT_FAILED = "连接失败，请使用浏览器访问 %s 检查设备是否启动。";
constexpr const char* TEXT_QUERY_START = "Query Net Com Start";
constexpr const char* TEXT_INIT_ERROR = "InitSocketPort Error";
constexpr const char* TEXT_WRITE_ERROR = "Socket Port write error";
constexpr const char* TEXT_READ_ERROR = "Socket Port read error";
constexpr const char* TEXT_CHECK_ERROR = "Socket Port check error";

bool Contains(const std::string& text, const char* word) {
    return text.find(word) != std::string::npos;
}

}  // namespace

GatewayWeb::GatewayWeb(const plat::Endpoints& endpoints, plat::IProcess& process,
                       StatusFn status, plat::IUiPort& ui, DirectConnection& connection)
    : m_endpoints(endpoints),
      m_process(process),
      m_status(std::move(status)),
      m_ui(ui),
      m_connection(connection) {}

void GatewayWeb::Status(const std::string& text) {
    if (m_status) m_status(text);
}

std::string GatewayWeb::FormUrl(const std::string& address, const char* path) const {
    std::string url = "http://" + address;
    if (m_endpoints.webPort != 80) url += ":" + std::to_string(m_endpoints.webPort);
    return url + path;
}

bool GatewayWeb::SendFactoryCommand(const std::string& subCommand, std::string& reply,
                                    const std::string& address) {
    m_process.FlushArp(address);
    const std::string url = FormUrl(address, FACTORY_PATH);
    std::string body = std::string(FACTORY_BODY) + subCommand;
    plat::Trace("Tools Send: " + body);
    std::string header;
    std::string responseBody;
    if (!CHttpClient::RequestForm(true, url, body, header, responseBody)) return false;
    reply = responseBody;
    return true;
}

int GatewayWeb::OpenFactoryMode(const std::string& address) {
    const std::string connectFailed = plat::Format(TEXT_CONNECT_FAILED, address.c_str());
    std::string reply;
    if (!SendFactoryCommand("Open", reply, address)) {
        Status(connectFailed);
        return 6;
    }
    if (!Contains(reply, "FactoryResult:Success")) {
        Status(TEXT_QUERY_FAILED);
        return 5;
    }
    Status(TEXT_QUERY_START);
    reply.clear();
    if (!SendFactoryCommand("Query", reply, address)) {
        Status(connectFailed);
        return 4;
    }
    int code = 3;
    if (Contains(reply, "FactoryResult:Opened"))
        code = 0;
    else if (Contains(reply, "FactoryResult:Closed"))
        code = 1;
    else if (Contains(reply, "FactoryResult:Unknow"))
        code = 2;
    Status(code == 0 ? TEXT_QUERY_OK : TEXT_QUERY_FAILED);
    return code;
}

bool GatewayWeb::SendMaxWifiNum(const std::string& address, const std::string& limit,
                                std::string& reply) {
    m_process.FlushArp(address);
    const std::string url = FormUrl(address, WIFI_PATH);
    const std::string body = std::string(WIFI_BODY) + limit;
    std::string request;
    std::string header;
    std::string responseBody;
    if (!CHttpClient::RequestAjax(url, body, request, header, responseBody)) return false;
    reply = responseBody;
    return true;
}

bool GatewayWeb::SetMaxWifiNum(const std::string& address, const std::string& limit) {
    std::string reply;
    return SendMaxWifiNum(address, limit, reply) && reply == WIFI_SUCCESS;
}

std::array<uint8_t, 2 * GatewayWeb::SETTING_FIELD_SIZE> GatewayWeb::SettingPayload() {
    std::array<uint8_t, 2 * SETTING_FIELD_SIZE> p{};
    std::memcpy(p.data(), SETTING_NAME, std::strlen(SETTING_NAME));
    std::memcpy(p.data() + SETTING_FIELD_SIZE, SETTING_VALUE, std::strlen(SETTING_VALUE));
    return p;
}

bool GatewayWeb::DropStaleBytes() {
    // Bytes that came after an earlier exchange gave up belong to no request of ours: drop them,
    // so a reply is not taken from the stale ones. False when the peer closed or reset.
    std::array<uint8_t, SETTING_RECORD_SIZE> scratch{};
    for (;;) {
        const int n = m_connection.DirectReceive(scratch.data(), static_cast<int>(scratch.size()), 0);
        if (n == -2) return true;
        if (n <= 0) return false;
    }
}

GatewayWeb::Reply GatewayWeb::ExchangeRecord(uint8_t code, const uint8_t* payload,
                                             size_t payloadSize,
                                             std::array<uint8_t, SETTING_RECORD_SIZE>& reply) {
    if (!DropStaleBytes()) return Reply::Dead;

    std::array<uint8_t, SETTING_RECORD_SIZE> request{};
    request[0] = code;
    std::memcpy(request.data() + 1, payload, std::min(payloadSize, request.size() - 1));
    reply.fill(0);
    if (m_connection.DirectSendAll(request.data(), static_cast<int>(request.size())) !=
        static_cast<int>(request.size()))
        return Reply::Dead;
    if (code == SETTING_CLOSE) return Reply::Ok;

    plat::SleepRaw(REPLY_PAUSE_MS);
    const int64_t end = plat::TickMs() + plat::Scaled(REPLY_WINDOW_MS);
    size_t got = 0;
    while (got < reply.size()) {
        const int64_t left = end - plat::TickMs();
        if (left <= 0) break;
        const int n = m_connection.DirectReceive(reply.data() + got,
                                                 static_cast<int>(reply.size() - got),
                                                 static_cast<int>(left));
        if (n == -2) break;
        if (n <= 0) return Reply::Dead;
        got += static_cast<size_t>(n);
    }
    // Part of a record or none: the connection stays for the next check, whose exchanges first
    // drop whatever of this reply comes late.
    return got == reply.size() ? Reply::Ok : Reply::Missing;
}

int GatewayWeb::CheckFacMode(const std::string& address, const std::function<bool()>& beforeMessage) {
    // A connection an earlier check left open that the gateway has closed since is replaced.
    if (m_connection.IsConnected() && !DropStaleBytes()) m_connection.DirectClose();
    if (m_connection.IsConnected()) {
        // The connection an earlier check left open is used at once, after the flush that
        // precedes every attempt.
        m_process.FlushArp(address);
    } else {
        bool connected = false;
        for (int attempt = 0; attempt < CONNECT_ATTEMPTS; ++attempt) {
            m_process.FlushArp(address);
            if (m_connection.DirectOpen(address, m_endpoints.settingPort) == 1 &&
                m_connection.DirectConnect() == 1) {
                connected = true;
                break;
            }
            // A failed attempt leaves no socket behind.
            m_connection.DirectClose();
            // Woken by a stop request: the program is ending, nobody is left to tell.
            if (!plat::SleepRaw(RETRY_PAUSE_MS)) return 1;
        }
        if (!connected) {
            if (beforeMessage && !beforeMessage()) return 1;
            m_ui.MessageBox(TEXT_INIT_ERROR);
            Status(TEXT_INIT_ERROR);
            return 1;
        }
    }

    const auto payload = SettingPayload();
    std::array<uint8_t, SETTING_RECORD_SIZE> reply{};

    Reply r = ExchangeRecord(SETTING_WRITE, payload.data(), payload.size(), reply);
    if (r != Reply::Ok || reply[0] != SETTING_WRITE || reply[1] != 1) {
        if (r == Reply::Dead) m_connection.DirectClose();
        Status(TEXT_WRITE_ERROR);
        return 2;
    }

    r = ExchangeRecord(SETTING_READ, payload.data(), payload.size(), reply);
    if (r != Reply::Ok || reply[0] != SETTING_READ) {
        if (r == Reply::Dead) m_connection.DirectClose();
        Status(TEXT_READ_ERROR);
        return 3;
    }

    if (std::memcmp(reply.data() + 1, payload.data(), payload.size()) != 0) {
        Status(TEXT_CHECK_ERROR);
        return 4;
    }

    const std::array<uint8_t, 2 * SETTING_FIELD_SIZE> zero{};
    ExchangeRecord(SETTING_CLOSE, zero.data(), zero.size(), reply);
    m_connection.DirectClose();
    return 0;
}
