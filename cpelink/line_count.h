#pragma once
// The number of lines the tool serves: a link slot, a configuration record and a session each.
constexpr int LINE_COUNT = 8;
inline bool ValidLine(int line) { return line >= 0 && line < LINE_COUNT; }
