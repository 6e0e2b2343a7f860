#include <gtest/gtest.h>

#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>

#include "model/document.h"
#include "modem/nv_store.h"
#include "modem/rf_nv_lists.h"
#include "platform/byte_order.h"
#include "session/line_events.h"
#include "session/nv_tasks.h"
#include "tests/modem/fake_tunnel.h"
#include "tests/support/quiet_line_events.h"
#include "tests/support/temp_folder.h"

namespace {

namespace fs = std::filesystem;
using Nv = std::array<uint8_t, NV_ITEM_SIZE>;

constexpr int kFailExchange = -1;  // a fault answered with a DIAG error reply
constexpr int kSilent = -2;        // a fault answered with nothing

// Faults are taken per request: a failed exchange needs one for each of its attempts.
std::deque<int> FailedExchanges(int n) { return std::deque<int>(size_t(n), kFailExchange); }

Nv ItemData(uint16_t item) {
    Nv d{};
    for (size_t i = 0; i < d.size(); ++i) d[i] = uint8_t(item * 31 + i * 7 + 1);
    return d;
}
Bytes FileData(int32_t entry) {
    Bytes b(size_t(600 + entry % 500));
    for (size_t i = 0; i < b.size(); ++i) b[i] = uint8_t(entry + i * 13);
    return b;
}

// The modem behind the gateway: NV items with status, offline, ESN, SPC and the EFS files.
struct ModemModel {
    std::map<uint16_t, Nv> items;
    std::set<uint16_t> notActive;                       // reads and writes answer status 5
    std::map<uint16_t, std::deque<int>> readFaults;     // per read: NV status, or kFail*/kSilent
    std::map<uint16_t, std::deque<int>> writeFaults;
    std::map<uint16_t, size_t> corruptReadBack;         // byte flipped in reads after a write
    std::optional<uint16_t> silentFrom;                 // from a read of this item on: silence
    bool offlineFails = false, spcFails = false;
    std::map<std::string, Bytes> files;
    std::set<std::string> failReads;
    std::string openPath;

    std::vector<uint16_t> reads, writes;
    std::vector<std::pair<uint16_t, Nv>> readRequests;
    int offlines = 0, spcs = 0;
    std::set<uint16_t> written;
    bool silent = false;

    static Bytes NvReply(uint8_t cmd, uint16_t item, const Nv& d, uint16_t status) {
        Bytes p(133, 0);
        p[0] = cmd;
        p[1] = uint8_t(item);
        p[2] = uint8_t(item >> 8);
        std::copy(d.begin(), d.end(), p.begin() + 3);
        p[131] = uint8_t(status);
        p[132] = uint8_t(status >> 8);
        return p;
    }
    static int Take(std::map<uint16_t, std::deque<int>>& faults, uint16_t item) {
        auto it = faults.find(item);
        if (it == faults.end() || it->second.empty()) return 0;
        const int f = it->second.front();
        it->second.pop_front();
        return f;
    }

    std::optional<Bytes> operator()(const Bytes& req) {
        if (req.empty() || silent) return std::nullopt;
        switch (req[0]) {
            case 0x26:
            case 0x27: {
                const uint16_t item = uint16_t(req[1] | req[2] << 8);
                Nv data{};
                std::copy_n(req.begin() + 3, data.size(), data.begin());
                const bool write = req[0] == 0x27;
                if (!write && silentFrom == item) silent = true;
                if (silent) return std::nullopt;
                (write ? writes : reads).push_back(item);
                if (!write) readRequests.emplace_back(item, data);
                const int fault = Take(write ? writeFaults : readFaults, item);
                if (fault == kSilent) return std::nullopt;
                if (fault == kFailExchange) return Bytes{0x13};
                if (fault > 0) return NvReply(req[0], item, Nv{}, uint16_t(fault));
                if (notActive.count(item) || (!write && !items.count(item))) return NvReply(req[0], item, Nv{}, 5);
                if (write) {
                    items[item] = data;
                    written.insert(item);
                    return NvReply(req[0], item, data, 0);
                }
                Nv out = items[item];
                if (written.count(item) && corruptReadBack.count(item)) out[corruptReadBack[item]] ^= 0x40;
                return NvReply(req[0], item, out, 0);
            }
            case 0x29:
                ++offlines;
                if (offlineFails) return Bytes{0x13};
                return Bytes{0x29, req[1], req[2]};
            case 0x01: return Bytes{0x01, 0x78, 0x56, 0x34, 0x12};
            case 0x41:
                ++spcs;
                return spcFails ? Bytes{0x42} : Bytes{0x41, 0x01};
            case 0x4B: return Efs(req);
        }
        return Bytes{0x13};
    }

