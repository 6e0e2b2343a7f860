#include "form/form_model.h"

#include <algorithm>

#include "form/control_ids.h"

namespace {

void Add(std::map<int, ControlState>& m, int id, ControlKind kind, const char* text = "",
         bool bVisible = false, bool bEnabled = true) {
    ControlState s;
    s.id = id;
    s.kind = kind;
    s.text = text;
    s.bVisible = bVisible;
    s.bEnabled = bEnabled;
    m[id] = s;
}

constexpr const char* TASK_RADIO_TEXTS[4] = {"下载", "修复", "备份NV", "恢复NV"};

}  // namespace

const std::vector<LabelText>& ChineseLabels() {
    static const std::vector<LabelText> table = {
        {1008, "执行"},
        {1170, "Modem版本号："},
        {1171, "CPE版本号："},
        {1172, "管理信息："},
        {1173, "管理进度显示："},
        {1176, "1：如有重要信息需要备份，请在开始执行前备份。"},
        {1177, "2：WIFI用户名和密码将恢复出厂设置。"},
        {1199, "3：执行过程中请不要关闭程序，否则可能会导致设备无法使用。"},
    };
    return table;
}

const std::vector<LabelText>& EnglishLabels() {
    static const std::vector<LabelText> table = {
        {1154, "Version path"},
        {1008, "Download"},
        {1174, "Update Options"},
        {1164, "Only update CPE"},
        {1165, "Update Modem and CPE"},
        {1168, "Backup NV"},
        {1169, "Restore NV"},
        {1178, "All Counts:"},
        {1179, "Now Counts:"},
        {1183, "Last clear time:"},
        {1184, "Now time:"},
        {1187, "Clear"},
        {1170, "IMEI Num:"},
        {1171, "Integre Num:"},
        {1172, "Update Info:"},
        {1173, "Progress Info:"},
        {1176, "1: Before the upgrade Please backup your important information."},
        {1177, "2: Don't close the program when the tool is downloading."},
    };
    return table;
}

const std::vector<MenuResource>& FormMenus() {
    static const std::vector<MenuResource> menus = {
        {128,
         "选项",
         {{"导出CSV文件", ids::CMD_EXPORT_CSV},
          {"导出SDI文件", ids::CMD_EXPORT_SDI},
          {"操作指南", ids::CMD_OPERATING_GUIDE},
          {"退出", ids::CMD_EXIT}}},
        {159,
         "Options",
         {{"CSV File", ids::CMD_EXPORT_CSV},
          {"SDI File", ids::CMD_EXPORT_SDI},
          {"Open Doc", ids::CMD_OPERATING_GUIDE},
          {"About", ids::CMD_ABOUT},
          {"EXIT", ids::CMD_EXIT}}},
    };
    return menus;
}

