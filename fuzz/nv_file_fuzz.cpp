// The "Channel.nvm" reader: CNvTasks::RestoreRfNv over a file written from the input, with a
// modem that answers every request well (it keeps what is written and reads it back).
// Input: a flags byte, then the file.
//   bit 0: stop after the file's check and the offline and SPC requests (else the records are
//          restored)
//   bit 4: keep the IMEI (NV option 1)      bit 5: the NV data dump is on
//   bit 6: the task is a restore (task 4)   bit 7: the modem answers "not active" for odd items
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>

#include "fuzz/fuzz_support.h"
#include "modem/diag_frame.h"
#include "model/document.h"
#include "modem/nv_store.h"
#include "modem/rf_nv_lists.h"
#include "platform/trace.h"
#include "session/nv_tasks.h"
#include "tests/support/quiet_line_events.h"

namespace {

using namespace rkfuzz;
namespace fs = std::filesystem;

// A modem behind the channel: offline, SPC and NV items (kept in a map).
// The restore pauses a second (100 ms scaled) between the offline request and the SPC: the
// modem raises the input's stop flag with its answer to the offline request, which ends that
// pause, and lowers it again at the SPC request.
class ModemTunnel : public ILinkTunnel {
public:
    ModemTunnel(bool oddNotActive, plat::StopFlag* pauseFlag) : m_bOddNotActive(oddNotActive), m_pauseFlag(pauseFlag) {}

    int SlotIndex() const override { return 0; }
    bool IsOpen() const override { return true; }
    void MarkClosed() override {}
    int Attach(int) override { return 1; }
    int Close() override { return 1; }
    int SendData(const uint8_t* bytes, int n) override {
        ++sends;
        m_reply.reset();
        const DecodedFrame req = DecodeFrame({bytes, static_cast<size_t>(n)}, false);
        Check(req.ok, "the client sends well-formed frames");
        if (!req.ok || req.payload.empty()) return n;
        Bytes answer = req.payload;
        const uint8_t cmd = req.payload[0];
        if (m_pauseFlag && cmd == DIAG_CONTROL_F) m_pauseFlag->Request();
        if (m_pauseFlag && cmd == DIAG_SPC_F) m_pauseFlag->Reset();
        if ((cmd == DIAG_NV_WRITE_F || cmd == DIAG_NV_READ_F) && req.payload.size() == 133) {
            const uint16_t item = static_cast<uint16_t>(req.payload[1] | (req.payload[2] << 8));
            std::array<uint8_t, NV_ITEM_SIZE> data{};
            std::copy_n(req.payload.begin() + 3, NV_ITEM_SIZE, data.begin());
            uint16_t status = 0;
            if (m_bOddNotActive && (item & 1)) {
                status = NV_NOTACTIVE_S;
            } else if (cmd == DIAG_NV_WRITE_F) {
                items[item] = data;
            } else {
                const auto it = items.find(item);
                if (it != items.end()) data = it->second;
            }
            std::copy(data.begin(), data.end(), answer.begin() + 3);
            answer[131] = static_cast<uint8_t>(status & 0xFF);
            answer[132] = static_cast<uint8_t>(status >> 8);
        }
        m_reply = EncodeFrame(answer, false);
        return n;
    }
    int HasReply() override { return m_reply ? 1 : 0; }
    int TakeData(std::span<uint8_t> dest, size_t zeroCount) override {
        if (!m_reply) return 0;
        std::fill_n(dest.begin(), std::min(zeroCount, dest.size()), uint8_t{0});
        std::copy_n(m_reply->begin(), std::min(m_reply->size(), dest.size()), dest.begin());
        const int n = static_cast<int>(m_reply->size());
        m_reply.reset();
        return n;
    }
    void SetTypeOverride(int) override {}
    int PostRecord(LinkRecord&, int) override { return 0; }
    int TakeReplyLocked(LinkRecord& out) override {
        out = LinkRecord{};
        return 0;
    }
    void RestartSequence() override {}

    std::map<uint16_t, std::array<uint8_t, NV_ITEM_SIZE>> items;
    int sends = 0;

private:
    bool m_bOddNotActive;
    plat::StopFlag* m_pauseFlag;
    std::optional<Bytes> m_reply;
};

// The line's events: the statuses kept, the progress checked.
class Host : public QuietLineEvents {
public:
    void Status(int, const std::string& text, bool) override { statuses.push_back(text); }
    void Progress(int, int percent) override { Check(percent >= 0 && percent <= 100, "progress stays within 0..100"); }

    std::vector<std::string> statuses;
};

bool IsNvItemNumber(uint16_t item) { return item < RF_NV_FILE_BASE && item != RF_NV_LIST_END; }

}  // namespace

