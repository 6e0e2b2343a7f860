#include <winsock2.h>
#include <windows.h>

#include "platform/network.h"
#include "platform/wide.h"

namespace plat {

NetworkStartup::NetworkStartup() {
    HMODULE module = LoadLibraryExW(SystemFilePath(L"ICMP.DLL").c_str(), nullptr, 0);
    if (!module) {
        m_strError = "Could not load ICMP.DLL";
        return;
    }
    if (!GetProcAddress(module, "IcmpCreateFile") || !GetProcAddress(module, "IcmpCloseHandle") ||
        !GetProcAddress(module, "IcmpSendEcho")) {
        m_strError = "Error loading ICMP.DLL";
        FreeLibrary(module);
        return;
    }
    WSADATA data{};
    if (WSAStartup(MAKEWORD(1, 1), &data) != 0) {
        m_strError = "WSAStartup() error:";
        FreeLibrary(module);
        return;
    }
    if (data.wVersion != MAKEWORD(1, 1)) {
        m_strError = "No WinSock version 1.1 support found";
        WSACleanup();
        FreeLibrary(module);
        return;
    }
    m_hModule = module;
    m_bReady = true;
}

NetworkStartup::~NetworkStartup() {
    if (!m_bReady) return;
    WSACleanup();
    FreeLibrary(static_cast<HMODULE>(m_hModule));
}

// Winsock counts its start-ups: this one stays for the life of the process.
void StartSocketsForProcess() {
    WSADATA data{};
    WSAStartup(MAKEWORD(2, 2), &data);
}

}  // namespace plat
