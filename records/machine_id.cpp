// The machine identity from the listed disks (the listing itself is machine_id_posix.cpp or
// machine_id_win.cpp).
#include "records/machine_id.h"

std::string TrimBlanks(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    size_t b = 0, e = text.size();
    while (b < e && blank(text[b])) ++b;
    while (e > b && blank(text[e - 1])) --e;
    return std::string(text.substr(b, e - b));
}

CMachineId::CMachineId(const DiskLister& lister) {
    if (!lister) return;
    std::vector<DiskCandidate> disks = lister();
    if (disks.size() > MAX_DISKS) disks.resize(MAX_DISKS);
    for (const DiskCandidate& disk : disks) {
        if (!disk.readSerial) continue;
        if (std::optional<std::string> serial = disk.readSerial()) m_strDiskSerial = TrimBlanks(*serial);
    }
}
