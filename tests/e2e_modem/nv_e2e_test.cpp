// The NV backup and restore of the built program, run headless against the simulated gateway:
// the backup file and the RF NV files for every terminal type, the round trip through a wiped
// modem, and the failure and skip cases (status records, the IMEI option, a read-back that
// differs, empty, truncated and foreign files, a backup cut off or incomplete, a gateway that
// hangs up after leaving download mode).
#include <memory>
#include <set>

#include "modem/rf_nv_lists.h"
#include "sim/gateway_sim.h"
#include "support/tool_harness.h"

namespace {

using namespace tool_harness;
namespace fs = std::filesystem;

constexpr size_t kRecord = 136;

// A record of "Channel.nvm" as it lies in the file (read and written here by its layout, not by
// the program's codec).
struct FileRecord {
    uint16_t item = 0;
    uint16_t pad1 = 0;
    std::array<uint8_t, 128> data{};
    uint16_t status = 0;
    uint16_t pad2 = 0;
};

uint16_t Le16(const std::string& b, size_t at) {
    return static_cast<uint16_t>(static_cast<uint8_t>(b[at]) | static_cast<uint8_t>(b[at + 1]) << 8);
}

std::vector<FileRecord> ReadNvm(const std::string& path) {
    const std::string bytes = ReadText(path);
    std::vector<FileRecord> out;
    for (size_t at = 0; at + kRecord <= bytes.size(); at += kRecord) {
        FileRecord r;
        r.item = Le16(bytes, at);
        r.pad1 = Le16(bytes, at + 2);
        for (size_t i = 0; i < 128; ++i) r.data[i] = static_cast<uint8_t>(bytes[at + 4 + i]);
        r.status = Le16(bytes, at + 132);
        r.pad2 = Le16(bytes, at + 134);
        out.push_back(r);
    }
    return out;
}

std::string PackRecord(uint16_t item, const std::array<uint8_t, 128>& data, uint16_t status) {
    std::string b(kRecord, '\0');
    b[0] = static_cast<char>(item & 0xFF);
    b[1] = static_cast<char>(item >> 8);
    for (size_t i = 0; i < 128; ++i) b[4 + i] = static_cast<char>(data[i]);
    b[132] = static_cast<char>(status & 0xFF);
    b[133] = static_cast<char>(status >> 8);
    return b;
}

std::array<uint8_t, 128> Pattern(uint8_t seed, size_t used = 40) {
    std::array<uint8_t, 128> d{};
    for (size_t i = 0; i < used; ++i) d[i] = static_cast<uint8_t>(seed + 7 * i + 1);
    return d;
}

void WriteFile(const std::string& path, const std::string& bytes) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

std::vector<std::string> FolderNames(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<int32_t> NvItemsOf(const std::string& key) {
    std::vector<int32_t> items;
    for (int32_t e : RfNvEntries(key))
        if (!IsRfNvFileEntry(e)) items.push_back(e);
    return items;
}

std::vector<int32_t> RfFilesOf(const std::string& key) {
    std::vector<int32_t> files;
    for (int32_t e : RfNvEntries(key))
        if (IsRfNvFileEntry(e)) files.push_back(e);
    return files;
}

// One simulated gateway whose CPE version text names the terminal type.
std::unique_ptr<GatewaySim> StartGateway(const std::string& cpeVersion) {
    GatewaySimConfig config;
    config.knobs.cpeVersion = cpeVersion;
    auto sim = std::make_unique<GatewaySim>(config);
    EXPECT_TRUE(sim->Start()) << sim->LastError();
    return sim;
}

struct ToolRun {
    int status = -1;
    std::string out, err;
    std::vector<std::string> history;  // the status texts without their stamps
};

// A run of the tool against `sim` that presses Download once the line is ready.
Child SpawnTool(const Sandbox& box, GatewaySim& sim, const std::string& mode, const std::string& tag,
                const std::vector<std::string>& extra = {}, const std::string& scale = "0.05") {
    auto args = SimArgs(box, sim.WebPort(), sim.SettingPort(), sim.AnnouncePort());
    *(std::find(args.begin(), args.end(), "--time-scale") + 1) = scale;
    args.insert(args.end(), {"--mode", mode, "--press-download", "--give-up-after", "150"});
    args.insert(args.end(), extra.begin(), extra.end());
    return Spawn(box, args, tag);
}

ToolRun Finish(Child& c) {
    ToolRun r;
    r.status = Wait(c, 200000);
    r.out = ReadText(c.out);
    r.err = ReadText(c.err);
    r.history = HistoryTexts(r.out);
    return r;
}

ToolRun RunTool(const Sandbox& box, GatewaySim& sim, const std::string& mode, const std::string& tag,
            const std::vector<std::string>& extra = {}, const std::string& scale = "0.05") {
    Child c = SpawnTool(box, sim, mode, tag, extra, scale);
    EXPECT_GT(c.pid, 0);
    return Finish(c);
}

bool Has(const std::vector<std::string>& texts, const std::string& text) {
    return std::find(texts.begin(), texts.end(), text) != texts.end();
}

// `expected` appear in this order among `texts` (others may lie between).
void ExpectInOrder(const std::vector<std::string>& texts, const std::vector<std::string>& expected,
                   const std::string& context) {
    size_t at = 0;
    for (const std::string& want : expected) {
        auto it = std::find(texts.begin() + static_cast<long>(at), texts.end(), want);
        ASSERT_NE(it, texts.end()) << "missing or out of order: " << want << "\n" << context;
        at = static_cast<size_t>(it - texts.begin()) + 1;
    }
}

bool AnyMatches(const std::vector<std::string>& texts, const std::string& pattern) {
    const std::regex re(pattern);
    return std::any_of(texts.begin(), texts.end(), [&](const std::string& t) { return std::regex_match(t, re); });
}

std::string NvmPath(const Sandbox& box) { return box.Version("Channel.nvm"); }
std::string RfFolder(const Sandbox& box) { return box.Version("_EFS_RF_NV"); }

size_t RequestsOfType(GatewaySim& sim, uint8_t type) {
    const auto types = sim.RequestTypes();
    return static_cast<size_t>(std::count(types.begin(), types.end(), type));
}

// Counts the DIAG requests of one command code the modem has answered (or left unanswered) and
// calls `after(n)` on the simulator's link thread once the n-th has been dealt with, before the
// gateway reads the next request: knobs set there apply from the next request on.
class DiagCounter {
public:
    DiagCounter(GatewaySim& sim, uint8_t code, std::function<void(int)> after)
        : m_state(std::make_shared<State>()) {
        m_state->code = code;
        m_state->after = std::move(after);
        auto state = m_state;
        GatewaySim* s = &sim;
        sim.Modem().ClearEvents();
        sim.SetEventSink([state, s](const std::string& e) {
            if (e.rfind("link: reply", 0) != 0 && e != "link: the modem does not answer") return;
            const auto events = s->Modem().Events();
            s->Modem().ClearEvents();
            for (const ModemEvent& ev : events)
                if (ev.kind == ModemEvent::Kind::Diag && ev.code == state->code) state->after(++state->n);
        });
    }

private:
    struct State {
        uint8_t code = 0;
        int n = 0;
        std::function<void(int)> after;
    };
    std::shared_ptr<State> m_state;
};

constexpr uint8_t kNvRead = 0x26;
constexpr uint8_t kNvWrite = 0x27;

// ---------------------------------------------------------------------------------------------
// The backup and the restore for each terminal type.

struct TypeCase {
    const char* key;
    const char* cpeVersion;
    size_t records;  // NV item entries of the list, repeats included
};

void PrintTo(const TypeCase& c, std::ostream* os) { *os << c.key; }

class NvRoundTrip : public ::testing::TestWithParam<TypeCase> {};

TEST_P(NvRoundTrip, BackupWritesEveryItemAndFileAndRestoreGivesThemBack) {
    const TypeCase& tc = GetParam();
    Sandbox box;
    auto sim = StartGateway(tc.cpeVersion);
    const auto nvBefore = sim->Modem().NvItems();
    const auto efsBefore = sim->Modem().EfsFiles();
    const std::vector<int32_t> items = NvItemsOf(tc.key);
    const std::vector<int32_t> files = RfFilesOf(tc.key);
    ASSERT_EQ(items.size(), tc.records);

    ToolRun backup = RunTool(box, *sim, "backup-nv", "backup");
    ASSERT_EQ(backup.status, 0) << backup.out << backup.err;
    ExpectInOrder(backup.history, {"Running,wait please...", "NV directory create success!", "Backup NV..."},
                  backup.out);
    EXPECT_TRUE(AnyMatches(backup.history, R"(Backup NV success, total time is \d+ min \d+ sec)")) << backup.out;
    EXPECT_NE(backup.err.find("MESSAGE: If need again operation, please close the software after the restart the "
                              "terminal, restart the software upgrade.\n"),
              std::string::npos)
        << backup.err;
    EXPECT_NE(backup.err.find("PICTURE: 0 2\n"), std::string::npos);
    // Progress 100p/5040 at list position p (up to the sentinel's), then 100.
    const size_t entries = RfNvEntries(tc.key).size();
    std::vector<int> progress;
    for (int v = 0; v <= static_cast<int>(100 * entries / 5040); ++v) progress.push_back(v);
    progress.push_back(100);
    EXPECT_EQ(ProgressValues(backup.err), progress);
    ExpectErrFormat(backup.err);
    // Into download mode and out again, once each; the channel closed with a bye.
    EXPECT_EQ(RequestsOfType(*sim, CMD_ENTER_DOWNLOAD), 1u);
    EXPECT_EQ(RequestsOfType(*sim, CMD_EXIT_DOWNLOAD), 1u);
    EXPECT_FALSE(sim->InDownloadMode());

    // "Channel.nvm": one 136-byte record per NV item entry, in list order, as the modem held it.
    ASSERT_EQ(Size(NvmPath(box)), static_cast<long long>(kRecord * tc.records));
    const std::vector<FileRecord> records = ReadNvm(NvmPath(box));
    size_t inactive = 0;
    for (size_t i = 0; i < records.size(); ++i) {
        const FileRecord& r = records[i];
        ASSERT_EQ(r.item, items[i]) << i;
        EXPECT_EQ(r.pad1, 0) << i;
        EXPECT_EQ(r.pad2, 0) << i;
        const auto it = nvBefore.find(r.item);
        ASSERT_NE(it, nvBefore.end()) << r.item;
        if (it->second.status == SIM_NV_NOTACTIVE) {
            ++inactive;
            EXPECT_EQ(r.status, SIM_NV_NOTACTIVE) << r.item;
            EXPECT_EQ(r.data, (std::array<uint8_t, 128>{})) << r.item;
            EXPECT_TRUE(Has(backup.history, "Backup NV ID = " + std::to_string(r.item) + " is not active")) << r.item;
        } else {
            EXPECT_EQ(r.status, 0) << r.item;
            EXPECT_EQ(r.data, it->second.data) << r.item;
            EXPECT_TRUE(Has(backup.history, "Backup NV ID = " + std::to_string(r.item))) << r.item;
        }
    }
    EXPECT_GT(inactive, 0u);  // the status-5 records are part of the file
    // The RF NV files, named "%08d", byte for byte; nothing else in the folder.
    std::vector<std::string> names;
    for (int32_t f : files) {
        char name[16];
        std::snprintf(name, sizeof name, "%08d", f);
        names.push_back(name);
        EXPECT_EQ(ReadText(RfFolder(box) + "/" + name), std::string(efsBefore.at(RfNvFilePath(f)).begin(),
                                                                     efsBefore.at(RfNvFilePath(f)).end()))
            << name;
        EXPECT_TRUE(Has(backup.history, "Backup NV ID = " + std::to_string(f))) << f;
    }
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    EXPECT_EQ(FolderNames(RfFolder(box)), names);
    for (const char* leftover : {"Channel.nvm.tmp", "Channel.nvm.incomplete", "_EFS_RF_NV.tmp", "_EFS_RF_NV.old"})
        EXPECT_FALSE(fs::exists(box.Version(leftover))) << leftover;

    // A wiped modem, then the restore with the same machine root.
    sim->Modem().WipeNv();
    sim->Modem().WipeEfs();
    sim->ClearReport();
    ToolRun restore = RunTool(box, *sim, "restore-nv", "restore");
    ASSERT_EQ(restore.status, 0) << restore.out << restore.err;
    ExpectInOrder(restore.history, {"Running, wait please...", "Reload NV"}, restore.out);
    EXPECT_TRUE(AnyMatches(restore.history, R"(Restore NV success, total time is \d+ min \d+ sec)")) << restore.out;
    EXPECT_TRUE(std::regex_search(restore.err, std::regex(R"(MESSAGE: Restore NV success, total time is \d+ min \d+ sec\n)")))
        << restore.err;
    // One step every fourth record (at most 99), then 100.
    progress.clear();
    for (int v = 0; v <= std::min<int>(static_cast<int>(tc.records / 4), 99); ++v) progress.push_back(v);
    progress.push_back(100);
    EXPECT_EQ(ProgressValues(restore.err), progress);
    ExpectErrFormat(restore.err);
    EXPECT_FALSE(sim->InDownloadMode());

    // Every record read with status 0 is back with its data; status-5 records were skipped.
    std::map<uint16_t, std::array<uint8_t, 128>> expected;
    for (const FileRecord& r : records)
        if (r.status == 0) expected[r.item] = r.data;
    const auto nvAfter = sim->Modem().NvItems();
    EXPECT_EQ(nvAfter.size(), expected.size());
    for (const auto& [item, data] : expected) {
        const auto it = nvAfter.find(item);
        ASSERT_NE(it, nvAfter.end()) << item;
        EXPECT_EQ(it->second.data, data) << item;
    }
    for (const FileRecord& r : records)
        if (r.status == SIM_NV_NOTACTIVE) {
            EXPECT_EQ(nvAfter.count(r.item), 0u) << r.item;
        }
    EXPECT_EQ(sim->Modem().EfsFiles(), efsBefore);
    EXPECT_EQ(sim->Modem().OpenEfsFiles(), 0);
}

INSTANTIATE_TEST_SUITE_P(TerminalTypes, NvRoundTrip,
                         ::testing::Values(TypeCase{"RK19T", "RK19T_V1.0.0", 468},
                                           TypeCase{"RK19L", "CPE_RK19L_V2.1", 298},
                                           TypeCase{"RK18B", "RK18B", 298},
                                           TypeCase{"RK18G", "V3_RK18G_B05", 478}),
                         [](const ::testing::TestParamInfo<TypeCase>& info) { return std::string(info.param.key); });


// ---------------------------------------------------------------------------------------------
// Restore: what is written and what is skipped.

// One run on a gateway of its own, so that several runs of a test go at once. On Windows, where
// the single-instance mutex is one name for the whole session, each run ends before the next starts.
struct Lane {
    std::unique_ptr<Sandbox> box = std::make_unique<Sandbox>();
    std::unique_ptr<GatewaySim> sim;
    Child child;
    ToolRun run;
    void Start(Child c) {
        child = c;
#ifdef _WIN32
        run = Finish(child);
#endif
    }
    void End() {
#ifndef _WIN32
        run = Finish(child);
#endif
    }
};

// A modem of the terminal type with empty NV store and file system.
std::unique_ptr<GatewaySim> StartWipedGateway(const std::string& cpeVersion) {
    auto sim = StartGateway(cpeVersion);
    sim->Modem().WipeNv();
    sim->Modem().WipeEfs();
    return sim;
}

size_t DiagEvents(GatewaySim& sim, uint8_t code) {
    size_t n = 0;
    for (const ModemEvent& e : sim.Modem().Events())
        if (e.kind == ModemEvent::Kind::Diag && e.code == code) ++n;
    return n;
}

const std::array<uint8_t, 128> kImeiData = [] {
    std::array<uint8_t, 128> d{};
    const uint8_t imei[9] = {0x08, 0x3A, 0x65, 0x39, 0x08, 0x53, 0x46, 0x83, 0x90};
    std::copy(std::begin(imei), std::end(imei), d.begin());
    return d;
}();

TEST(NvRestore, OptionOneSkipsTheImeiItemTheOtherOptionsWriteIt) {
    // IMEI, an item, a status-5 record and a record of a failed read.
    // A record of an item the modem holds read-only.
    const std::string file = PackRecord(550, kImeiData, 0) + PackRecord(22, Pattern(3), 0) +
                             PackRecord(23, Pattern(9), SIM_NV_NOTACTIVE) + PackRecord(52, Pattern(11), 0xFFFF) +
                             PackRecord(543, Pattern(12), 0);
    std::vector<Lane> lanes(4);
    for (int option = 0; option < 4; ++option) {
        Lane& lane = lanes[static_cast<size_t>(option)];
        WriteFile(NvmPath(*lane.box), file);
        lane.sim = StartWipedGateway("RK19T_V1.0.0");
        lane.sim->Modem().SetNvItem(543, Pattern(77), SIM_NV_READONLY);
        lane.Start(SpawnTool(*lane.box, *lane.sim, "restore-nv", "restore",
                               {"--nv-option", std::to_string(option)}));
    }
    for (int option = 0; option < 4; ++option) {
        Lane& lane = lanes[static_cast<size_t>(option)];
        lane.End();
        ASSERT_EQ(lane.run.status, 0) << option << lane.run.out << lane.run.err;
        const auto nv = lane.sim->Modem().NvItems();
        ASSERT_EQ(nv.count(22), 1u) << option;
        EXPECT_EQ(nv.at(22).data, Pattern(3)) << option;
        EXPECT_EQ(nv.count(23), 0u) << option;  // status 5: skipped
        EXPECT_EQ(nv.count(52), 0u) << option;  // failed read: skipped
        // Read-only: refused by the modem, reported, and the restore goes on.
        EXPECT_EQ(nv.at(543).data, Pattern(77)) << option;
        ExpectInOrder(lane.run.history, {"Restore NV ID = 543", "Restore NV ID = 543 is not active or Read Only"},
                      lane.run.out);
        if (option == 1) {
            EXPECT_EQ(nv.count(550), 0u);
            EXPECT_EQ(DiagEvents(*lane.sim, kNvWrite), 2u);
        } else {
            ASSERT_EQ(nv.count(550), 1u) << option;
            EXPECT_EQ(nv.at(550).data, kImeiData) << option;
            EXPECT_EQ(lane.sim->Modem().Imei(), "356938035643809") << option;
            EXPECT_EQ(DiagEvents(*lane.sim, kNvWrite), 3u) << option;
        }
        for (const char* id : {"Restore NV ID = 550", "Restore NV ID = 22", "Restore NV ID = 23", "Restore NV ID = 52"})
            EXPECT_TRUE(Has(lane.run.history, id)) << option << id;
        // No RF NV file folder: every file entry is skipped without a word.
        EXPECT_TRUE(lane.sim->Modem().EfsFiles().empty()) << option;
        EXPECT_EQ(Count(lane.run.err, "MESSAGE: "), 2u) << lane.run.err;
    }
}

TEST(NvRestore, AReadBackThatDiffersInOneByteFailsTheRestoreAtThatItem) {
    Sandbox box;
    WriteFile(NvmPath(box), PackRecord(22, Pattern(1), 0) + PackRecord(52, Pattern(2), 0) + PackRecord(543, Pattern(3), 0));
    auto sim = StartWipedGateway("RK19T_V1.0.0");
    // Item 52 changes in the modem right after it was written: byte 17 reads back different.
    auto tampered = std::make_shared<std::atomic<bool>>(false);
    GatewaySim* s = sim.get();
    sim->SetEventSink([s, tampered](const std::string& e) {
        if (tampered->load() || e.rfind("link: reply", 0) != 0) return;
        auto item = s->Modem().NvItem(52);
        if (!item) return;
        item->data[17] ^= 0x01;
        s->Modem().SetNvItem(52, item->data, item->status);
        *tampered = true;
    });
    ToolRun run = RunTool(box, *sim, "restore-nv", "restore");
    EXPECT_EQ(run.status, 1) << run.out << run.err;
    EXPECT_TRUE(*tampered);
    EXPECT_TRUE(Has(run.history, "Restore NV ID = 52"));
    EXPECT_FALSE(Has(run.history, "Restore NV ID = 543"));
    EXPECT_TRUE(Has(run.history, "Reload NV fail!")) << run.out;
    EXPECT_FALSE(AnyMatches(run.history, "Restore NV success.*"));
    const auto nv = sim->Modem().NvItems();
    EXPECT_EQ(nv.at(22).data, Pattern(1));  // written before the failure: stays
    EXPECT_EQ(nv.count(543), 0u);           // never written
    EXPECT_EQ(DiagEvents(*sim, kNvWrite), 2u);
    EXPECT_NE(run.err.find("PICTURE: 0 3\n"), std::string::npos);
}

TEST(NvRestore, AFailedWriteIsSentOnceMoreAndASecondFailureStopsTheRestore) {
    // The first write of item 22 fails (its three attempts get a DIAG error reply); in the
    // second lane its second write fails as well.
    const std::string file = PackRecord(22, Pattern(1), 0) + PackRecord(52, Pattern(2), 0);
    std::vector<Lane> lanes(2);
    std::vector<std::unique_ptr<DiagCounter>> counters;
    for (size_t i = 0; i < lanes.size(); ++i) {
        Lane& lane = lanes[i];
        WriteFile(NvmPath(*lane.box), file);
        lane.sim = StartWipedGateway("RK19T_V1.0.0");
        lane.sim->UpdateKnobs([](SimKnobs& k) { k.diagErrorReplies[kNvWrite] = 0x14; });
        GatewaySim* s = lane.sim.get();
        const int failing = i == 0 ? 3 : 6;
        counters.push_back(std::make_unique<DiagCounter>(*lane.sim, kNvWrite, [s, failing](int n) {
            if (n == failing) s->UpdateKnobs([](SimKnobs& k) { k.diagErrorReplies.clear(); });
        }));
        lane.Start(SpawnTool(*lane.box, *lane.sim, "restore-nv", "write"));
    }
    for (Lane& lane : lanes) lane.End();
    for (Lane& lane : lanes) lane.sim->Stop();

    EXPECT_EQ(lanes[0].run.status, 0) << lanes[0].run.out << lanes[0].run.err;
    EXPECT_EQ(lanes[0].sim->Modem().NvItem(22)->data, Pattern(1));
    EXPECT_EQ(lanes[0].sim->Modem().NvItem(52)->data, Pattern(2));

    EXPECT_EQ(lanes[1].run.status, 1) << lanes[1].run.out << lanes[1].run.err;
    EXPECT_TRUE(Has(lanes[1].run.history, "Reload NV fail!"));
    EXPECT_FALSE(Has(lanes[1].run.history, "Restore NV ID = 52"));
    EXPECT_TRUE(lanes[1].sim->Modem().NvItems().empty());
}

TEST(NvRestore, AnEmptyBackupFileRestoresNoItemAndGoesOnToTheFiles) {
    Sandbox box;
    WriteFile(NvmPath(box), "");
    const std::string a(700, '\x5A');
    const std::string b = "short RF NV file";
    WriteFile(RfFolder(box) + "/00020215", a);
    WriteFile(RfFolder(box) + "/00020434", b);
    WriteFile(RfFolder(box) + "/00099999", "not in the list");
    auto sim = StartWipedGateway("RK19T_V1.0.0");
    ToolRun run = RunTool(box, *sim, "restore-nv", "restore");
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_TRUE(AnyMatches(run.history, R"(Restore NV success, total time is \d+ min \d+ sec)"));
    EXPECT_TRUE(sim->Modem().NvItems().empty());
    EXPECT_EQ(DiagEvents(*sim, kNvWrite), 0u);
    EXPECT_FALSE(AnyMatches(run.history, R"(Restore NV ID = [0-9]{1,4})"));  // no record
    const std::map<std::string, std::vector<uint8_t>> expected = {
        {"/nv/item_files/rfnv/00020215", std::vector<uint8_t>(a.begin(), a.end())},
        {"/nv/item_files/rfnv/00020434", std::vector<uint8_t>(b.begin(), b.end())}};
    EXPECT_EQ(sim->Modem().EfsFiles(), expected);
    EXPECT_EQ(sim->Modem().OpenEfsFiles(), 0);
    // Every file entry of the list is named, the missing ones skipped silently.
    for (int32_t f : RfFilesOf("RK19T")) EXPECT_TRUE(Has(run.history, "Restore NV ID = " + std::to_string(f))) << f;
    EXPECT_EQ(Count(run.err, "MESSAGE: "), 2u) << run.err;
}

TEST(NvRestore, ABadBackupFileIsRefusedWithNothingSent) {
    std::vector<Lane> lanes(3);
    // Three records cut short by ten bytes; a record that names an RF NV file entry; no file.
    const std::string whole = PackRecord(22, Pattern(1), 0) + PackRecord(52, Pattern(2), 0) + PackRecord(543, Pattern(3), 0);
    WriteFile(NvmPath(*lanes[0].box), whole.substr(0, whole.size() - 10));
    WriteFile(NvmPath(*lanes[1].box), PackRecord(22, Pattern(1), 0) + PackRecord(20215, Pattern(2), 0));
    for (Lane& lane : lanes) {
        lane.sim = StartWipedGateway("RK19T_V1.0.0");
        lane.Start(SpawnTool(*lane.box, *lane.sim, "restore-nv", "restore"));
    }
    const char* texts[] = {"can't open the NV file! (size 398 is not a multiple of 136)",
                           "can't open the NV file! (record 2 holds item 20215)", "can't open the NV file!"};
    for (size_t i = 0; i < lanes.size(); ++i) {
        Lane& lane = lanes[i];
        lane.End();
        EXPECT_EQ(lane.run.status, 1) << lane.run.out << lane.run.err;
        ExpectInOrder(lane.run.history, {"Reload NV", texts[i], "Reload NV fail!"}, lane.run.out);
        EXPECT_TRUE(lane.sim->Modem().NvItems().empty());
        EXPECT_TRUE(lane.sim->Modem().EfsFiles().empty());
        // Checked before the modem was touched: no offline, no SPC, no write.
        EXPECT_EQ(DiagEvents(*lane.sim, 0x29), 0u);
        EXPECT_EQ(DiagEvents(*lane.sim, 0x41), 0u);
        EXPECT_EQ(DiagEvents(*lane.sim, kNvWrite), 0u);
        EXPECT_FALSE(lane.sim->Modem().SpcUnlocked());
    }
}

TEST(NvTerminalType, AnUnknownTypeStopsBackupAndRestore) {
    std::vector<Lane> lanes(2);
    WriteFile(NvmPath(*lanes[1].box), PackRecord(22, Pattern(1), 0));
    for (size_t i = 0; i < lanes.size(); ++i) {
        Lane& lane = lanes[i];
        lane.sim = StartGateway("RK20X_V1.0.0");
        lane.sim->Modem().SetNvItem(22, Pattern(5));
        lane.Start(SpawnTool(*lane.box, *lane.sim, i == 0 ? "backup-nv" : "restore-nv", "unknown"));
    }
    for (Lane& lane : lanes) {
        lane.End();
        EXPECT_EQ(lane.run.status, 1) << lane.run.out << lane.run.err;
        EXPECT_TRUE(Has(lane.run.history, "unknow terminal type!")) << lane.run.out;
        EXPECT_NE(lane.run.err.find("MESSAGE: unknow terminal type!!\n"), std::string::npos) << lane.run.err;
    }
    // The backup leaves no file behind.
    for (const char* name : {"Channel.nvm", "Channel.nvm.tmp", "Channel.nvm.incomplete", "_EFS_RF_NV", "_EFS_RF_NV.tmp"})
        EXPECT_FALSE(fs::exists(lanes[0].box->Version(name))) << name;
    EXPECT_EQ(DiagEvents(*lanes[0].sim, kNvRead), 1u);  // the IMEI only
    // The restore wrote the records before it looked at the type, then failed.
    EXPECT_EQ(lanes[1].sim->Modem().NvItem(22)->data, Pattern(1));
    EXPECT_TRUE(Has(lanes[1].run.history, "Reload NV fail!"));
}

// ---------------------------------------------------------------------------------------------
// Backup: a previous backup survives a backup that does not complete.

struct PreviousBackup {
    std::string nvm = PackRecord(22, Pattern(40), 0) + PackRecord(52, Pattern(41), SIM_NV_NOTACTIVE);
    std::string rf = "the previous RF NV file";
    void Write(const Sandbox& box) const {
        WriteFile(NvmPath(box), nvm);
        WriteFile(RfFolder(box) + "/00020215", rf);
    }
    void ExpectIntact(const Sandbox& box) const {
        EXPECT_EQ(ReadText(NvmPath(box)), nvm);
        EXPECT_EQ(FolderNames(RfFolder(box)), std::vector<std::string>{"00020215"});
        EXPECT_EQ(ReadText(RfFolder(box) + "/00020215"), rf);
        for (const char* leftover : {"Channel.nvm.tmp", "_EFS_RF_NV.tmp", "_EFS_RF_NV.old"})
            EXPECT_FALSE(fs::exists(box.Version(leftover))) << leftover;
    }
};

TEST(NvBackup, ABackupCutOffMidwayLeavesThePreviousBackupAsItWas) {
    // The modem goes silent, or the link drops, from list position 20 on; the backup gives up at
    // position 22 (a second failed read there stops it).
    const std::vector<int32_t> items = NvItemsOf("RK19T");
    const auto list = RfNvEntries("RK19T");
    for (size_t p = 20; p <= 22; ++p) ASSERT_FALSE(IsRfNvFileEntry(list[p])) << p;
    const PreviousBackup previous;
    std::vector<Lane> lanes(2);
    std::vector<std::unique_ptr<DiagCounter>> counters;
    for (size_t i = 0; i < lanes.size(); ++i) {
        Lane& lane = lanes[i];
        previous.Write(*lane.box);
        lane.sim = StartGateway("RK19T_V1.0.0");
        GatewaySim* s = lane.sim.get();
        const bool bSilence = i == 0;
        // Read 1 is the IMEI, read 2 + p the one of list position p.
        counters.push_back(std::make_unique<DiagCounter>(*lane.sim, kNvRead, [s, bSilence](int n) {
            if (n != 21) return;
            if (bSilence) s->UpdateKnobs([](SimKnobs& k) { k.silentDiagCodes = {SIM_ANY}; });
            else s->DropLink();
        }));
        lane.Start(SpawnTool(*lane.box, *lane.sim, "backup-nv", "cut", {}, "0.01"));
    }
    for (size_t i = 0; i < lanes.size(); ++i) {
        Lane& lane = lanes[i];
        lane.End();
        EXPECT_EQ(lane.run.status, 1) << i << lane.run.out << lane.run.err;
        EXPECT_TRUE(AnyMatches(lane.run.history, "Backup NV ID = " + std::to_string(list[19]) + "( is not active)?"))
            << i;
        EXPECT_FALSE(AnyMatches(lane.run.history, "Backup NV ID = " + std::to_string(list[22]) + ".*")) << i;
        // The thread fails with the modem client's last error: the read of position 22.
        EXPECT_TRUE(AnyMatches(lane.run.history, "cannot read #" + std::to_string(list[22]) + " NVItem, since .*"))
            << lane.run.out;
        EXPECT_FALSE(AnyMatches(lane.run.history, "Backup NV success.*")) << i;
        previous.ExpectIntact(*lane.box);
        lane.sim->Stop();
    }
}

TEST(NvBackup, ABackupWithAFailedExchangeIsKeptBesideThePreviousOne) {
    Sandbox box;
    const PreviousBackup previous;
    previous.Write(box);
    auto sim = StartGateway("RK19T_V1.0.0");
    const auto nvBefore = sim->Modem().NvItems();
    const std::vector<int32_t> items = NvItemsOf("RK19T");
    // The six attempts of the two reads of list position 5 get a DIAG error reply.
    constexpr int kPosition = 5;
    ASSERT_FALSE(IsRfNvFileEntry(RfNvEntries("RK19T")[kPosition]));
    GatewaySim* s = sim.get();
    DiagCounter counter(*sim, kNvRead, [s](int n) {
        if (n == 1 + kPosition) s->UpdateKnobs([](SimKnobs& k) { k.diagErrorReplies[kNvRead] = 0x14; });
        if (n == 1 + kPosition + 6) s->UpdateKnobs([](SimKnobs& k) { k.diagErrorReplies.clear(); });
    });
    ToolRun run = RunTool(box, *sim, "backup-nv", "incomplete");
    EXPECT_EQ(run.status, 1) << run.out << run.err;
    EXPECT_TRUE(Has(run.history, "Backup NV incomplete: 1 NV items and 0 RF NV files could not be read.")) << run.out;
    EXPECT_FALSE(AnyMatches(run.history, "Backup NV success.*"));
    sim->Stop();
    previous.ExpectIntact(box);

    // The new backup beside it: whole, with the failed item marked.
    const std::vector<FileRecord> records = ReadNvm(box.Version("Channel.nvm.incomplete"));
    ASSERT_EQ(records.size(), items.size());
    for (size_t i = 0; i < records.size(); ++i) {
        ASSERT_EQ(records[i].item, items[i]);
        if (i == kPosition) {
            EXPECT_EQ(records[i].status, 0xFFFF);
            EXPECT_EQ(records[i].data, (std::array<uint8_t, 128>{}));
        } else if (nvBefore.at(records[i].item).status == 0) {
            EXPECT_EQ(records[i].status, 0) << i;
            EXPECT_EQ(records[i].data, nvBefore.at(records[i].item).data) << i;
        }
    }
    EXPECT_EQ(FolderNames(box.Version("_EFS_RF_NV.incomplete")).size(), RfFilesOf("RK19T").size());
}

TEST(NvBackup, AGatewayThatHangsUpAfterLeavingDownloadModeStillEndsInSuccess) {
    Sandbox box;
    // A previous backup, which the complete new one replaces (its RF NV file is not in the RK18B
    // list: it goes with the old folder).
    const PreviousBackup previous;
    previous.Write(box);
    auto sim = StartGateway("RK18B_V1.0.0");
    sim->UpdateKnobs([](SimKnobs& k) { k.hangUpAfterTypes = {CMD_EXIT_DOWNLOAD}; });
    ToolRun run = RunTool(box, *sim, "backup-nv", "hangup");
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_TRUE(AnyMatches(run.history, R"(Backup NV success, total time is \d+ min \d+ sec)")) << run.out;
    // One request to leave, answered; no second try on a connection that is gone.
    EXPECT_EQ(RequestsOfType(*sim, CMD_EXIT_DOWNLOAD), 1u);
    const auto closes = sim->LinkCloses();
    ASSERT_FALSE(closes.empty());
    EXPECT_EQ(closes.front(), "hang-up after the reply to 0x30");
    EXPECT_FALSE(Has(run.history, "Exit KVO download mode fail!"));
    EXPECT_EQ(Size(NvmPath(box)), static_cast<long long>(kRecord * 298));
    EXPECT_EQ(ReadNvm(NvmPath(box)).front().item, NvItemsOf("RK18B").front());
    EXPECT_EQ(FolderNames(RfFolder(box)).size(), RfFilesOf("RK18B").size());
    EXPECT_FALSE(fs::exists(RfFolder(box) + "/00020215"));
    for (const char* leftover : {"Channel.nvm.tmp", "Channel.nvm.incomplete", "_EFS_RF_NV.tmp", "_EFS_RF_NV.old"})
        EXPECT_FALSE(fs::exists(box.Version(leftover))) << leftover;
}

// ---------------------------------------------------------------------------------------------
// The archive per IMEI, and the IMEI check before a restore.

constexpr char kImeiA[] = "356938035643809";  // the simulator's default
constexpr char kImeiB[] = "490154203237518";

std::unique_ptr<GatewaySim> StartUnit(const std::string& imei) {
    GatewaySimConfig config;
    config.knobs.cpeVersion = "RK18B_V1.0.0";
    config.imei = imei;  // "": no item 550
    auto sim = std::make_unique<GatewaySim>(config);
    EXPECT_TRUE(sim->Start()) << sim->LastError();
    return sim;
}

// "Channel.nvm" and the files of "_EFS_RF_NV" in `folder`, with their bytes.
std::map<std::string, std::string> BackupFiles(const std::string& folder) {
    std::map<std::string, std::string> files = {{"Channel.nvm", ReadText(folder + "/Channel.nvm")}};
    for (const std::string& name : FolderNames(folder + "/_EFS_RF_NV"))
        files["_EFS_RF_NV/" + name] = ReadText(folder + "/_EFS_RF_NV/" + name);
    return files;
}

// The name of the one archive folder of `imei`.
std::string ArchiveName(const Sandbox& box, const std::string& imei) {
    const auto names = FolderNames(box.Version("NV/" + imei));
    EXPECT_EQ(names.size(), 1u) << imei;
    if (names.size() != 1) return "none";
    EXPECT_TRUE(std::regex_match(names[0], std::regex(R"(\d{8}-\d{6})"))) << names[0];
    return names[0];
}

TEST(NvArchive, BackupsAreArchivedPerImeiAndARestoreOntoAnotherUnitAsksFirst) {
    Sandbox box;
    auto a = StartUnit(kImeiA);
    auto b = StartUnit(kImeiB);
    ToolRun backupA = RunTool(box, *a, "backup-nv", "backup-a");
    ASSERT_EQ(backupA.status, 0) << backupA.out << backupA.err;
    const auto filesA = BackupFiles(box.Version(""));
    ToolRun backupB = RunTool(box, *b, "backup-nv", "backup-b");
    ASSERT_EQ(backupB.status, 0) << backupB.out << backupB.err;
    a->Stop();
    b->Stop();

    // Both archived, each under its IMEI, A's byte for byte as A's backup was.
    const std::string nameA = ArchiveName(box, kImeiA), nameB = ArchiveName(box, kImeiB);
    const std::string archiveA = box.Version(std::string("NV/") + kImeiA + "/" + nameA);
    const std::string archiveB = box.Version(std::string("NV/") + kImeiB + "/" + nameB);
    EXPECT_TRUE(Has(backupA.history, "NV备份已存档：" + archiveA)) << backupA.out;
    EXPECT_TRUE(Has(backupB.history, "NV备份已存档：" + archiveB)) << backupB.out;
    EXPECT_EQ(BackupFiles(archiveA), filesA);
    EXPECT_EQ(BackupFiles(archiveB), BackupFiles(box.Version("")));
    EXPECT_NE(BackupFiles(archiveB), filesA);  // item 550 differs
    EXPECT_EQ(FolderNames(box.Version("NV")), (std::vector<std::string>{kImeiA, kImeiB}));

    // Restores onto fresh units, each lane with a copy of the archive: A's files onto B answered
    // No, and Yes; A's files onto a modem with a blank IMEI; B's archive onto B.
    struct RestoreCase {
        const char* imei;
        const char* from;
        std::vector<std::string> answer;
        int status;
    };
    const RestoreCase cases[] = {{kImeiB, kImeiA, {"--answer", "no"}, 1},
                                 {kImeiB, kImeiA, {"--answer", "yes"}, 0},
                                 {"", kImeiA, {}, 0},
                                 {kImeiB, kImeiB, {}, 0}};
    std::vector<Lane> lanes(std::size(cases));
    std::vector<std::map<uint16_t, SimNvItem>> before;
    for (size_t i = 0; i < lanes.size(); ++i) {
        Lane& lane = lanes[i];
        fs::create_directories(lane.box->Version(""));
        fs::copy(box.Version("NV"), lane.box->Version("NV"), fs::copy_options::recursive);
        lane.sim = StartUnit(cases[i].imei);
        before.push_back(lane.sim->Modem().NvItems());
        std::vector<std::string> extra = {"--restore-from", lane.box->Version(std::string("NV/") + cases[i].from + "/" +
                                                                               (cases[i].from == std::string(kImeiA) ? nameA : nameB))};
        extra.insert(extra.end(), cases[i].answer.begin(), cases[i].answer.end());
        lane.Start(SpawnTool(*lane.box, *lane.sim, "restore-nv", "restore", extra));
    }
    const std::string question = "MESSAGE: 要恢复的NV文件属于IMEI 356938035643809，本模块的IMEI是 490154203237518。";
    for (size_t i = 0; i < lanes.size(); ++i) {
        Lane& lane = lanes[i];
        lane.End();
        lane.sim->Stop();
        EXPECT_EQ(lane.run.status, cases[i].status) << i << lane.run.out << lane.run.err;
        EXPECT_EQ(lane.run.err.find(question) != std::string::npos, i < 2) << i << lane.run.err;
        EXPECT_FALSE(lane.sim->InDownloadMode()) << i;
        EXPECT_EQ(RequestsOfType(*lane.sim, CMD_EXIT_DOWNLOAD), 1u) << i;
    }

    // No: both IMEIs and B's newest archive named, that archive offered instead and declined;
    // nothing written, not even offline or the SPC.
    const Lane& no = lanes[0];
    const std::string newestB = no.box->Version(std::string("NV/") + kImeiB + "/" + nameB);
    EXPECT_NE(no.run.err.find(question + "\\n校准数据只属于原设备，写入其他设备会使射频指标不合格。\\n本模块IMEI最新的备份：" +
                              newestB + "\\n仍然恢复吗？\n"),
              std::string::npos)
        << no.run.err;
    EXPECT_NE(no.run.err.find("MESSAGE: 改为从 " + newestB + " 恢复吗？\n"), std::string::npos) << no.run.err;
    EXPECT_TRUE(Has(no.run.history, "IMEI不一致，已取消恢复NV，未向模块写入任何数据。")) << no.run.out;
    for (uint8_t code : {uint8_t{0x29}, uint8_t{0x41}, kNvWrite}) EXPECT_EQ(DiagEvents(*no.sim, code), 0u) << int{code};
    EXPECT_EQ(no.sim->Modem().NvItems(), before[0]);
    EXPECT_EQ(no.sim->Modem().Imei(), kImeiB);
    // Yes, the blank IMEI and B's own archive: restored (A's IMEI goes with A's files).
    const char* after[] = {nullptr, kImeiA, kImeiA, kImeiB};
    for (size_t i = 1; i < lanes.size(); ++i) {
        EXPECT_TRUE(AnyMatches(lanes[i].run.history, R"(Restore NV success, total time is \d+ min \d+ sec)")) << i;
        EXPECT_GT(DiagEvents(*lanes[i].sim, kNvWrite), 200u) << i;
        EXPECT_EQ(lanes[i].sim->Modem().Imei(), after[i]) << i;
    }
}

}  // namespace
