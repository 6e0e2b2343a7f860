#pragma once
// CCountsInfo: the usage counters kept in a private INI file in the system directory. The view
// owns one store for the run; task threads count attempts and successes while the GUI thread may
// clear, so every member is guarded by one lock. The lock is never held while the operator is asked.
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/ui_port.h"

constexpr const char COUNTS_INI_NAME[] = "DerorEZ_LTE_RK19S2V1.00.00.ini";
constexpr const char COUNTS_SECTION[] = "CountsInfo";
constexpr const char COUNTS_NEVER_CLEARED[] = "0/0/0 00:00";

// The three texts of the counter controls: 1182 (current), 1181 (all), 1185 (last clear time).
struct CountsTexts {
    std::string strNow;
    std::string strAll;
    std::string strClearTime;
};

// The stored values, as read or last written.
struct CountsValues {
    uint32_t nTotalCounts = 0;
    uint32_t nSuccessCounts = 0;
    uint32_t nNowTotalCounts = 0;
    uint32_t nNowSuccessCounts = 0;
    uint32_t tClearTime = 0;
};

class CCountsInfo {
public:
    // Builds the path from the system directory of the machine root and reads the file.
    CCountsInfo();

    // Reads the five keys (a missing file or key reads as 0).
    void Load();
    // "%u/%u": current success/total, then all-time success/total.
    void FormatCounts(std::string& strNow, std::string& strAll) const;
    std::string GetClearTimeText() const;
    // Asks "确定清零当前计数？" ("提示"), or in English mode "Are you sure to clear?" ("Notes"),
    // with Yes/No; on Yes zeroes the current pair, stamps the clear time and saves. True when
    // cleared; any other answer changes nothing.
    bool Clear(plat::IUiPort& ui, bool bEnglish);
    // Writes the five keys; false when the file could not be written (the values stay in memory).
    bool Save();

    // One upgrade attempt: +1 to the all-time and current totals, saved at once.
    void AddAttempt();
    // One successful upgrade: +1 to the all-time and current success counts, saved at once.
    void AddSuccess();

    // The three display texts in one consistent reading (for the view after any change).
    CountsTexts GetDisplayTexts() const;
    CountsValues GetValues() const;
    const std::string& IniPath() const { return m_strIniPath; }

    // "%m/%d/%Y %H:%M" in local time, "0/0/0 00:00" for 0.
    static std::string FormatClearTime(uint32_t tClearTime);

private:
    bool SaveLocked();

    mutable std::mutex m_lock;
    std::string m_strIniPath;
    uint32_t m_nTotalCounts = 0;
    uint32_t m_nSuccessCounts = 0;
    uint32_t m_nNowTotalCounts = 0;
    uint32_t m_nNowSuccessCounts = 0;
    std::string m_strClearTime = COUNTS_NEVER_CLEARED;
    uint32_t m_tClearTime = 0;
};