    Bytes Efs(const Bytes& req) {
        const uint16_t sub = uint16_t(req[2] | req[3] << 8);
        Bytes r{0x4B, 0x13, req[2], req[3]};
        switch (sub) {
            case 2: {
                const std::string path(reinterpret_cast<const char*>(&req[12]));
                const bool create = plat::GetLe32(req, 4) & 0x40;
                if (!files.count(path) && !create) {
                    plat::AppendLe32(r, 0xFFFFFFFF);
                    plat::AppendLe32(r, 2);
                    return r;
                }
                if (create) files[path].clear();
                openPath = path;
                plat::AppendLe32(r, 0);
                plat::AppendLe32(r, 0);
                return r;
            }
            case 3:
                plat::AppendLe32(r, 0);
                return r;
            case 17:
                plat::AppendLe32(r, 0);
                plat::AppendLe32(r, 0100644);
                plat::AppendLe32(r, uint32_t(files[openPath].size()));
                for (int i = 0; i < 4; ++i) plat::AppendLe32(r, 0);
                return r;
            case 4: {
                if (failReads.count(openPath)) return Bytes{0x13};
                const Bytes& f = files[openPath];
                const uint32_t count = plat::GetLe32(req, 8), offset = plat::GetLe32(req, 12);
                const uint32_t n = offset < f.size() ? std::min<uint32_t>(count, uint32_t(f.size() - offset)) : 0;
                plat::AppendLe32(r, 0);
                plat::AppendLe32(r, offset);
                plat::AppendLe32(r, n);
                plat::AppendLe32(r, 0);
                r.insert(r.end(), f.begin() + offset, f.begin() + offset + n);
                return r;
            }
            case 5: {
                const uint32_t offset = plat::GetLe32(req, 8);
                Bytes& f = files[openPath];
                const Bytes data(req.begin() + 12, req.end());
                if (f.size() < offset + data.size()) f.resize(offset + data.size());
                std::copy(data.begin(), data.end(), f.begin() + offset);
                plat::AppendLe32(r, 0);
                plat::AppendLe32(r, offset);
                plat::AppendLe32(r, uint32_t(data.size()));
                plat::AppendLe32(r, 0);
                return r;
            }
        }
        return Bytes{0x13};
    }

    // Every NV item and RF NV file of the key's list.
    void Fill(const std::string& key) {
        for (int32_t e : RfNvEntries(key)) {
            if (IsRfNvFileEntry(e)) files[RfNvFilePath(e)] = FileData(e);
            else items[uint16_t(e)] = ItemData(uint16_t(e));
        }
    }
};

// The gateway's side of the line: attaches, closes, and the download-mode switch answered with
// the same type (or `exitReply`).
class GatewayTunnel : public FakeTunnel {
public:
    bool inDownload = false;
    bool hangUpAfterExit = false;
    bool refuseAttach = false;
    int closeResult = 1;
    std::optional<uint8_t> exitReply;
    int attaches = 0, closes = 0;
    std::vector<uint8_t> commands;

    int Attach(int) override {
        ++attaches;
        return (!refuseAttach && open) ? 1 : 0;
    }
    int Close() override {
        ++closes;
        open = false;
        return closeResult;
    }
    int PostRecord(LinkRecord& r, int length) override {
        if (!open) return 0;
        commands.push_back(r.sControl);
        if (recordReplies.empty()) {
            LinkRecord reply{};
            reply.sControl = (r.sControl == CMD_EXIT_DOWNLOAD && exitReply) ? *exitReply : r.sControl;
            reply.nLength = 1;
            recordReplies.emplace_back(reply, 0);
        }
        return FakeTunnel::PostRecord(r, length);
    }
    int TakeReplyLocked(LinkRecord& out) override {
        const int n = FakeTunnel::TakeReplyLocked(out);
        if (n > 0 && out.sControl == CMD_ENTER_DOWNLOAD) inDownload = true;
        if (n > 0 && out.sControl == CMD_EXIT_DOWNLOAD) {
            inDownload = false;
            if (hangUpAfterExit) open = false;  // the connection is gone right after the reply
        }
        return n;
    }
    int Exits() const { return int(std::count(commands.begin(), commands.end(), CMD_EXIT_DOWNLOAD)); }
};

// The line's events in order; the options a test sets reach the document when a task starts
// (NvBackupTest::Sync).
struct FakeHost : QuietLineEvents {
    std::string folder;
    std::string cpe = "PD_WA_RK880T_RK19L_V1.0";
    int taskType = 3, mode = 0, nvOption = 2;
    bool dump = false, english = true;
    CServiceToolDoc* doc = nullptr;

