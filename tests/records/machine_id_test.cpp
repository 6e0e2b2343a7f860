#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>

#include "records/machine_id.h"
#include "records_test_util.h"

namespace {

DiskCandidate Disk(const char* name, std::optional<std::string> serial, int* asked = nullptr) {
    return {name, [serial, asked] {
                if (asked) ++*asked;
                return serial;
            }};
}

TEST(MachineId, TakesTheLastOfTheFirstFourDisksThatAnswers) {
    int fifthAsked = 0;
    const CMachineId id([&] {
        return std::vector<DiskCandidate>{Disk("/dev/sda", "FIRST"), Disk("/dev/sdb", " THIRD-1 \n"),
                                          Disk("/dev/sdc", std::nullopt), Disk("nvme0n1", std::nullopt),
                                          Disk("vda", "FIFTH", &fifthAsked)};
    });
    EXPECT_EQ(id.DiskSerial(), "THIRD-1");
    EXPECT_EQ(fifthAsked, 0);
}

TEST(MachineId, ABlankAnswerStillCountsAsTheLast) {
    const CMachineId id([] {
        return std::vector<DiskCandidate>{Disk("/dev/sda", "SERIAL"), Disk("/dev/sdb", "   ")};
    });
    EXPECT_EQ(id.DiskSerial(), "");
}

TEST(MachineId, EmptyWhenNoDiskAnswers) {
    EXPECT_EQ(CMachineId([] { return std::vector<DiskCandidate>{}; }).DiskSerial(), "");
    EXPECT_EQ(CMachineId([] {
                  return std::vector<DiskCandidate>{Disk("/dev/sda", std::nullopt), Disk("vda", std::nullopt)};
              }).DiskSerial(),
              "");
}

// IDENTIFY DEVICE: the 20 bytes from byte 20, each word's bytes swapped.
std::vector<unsigned char> Identify(const std::string& swapped, size_t size = 512) {
    std::vector<unsigned char> bytes(size, 0x20);
    for (size_t i = 0; i < swapped.size() && 20 + i < size; ++i) bytes[20 + i] = static_cast<unsigned char>(swapped[i]);
    return bytes;
}

// A STORAGE_DEVICE_DESCRIPTOR: 40 bytes of header (Size at 4, SerialNumberOffset at 24), then
// `tail`; `size` 0 gives the real size.
std::vector<unsigned char> Descriptor(uint32_t serialOffset, const std::string& tail, uint32_t size = 0) {
    std::vector<unsigned char> bytes(40 + tail.size(), 0);
    std::copy(tail.begin(), tail.end(), bytes.begin() + 40);
    const uint32_t total = size ? size : static_cast<uint32_t>(bytes.size());
    for (int i = 0; i < 4; ++i) {
        bytes[static_cast<size_t>(i)] = static_cast<unsigned char>(40 >> (8 * i));  // Version
        bytes[4 + static_cast<size_t>(i)] = static_cast<unsigned char>(total >> (8 * i));
        bytes[24 + static_cast<size_t>(i)] = static_cast<unsigned char>(serialOffset >> (8 * i));
    }
    return bytes;
}

TEST(DiskAnswers, SerialsOfAnIdentifyAndOfAStorageDescriptor) {
    EXPECT_EQ(AtaIdentifySerial(Identify("DWW-AC1V325476 8    ")), "WD-WCAV12345678");
    EXPECT_EQ(AtaIdentifySerial(Identify(std::string("  1SN234\0\0XX", 12))), "S12N43");  // cut at the NUL
    EXPECT_EQ(AtaIdentifySerial(Identify("12345678", 39)), "");  // too short for words 10 to 19

    struct Case {
        const char* what;
        std::vector<unsigned char> bytes;
        std::optional<std::string> serial;
    };
    const std::string nvme = std::string("Samsung SSD 980\0", 16) + "0025_3881_91B0_2C44.";
    const Case cases[] = {
        {"blanks trimmed", Descriptor(40, std::string("  S4EWNX0R123456  \0", 19)), "S4EWNX0R123456"},
        {"NVMe, after the model name string", Descriptor(56, nvme + std::string(1, '\0')), "0025_3881_91B0_2C44."},
        {"no NUL: ends with the descriptor", Descriptor(40, "ABC123"), "ABC123"},
        {"ends at Size, not at the bytes returned", Descriptor(40, "ABC123XYZ", 43), "ABC"},
        {"no serial (offset 0)", Descriptor(0, std::string("SERIAL\0", 7)), std::nullopt},
        {"offset past Size", Descriptor(44, std::string("SERIAL\0", 7), 44), std::nullopt},
        {"offset past the bytes", Descriptor(4096, std::string("SERIAL\0", 7)), std::nullopt},
        {"blank serial", Descriptor(40, std::string("    \0", 5)), std::nullopt},
        {"shorter than the offset field", std::vector<unsigned char>(27, 0), std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(StorageDescriptorSerial(c.bytes), c.serial) << c.what;
}

#ifndef _WIN32
// A /sys/block and udev database of our own: what an ordinary user can read of each disk.
class FakeTree {
public:
    FakeTree() : sys(root.Path() + "/sys/block"), udev(root.Path() + "/udev") {
        std::filesystem::create_directories(sys);
        std::filesystem::create_directories(udev);
    }
    // A block device; `device` false for virtual ones (loop, dm).
    void Block(const std::string& name, const std::string& dev, const std::string& size, bool device = true) {
        std::filesystem::create_directories(sys + "/" + name + (device ? "/device" : ""));
        Write(name + "/dev", dev + "\n");
        Write(name + "/size", size + "\n");
    }
    void Write(const std::string& relative, const std::string& bytes) { rectest::WriteFile(sys + "/" + relative, bytes); }
    void Udev(const std::string& dev, const std::string& record) { rectest::WriteFile(udev + "/b" + dev, record); }

    rectest::TempRoot root;
    std::string sys, udev;
};

TEST(ListDisks, TakesTheDisksThatExistAndReadsTheirSerialsAsAnyUserCan) {
    FakeTree t;
    t.Block("loop0", "7:0", "2048", false);           // no device: not a disk
    t.Block("mmcblk0", "179:0", "0");                   // a card reader's empty slot
    t.Block("nvme0n1", "259:0", "1000215216");          // sysfs device/serial
    t.Write("nvme0n1/device/serial", "  S4EWNX0R123456     \n");
    t.Block("sda", "8:0", "0");                         // another empty slot
    t.Block("sdb", "8:16", "976773168");                // udev first, though sysfs has one too
    t.Udev("8:16", "S:disk/by-id/ata-X\nE:ID_SERIAL=WDC_WD10_WD-WCAV12345678\nE:ID_SERIAL_SHORT=WD-WCAV12345678\n");
    t.Write("sdb/device/serial", "OTHER");
    t.Block("sdc", "8:32", "100");                      // SCSI page 0x80 only
    t.Write("sdc/device/vpd_pg80", std::string("\0\x80\0\x0c  VPD-SERIAL\0\0junk", 20));
    t.Block("sdd", "8:48", "100");                      // a disk without a serial anywhere
    t.Udev("8:48", "E:ID_MODEL=Card\n");
    t.Block("sr0", "11:0", "100");                      // an optical drive
    t.Block("vda", "254:0", "100");                     // virtio: the disk's own serial
    t.Write("vda/serial", "VIRTIO-7");

    const std::vector<DiskCandidate> disks = ListDisks(t.sys, t.udev);
    std::vector<std::string> names;
    std::vector<std::string> serials;
    for (const DiskCandidate& d : disks) {
        names.push_back(d.strName);
        serials.push_back(d.readSerial().value_or("-"));
    }
    EXPECT_EQ(names, (std::vector<std::string>{"nvme0n1", "sdb", "sdc", "sdd", "vda"}));
    EXPECT_EQ(serials, (std::vector<std::string>{"S4EWNX0R123456", "WD-WCAV12345678", "VPD-SERIAL", "-", "VIRTIO-7"}));
    // Of the first four, the last that answers: the empty slots took no place.
    EXPECT_EQ(CMachineId([&] { return ListDisks(t.sys, t.udev); }).DiskSerial(), "VPD-SERIAL");
    EXPECT_TRUE(ListDisks(t.root.Path() + "/none", t.udev).empty());
}
#endif  // the Linux disk listing

}  // namespace
