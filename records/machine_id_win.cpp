// The disk listing on Windows: ATA IDENTIFY DEVICE through SMART on \\.\PhysicalDrive0..3, else
// the storage device descriptor (NVMe).
#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <optional>
#include <span>
#include <vector>

#include "platform/trace.h"
#include "records/machine_id.h"

namespace {

constexpr size_t IDENTIFY_SIZE = 512;
constexpr BYTE ATA_IDENTIFY_DEVICE = 0xEC;
constexpr DWORD CAP_ATA_ID_CMD_BIT = 1;  // CAP_ATA_ID_CMD
constexpr DWORD DESCRIPTOR_BUFFER_SIZE = 4096;

// The storage device descriptor's serial: what NVMe drives (and others behind a driver without
// SMART) answer. Needs no access rights on the handle.
std::optional<std::string> ReadDescriptorSerial(HANDLE h) {
    STORAGE_PROPERTY_QUERY query{};
    query.PropertyId = StorageDeviceProperty;
    query.QueryType = PropertyStandardQuery;
    std::vector<unsigned char> out(DESCRIPTOR_BUFFER_SIZE);
    DWORD got = 0;
    if (!DeviceIoControl(h, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, out.data(),
                         static_cast<DWORD>(out.size()), &got, nullptr))
        return std::nullopt;
    return StorageDescriptorSerial({out.data(), std::min<size_t>(got, out.size())});
}

// One drive: SMART version, the ATA identify capability, not an ATAPI device, then IDENTIFY DEVICE;
// where that gives nothing (an NVMe drive has no SMART IDENTIFY), the storage device descriptor.
std::optional<std::string> ReadPhysicalDriveSerial(int drive) {
    const std::wstring name = L"\\\\.\\PhysicalDrive" + std::to_wstring(drive);
    HANDLE h = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        // Without administrator rights a drive opens for its properties only.
        h = CreateFileW(name.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) return std::nullopt;
        std::optional<std::string> serial = ReadDescriptorSerial(h);
        CloseHandle(h);
        return serial;
    }
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
    if (!serial) serial = ReadDescriptorSerial(h);
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