RK_FUZZ_TARGET(nv_file) {
    InputScope scope;
    Reader in(data, size);
    const uint8_t flags = in.U8();
    const Bytes file = in.Rest();
    const bool full = (flags & 0x01) == 0;
    const bool keepImei = (flags & 0x10) != 0;
    const bool oddNotActive = (flags & 0x80) != 0;
    if (!full) scope.RaiseStop();

    const std::string folder = TempFolder() + "/version";
    std::error_code ec;
    fs::create_directories(folder, ec);
    const std::string path = folder + "/Channel.nvm";
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
    }

    ModemTunnel tunnel(oddNotActive, full ? &scope.Stop() : nullptr);
    DiagClient diag(tunnel);
    Host host;
    CServiceToolDoc doc;
    doc.SetLineText(0, LineField::VersionFolder, folder, nullptr);
    doc.Line(0).SetCpeVersion("PD_WA_RK880T_RK19T_V1.0");
    doc.Line(0).nTaskType = (flags & 0x40) ? TaskType::NvRestore : TaskType::CpeUpgrade;
    doc.m_nMode = MODE_RESTORE_NV;
    doc.m_nNvOption = keepImei ? CNvTasks::NV_OPTION_KEEP_IMEI : 2;
    doc.m_bDumpNv = (flags & 0x20) != 0;
    CNvTasks nv(doc, host, diag, 0);
    const bool ok = nv.RestoreRfNv(path);

    // The file is checked whole before anything goes to the modem.
    std::optional<std::string> refusal;
    if (file.size() % NV_RECORD_SIZE != 0) {
        refusal = plat::Format(TEXT_NV_BAD_SIZE, static_cast<int>(file.size()));
    } else {
        for (size_t i = 0; i < file.size() / NV_RECORD_SIZE; ++i) {
            const NvRecord r = UnpackNvRecord(std::span<const uint8_t, NV_RECORD_SIZE>(&file[i * NV_RECORD_SIZE], NV_RECORD_SIZE));
            if (!IsNvItemNumber(r.wItem)) {
                refusal = plat::Format(TEXT_NV_BAD_RECORD, static_cast<int>(i + 1), int{r.wItem});
                break;
            }
        }
    }
    if (refusal) {
        Check(!ok && tunnel.sends == 0, "a refused file sends nothing to the modem");
        Check(!host.statuses.empty() && host.statuses.back() == *refusal, "a refused file names its fault");
    } else if (!full) {
        Check(!ok && tunnel.sends >= 2, "a good file goes on to the offline and SPC requests");
    } else {
        Check(ok, "a good file is restored into a well-behaved modem");
        // What the modem holds: each record that was read (status 0), but the IMEI when it is
        // kept and the items the modem calls not active; a later record of an item wins.
        std::map<uint16_t, std::array<uint8_t, NV_ITEM_SIZE>> want;
        for (size_t i = 0; i < file.size() / NV_RECORD_SIZE; ++i) {
            const NvRecord r = UnpackNvRecord(std::span<const uint8_t, NV_RECORD_SIZE>(&file[i * NV_RECORD_SIZE], NV_RECORD_SIZE));
            if (r.wStatus != 0 || (keepImei && r.wItem == NV_IMEI_ITEM) || (oddNotActive && (r.wItem & 1))) continue;
            want[r.wItem] = r.abData;
        }
        Check(tunnel.items == want, "the modem holds exactly the file's good records");
    }
    ClearTempFolder();
    return 0;
}

RK_FUZZ_SEEDS(nv_file) {
    std::vector<Bytes> seeds;
    auto record = [](Bytes& b, uint16_t item, uint8_t fill, uint16_t status) {
        NvRecord r;
        r.wItem = item;
        r.abData.fill(fill);
        r.wStatus = status;
        std::array<uint8_t, NV_RECORD_SIZE> bytes{};
        PackNvRecord(r, bytes);
        b.insert(b.end(), bytes.begin(), bytes.end());
    };
    for (const uint8_t flags : {uint8_t{0x40}, uint8_t{0x50}, uint8_t{0xE0}, uint8_t{0x01}}) {
        Bytes s = {flags};
        record(s, 10, 0x11, 0);
        record(s, 550, 0x22, 0);
        record(s, 11, 0x33, 5);
        record(s, 10, 0x44, 0);
        seeds.push_back(s);
    }
    {
        Bytes s = {0x00};
        record(s, 20000, 0, 0);  // an RF NV file entry is no NV item
        seeds.push_back(s);
    }
    {
        Bytes s = {0x00};
        record(s, 8888, 0, 0);  // the list's sentinel
        seeds.push_back(s);
    }
    seeds.push_back({0x00, 1, 2, 3});  // not a multiple of 136
    seeds.push_back({0x00});           // empty
    return seeds;
}
