// The simulator's readers of what the tool sends: the values of a web form body, a setting record
// of the setting port, an announcement datagram. Input: u8 name length n, n bytes of a field name
// looked up in the rest as a form body; the rest is also read as a setting record (zero-padded or
// cut to 2049 bytes) and as an announcement datagram.
#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "cpelink/link_record.h"
#include "fuzz/fuzz_support.h"
#include "sim/sim_readers.h"

namespace {

using namespace rkfuzz;

void CheckFormValue(const std::string& body, const std::string& name) {
    std::string value = "unchanged";
    if (!SimFormValue(body, name, value)) {
        Check(value == "unchanged", "an absent field leaves the value alone");
        return;
    }
    Check(value.find('&') == std::string::npos, "a value ends at the next '&'");
    const std::string field = name + "=" + value;
    const size_t at = body.find(field);
    Check(at != std::string::npos, "the value stands in the body after its name");
    bool bAtFieldStart = false;
    for (size_t p = body.find(field); p != std::string::npos; p = body.find(field, p + 1)) {
        const size_t end = p + field.size();
        if ((p == 0 || body[p - 1] == '&') && (end == body.size() || body[end] == '&')) bAtFieldStart = true;
    }
    Check(bAtFieldStart, "the value is a whole field of the body");
}

}  // namespace

RK_FUZZ_TARGET(sim_readers) {
    Reader in(data, size);
    const std::string name = in.TakeString(in.U8() % 32);
    const Bytes rest = in.Rest();
    const std::string body(rest.begin(), rest.end());
    CheckFormValue(body, name);
    CheckFormValue(body, "goformId");

    std::array<uint8_t, SIM_SETTING_RECORD_SIZE> record{};
    std::copy_n(rest.begin(), std::min(rest.size(), record.size()), record.begin());
    const SimSettingRequest s = ReadSettingRecord(record);
    Check(s.code == record[0], "the code is the first byte");
    for (const std::string* f : {&s.name, &s.value}) {
        Check(f->size() <= SIM_SETTING_FIELD_SIZE, "a field stays within its 128 bytes");
        Check(f->find('\0') == std::string::npos, "a field ends at its first NUL");
    }
    Check(std::memcmp(s.name.data(), record.data() + 1, s.name.size()) == 0, "the name comes from its place");

    const SimAnnouncement a = ReadAnnouncement(rest.data(), rest.size());
    Check(a.size == rest.size(), "the datagram size is reported");
    if (a.bValid) {
        Check(rest.size() >= LINK_LENGTH_ANNOUNCE && rest.size() <= LINK_MESSAGE_SIZE, "a valid announcement has a valid size");
        Check(a.type == CMD_ANNOUNCE, "a valid announcement has its type");
        Check(a.port >= 1 && a.port <= 65535, "a valid announcement names a usable port");
        Check(SimAddressText(a.address) == "127.0.0.1", "a valid announcement names 127.0.0.1");
        Check(a.note.empty(), "a valid announcement has no refusal");
    } else {
        Check(!a.note.empty(), "a refused announcement says why");
    }
    return 0;
}

RK_FUZZ_SEEDS(sim_readers) {
    auto form = [](std::string_view name, std::string_view body) {
        Bytes b{static_cast<uint8_t>(name.size())};
        PutText(b, name);
        PutText(b, body);
        return b;
    };
    std::vector<Bytes> seeds = {
        form("SwitchCMD", "goformId=SwitchFactoryMode&SwitchCMD=Open"),
        form("MAX_Access_num", "goformId=CH_MAX_WIFI_NUM&MAX_Access_num= 32\t"),
        form("a", "a&a=&=a&a=1"),
    };
    {  // a setting write of fac_mode=0
        Bytes b{0};
        Bytes record(SIM_SETTING_RECORD_SIZE, 0);
        record[0] = 232;
        std::copy_n("fac_mode", 8, record.begin() + 1);
        record[1 + SIM_SETTING_FIELD_SIZE] = '0';
        b.insert(b.end(), record.begin(), record.end());
        seeds.push_back(b);
    }
    {  // an announcement of 127.0.0.1 and port 4536, as the tool sends it
        LinkRecord r;
        r.sControl = CMD_ANNOUNCE;
        r.nArg1 = 114;
        r.nSeq = 108;
        r.nArg2 = 4536;
        const LinkMessage m = EncodeServerRecord(r, 0x0100007F);
        Bytes b{0};
        b.insert(b.end(), m.begin(), m.end());
        seeds.push_back(b);
    }
    return seeds;
}