    std::vector<std::string> statuses, boxes, history, events;
    std::vector<int> progress;
    std::vector<std::pair<std::string, LineOutcome>> ends;
    std::string modemVersion = "unset";
    int reselected = -1, finished = 0, versionsShown = 0;

    void Status(int, const std::string& t, bool) override {
        statuses.push_back(t);
        events.push_back("status:" + t);
    }
    void History(int, const std::string& t) override { history.push_back(t); }
    void Progress(int, int p) override {
        progress.push_back(p);
        events.push_back("progress:" + std::to_string(p));
    }
    void Picture(int, int k) override { events.push_back("picture:" + std::to_string(k)); }
    void VersionsChanged(int line) override {
        ++versionsShown;
        modemVersion = doc->Line(line).ModemVersion();
    }
    void Message(const std::string& t, bool) override {
        boxes.push_back(t);
        events.push_back("box:" + t);
    }
    bool AskDefaultNo(const std::string& t) override {
        boxes.push_back(t);
        events.push_back("ask:" + t);
        return false;
    }
    void ModeChanged(int m) override { reselected = m; }
    void End(int, const std::string& t, LineOutcome outcome) override {
        ends.emplace_back(t, outcome);
        events.push_back("end:" + t);
    }
    void Finished(int) override {
        ++finished;
        events.push_back("finish");
    }

    bool HasStatus(const std::string& t) const { return std::find(statuses.begin(), statuses.end(), t) != statuses.end(); }
};

class NvBackupTest : public ::testing::Test {
protected:
    void SetUp() override {
        root = test_support::MakeTempFolder("rk-nv-backup-");
        host.folder = root + "/ver";
        fs::create_directories(host.folder);
        modem.Fill("RK19L");
        modem.items[550] = ImeiData();
        tunnel.responder = [this](const Bytes& req) { return modem(req); };
    }
    void TearDown() override { fs::remove_all(root); }

    static Nv ImeiData() {
        Nv d{};
        const uint8_t head[] = {0x08, 0x8A, 0x21, 0x43, 0x65, 0x87, 0x09, 0x21, 0x43};
        std::copy(std::begin(head), std::end(head), d.begin());
        return d;
    }
    std::string File() const { return host.folder + "/Channel.nvm"; }
    std::string Folder() const { return host.folder + "/_EFS_RF_NV"; }
    static Bytes Read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }
    static void WriteBytes(const std::string& path, const Bytes& b) {
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
    }
    static std::vector<NvRecord> Records(const Bytes& b) {
        std::vector<NvRecord> r;
        for (size_t at = 0; at + NV_RECORD_SIZE <= b.size(); at += NV_RECORD_SIZE)
            r.push_back(UnpackNvRecord(std::span<const uint8_t, NV_RECORD_SIZE>(&b[at], NV_RECORD_SIZE)));
        return r;
    }
    static Bytes Pack(const std::vector<NvRecord>& records) {
        Bytes b;
        for (const NvRecord& r : records) {
            std::array<uint8_t, NV_RECORD_SIZE> one{};
            PackNvRecord(r, one);
            b.insert(b.end(), one.begin(), one.end());
        }
        return b;
    }
    static NvRecord Rec(uint16_t item, uint16_t status = 0) {
        NvRecord r;
        r.wItem = item;
        r.abData = ItemData(item);
        r.wStatus = status;
        return r;
    }
    static std::map<std::string, Bytes> FolderFiles(const std::string& folder) {
        std::map<std::string, Bytes> m;
        for (const auto& e : fs::directory_iterator(folder))
            if (e.is_regular_file()) m[e.path().filename().string()] = Read(e.path().string());
        return m;
    }
    std::vector<std::string> VersionFolderNames() const {
        std::vector<std::string> n;
        for (const auto& e : fs::directory_iterator(host.folder)) n.push_back(e.path().filename().string());
        std::sort(n.begin(), n.end());
        return n;
    }
    // A previous backup, as a fixture: two records, one RF NV file and a sub-folder.
    void MakePreviousBackup() {
        WriteBytes(File(), Pack({Rec(23), Rec(550)}));
        fs::create_directories(Folder() + "/keep");
        WriteBytes(Folder() + "/00020274", {1, 2, 3});
    }
    void ExpectPreviousBackupIntact() {
        EXPECT_EQ(Read(File()), Pack({Rec(23), Rec(550)}));
        EXPECT_EQ(FolderFiles(Folder()), (std::map<std::string, Bytes>{{"00020274", {1, 2, 3}}}));
        EXPECT_TRUE(fs::is_directory(Folder() + "/keep"));
        EXPECT_FALSE(fs::exists(File() + ".tmp"));
        EXPECT_FALSE(fs::exists(Folder() + ".tmp"));
    }
    void ExpectFailed(const std::string& text) {
        ASSERT_EQ(host.ends.size(), 1u);
        EXPECT_EQ(host.ends[0].first, text);
        EXPECT_EQ(host.ends[0].second, LineOutcome::FailedClosing);
        EXPECT_EQ(host.finished, 0);
    }
    void ExpectSucceeded() {
        EXPECT_TRUE(host.ends.empty()) << host.ends[0].first;
        EXPECT_EQ(host.finished, 1);
        EXPECT_FALSE(tunnel.inDownload);
        EXPECT_EQ(tunnel.Exits(), 1);
        EXPECT_EQ(tunnel.closes, 1);
    }
    // The test's options into the document, as the form would have set them.
    void Sync() {
        host.doc = &doc;
        doc.SetLineText(0, LineField::VersionFolder, host.folder, nullptr);
        doc.Line(0).SetCpeVersion(host.cpe);
        doc.Line(0).nTaskType = static_cast<TaskType>(host.taskType);
        doc.m_nMode = host.mode;
        doc.m_nNvOption = host.nvOption;
        doc.m_bDumpNv = host.dump;
        doc.m_bLanguage = host.english ? 1 : 0;
    }
    void Backup() {
        Sync();
        BackupNvThread(doc, host, client, 0);
    }
    // A fresh view for the next run on the same folder.
    void NewHost() {
        FakeHost fresh;
        fresh.folder = host.folder;
        host = fresh;
    }
    void Restore() {
        Sync();
        RestoreNvThread(doc, host, client, 0, {});
    }

