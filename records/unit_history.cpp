#include "records/unit_history.h"

#include <cstdio>

#include "platform/fs.h"

namespace unit_history {

namespace {

constexpr const char* BOM = "\xEF\xBB\xBF";

// The file's last byte; -1 when it is missing or empty.
int LastByte(const std::string& path) {
    std::FILE* f = plat::OpenFile(path, "rb");
    if (!f) return -1;
    int c = -1;
    if (std::fseek(f, -1, SEEK_END) == 0) c = std::fgetc(f);
    std::fclose(f);
    return c == EOF ? -1 : c;
}

}  // namespace

std::string Field(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string out = "\"";
    for (char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

std::string Line(const Row& row) {
    std::string s = Field(row.start) + "," + std::to_string(row.durationS) + "," + std::to_string(row.line) + "," +
                    Field(row.task) + "," + Field(row.gatewayMac) + "," + Field(row.modemVersion) + "," +
                    Field(row.cpeVersion) + "," + Field(row.result) + "," + Field(row.outcome) + "," + Field(row.log);
    return s + "\r\n";
}

bool Append(const std::string& path, const Row& row) {
    std::string text;
    const int last = LastByte(path);
    if (last < 0) {
        // A new history: the mark and the header come in through a rename, so the file never
        // exists without them.
        const std::string head = std::string(BOM) + HEADER + "\r\n";
        if (!plat::WriteFileAtomic(path, {reinterpret_cast<const unsigned char*>(head.data()), head.size()}))
            return false;
    } else if (last != '\n') {
        text = "\r\n";  // closes a row a crash cut short
    }
    text += Line(row);
    plat::OutFile file;
    if (!file.Open(path, true)) return false;
    const bool bWritten = file.Write({reinterpret_cast<const unsigned char*>(text.data()), text.size()});
    const bool bSynced = file.Sync();
    return file.Close() && bWritten && bSynced;
}

}  // namespace unit_history
