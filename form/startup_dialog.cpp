#include "form/startup_dialog.h"

#include <cctype>
#include <cstdint>

namespace startup_dialog {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// strtol with base 10 on a 32-bit long: leading white space, optional sign, digits; the value
// saturates at the 32-bit limits. `end` receives the position after the last character used
// (the start when no digit was read).
int32_t StrToL32(const std::string& s, size_t start, size_t& end) {
    size_t i = start;
    while (i < s.size() && IsSpace(s[i])) ++i;
    bool neg = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) neg = s[i++] == '-';
    const size_t digits = i;
    int64_t v = 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
        v = v * 10 + (s[i] - '0');
        if (v > static_cast<int64_t>(INT32_MAX) + 1) v = static_cast<int64_t>(INT32_MAX) + 1;
    }
    if (i == digits) {
        end = start;
        return 0;
    }
    end = i;
    if (neg) v = -v;
    if (v > INT32_MAX) v = INT32_MAX;
    if (v < INT32_MIN) v = INT32_MIN;
    return static_cast<int32_t>(v);
}

}  // namespace

LimitCheck ValidateLimitText(const std::string& text, int* value) {
    // The text ends at its first NUL, as the edit box's text does.
    const std::string s(text.c_str());
    size_t i = 0;
    while (i < s.size() && IsBlank(s[i])) ++i;
    const char first = i < s.size() ? s[i] : '\0';
    size_t end = i;
    const int32_t v = StrToL32(s, i, end);
    if (v == 0 && first != '0') return LimitCheck::NotAnInteger;
    while (end < s.size() && IsBlank(s[end])) ++end;
    if (end != s.size()) return LimitCheck::NotAnInteger;
    if (value != nullptr) *value = v;
    if (v < LIMIT_MIN || v > LIMIT_MAX) return LimitCheck::OutOfRange;
    return LimitCheck::Ok;
}

std::string LimitMessage(LimitCheck check) {
    switch (check) {
        case LimitCheck::NotAnInteger: return MSG_NOT_AN_INTEGER;
        case LimitCheck::OutOfRange: return MSG_OUT_OF_RANGE;
        case LimitCheck::Ok: break;
    }
    return {};
}

DialogResult PressOk(const std::string& limitText) {
    DialogResult r;
    r.check = ValidateLimitText(limitText);
    if (r.check != LimitCheck::Ok) {
        r.message = LimitMessage(r.check);
        return r;
    }
    r.address = GATEWAY_ADDRESS;
    r.limitText = limitText;
    return r;
}

}  // namespace startup_dialog