    ScaleGuard scale{0.01};
    std::string root;
    CServiceToolDoc doc;
    FakeHost host;
    ModemModel modem;
    GatewayTunnel tunnel;
    DiagClient client{tunnel};
};

TEST_F(NvBackupTest, BackupWritesAllItemsAndFilesOfRk19L) {
    MakePreviousBackup();
    WriteBytes(Folder() + "/junk", {9});
    Backup();
    ExpectSucceeded();

    // Channel.nvm: one record per NV item entry in list order, byte-exact.
    const Bytes nvm = Read(File());
    ASSERT_EQ(nvm.size(), 298 * NV_RECORD_SIZE);
    const auto records = Records(nvm);
    size_t i = 0;
    for (int32_t e : RfNvEntries("RK19L")) {
        if (IsRfNvFileEntry(e)) continue;
        ASSERT_EQ(records[i].wItem, e) << i;
        EXPECT_EQ(records[i].wStatus, 0);
        EXPECT_EQ(records[i].abData, e == 550 ? ImeiData() : ItemData(uint16_t(e)));
        ++i;
    }
    EXPECT_EQ(nvm[0], 23);
    EXPECT_EQ(nvm[1], 0);
    EXPECT_EQ(nvm[136], 0x26);  // 550
    EXPECT_EQ(nvm[137], 0x02);

    // _EFS_RF_NV: exactly the 38 files (the old "junk" file is gone, the sub-folder stays).
    const auto files = FolderFiles(Folder());
    ASSERT_EQ(files.size(), 38u);
    for (int32_t e : RfNvEntries("RK19L")) {
        if (!IsRfNvFileEntry(e)) continue;
        EXPECT_EQ(files.at(plat::Format("%08d", e)), FileData(e));
    }
    EXPECT_TRUE(fs::is_directory(Folder() + "/keep"));
    EXPECT_EQ(VersionFolderNames(), (std::vector<std::string>{"Channel.nvm", "NV", "_EFS_RF_NV", "_EFS_RF_NV.list"}));
    // The list names the 38 files, in list order.
    std::string list;
    for (int32_t e : RfNvEntries("RK19L"))
        if (IsRfNvFileEntry(e)) list += plat::Format("%08d\n", e);
    EXPECT_EQ(Read(host.folder + "/_EFS_RF_NV.list"), Bytes(list.begin(), list.end()));
    // The archive copy: the IMEI 812345678901234 has a wrong check digit.
    EXPECT_TRUE(fs::is_directory(host.folder + "/NV/unknown"));

    // Texts, order of the end, and what the line shows.
    EXPECT_EQ(host.statuses.front(), "Running,wait please...");
    EXPECT_TRUE(host.HasStatus("NV directory create success!"));
    EXPECT_TRUE(host.HasStatus("Backup NV..."));
    EXPECT_TRUE(host.HasStatus("Backup NV ID = 23"));
    EXPECT_TRUE(host.HasStatus("Backup NV ID = 20274"));
    EXPECT_EQ(host.modemVersion, "812345678901234");
    EXPECT_EQ(host.versionsShown, 1);
    EXPECT_TRUE(host.history.empty());  // dump flag off
    std::vector<std::string> tail(host.events.end() - 5, host.events.end());
    EXPECT_TRUE(std::regex_match(tail[0], std::regex("status:Backup NV success, total time is [0-9]+ min [0-9]+ sec")));
    tail[0] = "status:Backup NV success, total time is 0 min 0 sec";
    EXPECT_EQ(tail, (std::vector<std::string>{"status:Backup NV success, total time is 0 min 0 sec", "picture:2",
                                              "finish", "progress:100",
                                              "box:If need again operation, please close the software after the "
                                              "restart the terminal, restart the software upgrade."}));
    EXPECT_EQ(host.reselected, -1);  // m_nMode was not 2
    // Progress 100p/5040 per position up to the sentinel at 336.
    EXPECT_EQ(host.progress.front(), 0);
    EXPECT_EQ(host.progress.end()[-2], 100 * 336 / 5040);
    EXPECT_TRUE(std::is_sorted(host.progress.begin(), host.progress.end()));
}

