// The simulated modem's reading of the tool's tunnel records (ModemSim::Handle): AT commands,
// boot downloader frames and DIAG frames, in any order and form. Input: a flags byte (bit 0: bad
// requests get no answer; bit 1: replies carry a wrong FCS; bit 2: replies lack the end flag;
// bit 3: the stores start filled for RK19T), then requests:
//   u8 kind  bit 0: the bytes are a payload framed here (bit 1: with a leading flag);
//            bit 2: the bytes are an AT command text, "AT" in front and CR after
//   u16 n, n bytes (cut to one record's 1350 data bytes)
#include <map>

#include "cpelink/link_record.h"
#include "fuzz/fuzz_support.h"
#include "modem/diag_frame.h"
#include "sim/modem_sim.h"
#include "sim/sim_presets.h"

namespace {

using namespace rkfuzz;

constexpr int kMaxRequests = 16;

// RK19T's preset stores, made once: filling a modem from them costs the stores' insertions only,
// not the making of some 600 items and files for every input.
struct Preset {
    std::map<uint16_t, SimNvItem> nv;
    std::map<std::string, std::vector<uint8_t>> efs;
};

const Preset& Rk19tPreset() {
    static const Preset preset = [] {
        ModemSim m;
        PresetModem(m, "RK19T");
        return Preset{m.NvItems(), m.EfsFiles()};
    }();
    return preset;
}

void FillRk19t(ModemSim& modem) {
    const Preset& preset = Rk19tPreset();
    for (const auto& [item, nv] : preset.nv) modem.SetNvItem(item, nv.data, nv.status);
    for (const auto& [path, bytes] : preset.efs) modem.SetEfsFile(path, bytes);
}

}  // namespace

RK_FUZZ_TARGET(sim_modem) {
    Init();
    Reader in(data, size);
    const uint8_t flags = in.U8();
    SimKnobs knobs;
    knobs.bAnswerBadRequests = (flags & 0x01) == 0;
    if (flags & 0x02) knobs.badCrcReplyCodes.insert(SIM_ANY);
    if (flags & 0x04) knobs.noEndFlagReplyCodes.insert(SIM_ANY);
    ModemSim modem;
    if (flags & 0x08) FillRk19t(modem);

    for (int i = 0; i < kMaxRequests && !in.Empty(); ++i) {
        const uint8_t kind = in.U8();
        Bytes body = in.Take(in.U16());
        Bytes request;
        if (kind & 0x04) {
            PutText(request, "AT");
            request.insert(request.end(), body.begin(), body.end());
            request.push_back('\r');
        } else if (kind & 0x01) {
            request = EncodeFrame(body, (kind & 0x02) != 0);
        } else {
            request = body;
        }
        if (request.size() > LINK_DATA_SIZE) request.resize(LINK_DATA_SIZE);
        const auto answer = modem.Handle(request, knobs);
        if (answer) Check(answer->size() <= 64 * 1024, "an answer stays within reason");
        // A well-formed DIAG answer to a well-formed DIAG request decodes.
        if (answer && !(flags & 0x06) && !(kind & 0x04) && !ModemSim::IsAtCommand(request) &&
            !request.empty() && request[0] != DIAG_FLAG && DecodeFrame(request, false).ok) {
            Check(DecodeFrame(*answer, false).ok, "the answer to a good DIAG frame is a good frame");
        }
    }
    Check(modem.OpenEfsFiles() >= 0, "open EFS files are counted");
    return 0;
}

RK_FUZZ_SEEDS(sim_modem) {
    std::vector<Bytes> seeds;
    auto add = [](Bytes& s, uint8_t kind, const Bytes& body) {
        s.push_back(kind);
        plat::AppendLe16(s, static_cast<uint16_t>(body.size()));
        s.insert(s.end(), body.begin(), body.end());
    };
    auto text = [](const char* t) {
        Bytes b;
        PutText(b, t);
        return b;
    };
    {
        Bytes s = {0x08};
        add(s, 0x04, text("+GMR"));
        add(s, 0x04, text("+KDIAG?"));
        add(s, 0x04, text("+KDIAG=1"));
        add(s, 0x01, {0x29, 0x01, 0x00});
        add(s, 0x01, {0x41, '0', '0', '0', '0', '0', '0'});
        add(s, 0x01, {0x01});
        Bytes nv = {0x26, 0x26, 0x02};
        nv.resize(133, 0);
        add(s, 0x01, nv);
        nv[0] = 0x27;
        add(s, 0x01, nv);
        add(s, 0x03, {0x0A});
        seeds.push_back(s);
    }
    {
        Bytes s = {0x08};
        Bytes open = {0x4B, 0x13, 0x02, 0x00, 0, 0, 0, 0, 0x24, 0x01, 0, 0};
        for (char c : std::string("/nv/item_files/rfnv/00020000")) open.push_back(static_cast<uint8_t>(c));
        open.push_back(0);
        add(s, 0x01, open);
        add(s, 0x01, {0x4B, 0x13, 0x11, 0x00, 0, 0, 0, 0});
        add(s, 0x01, {0x4B, 0x13, 0x04, 0x00, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0});
        add(s, 0x01, {0x4B, 0x13, 0x05, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3});
        add(s, 0x01, {0x4B, 0x13, 0x03, 0x00, 0, 0, 0, 0});
        seeds.push_back(s);
    }
    {
        Bytes s = {0x01};
        add(s, 0x00, {0x29, 0x01, 0x00, 0x12, 0x34, 0x7E});  // a bad FCS
        add(s, 0x00, {0x7D});
        add(s, 0x00, {});
        seeds.push_back(s);
    }
    return seeds;
}
