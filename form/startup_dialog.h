#pragma once
// The start-up dialog (template 162) without its window: the texts the front ends show, and the
// OK button's validation of the WiFi client limit typed into edit box 1195.
#include <array>
#include <string>

namespace startup_dialog {

constexpr int IDD_WRITE_TERMINAL_IP = 162;
constexpr int IDC_LIMIT_EDIT = 1195;
constexpr int IDC_LIMIT_LABEL = 1196;
constexpr int IDC_IP_LABEL = 1194;
constexpr int IDC_IP_ADDRESS = 1189;
constexpr int IDOK_BUTTON = 1;
constexpr int IDCANCEL_BUTTON = 2;

constexpr const char* TEMPLATE_CAPTION = "Write Terminal IP";
constexpr const char* CAPTION = "MG_RK880T_PDWA_CN_VEV1.00.00";
constexpr const char* GATEWAY_ADDRESS = "192.168.0.1";
constexpr const char* DEFAULT_LIMIT_TEXT = "32";
constexpr int LIMIT_MIN = 1;
constexpr int LIMIT_MAX = 32;

constexpr const char* TEXT_1190 = "使用WIFI终端管理工具前请先阅读说明书";
constexpr const char* TEXT_1191 = " -关闭其他软件.";
constexpr const char* TEXT_1192 = " -通过网线连接PC与你的设备,关闭您计算机上的WIFI连接.";
constexpr const char* TEXT_1193 = " -如果防火墙或者杀毒软件会拦截本工具,请允许本工具使用.";
constexpr const char* TEXT_1197 = " -建议将PC设置为固定IP，网段配置到跟RK880T同网段.";
constexpr const char* TEXT_1200 = " -例如设置为：192.168.0.100.";
constexpr const char* TEXT_1198 = " -如需修改WIFI最大连接数,请在下面编辑框中修改后点击【确定】";
constexpr const char* TEXT_OK = "确定";
constexpr const char* TEXT_CANCEL = "取消";
constexpr const char* TEXT_1194 = "IP地址：";
constexpr const char* TEXT_1196 = "WIFI最大连接：";

struct ControlText {
    int id;
    const char* text;
};

// The texts written when the dialog opens, in the order they are written.
constexpr std::array<ControlText, 11> OPENING_TEXTS = {{
    {1190, TEXT_1190},
    {1191, TEXT_1191},
    {1192, TEXT_1192},
    {1193, TEXT_1193},
    {1197, TEXT_1197},
    {1200, TEXT_1200},
    {1198, TEXT_1198},
    {IDOK_BUTTON, TEXT_OK},
    {IDCANCEL_BUTTON, TEXT_CANCEL},
    {IDC_IP_LABEL, TEXT_1194},
    {IDC_LIMIT_LABEL, TEXT_1196},
}};

// The framework's prompts for a failed integer exchange (string table 61712 and 61714, the latter
// with 1 and 32 filled in).
constexpr const char* MSG_NOT_AN_INTEGER = "请键入一个整数。";
constexpr const char* MSG_OUT_OF_RANGE = "“请填入一个在1和32之间的整数。”";

enum class LimitCheck { Ok, NotAnInteger, OutOfRange };

// The integer exchange of edit box 1195: blanks or tabs, an integer, blanks or tabs; a text that
// reads as 0 counts as an integer only when it begins with '0'; then the range 1 to 32.
// `value` (may be null) receives the number read when the text is an integer.
LimitCheck ValidateLimitText(const std::string& text, int* value = nullptr);

// The message shown for a failed check (empty for Ok).
std::string LimitMessage(LimitCheck check);

// What the OK button gives the form.
struct DialogResult {
    LimitCheck check = LimitCheck::Ok;
    std::string message;      // the prompt shown when the check failed
    std::string address;      // "192.168.0.1" on success
    std::string limitText;    // the edit box's text exactly as typed, on success
};

DialogResult PressOk(const std::string& limitText);

}  // namespace startup_dialog
