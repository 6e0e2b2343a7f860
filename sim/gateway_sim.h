#pragma once
// GatewaySim: an RK880T gateway on 127.0.0.1, for tests and `rk880t-tool --simulate`.
//
//   - Link side: a UDP listener for the tool's announcements; on a valid one (type 0x6A, nArg1 114,
//     nSeq 108, address 127.0.0.1) it connects to the announced TCP port when not connected, and
//     answers the tool's records: hello, texts, image transfers, the closing requests, the gateway's
//     download mode and the modem tunnel (ModemSim).
//   - Web side: SimWebServer (the two forms and the setting port); CMD_UPGRADE_END starts its reboot.
//
// Every socket is bound to 127.0.0.1 with a system-chosen port (or, with a LAN address, to the
// gateway's real ports). One link thread owns the link
// sockets; Stop() (and the destructor) joins it within its 20 ms poll period. Knobs may change at
// any time; report getters are thread-safe.
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>


#include "cpelink/link_record.h"
#include "platform/clock.h"
#include "platform/non_copyable.h"
#include "platform/socket.h"
#include "sim/link_stream.h"
#include "sim/modem_sim.h"
#include "sim/sha256.h"
#include "sim/sim_knobs.h"
#include "sim/sim_presets.h"
#include "sim/sim_readers.h"
#include "sim/sim_web.h"

struct GatewaySimConfig {
    SimKnobs knobs;
    // Modem preset (PresetModem) for the terminal type; "" takes the key of knobs.cpeVersion
    // (GetTerminalTypeKey: "RK19T" for the default text). Without it the stores start empty.
    bool bPresetModem = true;
    std::string terminalType;
    std::string imei = SIM_DEFAULT_IMEI;  // "": no item 550 (a blank IMEI)
    int atDiagMode = 6;
    SimWebKnobs webKnobs;
    // 0: everything on 127.0.0.1 with system-chosen ports. Else the gateway's LAN address (host
    // order): web 80 and setting 3535 on it, announcements received on UDP 3536 of every address
    // (the limited broadcast), the link client calling the announced address of that /24. Only
    // inside a private network namespace.
    uint32_t lanAddress = 0;
};

// The gateway's real ports, used with a LAN address.
constexpr int SIM_LAN_WEB_PORT = 80;
constexpr int SIM_LAN_SETTING_PORT = 3535;
constexpr int SIM_LAN_ANNOUNCE_PORT = 3536;

// One record the gateway received (download headers included, raw image bytes not).
struct SimRequest {
    uint8_t type = 0;
    uint32_t nSeq = 0;
    uint32_t nLength = 0;
    uint32_t nTotal = 0;
    std::vector<uint8_t> data;  // CMD_DATA and 0xF0-0xF2: the first nLength bytes of abData
    int connection = 0;         // 1 for the first connection, and so on
};

// One record the gateway sent.
struct SimReply {
    uint8_t type = 0;
    uint32_t nSeq = 0;
    uint32_t nLength = 0;
    uint8_t requestType = 0;
};

// The last transfer of an image type.
struct SimImage {
    uint8_t type = 0;
    uint64_t announced = 0;  // nTotal of the header
    uint64_t received = 0;   // raw bytes taken
    bool bComplete = false;  // all announced bytes arrived
    std::string sha256;      // lower-case hex of the bytes taken; set when the transfer ended
    int transfers = 0;       // headers of this type seen so far
};


class GatewaySim : private plat::NonCopyable {
public:
    explicit GatewaySim(GatewaySimConfig config = {});
    ~GatewaySim();

    // Binds the announcement listener and the web side (web server, setting port) on 127.0.0.1
    // and starts the link thread. False when a socket could not be set up (LastError says why).
    // A second call while running does nothing; a stopped simulator does not start again.
    bool Start();
    // Closes the link, stops and joins every thread. Safe to call twice.
    void Stop();
    bool Running() const;
    std::string LastError() const;

    int AnnouncePort() const;  // UDP: the tool's --announce-to 127.0.0.1:<this>
    int WebPort() const;       // HTTP forms: the tool's --web-port
    int SettingPort() const;   // setting records: the tool's --setting-port

    // --- Knobs -----------------------------------------------------------------------------------
    SimKnobs Knobs() const;
    // Replaces the knobs; the "ask again" counters of 0x20 / 0x30 start again.
    void SetKnobs(const SimKnobs& knobs);
    void UpdateKnobs(const std::function<void(SimKnobs&)>& change);

