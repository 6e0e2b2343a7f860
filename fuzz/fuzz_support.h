#pragma once
// What every fuzz target shares: the registry of entry functions (so the regression program runs
// the same functions over the kept inputs), an input reader, the invariant check, the process's
// temporary folder, and the guard that makes the tool's waits end at once.
//
// A target file:
//
//   RK_FUZZ_TARGET(diag_frame) {          // int (const uint8_t* data, size_t size)
//       ...
//       return 0;
//   }
//   RK_FUZZ_SEEDS(diag_frame) { return {...}; }   // std::vector<rkfuzz::Bytes>
//
// Built as a fuzz target it also defines LLVMFuzzerTestOneInput; built with RK_FUZZ_REGRESS
// (tests/fuzzregress) it only registers itself.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/byte_order.h"  // plat::AppendLe16 and AppendLe32 for seed lists
#include "platform/clock.h"

namespace rkfuzz {

using Bytes = std::vector<uint8_t>;
using EntryFn = int (*)(const uint8_t*, size_t);
using SeedFn = std::vector<Bytes> (*)();

struct Target {
    std::string name;
    EntryFn entry = nullptr;
    SeedFn seeds = nullptr;
};

// Every target linked into this program, in registration order.
std::vector<Target>& Targets();
const Target* FindTarget(std::string_view name);

struct Registrar {
    Registrar(const char* name, EntryFn entry, SeedFn seeds);
};

// Once per process: time scale, traces dropped, the temporary folder.
void Init();

// A folder of this process (under $TMPDIR, else /tmp), created on first use and removed at exit.
const std::string& TempFolder();
// Removes everything inside TempFolder().
void ClearTempFolder();

// An invariant of the code under test. A broken one is a finding: by default the message goes to
// standard error and the process aborts (libFuzzer keeps the input); the regression program
// installs a handler that fails the test instead.
void Check(bool condition, const char* what);
using CheckHandler = std::function<void(const std::string&)>;
void SetCheckHandler(CheckHandler handler);

// Reads the fuzz input front to back; past the end every read gives zeros / empty.
class Reader {
public:
    Reader(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    explicit Reader(std::span<const uint8_t> s) : m_data(s.data()), m_size(s.size()) {}

    bool Empty() const { return m_pos >= m_size; }
    size_t Left() const { return m_size - m_pos; }
    uint8_t U8() { return m_pos < m_size ? m_data[m_pos++] : 0; }
    uint16_t U16() { return static_cast<uint16_t>(U8() | (U8() << 8)); }
    uint32_t U32() { return static_cast<uint32_t>(U16()) | (static_cast<uint32_t>(U16()) << 16); }
    bool Bool() { return (U8() & 1) != 0; }
    // Up to `n` bytes (fewer at the end).
    Bytes Take(size_t n);
    std::string TakeString(size_t n);
    // Everything that is left.
    Bytes Rest() { return Take(Left()); }
    // A text up to a NUL byte (consumed) or the end, at most `max` bytes.
    std::string Text(size_t max);

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_pos = 0;
};

// For the duration of one input: the calling thread gets a stop flag of its own, so that the
// tool's pauses (plat::Sleep, plat::SleepRaw) end at once once it is raised, and the time
// scale is at its smallest. The previous flag and scale come back afterwards.
class InputScope {
public:
    InputScope();
    ~InputScope();
    InputScope(const InputScope&) = delete;
    InputScope& operator=(const InputScope&) = delete;
    plat::StopFlag& Stop() { return m_stop; }
    void RaiseStop() { m_stop.Request(); }

private:
    plat::StopFlag m_stop;
    plat::StopFlag* m_previous;
    double m_scale;
};

// The settle step of virtual time (plat::VirtualTime) for a target whose peers run on threads of
// their own: true once `calm` held on two looks in a row, false after a real second without.
bool SettleUntil(const std::function<bool()>& calm);

// Helpers for seed lists.
void PutText(Bytes& b, std::string_view text);

}  // namespace rkfuzz

#define RK_FUZZ_CAT2(a, b) a##b
#define RK_FUZZ_CAT(a, b) RK_FUZZ_CAT2(a, b)

#ifdef RK_FUZZ_REGRESS
#define RK_FUZZ_MAIN(name)
#else
#define RK_FUZZ_MAIN(name)                                                              \
    extern "C" int LLVMFuzzerInitialize(int*, char***) {                                \
        rkfuzz::InitFuzzerProcess(#name);                                               \
        return 0;                                                                       \
    }                                                                                   \
    extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {           \
        return RK_FUZZ_CAT(RkFuzzEntry_, name)(data, size);                             \
    }
namespace rkfuzz {
// Init(), and with RK_FUZZ_WRITE_SEEDS=DIR in the environment: writes the target's seeds into DIR
// and exits.
void InitFuzzerProcess(const char* name);
}  // namespace rkfuzz
#endif

#define RK_FUZZ_TARGET(name)                                                                    \
    static int RK_FUZZ_CAT(RkFuzzEntry_, name)(const uint8_t* data, size_t size);               \
    static std::vector<rkfuzz::Bytes> RK_FUZZ_CAT(RkFuzzSeeds_, name)();                        \
    static const rkfuzz::Registrar RK_FUZZ_CAT(rkFuzzRegistrar_, name)(                         \
        #name, RK_FUZZ_CAT(RkFuzzEntry_, name), RK_FUZZ_CAT(RkFuzzSeeds_, name));               \
    RK_FUZZ_MAIN(name)                                                                          \
    static int RK_FUZZ_CAT(RkFuzzEntry_, name)(const uint8_t* data, size_t size)

#define RK_FUZZ_SEEDS(name) static std::vector<rkfuzz::Bytes> RK_FUZZ_CAT(RkFuzzSeeds_, name)()
