#include "sim/sim_presets.h"

#include "modem/rf_nv_lists.h"

std::array<uint8_t, SIM_NV_DATA_SIZE> PresetNvData(uint16_t item) {
    std::array<uint8_t, SIM_NV_DATA_SIZE> data{};
    const size_t used = 1 + item % 96;
    for (size_t i = 0; i < used; ++i)
        data[i] = static_cast<uint8_t>(item * 31 + i * 7 + 1);
    if (data[used - 1] == 0) data[used - 1] = 0xA5;  // the last used byte is never zero
    return data;
}

bool PresetNvInactive(uint16_t item) {
    if (item == 22 || item == SIM_NV_IMEI_ITEM) return false;
    return item % 13 == 5;
}

std::vector<uint8_t> PresetRfNvFile(int32_t entry) {
    const size_t size = 200 + static_cast<size_t>(entry * 37) % 1400;
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<uint8_t>(entry + i * 13 + (i >> 8));
    return bytes;
}

bool PresetModem(ModemSim& modem, const std::string& terminalType, const std::string& imei) {
    modem.WipeNv();
    modem.WipeEfs();
    const auto entries = RfNvEntries(terminalType);
    if (entries.empty()) return false;
    for (int32_t entry : entries) {
        if (IsRfNvFileEntry(entry)) {
            modem.SetEfsFile(RfNvFilePath(entry), PresetRfNvFile(entry));
        } else {
            const auto item = static_cast<uint16_t>(entry);
            modem.SetNvItem(item, PresetNvData(item),
                            PresetNvInactive(item) ? SIM_NV_NOTACTIVE : SIM_NV_DONE);
        }
    }
    // An empty IMEI: item 550 stays out, as on a freshly flashed modem.
    return imei.empty() || modem.SetImei(imei);
}
