#include "records/machine_id.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/hdreg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <set>

#include "platform/fs.h"

namespace {

constexpr size_t IDENTIFY_SIZE = 512;
constexpr size_t SERIAL_OFFSET = 20;  // word 10
constexpr size_t SERIAL_SIZE = 20;    // words 10 to 19

std::string CutAtNul(const char* text, size_t size) {
    return std::string(text, std::find(text, text + size, '\0'));
}

// HDIO_GET_IDENTITY: the kernel (libata and the old IDE driver alike) already returns the
// serial in reading order, so its bytes are taken as they stand.
std::optional<std::string> ReadHdioSerial(const std::string& device) {
    const int fd = ::open(device.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    alignas(8) unsigned char id[IDENTIFY_SIZE] = {};
    const int rc = ::ioctl(fd, HDIO_GET_IDENTITY, id);
    ::close(fd);
    if (rc != 0) return std::nullopt;
    return TrimBlanks(CutAtNul(reinterpret_cast<const char*>(id + SERIAL_OFFSET), SERIAL_SIZE));
}

std::optional<std::string> ReadSysfsSerial(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    char text[256];
    const ssize_t n = ::read(fd, text, sizeof(text));
    ::close(fd);
    if (n < 0) return std::nullopt;
    return TrimBlanks(CutAtNul(text, static_cast<size_t>(n)));
}

std::vector<std::string> BlockDevices() {
    std::vector<std::string> names;
    DIR* dir = ::opendir("/sys/block");
    if (!dir) return names;
    while (const dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

std::string TrimBlanks(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    size_t b = 0, e = text.size();
    while (b < e && blank(text[b])) ++b;
    while (e > b && blank(text[e - 1])) --e;
    return std::string(text.substr(b, e - b));
}

std::string AtaIdentifySerial(std::span<const unsigned char> identify) {
    if (identify.size() < SERIAL_OFFSET + SERIAL_SIZE) return {};
    char serial[SERIAL_SIZE];
    for (size_t i = 0; i < SERIAL_SIZE; i += 2) {
        serial[i] = static_cast<char>(identify[SERIAL_OFFSET + i + 1]);
        serial[i + 1] = static_cast<char>(identify[SERIAL_OFFSET + i]);
    }
    return TrimBlanks(CutAtNul(serial, SERIAL_SIZE));
}

std::vector<DiskCandidate> ListSystemDisks() {
    std::vector<DiskCandidate> disks;
    std::set<std::string> taken;
    for (const char* prefix : {"sd", "hd"}) {
        for (char letter = 'a'; letter <= 'd'; ++letter) {
            const std::string name = std::string(prefix) + letter;
            const std::string device = "/dev/" + name;
            if (!plat::PathExists(device)) continue;
            taken.insert(name);
            disks.push_back({device, [device] { return ReadHdioSerial(device); }});
        }
    }
    const std::vector<std::string> blocks = BlockDevices();
    for (const std::string& name : blocks) {
        const std::string path = "/sys/block/" + name + "/device/serial";
        if (taken.count(name) || !plat::IsRegularFile(path)) continue;
        taken.insert(name);
        disks.push_back({name, [path] { return ReadSysfsSerial(path); }});
    }
    for (const std::string& name : blocks) {
        const std::string path = "/sys/block/" + name + "/serial";
        if (name.rfind("vd", 0) != 0 || taken.count(name) || !plat::IsRegularFile(path)) continue;
        taken.insert(name);
        disks.push_back({name, [path] { return ReadSysfsSerial(path); }});
    }
    return disks;
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