CFormModel::CFormModel() {
    auto& m = m_controls;
    for (int line = 0; line < LINE_COUNT; ++line) {
        Add(m, ids::MODEM_VERSION_0 + line, ControlKind::Edit);
        Add(m, ids::DOWNLOAD_0 + line, ControlKind::Button, line == 0 ? "Download" : ">", line == 0);
        Add(m, ids::STOP_LINE_0 + line, ControlKind::Button, "！");
        Add(m, ids::PROGRESS_0 + line, ControlKind::Progress, "", line == 0);
        Add(m, ids::STATUS_0 + line, ControlKind::Edit, "", line == 0);
        Add(m, ids::PROGRESS_TEXT_0 + line, ControlKind::Static, "", line == 0);
        Add(m, ids::PICTURE_0 + line, ControlKind::Picture, "", line == 0);
        Add(m, ids::CpeVersionEdit(line), ControlKind::Edit);
        Add(m, ids::RESTORE_PORT[static_cast<size_t>(line)], ControlKind::Button, "恢复端口");
        const auto& radios = ids::LINE_TASK_RADIOS[static_cast<size_t>(line)];
        std::vector<int> group(radios.begin(), radios.end());
        for (size_t i = 0; i < radios.size(); ++i) {
            Add(m, radios[i], ControlKind::Radio, TASK_RADIO_TEXTS[i]);
            m_radioGroups[radios[i]] = group;
        }
    }
    Add(m, ids::UPGRADE_SOFTWARE_EDIT, ControlKind::Edit);
    Add(m, ids::UPGRADE_SOFTWARE_BUTTON, ControlKind::Button, "...");
    Add(m, ids::START_ALL, ControlKind::Button, "全部开始");
    Add(m, ids::STOP_ALL, ControlKind::Button, "全部停止");
    Add(m, ids::RELEASE_ALL, ControlKind::Button, "全部释放");
    Add(m, ids::NV_DIR_BUTTON, ControlKind::Button, "...");
    Add(m, ids::NV_DIR_EDIT, ControlKind::Edit);
    Add(m, ids::NV_OPTION_0, ControlKind::Radio, "不备份和恢复");
    Add(m, ids::NV_OPTION_1, ControlKind::Radio, "恢复除IMEI外所有 RF NV");
    Add(m, ids::NV_OPTION_2, ControlKind::Radio, "恢复所有 RF NV和IMEI");
    Add(m, ids::NV_OPTION_3, ControlKind::Radio, "不备份,装载缺省NV文件");
    Add(m, ids::ERASE_BOOT, ControlKind::CheckBox, "擦Boot区");
    Add(m, ids::BUTTON_1135, ControlKind::Button);
    Add(m, ids::BOOT_FILE_BUTTON, ControlKind::Button, "...");
    Add(m, ids::BOOT_FILE_EDIT, ControlKind::Edit);
    Add(m, ids::LOADER_EDIT, ControlKind::Edit);
    Add(m, ids::RESTORE_ALL_PORTS, ControlKind::Button, "恢复全部端口");
    Add(m, ids::VERSION_PATH_BUTTON, ControlKind::Button, "Version path");
    Add(m, ids::VERSION_PATH_EDIT, ControlKind::Edit);
    Add(m, ids::TIME_LINE, ControlKind::Static, "", true);
    for (int id : {1156, 1158, 1159, 1160, 1162}) Add(m, id, ControlKind::Button);
    Add(m, ids::MODE_CPE_ONLY, ControlKind::Radio, "Only update CPE");
    Add(m, ids::MODE_MODEM_AND_CPE, ControlKind::Radio, "Update Modem and CPE");
    Add(m, ids::MODE_BACKUP_NV, ControlKind::Radio, "Backup NV");
    Add(m, ids::MODE_RESTORE_NV, ControlKind::Radio, "Restore NV");
    Add(m, ids::LABEL_MODEM_VERSION, ControlKind::Static, "IMEI Num:");
    Add(m, ids::LABEL_CPE_VERSION, ControlKind::Static, "Integre Num:");
    Add(m, ids::LABEL_STATUS, ControlKind::Static, "Update Info:", true);
    Add(m, ids::LABEL_PROGRESS, ControlKind::Static, "Progress Info:", true);
    Add(m, ids::GROUP_UPDATE_OPTIONS, ControlKind::GroupBox, "Update Options");
    Add(m, ids::NOTE_1, ControlKind::Static, "", true);
    Add(m, ids::NOTE_2, ControlKind::Static, "", true);
    Add(m, ids::NOTE_3, ControlKind::Static, "", true);
    // The counter group: created hidden and disabled.
    Add(m, ids::LABEL_ALL_COUNTS, ControlKind::Static, "All Counts:", false, false);
    Add(m, ids::LABEL_NOW_COUNTS, ControlKind::Static, "Now Counts:", false, false);
    Add(m, ids::ALL_COUNTS, ControlKind::Edit, "", false, false);
    Add(m, ids::NOW_COUNTS, ControlKind::Edit, "", false, false);
    Add(m, ids::LABEL_CLEAR_TIME, ControlKind::Static, "Last clear time:", false, false);
    Add(m, ids::LABEL_NOW_TIME, ControlKind::Static, "Now time:", false, false);
    Add(m, ids::CLEAR_TIME, ControlKind::Edit, "", false, false);
    Add(m, ids::NOW_TIME, ControlKind::Edit, "", false, false);
    Add(m, ids::CLEAR_COUNTS, ControlKind::Button, "Clear", false, false);

    const std::vector<int> modes(ids::MODE_RADIOS.begin(), ids::MODE_RADIOS.end());
    for (int id : modes) m_radioGroups[id] = modes;
    const std::vector<int> nv(ids::NV_OPTION_RADIOS.begin(), ids::NV_OPTION_RADIOS.end());
    for (int id : nv) m_radioGroups[id] = nv;
}

bool CFormModel::Has(int id) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_controls.count(id) != 0;
}

