#pragma once
// LinkRecord: the 1392-byte control record, carried as one 1440-byte little-endian message.
// Pure functions over byte spans; the record is packed and unpacked field by field.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

constexpr size_t LINK_RECORD_SIZE = 1392;   // in memory
constexpr size_t LINK_MESSAGE_SIZE = 1440;  // on the wire
constexpr size_t LINK_DATA_SIZE = 1350;     // abData

constexpr uint8_t CMD_DOWN_LINUX = 0x01;
constexpr uint8_t CMD_DATA = 0x04;
constexpr uint8_t CMD_UPGRADE_END = 0x1F;
constexpr uint8_t CMD_ENTER_DOWNLOAD = 0x20;
constexpr uint8_t CMD_ENTER_DOWNLOAD_AGAIN = 0x21;
constexpr uint8_t CMD_EXIT_DOWNLOAD = 0x30;
constexpr uint8_t CMD_EXIT_DOWNLOAD_AGAIN = 0x31;
constexpr uint8_t CMD_HELLO = 0x40;
constexpr uint8_t CMD_IMAGES_DONE = 0x52;
constexpr uint8_t CMD_GET_TEXT = 0x60;
constexpr uint8_t CMD_GET_DATA = 0x61;
constexpr uint8_t CMD_ANNOUNCE = 0x6A;
constexpr uint8_t CMD_DOWN_BOOT = 0x91;
constexpr uint8_t CMD_BYE = 0xFF;

struct LinkRecord {
    uint8_t sControl = 0;
    uint32_t nArg1 = 0;
    uint32_t nSeq = 0;
    uint32_t nArg2 = 0;
    uint32_t nArg3 = 0;
    uint32_t nArg4 = 0;
    uint16_t wArg5 = 0;
    std::array<uint8_t, LINK_DATA_SIZE> abData{};
    uint32_t nLength = 0;
    uint32_t nBlock = 0;
    uint32_t nTotal = 0;
};

using LinkMessage = std::array<uint8_t, LINK_MESSAGE_SIZE>;
