#pragma once
// The form model of dialog 101: every control with its kind, text, enable, visible, check,
// picture and progress state. The console operations, the link watcher and the task threads write
// it from their threads while the GUI thread reads it, so one lock guards it. Front ends are told
// of every change through listeners, which are never called with that lock held.
#include <functional>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

enum class ControlKind { Edit, Static, Button, Radio, CheckBox, Progress, Picture, GroupBox };

struct ControlState {
    int id = 0;  // 0: no such control
    ControlKind kind = ControlKind::Static;
    std::string text;
    bool bEnabled = true;
    bool bVisible = false;
    bool bChecked = false;
    int nPicture = -1;  // picture controls: the picture kind shown (0..4), -1 none
    int nImage = 0;     // buttons: the icon resource shown beside the text, 0 none
    int nPos = 0;       // progress bars
    int nMin = 0;
    int nMax = 100;
};

enum class ControlChange { Text, Enabled, Checked, Picture, Image, Progress };

struct ControlEvent {
    int id;
    ControlChange what;
};

// The label texts of the two languages (control id, text).
struct LabelText {
    int id;
    const char* text;
};
const std::vector<LabelText>& ChineseLabels();
const std::vector<LabelText>& EnglishLabels();

// Menus 128 and 159 (carried; the frame shows neither).
struct MenuItem {
    const char* text;
    int command;
};
struct MenuResource {
    int id;
    const char* popup;
    std::vector<MenuItem> items;
};
const std::vector<MenuResource>& FormMenus();

class CFormModel {
public:
    // Dialog 101 as created: the controls with their kinds and template texts, the visible ones
    // those the window shows (status 1032 with 1172, progress 1024 with 1101 and 1173, picture
    // 1123, Download 1008, notes 1176, 1177 and 1199), the counter group disabled.
    CFormModel();
    CFormModel(const CFormModel&) = delete;
    CFormModel& operator=(const CFormModel&) = delete;

    bool Has(int id) const;
    // A copy of the control's state (id 0 when there is no such control).
    ControlState Get(int id) const;
    std::vector<int> Ids() const;
    std::vector<int> VisibleIds() const;

    void SetText(int id, const std::string& text);
    std::string GetText(int id) const;
    void Enable(int id, bool bEnable);
    bool IsEnabled(int id) const;
    void SetCheck(int id, bool bChecked);
    bool IsChecked(int id) const;
    // Checks a radio and clears the others of its group.
    void CheckRadio(int id);
    // The index in `group` of the checked radio, -1 when none is checked.
    int CheckedIndex(const std::vector<int>& group) const;
    // Shows a picture kind; every call is reported, also a repeat of the same kind.
    void SetPicture(int id, int kind);
    void SetImage(int id, int resourceId);
    void SetProgressRange(int id, int nMin, int nMax);
    void SetProgressPos(int id, int pos);

    // Writes the label table of the language (English when true).
    void ApplyLabels(bool bEnglish);

    // Listeners are called after the change, outside the model's lock, in the order of the
    // changes. A listener must not add or remove listeners; it may read the model.
    using Listener = std::function<void(const ControlEvent&)>;
    int AddListener(Listener listener);
    // Returns when no call of that listener is in progress any more.
    void RemoveListener(int token);

private:
    // Applies `change` under the lock; reports `what` when it returned true.
    void Change(int id, ControlChange what, const std::function<bool(ControlState&)>& change);
    void Notify(const ControlEvent& event);

    // Held from a change until its listeners have run, so they see changes in order (recursive:
    // a listener may cause a change on its own thread).
    std::recursive_mutex m_orderMutex;
    mutable std::mutex m_mutex;
    std::map<int, ControlState> m_controls;
    std::map<int, std::vector<int>> m_radioGroups;  // radio id -> its group

    std::shared_mutex m_listenMutex;
    std::map<int, Listener> m_listeners;
    int m_nNextToken = 1;
};
