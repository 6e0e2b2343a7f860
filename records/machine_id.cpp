// The machine identity from the listed disks (the listing itself is machine_id_posix.cpp or
// machine_id_win.cpp).
#include "records/machine_id.h"

#include <algorithm>
#include <cstdint>

#include "platform/byte_order.h"

std::string TrimBlanks(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    size_t b = 0, e = text.size();
    while (b < e && blank(text[b])) ++b;
    while (e > b && blank(text[e - 1])) --e;
    return std::string(text.substr(b, e - b));
}

namespace {

constexpr size_t ATA_SERIAL_OFFSET = 20;  // word 10
constexpr size_t ATA_SERIAL_SIZE = 20;    // words 10 to 19
constexpr size_t DESCRIPTOR_SIZE_AT = 4;
constexpr size_t DESCRIPTOR_SERIAL_OFFSET_AT = 24;

}  // namespace

std::string AtaIdentifySerial(std::span<const unsigned char> identify) {
    if (identify.size() < ATA_SERIAL_OFFSET + ATA_SERIAL_SIZE) return {};
    std::string serial(ATA_SERIAL_SIZE, '\0');
    for (size_t i = 0; i < ATA_SERIAL_SIZE; i += 2) {
        serial[i] = static_cast<char>(identify[ATA_SERIAL_OFFSET + i + 1]);
        serial[i + 1] = static_cast<char>(identify[ATA_SERIAL_OFFSET + i]);
    }
    return TrimBlanks(serial.substr(0, serial.find('\0')));
}

std::optional<std::string> StorageDescriptorSerial(std::span<const unsigned char> descriptor) {
    if (descriptor.size() < DESCRIPTOR_SERIAL_OFFSET_AT + 4) return std::nullopt;
    const size_t size = std::min<size_t>(descriptor.size(), plat::GetLe32(descriptor, DESCRIPTOR_SIZE_AT));
    const size_t offset = plat::GetLe32(descriptor, DESCRIPTOR_SERIAL_OFFSET_AT);
    if (offset == 0 || offset >= size) return std::nullopt;
    const auto begin = descriptor.begin() + static_cast<std::ptrdiff_t>(offset);
    const auto end = std::find(begin, descriptor.begin() + static_cast<std::ptrdiff_t>(size), 0);
    std::string serial = TrimBlanks(std::string(begin, end));
    if (serial.empty()) return std::nullopt;
    return serial;
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