TEST_F(NvBackupTest, BackupProgressUnderTheCpeTaskAndModeRadio) {
    host.taskType = 1;
    host.mode = 2;
    host.dump = true;
    Backup();
    ExpectSucceeded();
    ASSERT_EQ(host.history.size(), 298u);
    EXPECT_EQ(host.history.front(), NvDataDump(ItemData(23)) + "\n");
    EXPECT_EQ(host.progress.front(), 2);
    EXPECT_EQ(host.progress.end()[-2], 5 * 336 / 5040 + 2);
    EXPECT_EQ(host.reselected, 2);
}

TEST_F(NvBackupTest, RestoreIntoAWipedModemGivesBackItemsAndFiles) {
    Backup();
    ExpectSucceeded();
    const auto items = modem.items;
    const auto files = modem.files;

    ModemModel wiped;
    tunnel.responder = [&](const Bytes& req) { return wiped(req); };
    tunnel.open = true;
    tunnel.commands.clear();
    tunnel.closes = 0;
    NewHost();
    host.taskType = 4;
    host.mode = 3;
    host.dump = true;
    Restore();
    ExpectSucceeded();
    EXPECT_EQ(wiped.items, items);
    EXPECT_EQ(wiped.files, files);
    EXPECT_EQ(wiped.writes.size(), 298u);
    EXPECT_EQ(wiped.offlines, 1);
    EXPECT_EQ(wiped.spcs, 1);
    // The read-back asks with the record's first data byte only.
    Nv ask{};
    ask[0] = ItemData(23)[0];
    EXPECT_EQ(wiped.readRequests.front(), std::make_pair(uint16_t(23), ask));

    EXPECT_EQ(host.statuses[0], "Running, wait please...");
    EXPECT_EQ(host.statuses[1], "Reload NV");
    EXPECT_EQ(host.statuses[2], "Restore NV ID = 23");
    EXPECT_TRUE(host.HasStatus("Restore NV ID = 20194"));
    EXPECT_EQ(host.history.front(), NvDataDump(ItemData(23)) + "\n");
    EXPECT_EQ(host.history.size(), 298u);
    EXPECT_EQ(host.reselected, 3);
    // Progress: one step every fourth record, then 100.
    EXPECT_EQ(*std::max_element(host.progress.begin(), host.progress.end() - 2), 298 / 4);
    std::vector<std::string> tail(host.events.end() - 6, host.events.end());
    const std::string done = tail[1].substr(7);
    EXPECT_TRUE(std::regex_match(done, std::regex("Restore NV success, total time is [0-9]+ min [0-9]+ sec")));
    EXPECT_EQ(tail, (std::vector<std::string>{"box:" + done, "status:" + done, "picture:2", "finish",
                                              "progress:100", "box:" + std::string(TEXT_NV_AGAIN)}));

    // The folder lacks a file the backup's list names: refused before anything reaches the modem,
    // and the gateway leaves download mode.
    fs::remove(Folder() + "/00020194");
    ModemModel untouched;
    tunnel.responder = [&](const Bytes& req) { return untouched(req); };
    tunnel.open = true;
    NewHost();
    Restore();
    ExpectFailed("NV backup lacks RF NV files: 00020194; NV restore cancelled, nothing was written to the modem.");
    EXPECT_TRUE(untouched.writes.empty());
    EXPECT_TRUE(untouched.files.empty());
    EXPECT_EQ(untouched.offlines + untouched.spcs, 0);
    EXPECT_FALSE(tunnel.inDownload);
}

