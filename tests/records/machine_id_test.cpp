#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "records/machine_id.h"

namespace {

// Raw IDENTIFY DEVICE data as a drive sends it: every word little-endian, so an ATA string's
// characters arrive pairwise swapped.
std::array<unsigned char, 512> RawIdentify(const char (&serial)[21]) {
    std::array<unsigned char, 512> id;
    id.fill('X');
    for (size_t i = 0; i < 20; i += 2) {
        id[20 + i] = static_cast<unsigned char>(serial[i + 1]);
        id[20 + i + 1] = static_cast<unsigned char>(serial[i]);
    }
    return id;
}

TEST(AtaIdentifySerial, SwapsTheBytesOfWords10To19AndTrimsBlanks) {
    const auto id = RawIdentify("     WD-WCAV12345678");
    EXPECT_EQ(id[20], ' ');
    EXPECT_EQ(id[38], '8');
    EXPECT_EQ(id[39], '7');
    EXPECT_EQ(AtaIdentifySerial(id), "WD-WCAV12345678");
    EXPECT_EQ(AtaIdentifySerial(RawIdentify("S1ABC234          XY")), "S1ABC234          XY");
    EXPECT_EQ(AtaIdentifySerial(RawIdentify("                    ")), "");
}

TEST(AtaIdentifySerial, StopsAtANulAndRejectsShortData) {
    auto id = RawIdentify("ABCD                ");
    id[24] = 0;  // word 12 reads "E" then a NUL
    id[25] = 'E';
    EXPECT_EQ(AtaIdentifySerial(id), "ABCDE");
    EXPECT_EQ(AtaIdentifySerial(std::span<const unsigned char>(id.data(), 39)), "");
}

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

}  // namespace
