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

// The disks of this machine. Windows: \\.\PhysicalDrive0 to 3, asked by ATA IDENTIFY DEVICE
// and, where that answers nothing, for the storage device descriptor.
// Linux: in the order of their names under /sys/block: block devices with a
// device behind them and a medium (a card reader's empty slot is no disk), optical drives and
// floppies left out. A disk's serial is read as any user can: udev's database
// (/run/udev/data/b<major>:<minor>, ID_SERIAL_SHORT), else sysfs (device/serial, serial,
// device/vpd_pg80); a disk without one does not answer.
std::vector<DiskCandidate> ListSystemDisks();
// The same over other roots (tests use a tree of their own); Linux only.
std::vector<DiskCandidate> ListDisks(const std::string& sysBlock, const std::string& udevData);

// Removes leading and trailing blanks (space, tab, line breaks).
std::string TrimBlanks(std::string_view text);

// The answers a Windows disk gives, parsed (pure functions, so that fixed bytes test them):
// - ATA IDENTIFY DEVICE (512 bytes, through SMART): the serial number of words 10 to 19, the two
//   bytes of every word swapped, cut at a NUL, blanks trimmed;
// - STORAGE_DEVICE_DESCRIPTOR (IOCTL_STORAGE_QUERY_PROPERTY, StorageDeviceProperty), the answer of
//   NVMe and other drives that SMART does not reach: the NUL-terminated text at SerialNumberOffset
//   (bytes 24 to 27, little-endian) inside the descriptor's Size (bytes 4 to 7) and the bytes
//   returned, blanks trimmed. Nothing when there is no serial (offset 0 or outside, or blank).
std::string AtaIdentifySerial(std::span<const unsigned char> identify);
std::optional<std::string> StorageDescriptorSerial(std::span<const unsigned char> descriptor);

class CMachineId {
public:
    explicit CMachineId(const DiskLister& lister = ListSystemDisks);

    const std::string& DiskSerial() const { return m_strDiskSerial; }

    static constexpr size_t MAX_DISKS = 4;

private:
    std::string m_strDiskSerial;
};