TEST_F(NvBackupTest, NotActiveItemIsStoredAndSkippedMissingAndEmptyFilesAreNoFailure) {
    modem.notActive.insert(5479);
    modem.files.erase(RfNvFilePath(20278));
    modem.files[RfNvFilePath(20279)].clear();
    Backup();
    ExpectSucceeded();
    const auto records = Records(Read(File()));
    ASSERT_EQ(records.size(), 298u);
    EXPECT_EQ(records[3].wItem, 5479);
    EXPECT_EQ(records[3].wStatus, 5);
    EXPECT_EQ(records[3].abData, Nv{});
    EXPECT_TRUE(host.HasStatus("Backup NV ID = 5479 is not active"));
    EXPECT_EQ(FolderFiles(Folder()).size(), 36u);

    ModemModel wiped;
    tunnel.responder = [&](const Bytes& req) { return wiped(req); };
    tunnel.open = true;
    host.ends.clear();
    Restore();
    EXPECT_TRUE(host.ends.empty());
    EXPECT_EQ(wiped.writes.size(), 297u);
    EXPECT_EQ(std::count(wiped.writes.begin(), wiped.writes.end(), 5479), 0);
    EXPECT_TRUE(host.HasStatus("Restore NV ID = 5479"));
    EXPECT_EQ(wiped.files.size(), 36u);
}

class NvOptionTest : public NvBackupTest, public ::testing::WithParamInterface<int> {};

TEST_P(NvOptionTest, OnlyOptionOneSkipsTheImei) {
    WriteBytes(File(), Pack({Rec(23), Rec(550), Rec(22)}));
    host.nvOption = GetParam();
    host.taskType = 1;
    modem.items.clear();
    Restore();
    ExpectSucceeded();
    const std::vector<uint16_t> expected =
        GetParam() == 1 ? std::vector<uint16_t>{23, 22} : std::vector<uint16_t>{23, 550, 22};
    EXPECT_EQ(modem.writes, expected);
    EXPECT_TRUE(host.HasStatus("Restore NV ID = 550"));
    // Progress 5 * consumed / length + 92 per record.
    EXPECT_EQ(std::vector<int>(host.progress.begin(), host.progress.begin() + 3), (std::vector<int>{93, 95, 97}));
}
INSTANTIATE_TEST_SUITE_P(Options, NvOptionTest, ::testing::Values(0, 1, 2, 3));

TEST_F(NvBackupTest, ReadBackDifferingInOneByteFailsTheRestoreAtThatItem) {
    WriteBytes(File(), Pack({Rec(23), Rec(550), Rec(22)}));
    modem.corruptReadBack[550] = 77;
    Restore();
    ExpectFailed("Reload NV fail!");
    EXPECT_EQ(modem.writes, (std::vector<uint16_t>{23, 550}));
    EXPECT_EQ(tunnel.Exits(), 0);  // the gateway stays in download mode
    EXPECT_TRUE(tunnel.inDownload);
}

TEST_F(NvBackupTest, WriteFailuresRetryOnceAndSkipReadOnlyItems) {
    WriteBytes(File(), Pack({Rec(23), Rec(550), Rec(22)}));
    modem.writeFaults[23] = {7};
    modem.writeFaults[550] = {4};  // the second write goes through
    Restore();
    ExpectSucceeded();
    EXPECT_TRUE(host.HasStatus("Restore NV ID = 23 is not active or Read Only"));
    EXPECT_EQ(modem.writes, (std::vector<uint16_t>{23, 550, 550, 22}));

    WriteBytes(File(), Pack({Rec(22), Rec(23)}));
    modem.writes.clear();
    modem.writeFaults[22] = FailedExchanges(4);
    modem.writeFaults[22].front() = 4;  // NV_FAIL_S, then a failed exchange
    tunnel.open = true;
    NewHost();
    Restore();
    ExpectFailed("Reload NV fail!");
    EXPECT_EQ(modem.writes, (std::vector<uint16_t>{22, 22, 22, 22}));  // one write, then three attempts
    EXPECT_EQ(modem.written.count(23), 0u);  // the restore stopped at 22
}

