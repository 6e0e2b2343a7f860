#include <gtest/gtest.h>

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
