#pragma once
// The gateway's management side: factory mode on and its query through the web forms, the WiFi
// client limit through the script form, and the factory setting check over the setting port.
// The view owns one instance; the link watcher and the upgrade thread call it from their threads
// (never both at once: the watcher is paused while a task runs).
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "cpelink/direct_connection.h"
#include "platform/endpoints.h"
#include "platform/process.h"
#include "platform/ui_port.h"

class GatewayWeb {
public:
    // Receives the texts for the information line (control 1032).
    using StatusFn = std::function<void(const std::string&)>;

    static constexpr const char* FACTORY_PATH = "/goform/goform_process";
    static constexpr const char* WIFI_PATH = "/goform/goform_set_cmd_process";
    static constexpr const char* FACTORY_BODY = "goformId=SwitchFactoryMode&SwitchCMD=";
    static constexpr const char* WIFI_BODY = "goformId=CH_MAX_WIFI_NUM&MAX_Access_num=";
    static constexpr const char* WIFI_SUCCESS = "{\"result\":\"success\"}";

    // The setting check's record: a command code and a 2048-byte payload.
    static constexpr size_t SETTING_RECORD_SIZE = 2049;
    static constexpr size_t SETTING_FIELD_SIZE = 128;
    static constexpr uint8_t SETTING_WRITE = 232;
    static constexpr uint8_t SETTING_READ = 231;
    static constexpr uint8_t SETTING_CLOSE = 68;
    static constexpr const char* SETTING_NAME = "fac_mode";
    static constexpr const char* SETTING_VALUE = "0";
    static constexpr int CONNECT_ATTEMPTS = 30;
    static constexpr int RETRY_PAUSE_MS = 500;     // after a failed attempt (scaled)
    static constexpr int REPLY_PAUSE_MS = 50;      // after a request is out (real)
    static constexpr int REPLY_WINDOW_MS = 2000;   // for the whole reply record (scaled)

    GatewayWeb(const plat::Endpoints& endpoints, plat::IProcess& process, StatusFn status,
               plat::IUiPort& ui, DirectConnection& connection);

    // "Open" or "Query" to the factory-mode form; true when the exchange succeeded, the reply
    // body then in `reply`.
    bool SendFactoryCommand(const std::string& subCommand, std::string& reply,
                            const std::string& address);
    // Factory mode on and checked: 0 open; 1 closed; 2 unknown; 3 no known answer; 4 query
    // failed; 5 "Open" not accepted; 6 "Open" failed.
    int OpenFactoryMode(const std::string& address);
    // The WiFi client limit to the script form; true when the exchange succeeded.
    bool SendMaxWifiNum(const std::string& address, const std::string& limit, std::string& reply);
    // True only when the gateway answered exactly {"result":"success"}.
    bool SetMaxWifiNum(const std::string& address, const std::string& limit);
    // The factory setting check: 0 passed; 1 no connection; 2 write failed; 3 read failed;
    // 4 read back differs. `beforeMessage` runs on the calling thread just before the message
    // box of a failed connection (the link watcher's safe point); when it returns false the
    // thread is asked to stop: no box, result 1.
    int CheckFacMode(const std::string& address, const std::function<bool()>& beforeMessage = {});

    // The form URL for `path` at `address` ("http://ADDRESS:PORT/..." when the web port is not 80).
    std::string FormUrl(const std::string& address, const char* path) const;

    // The 256-byte payload of the write and read requests.
    static std::array<uint8_t, 2 * SETTING_FIELD_SIZE> SettingPayload();

private:
    enum class Reply { Ok, Missing, Dead };
    bool DropStaleBytes();
    Reply ExchangeRecord(uint8_t code, const uint8_t* payload, size_t payloadSize,
                         std::array<uint8_t, SETTING_RECORD_SIZE>& reply);
    void Status(const std::string& text);

    plat::Endpoints m_endpoints;
    plat::IProcess& m_process;
    StatusFn m_status;
    plat::IUiPort& m_ui;
    DirectConnection& m_connection;
};
