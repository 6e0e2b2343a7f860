#include "fuzz/fuzz_support.h"

#include "platform/fs.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/trace.h"

namespace rkfuzz {

namespace {

namespace fs = std::filesystem;

std::mutex g_checkMutex;
CheckHandler g_checkHandler;

// The smallest time scale the clock accepts: every scaled wait of the tool is 100 ms or a
// hundredth of its length.
constexpr double kFuzzTimeScale = 0.01;

std::string& TempPath() {
    static std::string path;
    return path;
}

void RemoveTempFolder() {
    if (TempPath().empty()) return;
    std::error_code ec;
    fs::remove_all(TempPath(), ec);
}

// Folders of earlier processes that ended without their exit handlers (a crash found by the
// fuzzer ends the process at once).
void RemoveStaleFolders(const fs::path& base) {
#ifdef _WIN32
    // No /proc to tell a live process from a gone one: another test program's live folder would
    // go too. (A crashed run's folder stays in the throw-away prefix.)
    static_cast<void>(base);
    return;
#endif
    static const std::string prefix = "rk880t-fuzz.";
    std::error_code ec;
    for (fs::directory_iterator it(base, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.rfind(prefix, 0) != 0) continue;
        const std::string pid = name.substr(prefix.size());
        if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) continue;
        std::error_code pec;
        if (fs::exists(fs::path("/proc") / pid, pec)) continue;
        fs::remove_all(it->path(), pec);
    }
}

}  // namespace

std::vector<Target>& Targets() {
    static std::vector<Target> targets;
    return targets;
}

const Target* FindTarget(std::string_view name) {
    for (const Target& t : Targets())
        if (t.name == name) return &t;
    return nullptr;
}

Registrar::Registrar(const char* name, EntryFn entry, SeedFn seeds) {
    Targets().push_back(Target{name, entry, seeds});
}

void Init() {
    static std::once_flag once;
    std::call_once(once, [] {
        plat::SetTraceSink(nullptr);
        TempFolder();
    });
}

const std::string& TempFolder() {
    static std::once_flag once;
    std::call_once(once, [] {
        const char* base = std::getenv("TMPDIR");
        const fs::path root = base && *base ? base : "/tmp";
        RemoveStaleFolders(root);
        fs::path dir = root / ("rk880t-fuzz." + std::to_string(plat::ProcessId()));
        std::error_code ec;
        fs::remove_all(dir, ec);
        fs::create_directories(dir, ec);
        TempPath() = dir.string();
        std::atexit(RemoveTempFolder);
    });
    return TempPath();
}

void ClearTempFolder() {
    std::error_code ec;
    for (fs::directory_iterator it(TempFolder(), ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code rec;
        fs::remove_all(it->path(), rec);
    }
}

void Check(bool condition, const char* what) {
    if (condition) return;
    CheckHandler handler;
    {
        std::lock_guard<std::mutex> lock(g_checkMutex);
        handler = g_checkHandler;
    }
    if (handler) {
        handler(what);
        return;
    }
    std::fprintf(stderr, "FUZZ CHECK FAILED: %s\n", what);
    std::fflush(stderr);
    std::abort();
}

void SetCheckHandler(CheckHandler handler) {
    std::lock_guard<std::mutex> lock(g_checkMutex);
    g_checkHandler = std::move(handler);
}

Bytes Reader::Take(size_t n) {
    const size_t k = std::min(n, Left());
    Bytes out(m_data + m_pos, m_data + m_pos + k);
    m_pos += k;
    return out;
}

std::string Reader::TakeString(size_t n) {
    const Bytes b = Take(n);
    return std::string(b.begin(), b.end());
}

std::string Reader::Text(size_t max) {
    std::string out;
    while (!Empty() && out.size() < max) {
        const uint8_t c = U8();
        if (c == 0) break;
        out.push_back(static_cast<char>(c));
    }
    return out;
}

InputScope::InputScope() : m_previous(plat::CurrentStopFlag()), m_scale(plat::TimeScale()) {
    Init();
    plat::SetCurrentStopFlag(&m_stop);
    plat::SetTimeScale(kFuzzTimeScale);
}

InputScope::~InputScope() {
    plat::SetCurrentStopFlag(m_previous);
    plat::SetTimeScale(m_scale);
}

bool SettleUntil(const std::function<bool()>& calm) {
    constexpr int64_t kBoundMs = 1000;
    const int64_t end = plat::RealTickMs() + kBoundMs;
    int calmLooks = 0;
    for (int look = 0; plat::RealTickMs() < end; ++look) {
        calmLooks = calm() ? calmLooks + 1 : 0;
        if (calmLooks == 2) return true;
        // A few yields first; then short sleeps, which leave the core to the threads awaited.
        if (look < 4)
            std::this_thread::yield();
        else
            std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
    return false;
}

void PutText(Bytes& b, std::string_view text) { b.insert(b.end(), text.begin(), text.end()); }

#ifndef RK_FUZZ_REGRESS
void InitFuzzerProcess(const char* name) {
    Init();
    const char* dir = std::getenv("RK_FUZZ_WRITE_SEEDS");
    if (dir == nullptr || *dir == '\0') return;
    const Target* t = FindTarget(name);
    int written = 0;
    if (t && t->seeds) {
        std::error_code ec;
        fs::create_directories(dir, ec);
        const std::vector<Bytes> seeds = t->seeds();
        for (size_t i = 0; i < seeds.size(); ++i) {
            char file[32];
            std::snprintf(file, sizeof file, "seed-%03zu", i);
            std::ofstream out(fs::path(dir) / file, std::ios::binary | std::ios::trunc);
            out.write(reinterpret_cast<const char*>(seeds[i].data()), static_cast<std::streamsize>(seeds[i].size()));
            if (out) ++written;
        }
    }
    std::printf("%s: %d seeds written to %s\n", name, written, dir);
    std::exit(0);
}
#endif

}  // namespace rkfuzz
