#pragma once
// The one line format every benchmark prints for bench/run:
//   BENCH|<figure name>|<value>|<unit>|<goal text>|<ratio of value to goal, "-" when none>
// Lower-is-better goals give ratio = value / goal, higher-is-better goal / value... both read
// "below 1.00 meets the goal".
#include <map>
#include <string>

namespace bench {

// A figure whose goal is an upper bound (time, CPU, memory): met when value <= goal.
void ReportAtMost(const std::string& name, double value, const std::string& unit, double goal);
// A figure whose goal is a lower bound (throughput ratio): met when value >= goal.
void ReportAtLeast(const std::string& name, double value, const std::string& unit, double goal);
// A figure without a goal.
void Report(const std::string& name, double value, const std::string& unit);

// CPU seconds (user + system) used by this process so far, and its peak resident memory in MiB.
double ProcessCpuSeconds();
double PeakRssMiB();
// CPU seconds (user + system) of each thread of this process, by thread id.
std::map<unsigned long, double> ThreadCpuSeconds();

}  // namespace bench
