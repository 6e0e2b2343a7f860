#pragma once
// Preset modem contents, so that an NV backup against the simulator has something to read.
// Everything is a pure function of the item number or file entry, so a test can predict it.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/modem_sim.h"

// The IMEI the presets write into item 550.
inline constexpr const char SIM_DEFAULT_IMEI[] = "356938035643809";

// The 128 data bytes of a preset NV item: 1 + item % 96 bytes of a pattern, zeros after.
std::array<uint8_t, SIM_NV_DATA_SIZE> PresetNvData(uint16_t item);
// Whether the preset leaves an item not active (status 5); never items 22 and 550.
bool PresetNvInactive(uint16_t item);
// The bytes of a preset RF NV file: 200 to 1599 bytes (several 512-byte reads for most).
std::vector<uint8_t> PresetRfNvFile(int32_t entry);

// Wipes the modem's NV store and EFS and fills them for a terminal type key ("RK19T", "RK19L",
// "RK18B", "RK18G"): every NV item of the key's RF NV list with PresetNvData (status 0, or 5 where
// PresetNvInactive says so), item 550 with `imei` (an empty `imei` leaves item 550 out: the blank
// IMEI of a freshly flashed modem), every RF NV file with PresetRfNvFile.
// False for an unknown key (the stores are then left empty) or an IMEI that is not 15 digits.
bool PresetModem(ModemSim& modem, const std::string& terminalType,
                 const std::string& imei = SIM_DEFAULT_IMEI);
