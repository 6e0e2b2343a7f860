#pragma once
// The program run headless against a simulated gateway with fault knobs. One run: a sandbox of its
// own, a GatewaySim on 127.0.0.1, the program spawned with every endpoint pointed at the simulator,
// and a watcher that checks the extracted images are not lost before their time.
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/trace.h"
#include "sim/gateway_sim.h"
#include "support/tool_harness.h"

namespace faults {

namespace fs = std::filesystem;
using tool_harness::Child;
using tool_harness::Sandbox;

inline constexpr long long ROOT_IMAGE_SIZE = 9306112;
inline constexpr long long BOOT_IMAGE_SIZE = 312980;

// The texts of the program, as the operator sees them.
inline constexpr const char* CLOSING = "如果再次管理wifi，请关闭工具软件和设备。按照操作说明重新进行升级操作。";
inline constexpr const char* COMM_ERROR =
    "与设备通信异常，点击【确定】按钮退出程序。\\n请严格按照操作说明重新进行管理操作。";
inline constexpr const char* SUCCESS_BOX = "管理成功。\\n点击【确定】按钮退出程序。";
inline constexpr const char* NV_AGAIN =
    "If need again operation, please close the software after the restart the terminal, restart the "
    "software upgrade.";

inline std::vector<uint8_t> Bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// The working download record, placed before the run with content of its own: no run may change
// or remove it.
inline std::string WorkRecordPath(const Sandbox& box) { return box.root + "/Windows/System32/kdlcsv.ds.dll"; }
inline std::vector<uint8_t> WorkRecordBytes() {
    std::vector<uint8_t> b(3000);
    for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<uint8_t>((i * 131 + 7) & 0xFF);
    return b;
}

inline std::string VersionFolder(const Sandbox& box) {
    return box.root + "/Program Files/Windows Service/RK880TVersion";
}

// One 136-byte NV record: item, zero, 128 data bytes, status, zero (little-endian).
inline std::vector<uint8_t> NvRecord(uint16_t item, const std::array<uint8_t, 128>& data, uint16_t status = 0) {
    std::vector<uint8_t> r(136, 0);
    r[0] = static_cast<uint8_t>(item & 0xFF);
    r[1] = static_cast<uint8_t>(item >> 8);
    std::copy(data.begin(), data.end(), r.begin() + 4);
    r[132] = static_cast<uint8_t>(status & 0xFF);
    r[133] = static_cast<uint8_t>(status >> 8);
    return r;
}

// A backup file of the given items, their data as the preset modem holds them.
inline std::vector<uint8_t> NvFile(const std::vector<uint16_t>& items) {
    std::vector<uint8_t> out;
    for (uint16_t item : items) {
        const auto r = NvRecord(item, PresetNvData(item));
        out.insert(out.end(), r.begin(), r.end());
    }
    return out;
}

// The last good NV backup, placed before a run: "Channel.nvm" and one RF NV file.
struct GoodBackup {
    std::vector<uint8_t> file;
    std::vector<uint8_t> rfFile;
    static constexpr const char* RF_NAME = "00020215";

    void Place(const Sandbox& box) const {
        WriteBytes(VersionFolder(box) + "/Channel.nvm", file);
        WriteBytes(VersionFolder(box) + "/_EFS_RF_NV/" + RF_NAME, rfFile);
    }
    // Still there, byte for byte.
    void Expect(const Sandbox& box, const std::string& context) const {
        EXPECT_EQ(Bytes(VersionFolder(box) + "/Channel.nvm"), file) << context << ": the good backup changed";
        EXPECT_EQ(Bytes(VersionFolder(box) + "/_EFS_RF_NV/" + RF_NAME), rfFile)
            << context << ": the good RF NV file changed";
    }
};

inline GoodBackup MakeGoodBackup() {
    GoodBackup g;
    g.file = NvFile({23, 52, 550});
    for (int i = 0; i < 700; ++i) g.rfFile.push_back(static_cast<uint8_t>(0xA5 ^ i));
    return g;
}

// Everything one run of the program produced.
struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
    std::string imageProblem;  // non-empty when an image went missing before its time
    double seconds = 0;        // from the start to the end of the program
};

// Stamped history entries of `text` in standard output (stamp, "——", the text, end of line).
inline int CountStamped(const std::string& out, const std::string& text) {
    int n = 0;
    const std::string needle = "——" + text + "\n";
    for (size_t at = out.find(needle); at != std::string::npos; at = out.find(needle, at + needle.size())) ++n;
    return n;
}

inline bool HasLine(const std::string& text, const std::string& line) {
    for (const std::string& l : tool_harness::Lines(text))
        if (l == line) return true;
    return false;
}

