#include "cpelink/uboot_image.h"

#include <algorithm>
#include <array>

#include "platform/trace.h"

namespace {

constexpr const char* IMAGE_CHECK_FAILED = "镜像文件校验失败：%s（%s）";

constexpr std::array<uint32_t, 256> MakeCrcTable() {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t[i] = c;
    }
    return t;
}
constexpr std::array<uint32_t, 256> CRC_TABLE = MakeCrcTable();

uint32_t Be32(std::span<const uint8_t> b, size_t at) {
    return (uint32_t{b[at]} << 24) | (uint32_t{b[at + 1]} << 16) | (uint32_t{b[at + 2]} << 8) | b[at + 3];
}

// Field offsets of the header.
constexpr size_t AT_HCRC = 4;
constexpr size_t AT_NAME = 32;
constexpr size_t NAME_SIZE = 32;

}  // namespace

uint32_t Crc32(std::span<const uint8_t> bytes, uint32_t crc) {
    crc = ~crc;
    for (uint8_t b : bytes) crc = CRC_TABLE[(crc ^ b) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

UbootHeader ParseUbootHeader(std::span<const uint8_t> b) {
    UbootHeader h;
    if (b.size() < UBOOT_HEADER_SIZE) return h;
    h.magic = Be32(b, 0);
    h.hcrc = Be32(b, AT_HCRC);
    h.time = Be32(b, 8);
    h.size = Be32(b, 12);
    h.load = Be32(b, 16);
    h.entry = Be32(b, 20);
    h.dcrc = Be32(b, 24);
    h.os = b[28];
    h.arch = b[29];
    h.type = b[30];
    h.comp = b[31];
    for (size_t i = AT_NAME; i < AT_NAME + NAME_SIZE && b[i] != 0; ++i) h.name.push_back(static_cast<char>(b[i]));
    return h;
}

UbootCheck CheckUbootHeader(std::span<const uint8_t> start, long long fileSize, const UbootExpectation& expected) {
    if (start.size() < UBOOT_HEADER_SIZE || fileSize < static_cast<long long>(UBOOT_HEADER_SIZE))
        return UbootCheck::Header;
    const UbootHeader h = ParseUbootHeader(start);
    if (h.magic != UBOOT_MAGIC) return UbootCheck::Magic;
    std::array<uint8_t, UBOOT_HEADER_SIZE> zeroed{};
    std::copy_n(start.begin(), UBOOT_HEADER_SIZE, zeroed.begin());
    std::fill_n(zeroed.begin() + AT_HCRC, 4, uint8_t{0});
    if (Crc32(zeroed) != h.hcrc) return UbootCheck::HeaderCrc;
    const long long end = static_cast<long long>(UBOOT_HEADER_SIZE) + h.size;
    if (expected.bDataFillsFile ? end != fileSize : end > fileSize) return UbootCheck::DataSize;
    if (h.type != expected.type) return UbootCheck::Type;
    if (h.arch != expected.arch) return UbootCheck::Arch;
    return UbootCheck::Ok;
}

UbootCheck CheckUbootImage(std::span<const uint8_t> file, const UbootExpectation& expected) {
    const UbootCheck c = CheckUbootHeader(file, static_cast<long long>(file.size()), expected);
    if (c != UbootCheck::Ok) return c;
    const UbootHeader h = ParseUbootHeader(file);
    return Crc32(file.subspan(UBOOT_HEADER_SIZE, h.size)) == h.dcrc ? UbootCheck::Ok : UbootCheck::DataCrc;
}

const char* UbootCheckName(UbootCheck check) {
    switch (check) {
        case UbootCheck::Ok: return "";
        case UbootCheck::Unreadable: return "文件无法读取";
        case UbootCheck::Header: return "文件小于镜像头";
        case UbootCheck::Magic: return "镜像头标识错误";
        case UbootCheck::HeaderCrc: return "镜像头CRC错误";
        case UbootCheck::DataSize: return "数据长度与文件大小不符";
        case UbootCheck::Type: return "镜像类型不符";
        case UbootCheck::Arch: return "CPU架构不符";
        case UbootCheck::DataCrc: return "数据CRC错误";
    }
    return "";
}

std::string UbootCheckStatus(const std::string& path, UbootCheck check) {
    return plat::Format(IMAGE_CHECK_FAILED, path.c_str(), UbootCheckName(check));
}
