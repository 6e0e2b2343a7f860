#pragma once
// CMachineId: the machine identity that names the exported record files, the serial number of
// the PC's disk. Of the first four disks, the serial of the last one that answers counts, with
// blanks trimmed; it is empty when none answers.
#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// One disk that may give the identity: its name (for traces) and how to ask it for its serial
// (nothing when the disk does not answer).
struct DiskCandidate {
    std::string strName;
    std::function<std::optional<std::string>()> readSerial;
};
using DiskLister = std::function<std::vector<DiskCandidate>()>;

// The disks of this machine in order: /dev/sda../dev/sdd and /dev/hda../dev/hdd asked with
// HDIO_GET_IDENTITY, then the sysfs serials (/sys/block/*/device/serial, e.g. NVMe, then
// /sys/block/vd*/serial for virtio), each source in its own order. Only disks that exist are listed.
std::vector<DiskCandidate> ListSystemDisks();

// The serial number of raw ATA IDENTIFY DEVICE data (512 bytes): words 10 to 19, the two bytes
// of every word swapped into reading order, cut at a NUL, blanks trimmed. Empty when the buffer
// is shorter than 40 bytes.
std::string AtaIdentifySerial(std::span<const unsigned char> identify);

// Removes leading and trailing blanks (space, tab, line breaks).
std::string TrimBlanks(std::string_view text);

class CMachineId {
public:
    explicit CMachineId(const DiskLister& lister = ListSystemDisks);

    const std::string& DiskSerial() const { return m_strDiskSerial; }

    static constexpr size_t MAX_DISKS = 4;

private:
    std::string m_strDiskSerial;
};