    // --- Parts -----------------------------------------------------------------------------------
    ModemSim& Modem() { return m_modem; }
    // The web side: its knobs (SimWebKnobs), the WiFi limits and settings written, its counts.
    SimWebServer& Web() { return *m_web; }
    // Refills the modem for a terminal type (PresetModem).
    bool PresetModemFor(const std::string& terminalType, const std::string& imei = SIM_DEFAULT_IMEI);
    // Called on CMD_UPGRADE_END, after the web side's BeginReboot(). For tests.
    void SetUpgradeEndHook(std::function<void()> hook);
    // Every line of what the gateway saw and did ("link: ..."), from the link thread.
    void SetEventSink(std::function<void(const std::string&)> sink);
    // Drops the link connection at once (a cable pulled).
    void DropLink();

    // --- Report ----------------------------------------------------------------------------------
    bool IsConnected() const;
    int Connections() const;  // connections made so far
    std::vector<SimRequest> Requests() const;
    std::vector<uint8_t> RequestTypes() const;       // types in arrival order
    std::vector<uint8_t> DataRecordTypes() const;    // types of the tunnel records (0x04, 0xF0..)
    std::vector<SimReply> Replies() const;
    std::optional<SimImage> Image(uint8_t type) const;
    std::vector<SimAnnouncement> Announcements() const;
    std::vector<std::string> LinkCloses() const;     // why each connection ended
    int UpgradeEnds() const;
    bool InDownloadMode() const;                     // after 0x20, until 0x30
    // Forgets requests, replies, images, announcements and closes (not the modem's stores).
    void ClearReport();
    // Polls `done` every 5 ms for at most `timeoutMs` real ms; its last result.
    static bool WaitUntil(const std::function<bool()>& done, int timeoutMs);

private:
    struct Action {
        int64_t due = 0;
        uint64_t order = 0;
        uint64_t generation = 0;
        bool bSend = false;
        LinkMessage message{};
        SimReply reply;
        bool bClose = false;
        std::string reason;
    };

    void LinkLoop();
    void ReadAnnouncements();
    void Connect(const SimAnnouncement& to, SimAnnouncement& note);
    void ReadLink();
    void ProcessInbox();
    bool ApplyImageCut(const SimKnobs& knobs);
    void OnMessage(const LinkMessage& message);
    void OnImageBytes(std::span<const uint8_t> bytes, bool bDone);
    void FinishImage(bool bComplete);
    void Reply(uint8_t requestType, uint8_t replyType, uint32_t nSeq,
               std::span<const uint8_t> data, const SimKnobs& knobs);
    void Schedule(Action action);
    void RunDueActions();
    bool SendMessage(const LinkMessage& message);
    void CloseLink(const std::string& reason);
    void Event(const std::string& text);

    GatewaySimConfig m_config;
    ModemSim m_modem;
    std::unique_ptr<SimWebServer> m_web;

    mutable std::mutex m_mutex;  // knobs and report
    SimKnobs m_knobs;
    int m_nEnterAgainGiven = 0;
    int m_nExitAgainGiven = 0;
    std::string m_strError;
    std::function<void()> m_upgradeEndHook;
    std::function<void(const std::string&)> m_eventSink;
    std::vector<SimRequest> m_requests;
    std::vector<SimReply> m_replies;
    std::map<uint8_t, SimImage> m_images;
    std::vector<SimAnnouncement> m_announcements;
    std::vector<std::string> m_closes;
    int m_nConnections = 0;
    int m_nUpgradeEnds = 0;
    bool m_bConnected = false;
    bool m_bDownloadMode = false;
    bool m_bUpgraded = false;
    bool m_bRunning = false;
    int m_nAnnouncePort = 0;

    // Link thread state (touched by the link thread only, after Start).
    plat::WorkerThread m_linkThread;
    plat::Socket m_udp;
    plat::Socket m_tcp;
    bool m_bReading = true;
    std::atomic<bool> m_bDropRequested{false};
    LinkStream m_stream;
    std::vector<uint8_t> m_inbox;
    std::vector<Action> m_actions;
    uint64_t m_nGeneration = 0;
    uint64_t m_nOrder = 0;
    // A modem answer held back (SimKnobs::lateNvReads): a late one, or the one behind it.
    struct HeldAnswer {
        std::vector<uint8_t> bytes;
        bool bLate = false;
    };
    std::optional<HeldAnswer> m_heldAnswer;
    // The image being received.
    uint8_t m_imageType = 0;
    uint32_t m_imageSeq = 0;
    uint64_t m_imageReceived = 0;
    Sha256 m_sha;
    bool m_bImageActive = false;
};
