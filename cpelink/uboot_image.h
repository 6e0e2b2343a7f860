#pragma once
// U-Boot legacy images, as bytes: the 64-byte big-endian header in front of the data, its two
// CRC-32s, and what the boot and Linux images must be before they may leave for the gateway's
// flash. Pure functions; the caller reads the file.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

constexpr size_t UBOOT_HEADER_SIZE = 64;
constexpr uint32_t UBOOT_MAGIC = 0x27051956;

// The header fields' values the two images use (U-Boot's image.h numbering).
constexpr uint8_t IH_OS_LINUX = 5;
constexpr uint8_t IH_ARCH_MIPS = 5;
constexpr uint8_t IH_TYPE_KERNEL = 2;
constexpr uint8_t IH_TYPE_FIRMWARE = 5;

struct UbootHeader {
    uint32_t magic = 0;
    uint32_t hcrc = 0;  // CRC-32 of the header with this field zeroed
    uint32_t time = 0;
    uint32_t size = 0;  // data bytes after the header
    uint32_t load = 0;
    uint32_t entry = 0;
    uint32_t dcrc = 0;  // CRC-32 of the data
    uint8_t os = 0;
    uint8_t arch = 0;
    uint8_t type = 0;
    uint8_t comp = 0;
    std::string name;   // ih_name, up to its first NUL (32 bytes at most)
};

// What an image must be. The boot image's data fills the file; the Linux image is a kernel image
// followed by the root file system, so its file holds more than the header's data.
struct UbootExpectation {
    uint8_t type = 0;
    uint8_t arch = 0;
    bool bDataFillsFile = true;
};
// The only place that says what the two images are (resources/CMakeLists.txt makes them so).
constexpr UbootExpectation BOOT_IMAGE_EXPECTED{IH_TYPE_FIRMWARE, IH_ARCH_MIPS, true};
constexpr UbootExpectation LINUX_IMAGE_EXPECTED{IH_TYPE_KERNEL, IH_ARCH_MIPS, false};

// The first check an image fails, in the order they are made.
enum class UbootCheck {
    Ok,
    Unreadable,  // the file cannot be opened or read
    Header,      // shorter than a header
    Magic,
    HeaderCrc,
    DataSize,    // the header's data size against the file's size
    Type,
    Arch,
    DataCrc,
};

// CRC-32 (IEEE 802.3, reflected, as zlib's crc32): continues `crc` over `bytes`; 0 starts.
uint32_t Crc32(std::span<const uint8_t> bytes, uint32_t crc = 0);

// The header fields of the first 64 bytes (at least 64 must be given).
UbootHeader ParseUbootHeader(std::span<const uint8_t> header);
// Every check but the data CRC, for a file of `fileSize` bytes that begins with `start`.
UbootCheck CheckUbootHeader(std::span<const uint8_t> start, long long fileSize, const UbootExpectation& expected);
// Every check, for a whole file in memory.
UbootCheck CheckUbootImage(std::span<const uint8_t> file, const UbootExpectation& expected);

// The check's name in the status text.
const char* UbootCheckName(UbootCheck check);
// The status text of a file that failed `check`.
std::string UbootCheckStatus(const std::string& path, UbootCheck check);
