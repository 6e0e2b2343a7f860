#include "sim/sim_readers.h"

#include <algorithm>
#include <cstring>

#include "cpelink/link_record.h"
#include "platform/trace.h"

namespace {

constexpr uint32_t ANNOUNCE_ARG1 = 114;
constexpr uint32_t ANNOUNCE_SEQ = 108;
constexpr uint32_t LOOPBACK_ARG = 0x0100007F;  // 127.0.0.1, first octet in the lowest byte

std::string Field(const uint8_t* p) {
    size_t n = 0;
    while (n < SIM_SETTING_FIELD_SIZE && p[n] != 0) ++n;
    return std::string(reinterpret_cast<const char*>(p), n);
}

}  // namespace

bool SimFormValue(const std::string& body, const std::string& name, std::string& value) {
    size_t pos = 0;
    while (pos <= body.size()) {
        size_t end = body.find('&', pos);
        if (end == std::string::npos) end = body.size();
        if (body.compare(pos, name.size() + 1, name + "=") == 0) {
            // The value ends at the first '&' after the '=' (a name may hold one itself).
            const size_t start = pos + name.size() + 1;
            const size_t stop = std::min(body.find('&', start), body.size());
            value = body.substr(start, stop - start);
            return true;
        }
        pos = end + 1;
    }
    return false;
}

SimSettingRequest ReadSettingRecord(const std::array<uint8_t, SIM_SETTING_RECORD_SIZE>& record) {
    SimSettingRequest r;
    r.code = record[0];
    r.name = Field(record.data() + 1);
    r.value = Field(record.data() + 1 + SIM_SETTING_FIELD_SIZE);
    return r;
}

std::string SimAddressText(uint32_t arg) {
    return plat::Format("%u.%u.%u.%u", arg & 0xFF, (arg >> 8) & 0xFF, (arg >> 16) & 0xFF, arg >> 24);
}

namespace {
// An address field (first octet in the lowest byte) of another host of the /24 of `lan` (host order).
bool OnLan(uint32_t arg, uint32_t lan) {
    const uint32_t ip = (arg & 0xFF) << 24 | (arg & 0xFF00) << 8 | (arg >> 8 & 0xFF00) | arg >> 24;
    return (ip & 0xFFFFFF00) == (lan & 0xFFFFFF00) && ip != lan && (ip & 0xFF) != 0 && (ip & 0xFF) != 0xFF;
}
}  // namespace

SimAnnouncement ReadAnnouncement(const uint8_t* bytes, size_t n, uint32_t lan) {
    SimAnnouncement a;
    a.size = n;
    if (n < LINK_LENGTH_ANNOUNCE || n > LINK_MESSAGE_SIZE) {
        a.note = plat::Format("refused: %zu bytes", n);
        return a;
    }
    LinkMessage message{};
    std::memcpy(message.data(), bytes, n);
    const LinkRecord r = DecodeRecord(message);
    a.type = r.sControl;
    a.nArg1 = r.nArg1;
    a.nSeq = r.nSeq;
    a.port = r.nArg2;
    a.address = r.nArg3;
    if (r.sControl != CMD_ANNOUNCE || r.nArg1 != ANNOUNCE_ARG1 || r.nSeq != ANNOUNCE_SEQ)
        a.note = "refused: not an announcement";
    else if (lan == 0 && r.nArg3 != LOOPBACK_ARG)
        a.note = "refused: address " + SimAddressText(r.nArg3) + " is not 127.0.0.1";
    else if (lan != 0 && !OnLan(r.nArg3, lan))
        a.note = "refused: address " + SimAddressText(r.nArg3) + " is not on the gateway's subnet";
    else if (r.nArg2 == 0 || r.nArg2 > 65535)
        a.note = plat::Format("refused: port %u", r.nArg2);
    else
        a.bValid = true;
    return a;
}
