#include "bench/bench_report.h"

#include <sys/resource.h>

#include <cstdio>

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

}  // namespace bench
