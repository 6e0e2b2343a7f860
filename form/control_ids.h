#pragma once
// Control ids of dialog 101 (the main form) and the command ids of its menus.
#include <array>
#include <cstdint>

#include "model/line_record.h"

namespace ids {

// Per line: index 0..7 added to the first id of each group (the CPE version edits are not
// consecutive, see CpeVersionEdit).
constexpr int MODEM_VERSION_0 = 1000;   // 1000..1007 edits
constexpr int DOWNLOAD_0 = 1008;        // 1008 "执行" (line 0), 1009..1015 ">" of lines 1..7
constexpr int STOP_LINE_0 = 1016;       // 1016..1023 "！"
constexpr int PROGRESS_0 = 1024;        // 1024..1031 progress bars
constexpr int STATUS_0 = 1032;          // 1032..1039 status edits
constexpr int PROGRESS_TEXT_0 = 1101;   // 1101..1108 "%d/100"
constexpr int PICTURE_0 = 1123;         // 1123..1130 state pictures

constexpr std::array<int, LINE_COUNT> CPE_VERSION = {1047, 1052, 1074, 1075, 1076, 1077, 1078, 1079};
// The four task radios of each line ("下载", "修复", "备份NV", "恢复NV"): task types 1..4.
constexpr std::array<std::array<int, 4>, LINE_COUNT> LINE_TASK_RADIOS = {{
    {1040, 1041, 1042, 1043},
    {1044, 1045, 1046, 1048},
    {1049, 1050, 1051, 1053},
    {1054, 1055, 1056, 1057},
    {1058, 1059, 1060, 1061},
    {1062, 1063, 1064, 1065},
    {1066, 1067, 1068, 1069},
    {1070, 1071, 1072, 1073},
}};
// Restore-port buttons of lines 1..8.
constexpr std::array<int, LINE_COUNT> RESTORE_PORT = {1140, 1141, 1142, 1143, 1144, 1145, 1146, 1148};

constexpr int UPGRADE_SOFTWARE_EDIT = 1080;
constexpr int UPGRADE_SOFTWARE_BUTTON = 1081;
constexpr int START_ALL = 1099;
constexpr int STOP_ALL = 1100;
constexpr int RELEASE_ALL = 1109;
constexpr int NV_DIR_BUTTON = 1121;
constexpr int NV_DIR_EDIT = 1122;
constexpr int NV_OPTION_0 = 1131;       // "不备份和恢复"
constexpr int NV_OPTION_1 = 1132;       // "恢复除IMEI外所有 RF NV"
constexpr int NV_OPTION_2 = 1133;       // "恢复所有 RF NV和IMEI"
constexpr int NV_OPTION_3 = 1138;       // "不备份,装载缺省NV文件"
constexpr int ERASE_BOOT = 1134;        // check box "擦Boot区"
constexpr int BUTTON_1135 = 1135;
constexpr int BOOT_FILE_BUTTON = 1136;
constexpr int BOOT_FILE_EDIT = 1137;
constexpr int LOADER_EDIT = 1139;
constexpr int RESTORE_ALL_PORTS = 1147;  // "恢复全部端口"
constexpr int VERSION_PATH_BUTTON = 1154;
constexpr int VERSION_PATH_EDIT = 1155;
constexpr int MODE_CPE_ONLY = 1164;
constexpr int MODE_MODEM_AND_CPE = 1165;
constexpr int MODE_BACKUP_NV = 1168;
constexpr int MODE_RESTORE_NV = 1169;
constexpr int LABEL_MODEM_VERSION = 1170;
constexpr int LABEL_CPE_VERSION = 1171;
constexpr int LABEL_STATUS = 1172;
constexpr int LABEL_PROGRESS = 1173;
constexpr int GROUP_UPDATE_OPTIONS = 1174;
constexpr int NOTE_1 = 1176;
constexpr int NOTE_2 = 1177;
constexpr int NOTE_3 = 1199;
constexpr int LABEL_ALL_COUNTS = 1178;
constexpr int LABEL_NOW_COUNTS = 1179;
constexpr int ALL_COUNTS = 1181;
constexpr int NOW_COUNTS = 1182;
constexpr int LABEL_CLEAR_TIME = 1183;
constexpr int LABEL_NOW_TIME = 1184;
constexpr int CLEAR_TIME = 1185;
constexpr int NOW_TIME = 1186;
constexpr int CLEAR_COUNTS = 1187;

constexpr std::array<int, 4> MODE_RADIOS = {MODE_CPE_ONLY, MODE_MODEM_AND_CPE, MODE_BACKUP_NV, MODE_RESTORE_NV};
constexpr std::array<int, 4> NV_OPTION_RADIOS = {NV_OPTION_0, NV_OPTION_1, NV_OPTION_2, NV_OPTION_3};

// Button images (icons) and the state picture bitmaps.
constexpr int ICON_DOWNLOAD = 140;
constexpr int ICON_STOP_LINE = 141;

// Menu 128 ("选项") and 159 ("Options") commands, handled by the view.
constexpr int CMD_EXIT = 32781;
constexpr int CMD_EXPORT_CSV = 32785;
constexpr int CMD_EXPORT_SDI = 32786;
constexpr int CMD_OPERATING_GUIDE = 32790;
constexpr int CMD_ABOUT = 32791;
// Commands with empty handlers on the frame.
constexpr std::array<int, 3> FRAME_NOOP_COMMANDS = {57601, 32780, 32783};

// The view's private message that starts the uninstaller (WM_USER + 1).
constexpr int WM_USER_UNINSTALL = 0x0400 + 1;

// Keys swallowed by the form.
constexpr int KEY_ENTER = 13;
constexpr int KEY_ESCAPE = 27;

constexpr int CLOCK_TIMER_ID = 1;
// The task's time line under the form (not a control of dialog 101) and its one-second timer,
// which runs only while a task does.
constexpr int TIME_LINE = 1300;
constexpr int TASK_TIMER_ID = 2;
constexpr int64_t TASK_TIMER_PERIOD_MS = 1000;

inline int CpeVersionEdit(int line) { return CPE_VERSION[static_cast<size_t>(line)]; }

}  // namespace ids
