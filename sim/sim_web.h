#pragma once
// The simulated gateway's web side: its web server with the factory-mode and WiFi forms, and its
// setting port with the 2049-byte command records. Both listen on 127.0.0.1 on ports the system
// picks, unless Start is given an address and ports (the gateway's own, in a private network). Thread-safe: knobs may change and reports may be read while it runs.
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/non_copyable.h"

struct SimWebKnobs {
    // The answer to "Query". Auto: "FactoryResult:Opened" once "Open" was accepted, else
    // "FactoryResult:Closed". None: a reply that holds none of the known words.
    enum class QueryAnswer { Auto, Opened, Closed, Unknow, None };
    QueryAnswer queryAnswer = QueryAnswer::Auto;
    bool bOpenRefused = false;         // "Open" answered without "FactoryResult:Success"
    bool bWifiTrailingCrLf = false;    // the WiFi reply is {"result":"success"} + CR LF
    bool bWebDown = false;             // the web server is not listening (connections refused)
    int rebootRefusals = 2;            // connections refused by the web server after BeginReboot

    // Setting port. The counts are the number of times still to come; each use takes one.
    int writeStatusZero = 0;           // writes answered with status byte 0 (nothing stored)
    int readOtherValue = 0;            // reads answered with a value other than the stored one
    int resetAfterWrite = 0;           // connections reset right after answering a write
    bool bSettingReplySplit = false;   // replies sent in two pieces, the second 80 ms later
};

struct SimWebCounts {
    int webConnections = 0;       // connections the web server served
    int refusedConnections = 0;   // connections closed unanswered during a reboot
    int openRequests = 0;         // factory-mode "Open"
    int queryRequests = 0;        // factory-mode "Query"
    int wifiRequests = 0;         // WiFi client limit
    int otherRequests = 0;        // any other form request
    int settingConnections = 0;
    int settingWrites = 0;        // 232 records
    int settingReads = 0;         // 231 records
    int settingCloses = 0;        // 68 records
};

class SimWebServer : private plat::NonCopyable {
public:
    SimWebServer();
    ~SimWebServer();  // stops

    // Binds both listeners (on `address`, host order; port 0: the system picks) and starts
    // serving; false when a listener could not be set up, or after Stop (a server runs once).
    bool Start(uint32_t address = 0x7F000001, int webPort = 0, int settingPort = 0);
    // Stops serving, ends every connection and joins every thread. Safe to call twice.
    void Stop();

    int WebPort() const;      // 0 before Start
    int SettingPort() const;  // 0 before Start

    // Replaces the knobs; a change of bWebDown has taken effect when this returns.
    void SetKnobs(const SimWebKnobs& knobs);
    SimWebKnobs Knobs() const;

    // The gateway reboots after CMD_UPGRADE_END: factory mode is off again and the web server
    // refuses the next `rebootRefusals` connections, then answers.
    void BeginReboot();
    bool Rebooting() const;
    bool FactoryModeOpen() const;

    // The limit texts of the WiFi requests, as received, in order.
    std::vector<std::string> WifiLimits() const;
    // (name, value) of every setting write that was accepted, in order.
    std::vector<std::pair<std::string, std::string>> SettingsWritten() const;
    SimWebCounts Counts() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};
