#pragma once
// The RF NV item lists per terminal type: which NV items and RF NV files the NV backup and
// restore copy. The lists themselves are data (rf_nv_lists.cpp).
#include <array>
#include <cstdint>
#include <span>
#include <string>

constexpr size_t RF_NV_LIST_SIZE = 5040;
constexpr int32_t RF_NV_LIST_END = 8888;    // sentinel after the last entry
constexpr int32_t RF_NV_FILE_BASE = 20000;  // entries from here on are RF NV files
inline constexpr const char RF_NV_FILE_FOLDER[] = "/nv/item_files/rfnv/";

using RfNvList = std::array<int32_t, RF_NV_LIST_SIZE>;

// The first of "RK19T", "RK19L", "RK18B", "RK18G" that occurs in `versionText` (case-sensitive);
// "" when none does.
std::string GetTerminalTypeKey(const std::string& versionText);

// Fills `list` with the key's entries, the sentinel 8888 and zeros: 0. -1 for any other key
// (exact comparison), `list` then untouched.
int BuildRfNvList(const std::string& key, RfNvList& list);

// The key's entries before the sentinel (empty for an unknown key).
std::span<const int32_t> RfNvEntries(const std::string& key);

inline bool IsRfNvFileEntry(int32_t entry) { return entry >= RF_NV_FILE_BASE; }
// "%08d" of the entry: the RF NV file's name.
std::string RfNvFileName(int32_t entry);
// The RF NV file's path in the modem's file system: "/nv/item_files/rfnv/" + name.
std::string RfNvFilePath(int32_t entry);
