// The built program run headless: start-up, the single instance, the exits and the output lines.
// Every run has its own machine root, runtime folder, working folder and program folder.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <set>

#include "support/tool_harness.h"

namespace {

using namespace tool_harness;
namespace fs = std::filesystem;

TEST(Tool, StartUpExtractsTheImagesGivesUpAndDeletesThem) {
    Sandbox box;
    auto args = BaseArgs(box);
    args.insert(args.end(), {"--give-up-after", "5"});
    Child first = Spawn(box, args, "first");
    ASSERT_GT(first.pid, 0);
    ASSERT_TRUE(WaitFor([&] { return Size(box.Version("root_uImage")) == 9306112 && Size(box.Version("uboot.img")) == 312980; },
                        20000));

#ifndef _WIN32  // dumpimage is a program of the Linux host
    const std::string boot = Shell("dumpimage -l '" + box.Version("uboot.img") + "'");
    EXPECT_NE(boot.find("SPI Flash Image"), std::string::npos) << boot;
    EXPECT_NE(boot.find("Data Size:    312916 Bytes"), std::string::npos) << boot;
    const std::string kernel = box.base + "/kernel.img";
    Shell("head -c " + std::to_string(64 + 1251953) + " '" + box.Version("root_uImage") + "' > '" + kernel + "'");
    const std::string root = Shell("dumpimage -l '" + kernel + "'");
    EXPECT_NE(root.find("Linux Kernel Image"), std::string::npos) << root;
    EXPECT_NE(root.find("Data Size:    1251953 Bytes"), std::string::npos) << root;
#endif

    // A second copy meanwhile: the message, exit 0, the first undisturbed.
    Child second = Spawn(box, args, "second");
    EXPECT_EQ(Wait(second, 20000), 0);
    EXPECT_EQ(ReadText(second.err), "MESSAGE: 程序已经运行!\n");
    EXPECT_EQ(ReadText(second.out), "");
    EXPECT_EQ(Size(box.Version("uboot.img")), 312980);

    EXPECT_EQ(Wait(first, 30000), 3);
    EXPECT_FALSE(fs::exists(box.Version("root_uImage")));
    EXPECT_FALSE(fs::exists(box.Version("uboot.img")));
    EXPECT_TRUE(fs::is_directory(box.cwd + "/Logs"));
    // Standard output holds status history entries only: stamped ones, and the web commands'
    // texts, which are shown without a stamp.
    const std::regex stamped(R"(^\d{4}\.\d{1,2}\.\d{1,2} \d{1,2}:\d{1,2}:\d{1,2}——.*$)");
    for (const std::string& l : Lines(ReadText(first.out)))
        EXPECT_TRUE(std::regex_match(l, stamped) || l.rfind("连接失败，请使用浏览器访问 ", 0) == 0) << l;
    const std::string err = ReadText(first.err);
    ExpectErrFormat(err);
    EXPECT_EQ(err.rfind("PROGRESS: 0 0\n", 0), 0u) << err;  // the start-up's progress comes first
    EXPECT_EQ(err.find("MESSAGE: "), std::string::npos) << err;
}

// The program on its own defaults: no --root, no --program-folder, no endpoint (--simulate points
// every one at the simulator on 127.0.0.1). The README's first command upgrades to success, the
// export and the Clear command do their work, and every file lies where the defaults put it: on
// Linux under $XDG_DATA_HOME/rk880t-tool/C, on Windows on the system drive itself (under Wine the
// prefix's own drive C:) with the system directory a 32-bit program sees.
TEST(Tool, DefaultsUpgradeExportAndClearWithTheFilesWhereTheyBelong) {
    Sandbox box;
    std::map<std::string, std::string> env;
#ifdef _WIN32
    const std::string root = "C:";
    wchar_t buf[MAX_PATH] = {};
    UINT n = GetSystemWow64DirectoryW(buf, MAX_PATH);
    if (n == 0) n = GetSystemDirectoryW(buf, MAX_PATH);
    const std::string system = plat::Narrow(std::wstring(buf, n));
#else
    env["XDG_DATA_HOME"] = box.base + "/data";
    const std::string root = box.base + "/data/rk880t-tool/C";
    const std::string system = root + "/Windows/System32";
#endif
    const std::string ini = system + "/DerorEZ_LTE_RK19S2V1.00.00.ini";
    const std::string record = system + "/kdlcsv.ds.dll";
    const std::string version = root + "/Program Files/Windows Service/RK880TVersion";
    const auto clean = [&] {
        std::error_code ec;
        for (const std::string& f : {ini, record, system + "/kdlcsv.txt"}) fs::remove(f, ec);
        fs::remove_all(root + "/Program Files/Windows Service", ec);
    };
    clean();

    Child c = Spawn(box, {"--headless", "--simulate", "--press-download", "--give-up-after", "120"}, "simulate", env);
    ASSERT_GT(c.pid, 0);
    EXPECT_EQ(Wait(c, 150000), 0);
    const std::string err = ReadText(c.err);
    EXPECT_NE(err.find("MESSAGE: 管理成功。\\n点击【确定】按钮退出程序。\n"), std::string::npos) << err;
    EXPECT_NE(ReadText(c.out).find("——连接完成\n"), std::string::npos);
    EXPECT_TRUE(fs::is_directory(version));
    EXPECT_FALSE(fs::exists(version + "/uboot.img"));  // extracted at start-up, deleted at the close
    EXPECT_NE(ReadText(ini).find("="), std::string::npos) << ini;
    EXPECT_GT(Size(record), 0) << record;
    EXPECT_TRUE(fs::is_directory(box.cwd + "/Logs"));

    Child csv = Spawn(box, {"--export-csv", box.base + "/out.csv"}, "csv", env);
    EXPECT_EQ(Wait(csv, 30000), 0);
    EXPECT_NE(ReadText(csv.err).find("MESSAGE: CSV文件导出成功!\n"), std::string::npos) << ReadText(csv.err);
    EXPECT_GT(Size(box.base + "/out.csv"), 0);

    Child clear = Spawn(box, {"--clear-counts"}, "clear", env);
    EXPECT_EQ(Wait(clear, 30000), 0);
    EXPECT_NE(ReadText(ini).find("ClearTime="), std::string::npos) << ReadText(ini);
    clean();
}

#ifdef _WIN32
// The libraries a PE32+ program names in its import directory: those the loader resolves before
// the program runs.
std::vector<std::string> ReadImports(const std::string& program) {
    const std::string b = ReadText(program);
    const auto u16 = [&b](size_t at) -> uint32_t {
        return at + 2 <= b.size() ? static_cast<uint8_t>(b[at]) | static_cast<uint8_t>(b[at + 1]) << 8 : 0;
    };
    const auto u32 = [&](size_t at) -> uint32_t { return u16(at) | u16(at + 2) << 16; };
    std::vector<std::string> names;
    const size_t pe = u32(0x3C);
    if (b.compare(0, 2, "MZ") != 0 || b.compare(pe, 4, std::string("PE\0\0", 4)) != 0) return names;
    const size_t optional = pe + 24, sections = optional + u16(pe + 20), count = u16(pe + 6);
    if (u16(optional) != 0x20B) return names;  // PE32+
    const auto offsetOf = [&](uint32_t rva) -> size_t {
        for (size_t i = 0; i < count; ++i) {
            const size_t h = sections + 40 * i;
            const uint32_t va = u32(h + 12), size = std::max(u32(h + 8), u32(h + 16)), raw = u32(h + 20);
            if (rva >= va && rva < va + size) return raw + (rva - va);
        }
        return b.size();
    };
    for (size_t d = offsetOf(u32(optional + 112 + 8)); d + 20 <= b.size() && u32(d + 12) != 0; d += 20) {
        const size_t at = offsetOf(u32(d + 12));
        if (at < b.size()) names.push_back(b.c_str() + at);
    }
    return names;
}

std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// Windows' KnownDLLs: mapped from the system folder whatever lies beside a program.
bool IsKnownDll(const std::string& name) {
    static const std::set<std::string> known = {
        "ADVAPI32.DLL", "CLBCATQ.DLL", "COMBASE.DLL", "COMDLG32.DLL", "COML2.DLL",  "DIFXAPI.DLL",
        "GDI32.DLL",    "GDIPLUS.DLL", "IMAGEHLP.DLL", "IMM32.DLL",  "KERNEL32.DLL", "MSCTF.DLL",
        "MSVCRT.DLL",   "NORMALIZ.DLL", "NSI.DLL",    "OLE32.DLL",   "OLEAUT32.DLL", "PSAPI.DLL",
        "RPCRT4.DLL",   "SECHOST.DLL", "SETUPAPI.DLL", "SHCORE.DLL", "SHELL32.DLL", "SHLWAPI.DLL",
        "USER32.DLL",   "WLDAP32.DLL", "WS2_32.DLL",  "NTDLL.DLL"};
    return known.count(Upper(name)) != 0;
}
#endif

// A machine root, program folder and working folder with Chinese names (UTF-8 inside, wide at
// the Windows edge; a narrow path would follow the ANSI code page and miss them): the
// configuration file read, an upgrade, an NV backup with its archive, a restore from that archive,
// both exports and the line log, one run after the other. On Windows the program runs as a copy
// in the Chinese program folder (its default program folder), beside a planted "cmd.exe" and
// "icmp.dll" of garbage bytes: the planted library loaded shows "Could not load ICMP.DLL". (The
// ARP flush, the one user of cmd.exe, is skipped for the loopback gateway of --simulate; here
// the planted cmd.exe shows only that nothing else starts it.) The libraries that are no KnownDLL
// (IPHLPAPI.DLL, COMCTL32.dll, and any such name the program's import table lists) are planted
// too, as a library that marks its loading: none may be resolved before the program limits its
// search, nor loaded from its folder after.
TEST(Tool, ChineseFolderNamesWorkEndToEndAndPlantedSystemFilesAreNotUsed) {
    Sandbox box;
    box.root = box.base + "/测试根";
    box.program = box.base + "/程序文件夹";
    box.cwd = box.base + "/工作目录";
    for (const std::string& d : {box.program, box.cwd}) fs::create_directories(Utf8Path(d));
    const auto write = [](const std::string& path, const std::string& bytes) {
        std::ofstream(Utf8Path(path), std::ios::binary) << bytes;
    };
    // The pristine download record the build puts beside the program.
    fs::copy_file(fs::path(RK_TOOL_PATH).parent_path() / "RecordCSV.sdi", Utf8Path(box.program + "/RecordCSV.sdi"));
    // The configuration file of the right size: read silently (unreadable, it is reported as of the
    // wrong size).
    const std::string cfg = box.program + "/MG_RK880T_PDWA_CN_VEV1.00.00.cfg";
    write(cfg, std::string(64448, '\0'));
    std::string tool = RK_TOOL_PATH;
    std::vector<std::string> common = {"--headless", "--simulate", "--root", box.root, "--time-scale", "0.05"};
#ifdef _WIN32
    tool = box.program + "/rk880t-tool.exe";
    fs::copy_file(Utf8Path(RK_TOOL_PATH), Utf8Path(tool));
    const std::string garbage = "MZ not a program, not a library";
    for (const char* name : {"cmd.exe", "icmp.dll"}) write(box.program + "/" + name, garbage);
    // The libraries the program loads later (delay-loaded), and whatever of its import table is no
    // KnownDLL (none may be: the loader would take it from the program's folder before main).
    const std::vector<std::string> imports = ReadImports(tool);
    EXPECT_NE(std::find(imports.begin(), imports.end(), "KERNEL32.dll"), imports.end());  // the table was read
    std::vector<std::string> planted = {"IPHLPAPI.DLL", "COMCTL32.DLL"};
    for (const std::string& name : imports) {
        EXPECT_TRUE(IsKnownDll(name)) << name << " is imported before the search is limited";
        if (!IsKnownDll(name)) planted.push_back(Upper(name));
    }
    // Wine prefers its own builtin libraries to one beside a program; Windows takes the one in the
    // program's folder for every library that is no KnownDLL. Native first, as there.
    const char* overrides = std::getenv("WINEDLLOVERRIDES");
    std::string wineOrder = overrides ? overrides : "";
    for (const std::string& name : planted) {
        fs::copy_file(Utf8Path(RK_PLANTED_DLL_PATH), Utf8Path(box.program + "/" + name));
        wineOrder += (wineOrder.empty() ? "" : ";") + name.substr(0, name.rfind('.')) + "=n,b";
    }
    SetEnvironmentVariableA("WINEDLLOVERRIDES", wineOrder.c_str());
#else
    common.insert(common.end(), {"--program-folder", box.program});
#endif
    const auto run = [&](const std::vector<std::string>& extra, const std::string& tag, std::string& out,
                         std::string& err) {
        std::vector<std::string> args = common;
        args.insert(args.end(), extra.begin(), extra.end());
        Child c = SpawnProgram(box, tool, args, tag);
        EXPECT_GT(c.pid, 0) << tag;
        const int status = Wait(c, 200000);
        out = ReadText(c.out);
        err = ReadText(c.err);
        for (const std::string& m : Messages(err)) {
            EXPECT_EQ(m.find("配置文件"), std::string::npos) << tag << ": " << m;
            EXPECT_EQ(m.find("ICMP.DLL"), std::string::npos) << tag << ": " << m;
        }
        return status;
    };
    std::string out, err;

    ASSERT_EQ(run({"--press-download", "--give-up-after", "150"}, "upgrade", out, err), 0) << out << err;
    EXPECT_NE(err.find("MESSAGE: 管理成功。\\n点击【确定】按钮退出程序。\n"), std::string::npos) << err;
    EXPECT_TRUE(fs::is_directory(Utf8Path(box.Version(""))));
    EXPECT_NE(ReadText(box.root + "/Windows/System32/DerorEZ_LTE_RK19S2V1.00.00.ini").find("SuccessCounts=1"),
              std::string::npos);
    EXPECT_NE(ReadText(box.cwd + "/Logs/Line1.log").find("End DownloadLinux"), std::string::npos);
#ifdef _WIN32
    EXPECT_FALSE(fs::exists(Utf8Path(box.program + "/planted-dll-loaded.txt")));
#endif

    ASSERT_EQ(run({"--mode", "backup-nv", "--press-download", "--give-up-after", "150"}, "backup", out, err), 0)
        << out << err;
    const std::string imeiFolder = box.Version("NV/356938035643809");
    std::vector<std::string> archives;
    for (const auto& e : fs::directory_iterator(Utf8Path(imeiFolder))) archives.push_back(Utf8(e.path().filename()));
    ASSERT_EQ(archives.size(), 1u);
    const std::string archive = imeiFolder + "/" + archives[0];
    EXPECT_NE(out.find(Stamped("NV备份已存档：" + archive)), std::string::npos) << out;
    const std::string nvm = ReadText(box.Version("Channel.nvm"));
    EXPECT_EQ(nvm.size(), 136u * 468);  // the simulator's RK19T modem
    EXPECT_EQ(ReadText(archive + "/Channel.nvm"), nvm);
    EXPECT_FALSE(fs::is_empty(Utf8Path(archive + "/_EFS_RF_NV")));

    // A fresh simulated modem of the same IMEI, restored from the archive.
    ASSERT_EQ(run({"--mode", "restore-nv", "--restore-from", archive, "--answer", "yes", "--press-download",
                   "--give-up-after", "150"},
                  "restore", out, err),
              0)
        << out << err;
    EXPECT_TRUE(std::regex_search(err, std::regex(R"(MESSAGE: Restore NV success, total time is \d+ min \d+ sec\n)")))
        << err;

    // Each task left one whole row in the history of units beside its run log.
    const std::string logs = box.root + "/Program Files/Windows Service/Logs";
    const std::vector<std::string> rows = Lines(ReadText(logs + "/history.csv"));
    ASSERT_EQ(rows.size(), 4u) << ReadText(logs + "/history.csv");
    EXPECT_EQ(rows[0], "\xEF\xBB\xBFstart,duration_s,line,task,gateway_mac,modem_version,cpe_version,result,outcome,log\r");
    const char* tasks[] = {"upgrade", "nv-backup", "nv-restore"};
    for (size_t i = 1; i < rows.size(); ++i) {
        const std::string& row = rows[i];
        EXPECT_NE(row.find(std::string(",1,") + tasks[i - 1] + ",,"), std::string::npos) << row;
        EXPECT_NE(row.find(",passed,"), std::string::npos) << row;
        const std::string log = row.substr(row.rfind(',') + 1, row.size() - row.rfind(',') - 2);
        EXPECT_NE(ReadText(logs + "/" + log).find("outcome: passed"), std::string::npos) << log;
    }

    ASSERT_EQ(run({"--export-csv", box.cwd + "/记录.csv"}, "csv", out, err), 0) << err;
    EXPECT_NE(err.find("MESSAGE: CSV文件导出成功!\n"), std::string::npos) << err;
    EXPECT_GT(Size(box.cwd + "/记录.csv"), 0);
    ASSERT_EQ(run({"--export-sdi", box.cwd + "/记录.sdi"}, "sdi", out, err), 0) << err;
    EXPECT_TRUE(fs::exists(Utf8Path(box.cwd + "/记录.sdi")));

#ifdef _WIN32
    for (const char* name : {"cmd.exe", "icmp.dll"}) EXPECT_EQ(ReadText(box.program + "/" + name), garbage) << name;
#endif
}

TEST(Tool, SigtermAndSigintEndThroughTheClosePath) {
#ifdef _WIN32
    GTEST_SKIP() << "no signals on Windows (console events need a shared console)";
#else
    for (const int sig : {SIGTERM, SIGINT}) {
        Sandbox box;
        auto args = BaseArgs(box);
        args.insert(args.end(), {"--give-up-after", "60"});
        Child c = Spawn(box, args, "signal");
        ASSERT_GT(c.pid, 0);
        ASSERT_TRUE(WaitFor([&] { return Size(box.Version("uboot.img")) == 312980; }, 20000));
        // Let the start-up finish (the images are written before its last steps).
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        ::kill(c.pid, sig);
        EXPECT_EQ(Wait(c, 20000), 128 + sig) << sig;
        EXPECT_FALSE(fs::exists(box.Version("root_uImage"))) << sig;
        EXPECT_FALSE(fs::exists(box.Version("uboot.img"))) << sig;
        ExpectErrFormat(ReadText(c.err));
    }
#endif
}

TEST(Tool, WifiLimitIsValidatedLikeTheDialog) {
    struct Case {
        const char* text;
        int status;
        const char* message;
    };
    const Case cases[] = {
        {"0", 4, "MESSAGE: “请填入一个在1和32之间的整数。”\n"},
        {"33", 4, "MESSAGE: “请填入一个在1和32之间的整数。”\n"},
        {"abc", 4, "MESSAGE: 请键入一个整数。\n"},
        {"-0", 4, "MESSAGE: 请键入一个整数。\n"},
        {" 5", 3, nullptr},
    };
    for (const Case& k : cases) {
        Sandbox box;
        auto args = BaseArgs(box);
        args.insert(args.end(), {"--wifi-max", k.text, "--give-up-after", "1"});
        Child c = Spawn(box, args, "wifi");
        EXPECT_EQ(Wait(c, 30000), k.status) << k.text;
        const std::string err = ReadText(c.err);
        if (k.message) {
            EXPECT_EQ(err, k.message) << k.text;
            EXPECT_FALSE(fs::exists(box.root + "/Program Files")) << k.text;
            EXPECT_FALSE(fs::exists(box.cwd + "/Logs")) << k.text;  // ended before any folder
        } else {
            EXPECT_EQ(err.find("请键入"), std::string::npos) << err;
            EXPECT_EQ(err.find("请填入"), std::string::npos) << err;
        }
        if (k.message) {
            EXPECT_EQ(ReadText(c.out), "");
        }
    }
}

TEST(Tool, BadCommandLineShowsTheUsage) {
    Sandbox box;
    Child c = Spawn(box, {"--headless", "--root", box.root, "--no-such-option"}, "usage");
    EXPECT_EQ(Wait(c, 10000), 2);
    const std::string err = ReadText(c.err);
    EXPECT_NE(err.find("unknown option: --no-such-option"), std::string::npos) << err;
    EXPECT_NE(err.find("usage: rk880t-tool"), std::string::npos) << err;
}

#ifdef _WIN32
// The console twin beside rk880t-tool.exe.
std::string ConsoleTwin() {
    const std::string exe = RK_TOOL_PATH;
    return exe.substr(0, exe.size() - 4) + ".com";
}

// The Subsystem field of a PE file's optional header (2 Windows GUI, 3 console); -1 when unreadable.
int PeSubsystem(const std::string& path) {
    const std::string bytes = ReadText(path);
    const auto at = [&](size_t i, size_t n) {
        unsigned v = 0;
        for (size_t k = n; k-- > 0;) v = v << 8 | static_cast<unsigned char>(bytes[i + k]);
        return v;
    };
    if (bytes.size() < 0x40 || bytes.compare(0, 2, "MZ") != 0) return -1;
    const size_t pe = at(0x3C, 4);
    if (bytes.size() < pe + 24 + 70 || bytes.compare(pe, 4, std::string("PE\0\0", 4)) != 0) return -1;
    return static_cast<int>(at(pe + 24 + 68, 2));
}
#endif

TEST(Tool, ExportAndClearCommandsExitWithTheirResult) {
    Sandbox box;
    // Without the pristine record the export fails (after the record store has asked for it).
    fs::remove(box.program + "/RecordCSV.sdi");
    {
        auto args = BaseArgs(box);
        args.insert(args.end(), {"--export-csv", box.base + "/out.csv"});
        Child c = Spawn(box, args, "csv-fail");
        EXPECT_EQ(Wait(c, 30000), 1);
        EXPECT_FALSE(fs::exists(box.base + "/out.csv"));
        EXPECT_NE(ReadText(c.err).find("MESSAGE: 原始文件查找失败，请指定安装文件夹下'RecordCSV.sdi'文件路径.\n"),
                  std::string::npos);
    }
    { std::ofstream(box.program + "/RecordCSV.sdi", std::ios::binary); }
    {
        // A CSV file that cannot be written (no such folder) is said in a box, and the run fails.
        const std::string unwritable = box.base + "/no-such-folder/out.csv";
        auto args = BaseArgs(box);
        args.insert(args.end(), {"--export-csv", unwritable});
        Child c = Spawn(box, args, "csv-unwritable");
        EXPECT_EQ(Wait(c, 30000), 1);
        EXPECT_NE(ReadText(c.err).find("MESSAGE: CSV文件导出失败：" + unwritable + "\n"), std::string::npos)
            << ReadText(c.err);
    }
    {
        // Without --headless (a display or not): a command run asks nobody and ends by itself.
        auto args = BaseArgs(box);
        args.erase(args.begin());
        args.insert(args.end(), {"--export-csv", box.base + "/out.csv"});
#ifdef _WIN32
        // On Windows from a console: rk880t-tool.com, the console twin of the window program
        // (which has no console, so Explorer opens none), writes there and gives its exit status.
        EXPECT_EQ(PeSubsystem(RK_TOOL_PATH), 2);
        EXPECT_EQ(PeSubsystem(ConsoleTwin()), 3);
        Child c = SpawnProgram(box, ConsoleTwin(), args, "csv");
#else
        Child c = Spawn(box, args, "csv");
#endif
        EXPECT_EQ(Wait(c, 30000), 0);
        EXPECT_TRUE(fs::exists(box.base + "/out.csv"));
        const std::string err = ReadText(c.err);
        EXPECT_NE(err.find("MESSAGE: CSV文件导出成功!\n"), std::string::npos) << err;
        // No line is at work in a command run: no progress and no picture lines.
        EXPECT_EQ(err.find("PROGRESS:"), std::string::npos) << err;
        EXPECT_EQ(err.find("PICTURE:"), std::string::npos) << err;
        // The command ran without the link watcher and through the close path.
        EXPECT_FALSE(fs::exists(box.Version("uboot.img")));
    }
    {
        auto args = BaseArgs(box);
        args.insert(args.end(), {"--export-sdi", box.base + "/out.sdi"});
        Child c = Spawn(box, args, "sdi");
        EXPECT_EQ(Wait(c, 30000), 0);
        const std::string err = ReadText(c.err);
        EXPECT_NE(err.find("MESSAGE: 注意：导出SDI文件记录，将会清空使用本平台下载的相关记录！\n"), std::string::npos) << err;
        EXPECT_TRUE(fs::exists(box.base + "/out.sdi"));
    }
    {
        auto args = BaseArgs(box);
        args.insert(args.end(), {"--clear-counts", "--answer", "no"});
        Child c = Spawn(box, args, "clear-no");
        EXPECT_EQ(Wait(c, 30000), 1);
        EXPECT_NE(ReadText(c.err).find("MESSAGE: 确定清零当前计数？\n"), std::string::npos);
    }
    {
        auto args = BaseArgs(box);
        args.insert(args.end(), {"--clear-counts"});
        Child c = Spawn(box, args, "clear");
        EXPECT_EQ(Wait(c, 30000), 0);
        const std::string ini = ReadText(box.root + "/Windows/System32/DerorEZ_LTE_RK19S2V1.00.00.ini");
        EXPECT_NE(ini.find("ClearTime="), std::string::npos) << ini;
    }
}

}  // namespace