ControlState CFormModel::Get(int id) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_controls.find(id);
    return it == m_controls.end() ? ControlState{} : it->second;
}

std::vector<int> CFormModel::Ids() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<int> out;
    for (const auto& [id, s] : m_controls) out.push_back(id);
    return out;
}

std::vector<int> CFormModel::VisibleIds() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<int> out;
    for (const auto& [id, s] : m_controls)
        if (s.bVisible) out.push_back(id);
    return out;
}

void CFormModel::Change(int id, ControlChange what, const std::function<bool(ControlState&)>& change) {
    std::lock_guard<std::recursive_mutex> order(m_orderMutex);
    bool changed = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto it = m_controls.find(id);
        if (it == m_controls.end()) return;
        changed = change(it->second);
    }
    if (changed) Notify(ControlEvent{id, what});
}

void CFormModel::Notify(const ControlEvent& event) {
    std::shared_lock<std::shared_mutex> lock(m_listenMutex);
    for (const auto& [token, listener] : m_listeners) listener(event);
}

void CFormModel::SetText(int id, const std::string& text) {
    Change(id, ControlChange::Text, [&](ControlState& s) {
        if (s.text == text) return false;
        s.text = text;
        return true;
    });
}

std::string CFormModel::GetText(int id) const { return Get(id).text; }

void CFormModel::Enable(int id, bool bEnable) {
    Change(id, ControlChange::Enabled, [&](ControlState& s) {
        if (s.bEnabled == bEnable) return false;
        s.bEnabled = bEnable;
        return true;
    });
}

bool CFormModel::IsEnabled(int id) const { return Get(id).bEnabled; }

void CFormModel::SetCheck(int id, bool bChecked) {
    Change(id, ControlChange::Checked, [&](ControlState& s) {
        if (s.bChecked == bChecked) return false;
        s.bChecked = bChecked;
        return true;
    });
}

bool CFormModel::IsChecked(int id) const { return Get(id).bChecked; }

void CFormModel::CheckRadio(int id) {
    std::vector<int> group;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto it = m_radioGroups.find(id);
        if (it != m_radioGroups.end()) group = it->second;
    }
    std::lock_guard<std::recursive_mutex> order(m_orderMutex);
    for (int other : group)
        if (other != id) SetCheck(other, false);
    SetCheck(id, true);
}

int CFormModel::CheckedIndex(const std::vector<int>& group) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (size_t i = 0; i < group.size(); ++i) {
        const auto it = m_controls.find(group[i]);
        if (it != m_controls.end() && it->second.bChecked) return static_cast<int>(i);
    }
    return -1;
}

void CFormModel::SetPicture(int id, int kind) {
    Change(id, ControlChange::Picture, [&](ControlState& s) {
        s.nPicture = kind;
        return true;
    });
}

void CFormModel::SetImage(int id, int resourceId) {
    Change(id, ControlChange::Image, [&](ControlState& s) {
        if (s.nImage == resourceId) return false;
        s.nImage = resourceId;
        return true;
    });
}

void CFormModel::SetProgressRange(int id, int nMin, int nMax) {
    Change(id, ControlChange::Progress, [&](ControlState& s) {
        if (s.nMin == nMin && s.nMax == nMax) return false;
        s.nMin = nMin;
        s.nMax = nMax;
        s.nPos = std::clamp(s.nPos, std::min(nMin, nMax), std::max(nMin, nMax));
        return true;
    });
}

void CFormModel::SetProgressPos(int id, int pos) {
    Change(id, ControlChange::Progress, [&](ControlState& s) {
        const int p = std::clamp(pos, std::min(s.nMin, s.nMax), std::max(s.nMin, s.nMax));
        if (s.nPos == p) return false;
        s.nPos = p;
        return true;
    });
}

void CFormModel::ApplyLabels(bool bEnglish) {
    for (const LabelText& l : bEnglish ? EnglishLabels() : ChineseLabels()) SetText(l.id, l.text);
}

int CFormModel::AddListener(Listener listener) {
    std::unique_lock<std::shared_mutex> lock(m_listenMutex);
    const int token = m_nNextToken++;
    m_listeners[token] = std::move(listener);
    return token;
}

void CFormModel::RemoveListener(int token) {
    std::unique_lock<std::shared_mutex> lock(m_listenMutex);
    m_listeners.erase(token);
}
