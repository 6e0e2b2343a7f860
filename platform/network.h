#pragma once
// The network start-up of the main view. On Windows: load ICMP.DLL and resolve IcmpCreateFile,
// IcmpCloseHandle and IcmpSendEcho (only their presence counts; no echo is sent), then start
// Winsock asking for version 1.1; undone at destruction. Elsewhere there is nothing to load or
// start: ready when a socket can be made.
#include <string>

#include "platform/non_copyable.h"

namespace plat {

class NetworkStartup : private NonCopyable {
public:
    NetworkStartup();
    ~NetworkStartup();

    bool Ready() const { return m_bReady; }
    // The message (caption "Error:") of a failed start-up; empty when ready.
    const std::string& ErrorText() const { return m_strError; }

private:
    bool m_bReady = false;
    std::string m_strError;
    void* m_hModule = nullptr;  // ICMP.DLL on Windows
};

// Starts Winsock for the rest of the process (Windows; nothing elsewhere): for programs that make
// sockets before, or without, the main view's start-up (the simulator, --simulate, tests).
void StartSocketsForProcess();

}  // namespace plat
