// The disk listing of a Linux machine: /sys/block and udev's database, readable by any user.
#include "records/machine_id.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "platform/fs.h"

namespace {

// Reads a small file whole (at most `limit` bytes); nothing when it cannot be read.
std::optional<std::string> ReadSmall(const std::string& path, size_t limit = 64 * 1024) {
    std::FILE* file = plat::OpenFile(path, "rb");
    if (file == nullptr) return std::nullopt;
    std::string text(limit, '\0');
    text.resize(std::fread(text.data(), 1, limit, file));
    const bool bFailed = std::ferror(file) != 0;
    std::fclose(file);
    if (bFailed) return std::nullopt;
    return text;
}

std::optional<std::string> NonEmpty(std::string serial) {
    serial = TrimBlanks(serial.substr(0, serial.find('\0')));
    if (serial.empty()) return std::nullopt;
    return serial;
}

// udev's record of the block device: the line "E:ID_SERIAL_SHORT=<serial>".
std::optional<std::string> UdevSerial(const std::string& record) {
    static const std::string key = "E:ID_SERIAL_SHORT=";
    size_t at = 0;
    while (at < record.size()) {
        size_t end = record.find('\n', at);
        if (end == std::string::npos) end = record.size();
        if (record.compare(at, key.size(), key) == 0) return NonEmpty(record.substr(at + key.size(), end - at - key.size()));
        at = end + 1;
    }
    return std::nullopt;
}

// SCSI VPD page 0x80 (unit serial number): page code at byte 1, length at bytes 2 and 3 (big
// endian), the serial from byte 4. libata gives the ATA serial here.
std::optional<std::string> VpdSerial(const std::string& page) {
    if (page.size() < 4 || static_cast<unsigned char>(page[1]) != 0x80) return std::nullopt;
    const size_t length = (static_cast<size_t>(static_cast<unsigned char>(page[2])) << 8) |
                          static_cast<unsigned char>(page[3]);
    return NonEmpty(page.substr(4, length));
}

// The serial of one disk, from the first source that has one: udev's database, the device's
// serial attribute (NVMe, some SCSI), the disk's own (virtio), the SCSI serial page.
std::optional<std::string> DiskSerial(const std::string& disk, const std::string& udevData) {
    if (const auto dev = ReadSmall(disk + "/dev")) {
        if (const auto record = ReadSmall(plat::JoinPath(udevData, "b" + TrimBlanks(*dev))))
            if (auto serial = UdevSerial(*record)) return serial;
    }
    for (const char* attribute : {"/device/serial", "/serial"})
        if (const auto text = ReadSmall(disk + attribute))
            if (auto serial = NonEmpty(*text)) return serial;
    if (const auto page = ReadSmall(disk + "/device/vpd_pg80")) return VpdSerial(*page);
    return std::nullopt;
}

// A disk: a block device with a device behind it (not a loop, RAM, mapper or RAID device), with
// a medium (a card reader's empty slot has size 0), and not an optical drive or a floppy.
bool IsDisk(const std::string& name, const std::string& path) {
    if (name.rfind("sr", 0) == 0 || name.rfind("fd", 0) == 0) return false;
    if (!plat::PathExists(path + "/device")) return false;
    const auto size = ReadSmall(path + "/size");
    return size && std::strtoll(size->c_str(), nullptr, 10) > 0;
}

}  // namespace

std::vector<DiskCandidate> ListDisks(const std::string& sysBlock, const std::string& udevData) {
    std::vector<plat::FolderEntry> entries;
    plat::ListFolder(sysBlock, entries);  // links to the devices, every one of them a candidate
    std::vector<std::string> names;
    for (const plat::FolderEntry& e : entries) names.push_back(e.name);
    std::sort(names.begin(), names.end());
    std::vector<DiskCandidate> disks;
    for (const std::string& name : names) {
        const std::string path = plat::JoinPath(sysBlock, name);
        if (!IsDisk(name, path)) continue;
        disks.push_back({name, [path, udevData] { return DiskSerial(path, udevData); }});
    }
    return disks;
}

std::vector<DiskCandidate> ListSystemDisks() { return ListDisks("/sys/block", "/run/udev/data"); }
