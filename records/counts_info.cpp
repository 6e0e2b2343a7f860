#include "records/counts_info.h"

#include <ctime>
#include <utility>
#include <vector>

#include "platform/fs.h"
#include "platform/ini.h"
#include "platform/trace.h"

CCountsInfo::CCountsInfo() { Load(); }

void CCountsInfo::Load() {
    std::lock_guard<std::mutex> lock(m_lock);
    m_strIniPath = plat::JoinPath(plat::SystemDirectory(), COUNTS_INI_NAME);
    m_nSuccessCounts = plat::IniGetInt(COUNTS_SECTION, "SuccessCounts", 0, m_strIniPath);
    m_nTotalCounts = plat::IniGetInt(COUNTS_SECTION, "TotalCounts", 0, m_strIniPath);
    m_nNowSuccessCounts = plat::IniGetInt(COUNTS_SECTION, "NowSuccessCounts", 0, m_strIniPath);
    m_nNowTotalCounts = plat::IniGetInt(COUNTS_SECTION, "NowTotalCounts", 0, m_strIniPath);
    m_tClearTime = plat::IniGetInt(COUNTS_SECTION, "ClearTime", 0, m_strIniPath);
    m_strClearTime = FormatClearTime(m_tClearTime);
}

std::string CCountsInfo::FormatClearTime(uint32_t tClearTime) {
    if (tClearTime == 0) return COUNTS_NEVER_CLEARED;
    const std::time_t t = static_cast<std::time_t>(tClearTime);
    std::tm local{};
    if (!plat::LocalTime(t, local)) return COUNTS_NEVER_CLEARED;
    char text[64] = {};
    std::strftime(text, sizeof(text), "%m/%d/%Y %H:%M", &local);
    return text;
}

void CCountsInfo::FormatCounts(std::string& strNow, std::string& strAll) const {
    std::lock_guard<std::mutex> lock(m_lock);
    strNow = plat::Format("%u/%u", m_nNowSuccessCounts, m_nNowTotalCounts);
    strAll = plat::Format("%u/%u", m_nSuccessCounts, m_nTotalCounts);
}

std::string CCountsInfo::GetClearTimeText() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_strClearTime;
}

CountsTexts CCountsInfo::GetDisplayTexts() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return {plat::Format("%u/%u", m_nNowSuccessCounts, m_nNowTotalCounts),
            plat::Format("%u/%u", m_nSuccessCounts, m_nTotalCounts), m_strClearTime};
}

CountsValues CCountsInfo::GetValues() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return {m_nTotalCounts, m_nSuccessCounts, m_nNowTotalCounts, m_nNowSuccessCounts, m_tClearTime};
}

bool CCountsInfo::Clear(plat::IUiPort& ui, bool bEnglish) {
    // Asked without the lock: a task thread may count meanwhile.
    const plat::MsgResult answer =
        bEnglish ? ui.MessageBox("Are you sure to clear?", "Notes", plat::MsgButtons::YesNo)
                 : ui.MessageBox("确定清零当前计数？", "提示", plat::MsgButtons::YesNo);
    if (answer != plat::MsgResult::Yes) return false;
    std::lock_guard<std::mutex> lock(m_lock);
    m_nNowTotalCounts = 0;
    m_nNowSuccessCounts = 0;
    m_tClearTime = static_cast<uint32_t>(std::time(nullptr));
    m_strClearTime = FormatClearTime(m_tClearTime);
    SaveLocked();
    return true;
}

bool CCountsInfo::Save() {
    std::lock_guard<std::mutex> lock(m_lock);
    return SaveLocked();
}

bool CCountsInfo::SaveLocked() {
    // The five keys in their order, in one replacement of the file.
    const std::vector<std::pair<std::string, std::string>> values = {
        {"SuccessCounts", plat::Format("%u", m_nSuccessCounts)},
        {"TotalCounts", plat::Format("%u", m_nTotalCounts)},
        {"NowSuccessCounts", plat::Format("%u", m_nNowSuccessCounts)},
        {"NowTotalCounts", plat::Format("%u", m_nNowTotalCounts)},
        {"ClearTime", plat::Format("%u", m_tClearTime)},
    };
    return plat::IniWriteStrings(COUNTS_SECTION, values, m_strIniPath);
}

void CCountsInfo::AddAttempt() {
    std::lock_guard<std::mutex> lock(m_lock);
    ++m_nTotalCounts;
    ++m_nNowTotalCounts;
    SaveLocked();
}

void CCountsInfo::AddSuccess() {
    std::lock_guard<std::mutex> lock(m_lock);
    ++m_nSuccessCounts;
    ++m_nNowSuccessCounts;
    SaveLocked();
}
