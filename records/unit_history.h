#pragma once
// The history of units: one CSV row per finished task (UTF-8 with a byte order mark, so that a
// spreadsheet opens the Chinese texts). A row is appended whole with one write; a row that a
// crash cut short is closed with a line break before the next, so it never runs into it.
#include <string>

namespace unit_history {

constexpr const char* FILE_NAME = "history.csv";
constexpr const char* HEADER =
    "start,duration_s,line,task,gateway_mac,modem_version,cpe_version,result,outcome,log";

struct Row {
    std::string start;     // ISO 8601 local time
    long long durationS = 0;
    int line = 1;          // 1..8
    std::string task;
    std::string gatewayMac;
    std::string modemVersion;
    std::string cpeVersion;
    std::string result;    // the task's last status text
    std::string outcome;   // "passed" or "failed"
    std::string log;       // the run log's file
};

// One field: quoted when it holds a comma, a quote or a line break (quotes doubled).
std::string Field(const std::string& text);
// The row's line, with its line break.
std::string Line(const Row& row);
// Appends the row to the file at `path`, made with the mark and the header when missing or empty.
// False when not written.
bool Append(const std::string& path, const Row& row);

}  // namespace unit_history