TEST_F(NvBackupTest, EmptyNvFileRestoresNoItemAndGoesOnToTheFiles) {
    WriteBytes(File(), {});
    fs::create_directories(Folder());
    WriteBytes(Folder() + "/00020144", {5, 6, 7});
    modem.files.clear();
    Restore();
    ExpectSucceeded();
    EXPECT_TRUE(modem.writes.empty());
    EXPECT_EQ(modem.files, (std::map<std::string, Bytes>{{RfNvFilePath(20144), {5, 6, 7}}}));
    EXPECT_TRUE(host.HasStatus("Restore NV ID = 20274"));  // a missing PC file: no other text
    EXPECT_EQ(host.boxes.size(), 2u);                      // the success and closing messages
}

TEST_F(NvBackupTest, BadNvFilesAreRefusedBeforeAnythingReachesTheModem) {
    struct Case {
        Bytes bytes;
        std::string text;
    };
    Bytes truncated = Pack({Rec(23), Rec(550), Rec(22)});
    truncated.resize(truncated.size() - 10);
    const std::vector<Case> cases = {
        {truncated, "can't open the NV file! (size 398 is not a multiple of 136)"},
        {Pack({Rec(23), Rec(8888)}), "can't open the NV file! (record 2 holds item 8888)"},
        {Pack({Rec(23), Rec(22), Rec(20144)}), "can't open the NV file! (record 3 holds item 20144)"},
    };
    for (const Case& c : cases) {
        WriteBytes(File(), c.bytes);
        NewHost();
        tunnel.open = true;
        Restore();
        EXPECT_TRUE(host.HasStatus(c.text)) << c.text;
        ExpectFailed("Reload NV fail!");
        EXPECT_TRUE(tunnel.sent.empty()) << c.text;  // no offline, SPC or write
    }
    fs::remove(File());
    NewHost();
    tunnel.open = true;
    Restore();
    EXPECT_TRUE(host.HasStatus("can't open the NV file!"));
    EXPECT_TRUE(tunnel.sent.empty());
}

TEST_F(NvBackupTest, OfflineIsTriedThreeTimesAndSpcFailureStopsTheRestore) {
    WriteBytes(File(), Pack({Rec(23)}));
    modem.offlineFails = true;
    modem.spcFails = true;
    Restore();
    EXPECT_EQ(modem.offlines, 3);
    EXPECT_TRUE(host.HasStatus("SendSPC Error!"));
    ExpectFailed("Reload NV fail!");
    EXPECT_TRUE(modem.writes.empty());
}

TEST_F(NvBackupTest, UnknownTerminalType) {
    host.cpe = "NULL";
    Backup();
    EXPECT_TRUE(host.HasStatus("unknow terminal type!"));
    EXPECT_EQ(std::count(host.boxes.begin(), host.boxes.end(), "unknow terminal type!!"), 1);
    ASSERT_EQ(host.ends.size(), 1u);
    EXPECT_EQ(host.ends[0].second, LineOutcome::FailedClosing);
    EXPECT_TRUE(VersionFolderNames().empty());
    EXPECT_TRUE(modem.reads.size() == 1 && modem.reads[0] == 550);  // only the IMEI

    WriteBytes(File(), Pack({Rec(23)}));
    NewHost();
    host.cpe = "NULL";
    tunnel.open = true;
    Restore();
    EXPECT_TRUE(host.HasStatus("unknow terminal type!"));
    EXPECT_EQ(host.boxes.front(), "unknow terminal type!!");
    ExpectFailed("Reload NV fail!");
}

TEST_F(NvBackupTest, BackupCutOffMidwayLeavesThePreviousBackup) {
    MakePreviousBackup();
    modem.silentFrom = 6571;  // list position 22: the gateway goes silent there
    Backup();
    ExpectFailed("cannot read #6571 NVItem, since Port Cannot Receive Desired Data from the Phone");
    ExpectPreviousBackupIntact();
    EXPECT_EQ(Read(File() + ".incomplete").size(), 22 * NV_RECORD_SIZE);
}

