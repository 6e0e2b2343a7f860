#pragma once
// The simulator's readers of what the tool sends, free of sockets and of the HTTP library: the
// values of a web form body, a setting record of the setting port, an announcement datagram.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

// The raw value of `name` in a form body ("a=1&b=2", up to the next '&'); false when absent.
bool SimFormValue(const std::string& body, const std::string& name, std::string& value);

// A record of the setting port: code, then the name and the value, each NUL-padded to 128 bytes.
constexpr size_t SIM_SETTING_RECORD_SIZE = 2049;
constexpr size_t SIM_SETTING_FIELD_SIZE = 128;
struct SimSettingRequest {
    uint8_t code = 0;
    std::string name;   // up to the first NUL, at most 128 bytes
    std::string value;
};
SimSettingRequest ReadSettingRecord(const std::array<uint8_t, SIM_SETTING_RECORD_SIZE>& record);

struct SimAnnouncement {
    size_t size = 0;         // datagram bytes
    uint8_t type = 0;
    uint32_t nArg1 = 0;
    uint32_t nSeq = 0;
    uint32_t port = 0;       // nArg2
    uint32_t address = 0;    // nArg3, first octet in the lowest byte
    bool bValid = false;     // an announcement of an address the gateway calls, with a usable port
    std::string note;        // why it was refused or not answered, or "connected"
};

// Reads one announcement datagram of `n` bytes: its fields, and whether it is valid (or why not).
// The gateway calls 127.0.0.1 only; a gateway on a LAN address (`lan`, host order, non-zero) calls
// any other address of its /24 instead.
SimAnnouncement ReadAnnouncement(const uint8_t* bytes, size_t n, uint32_t lan = 0);

// "a.b.c.d" of an address field (first octet in the lowest byte).
std::string SimAddressText(uint32_t arg);
