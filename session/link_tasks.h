#pragma once
// The link tasks of a line: the link watcher of a line (web handshake, link server start, channel
// open, keep-alive with the two version texts), the CPE upgrade thread, and the single link server
// instance. Its bodies run on the line threads and report through the line events.
#include <array>
#include <memory>
#include <mutex>
#include <string>

#include "pcside/gateway_path.h"
#include "cpelink/link_server.h"
#include "platform/line_log.h"
#include "platform/endpoints.h"
#include "platform/process.h"

class CCountsInfo;
namespace pc_address { class CPcAddress; }
class CLineSessions;
class CServiceToolDoc;
class GatewayWeb;

// Status texts of the watcher and the upgrade.
namespace upgrade_text {
constexpr const char* DISCONNECT = "DisConnect";
constexpr const char* CHOOSE_VERSION_PATH = "请选择版本文件路径";
constexpr const char* CONNECTING = "建立连接...";
constexpr const char* CONNECTED = "连接完成";
constexpr const char* COMM_ERROR = "与设备通信异常，点击【确定】按钮退出程序。\n请严格按照操作说明重新进行管理操作。";
constexpr const char* CHECKING = "正在校验设备信息...";
constexpr const char* VERSION_TAG = "PD_WA_RK880T";
constexpr const char* VERSION_CHECK_FAILED = "版本校验失败!";
constexpr const char* WORKING = "正在管理，请稍等...";
constexpr const char* BOOT_WORKING = "正在管理boot，请稍等...";
constexpr const char* BOOT_FAILED = "管理BOOT 失败!";
constexpr const char* CPE_WORKING = "正在管理CPE，请稍等...";
constexpr const char* CPE_FAILED = "管理CPE失败!";
constexpr const char* LIGHT_FAILED = "Light fail!";
constexpr const char* REBOOT_CPE_FAILED = "Reboot CPE fail!";
constexpr const char* CLOSE_FAILED = "Close the serial port fail!";
constexpr const char* REBOOTING = "接入盒正在重启!";
constexpr const char* REBOOT_WAIT_1 = "接入盒正在重启, 请稍候.";
constexpr const char* REBOOT_WAIT_2 = "接入盒正在重启, 请稍候..";
constexpr const char* REBOOT_WAIT_3 = "接入盒正在重启, 请稍候...";
constexpr const char* REBOOT_FAILED = "接入盒重启失败!";
constexpr const char* SUCCESS = "管理成功。\n点击【确定】按钮退出程序。";
constexpr const char* TRACE_PORT_OPEN = "Initialize control ports %d success\n";
// A configured image path outside the version and program folders, left after the upgrade.
constexpr const char* TRACE_NOT_DELETED = "Not deleted (outside the version and program folders): %s";
}  // namespace upgrade_text

class CLinkTasks {
public:
    struct Deps {
        CServiceToolDoc& doc;  // the lines' state and devices, the WiFi limit
        CLineSessions& lines;  // each line's endpoints, handshake and events; the watcher's pause
        CCountsInfo& counts;
        GatewayWeb& web;
        plat::IProcess& process;
        plat::LineLog& log;
        // The address the tool may set toward the gateway (none: only the hints).
        pc_address::CPcAddress* pcAddress = nullptr;
    };

    explicit CLinkTasks(Deps deps);
    ~CLinkTasks();  // stops the link server
    CLinkTasks(const CLinkTasks&) = delete;
    CLinkTasks& operator=(const CLinkTasks&) = delete;

    void LinkWatchThread(int line);
    void CpeUpgradeThread(int line);

    // At most one link server runs, on the endpoints of the line whose watcher starts it: a start
    // while one exists and a stop while none exists do nothing.
    void StartLinkServer(int line);
    void StopLinkServer();
    bool LinkServerExists();

    // The document's open operation: Attach of the line's channel; its close (CMD_BYE) when open.
    bool OpenChannel(int line);
    void CloseChannel(int line);
    void WriteLineLog(int line, const std::string& text);

private:
    bool KeepAlivePass(int line, bool& bEnd);
    void ReconnectPass(int line);
    // The hints of why the gateway does not come, each shown once (status and line log) while it
    // holds: the adapters (before each web handshake and while the watcher waits), and a link
    // server that announced NO_CONNECTION_ANNOUNCEMENTS times without a connection.
    // With no adapter on the gateway's subnet it offers the PC address first (once per run); a
    // held address that is gone is put back.
    void CheckAdapters(int line);
    void KeepPcAddress();
    void CheckLinkConnection(int line);
    // A line status that also goes to the line log (the hints, the busy link port).
    void ShowHint(int line, const std::string& text);
    void EnableDownload(int line, bool bEnable);
    void DeleteLineImages(int line, bool bThirdToo);
    // A failure of the upgrade after the transfers: handshake again, EndTask code 5, picture 3.
    void FailClosing(int line, const char* text);

    Deps m_deps;
    std::mutex m_serverMutex;
    std::unique_ptr<CLinkServer> m_pServer;
    // One per line, used by that line's watcher only.
    std::array<gateway_path::HintLatch, LINE_COUNT> m_hints;
};