TEST_F(NvBackupTest, FailedReadsMakeAnIncompleteBackupKeptBeside) {
    MakePreviousBackup();
    modem.readFaults[5479] = FailedExchanges(6);  // two reads of three attempts
    modem.files.erase(RfNvFilePath(20278));       // not in the modem: no failure
    modem.files[RfNvFilePath(20279)].clear();      // empty: no failure
    modem.failReads.insert(RfNvFilePath(20294));  // opened, then unreadable
    Backup();
    ExpectFailed("Backup NV incomplete: 1 NV items and 1 RF NV files could not be read.");
    ExpectPreviousBackupIntact();
    const auto records = Records(Read(File() + ".incomplete"));
    ASSERT_EQ(records.size(), 298u);
    EXPECT_EQ(records[3].wItem, 5479);
    EXPECT_EQ(records[3].wStatus, 0xFFFF);
    EXPECT_EQ(records[4].abData, ItemData(records[4].wItem));
    EXPECT_EQ(FolderFiles(Folder() + ".incomplete").size(), 35u);
    EXPECT_EQ(tunnel.Exits(), 0);
}

TEST_F(NvBackupTest, SecondFailedReadStopsOnlyAtPosition22) {
    modem.readFaults[6570] = {4, 4};  // position 21: the record keeps the status
    modem.readFaults[6572] = {4};     // position 23: the second read succeeds
    Backup();
    ExpectSucceeded();
    const auto records = Records(Read(File()));
    EXPECT_EQ(records[21].wItem, 6570);
    EXPECT_EQ(records[21].wStatus, 4);
    EXPECT_EQ(records[21].abData, Nv{});
    EXPECT_EQ(records[23].wStatus, 0);
    EXPECT_EQ(records[23].abData, ItemData(6572));

    NewHost();
    tunnel.open = true;
    modem.reads.clear();
    modem.readFaults[6571] = {4, 4};
    Backup();
    ExpectFailed("cannot read #6571 NV Item, since Command failed, reason other than NVM was full");
    EXPECT_EQ(modem.reads.back(), 6571);  // nothing after it was read
    EXPECT_EQ(Records(Read(File())).size(), 298u);  // the first backup stays
}

TEST_F(NvBackupTest, LeavingDownloadModeEndsAtTheFirstSuccess) {
    WriteBytes(File(), {});
    tunnel.hangUpAfterExit = true;
    Restore();
    ExpectSucceeded();
    EXPECT_EQ(tunnel.attaches, 2);  // one to enter, one to leave

    // A gateway that stays connected is not sent the exit again.
    tunnel.hangUpAfterExit = false;
    tunnel.open = true;
    tunnel.commands.clear();
    tunnel.closes = 0;
    NewHost();
    Restore();
    ExpectSucceeded();
}

TEST_F(NvBackupTest, LeavingDownloadModeFailures) {
    WriteBytes(File(), {});
    tunnel.exitReply = uint8_t{0x55};  // an answer of another type
    Restore();
    ExpectFailed("Exit KVO download mode fail!");
    EXPECT_EQ(tunnel.closes, 0);

    tunnel.exitReply.reset();
    tunnel.closeResult = 0;
    tunnel.open = true;
    NewHost();
    Restore();
    ExpectFailed("Exit KVO download mode fail!");
}

TEST_F(NvBackupTest, UnreachableGatewayIsNoSuccess) {
    WriteBytes(File(), {});
    tunnel.refuseAttach = true;
    modem.files.clear();
    Restore();  // the modem still answers: only the switch cannot be made
    ExpectFailed("Exit KVO download mode fail!");
    EXPECT_EQ(tunnel.attaches, 6);
    EXPECT_TRUE(tunnel.commands.empty());
}

TEST_F(NvBackupTest, NvFolderThatCannotBeCreated) {
    host.folder = root + "/missing/ver";
    Backup();
    EXPECT_EQ(host.boxes.front(), "Cannot create directory:" + host.folder);
    ExpectFailed("can't create NV directory!");

    NewHost();
    host.english = false;
    tunnel.open = true;
    Sync();
    CNvTasks nv(doc, host, client, 0);
    EXPECT_FALSE(nv.EnsureNvFolder(host.folder));
    EXPECT_EQ(host.boxes.front(), "不能创建NV备份目录:" + host.folder);
    EXPECT_TRUE(nv.EnsureNvFolder(root + "/"));
    EXPECT_TRUE(nv.EnsureNvFolder(root + "/new"));
    EXPECT_TRUE(fs::is_directory(root + "/new"));
}

}  // namespace
