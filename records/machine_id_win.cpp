// The disk listing on Windows: ATA IDENTIFY DEVICE through SMART on \\.\PhysicalDrive0..3.
#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <optional>
#include <span>

#include "platform/trace.h"
#include "records/machine_id.h"

namespace {

constexpr size_t IDENTIFY_SIZE = 512;
constexpr size_t SERIAL_OFFSET = 20;  // word 10
constexpr size_t SERIAL_SIZE = 20;    // words 10 to 19
constexpr BYTE ATA_IDENTIFY_DEVICE = 0xEC;
constexpr DWORD CAP_ATA_ID_CMD_BIT = 1;  // CAP_ATA_ID_CMD

std::string CutAtNul(const char* text, size_t size) { return std::string(text, std::find(text, text + size, '\0')); }

// The serial number of an IDENTIFY DEVICE answer: words 10 to 19, each word's bytes swapped.
std::string AtaIdentifySerial(std::span<const unsigned char> identify) {
    if (identify.size() < SERIAL_OFFSET + SERIAL_SIZE) return {};
    char serial[SERIAL_SIZE];
    for (size_t i = 0; i < SERIAL_SIZE; i += 2) {
        serial[i] = static_cast<char>(identify[SERIAL_OFFSET + i + 1]);
        serial[i + 1] = static_cast<char>(identify[SERIAL_OFFSET + i]);
    }
    return TrimBlanks(CutAtNul(serial, SERIAL_SIZE));
}

// One drive: SMART version, the ATA identify capability, not an ATAPI device, then IDENTIFY DEVICE.
std::optional<std::string> ReadPhysicalDriveSerial(int drive) {
    const std::wstring name = L"\\\\.\\PhysicalDrive" + std::to_wstring(drive);
    HANDLE h = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return std::nullopt;
    std::optional<std::string> serial;
    GETVERSIONINPARAMS version{};
    DWORD got = 0;
    if (DeviceIoControl(h, SMART_GET_VERSION, nullptr, 0, &version, sizeof version, &got, nullptr)) {
        if (!(version.fCapabilities & CAP_ATA_ID_CMD_BIT)) {
            plat::Trace("Error: IDE identify command not supported.");
        } else if (version.bIDEDeviceMap & (0x10 << drive)) {
            plat::Trace(" is a ATAPI device, we don't detect it");
        } else {
            SENDCMDINPARAMS in{};
            in.cBufferSize = IDENTIFY_SIZE;
            in.irDriveRegs.bSectorCountReg = 1;
            in.irDriveRegs.bSectorNumberReg = 1;
            in.irDriveRegs.bDriveHeadReg = (drive & 1) ? 0xB0 : 0xA0;
            in.irDriveRegs.bCommandReg = ATA_IDENTIFY_DEVICE;
            in.bDriveNumber = static_cast<BYTE>(drive);
            alignas(8) unsigned char out[sizeof(SENDCMDOUTPARAMS) + IDENTIFY_SIZE] = {};
            if (DeviceIoControl(h, SMART_RCV_DRIVE_DATA, &in, sizeof in, out, sizeof out, &got, nullptr)) {
                const auto* params = reinterpret_cast<const SENDCMDOUTPARAMS*>(out);
                serial = AtaIdentifySerial({params->bBuffer, IDENTIFY_SIZE});
            } else {
                plat::Trace("DeviceIoControl failed:DFP_RECEIVE_DRIVE_DATA");
            }
        }
    }
    CloseHandle(h);
    return serial;
}

}  // namespace

std::vector<DiskCandidate> ListSystemDisks() {
    std::vector<DiskCandidate> disks;
    for (int drive = 0; drive < static_cast<int>(CMachineId::MAX_DISKS); ++drive)
        disks.push_back({"PhysicalDrive" + std::to_string(drive), [drive] { return ReadPhysicalDriveSerial(drive); }});
    return disks;
}