// The extracted images exist in full from start-up until the program deletes them: after a
// transfer (progress 91) or a failed one (after its closing message), or at teardown, when the
// process ends at once. Polls until `stop`; reports the first image that vanished early.
class ImageWatch {
public:
    ImageWatch(const Sandbox& box, const Child& child) : m_box(box), m_child(child) {
        m_thread = std::thread([this] { Run(); });
    }
    ~ImageWatch() { Stop(); }
    void Stop() {
        m_bStop = true;
        if (m_thread.joinable()) m_thread.join();
    }
    const std::string& Problem() const { return m_problem; }

private:
    bool Extracted() const {
        return tool_harness::Size(m_box.Version("root_uImage")) == ROOT_IMAGE_SIZE &&
               tool_harness::Size(m_box.Version("uboot.img")) == BOOT_IMAGE_SIZE;
    }
    // (a case may change an image on disk after the extraction)
    bool Present() const {
        return tool_harness::Size(m_box.Version("root_uImage")) > 0 && tool_harness::Size(m_box.Version("uboot.img")) > 0;
    }
    bool Marked() const {
        const std::string err = tool_harness::ReadText(m_child.err);
        return err.find("PROGRESS: 0 91\n") != std::string::npos || err.find("MESSAGE: ") != std::string::npos;
    }
    bool Alive() const { return tool_harness::Alive(m_child); }
    void Run() {
        // From the extraction on.
        while (!m_bStop && !Extracted()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        while (!m_bStop) {
            if (!Present() && !Marked()) {
                // Teardown deletes them just before the process ends: allow it that moment.
                const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
                bool bEnded = false;
                while (!m_bStop && std::chrono::steady_clock::now() < end) {
                    if (Marked()) break;
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                }
                bEnded = m_bStop || Marked();
                if (!bEnded) m_problem = "an image vanished before its time while the program ran on";
                return;
            }
            if (Marked()) return;  // from here on the program may delete them
            std::this_thread::sleep_for(std::chrono::milliseconds(15));
        }
    }

    const Sandbox& m_box;
    const Child& m_child;
    std::atomic<bool> m_bStop{false};
    std::thread m_thread;
    std::string m_problem;
};

enum class Task { None, Upgrade, Backup, Restore };

struct RunPlan {
    Task task = Task::Upgrade;
    double timeScale = 0.01;
    double giveUpAfter = 40;           // real seconds
    std::vector<std::string> extra;    // further options
    // Runs in the test thread while the program runs (e.g. waits for the ready line, then turns
    // a knob). Must return by itself.
    std::function<void(GatewaySim&, const Child&)> during;
};

inline std::vector<std::string> SimArgs(const Sandbox& box, const GatewaySim& sim, const RunPlan& plan) {
    std::vector<std::string> args = {"--headless", "--root", box.root, "--program-folder", box.program,
                                     "--gateway", "127.0.0.1", "--no-arp-flush",
                                     "--web-port", std::to_string(sim.WebPort()),
                                     "--setting-port", std::to_string(sim.SettingPort()),
                                     "--link-port", "0",
                                     "--announce-to", "127.0.0.1:" + std::to_string(sim.AnnouncePort()),
                                     "--announce-address", "127.0.0.1",
                                     "--time-scale", plat::Format("%g", plan.timeScale),
                                     "--give-up-after", plat::Format("%g", plan.giveUpAfter)};
    switch (plan.task) {
        case Task::None: break;
        case Task::Upgrade: args.insert(args.end(), {"--press-download"}); break;
        case Task::Backup: args.insert(args.end(), {"--press-download", "--mode", "backup-nv"}); break;
        case Task::Restore: args.insert(args.end(), {"--press-download", "--mode", "restore-nv"}); break;
    }
    args.insert(args.end(), plan.extra.begin(), plan.extra.end());
    return args;
}

// Spawns the program against `sim`, waits for its end (bounded: give-up plus a margin; a hang
// shows as status -1) and collects what it wrote.
inline RunResult RunTool(const Sandbox& box, GatewaySim& sim, const RunPlan& plan) {
    RunResult r;
    const auto began = std::chrono::steady_clock::now();
    Child child = tool_harness::Spawn(box, SimArgs(box, sim, plan), "tool");
    if (child.pid <= 0) {
        ADD_FAILURE() << "the program could not be started";
        return r;
    }
    {
        ImageWatch watch(box, child);
        if (plan.during) plan.during(sim, child);
        r.status = tool_harness::Wait(child, static_cast<int>(plan.giveUpAfter * 1000) + 30000);
        r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
        watch.Stop();
        r.imageProblem = watch.Problem();
    }
    r.out = tool_harness::ReadText(child.out);
    r.err = tool_harness::ReadText(child.err);
    return r;
}

// Waits (bounded) until standard output holds `text`.
inline bool WaitForOut(const Child& child, const std::string& text, int limitMs) {
    return tool_harness::WaitFor(
        [&] { return tool_harness::ReadText(child.out).find(text) != std::string::npos; }, limitMs);
}

}  // namespace faults
