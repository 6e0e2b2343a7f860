#include "bench/bench_report.h"

#ifdef _WIN32
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>
#else
#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

namespace bench {

namespace {
void Print(const std::string& name, double value, const std::string& unit, const std::string& goal,
           double ratio) {
    if (ratio < 0)
        std::printf("BENCH|%s|%.3f|%s|%s|-\n", name.c_str(), value, unit.c_str(), goal.c_str());
    else
        std::printf("BENCH|%s|%.3f|%s|%s|%.2f\n", name.c_str(), value, unit.c_str(), goal.c_str(), ratio);
    std::fflush(stdout);
}
}  // namespace

void ReportAtMost(const std::string& name, double value, const std::string& unit, double goal) {
    char g[64];
    std::snprintf(g, sizeof g, "<= %.3g %s", goal, unit.c_str());
    Print(name, value, unit, g, goal > 0 ? value / goal : -1);
}

void ReportAtLeast(const std::string& name, double value, const std::string& unit, double goal) {
    char g[64];
    std::snprintf(g, sizeof g, ">= %.3g %s", goal, unit.c_str());
    Print(name, value, unit, g, value > 0 ? goal / value : -1);
}

void Report(const std::string& name, double value, const std::string& unit) {
    Print(name, value, unit, "-", -1);
}

#ifdef _WIN32
namespace {
double Seconds(const FILETIME& t) {  // 100 ns units
    return static_cast<double>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e7;
}
}  // namespace

double ProcessCpuSeconds() {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
    return Seconds(kernel) + Seconds(user);
}

double PeakRssMiB() {
    PROCESS_MEMORY_COUNTERS pmc{};
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof pmc)) return 0;
    return static_cast<double>(pmc.PeakWorkingSetSize) / (1024.0 * 1024.0);
}

std::map<unsigned long, double> ThreadCpuSeconds() {
    std::map<unsigned long, double> out;
    const HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snap == INVALID_HANDLE_VALUE) return out;
    THREADENTRY32 e{};
    e.dwSize = sizeof e;
    for (BOOL ok = Thread32First(snap, &e); ok; ok = Thread32Next(snap, &e)) {
        if (e.th32OwnerProcessID != GetCurrentProcessId()) continue;
        const HANDLE t = OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, e.th32ThreadID);
        if (!t) continue;
        FILETIME created, exited, kernel, user;
        if (GetThreadTimes(t, &created, &exited, &kernel, &user)) out[e.th32ThreadID] = Seconds(kernel) + Seconds(user);
        CloseHandle(t);
    }
    CloseHandle(snap);
    return out;
}
#else
double ProcessCpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

double PeakRssMiB() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_maxrss) / 1024.0;
}

// From /proc/self/task/<id>/stat: utime and stime, fields 14 and 15 (after the name in parentheses).
std::map<unsigned long, double> ThreadCpuSeconds() {
    std::map<unsigned long, double> out;
    DIR* d = opendir("/proc/self/task");
    if (!d) return out;
    const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::ifstream st(std::string("/proc/self/task/") + e->d_name + "/stat");
        const std::string s((std::istreambuf_iterator<char>(st)), {});
        const size_t p = s.rfind(')');
        if (p == std::string::npos) continue;
        std::vector<std::string> f;
        for (size_t i = p + 2; i < s.size();) {
            size_t j = s.find(' ', i);
            if (j == std::string::npos) j = s.size();
            f.push_back(s.substr(i, j - i));
            i = j + 1;
        }
        if (f.size() > 13)
            out[std::strtoul(e->d_name, nullptr, 10)] = static_cast<double>(std::atol(f[11].c_str()) + std::atol(f[12].c_str())) / tick;
    }
    closedir(d);
    return out;
}
#endif

}  // namespace bench
