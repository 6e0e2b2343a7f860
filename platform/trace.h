#pragma once
// Trace lines: diagnostics the tool writes to standard output or to the debugger.
// The front end decides where they go (the headless runner prints "TRACE: <text>").
#include <functional>
#include <string>

namespace plat {

using TraceSink = std::function<void(const std::string&)>;

// Installs the sink (null: traces are dropped). Thread-safe.
void SetTraceSink(TraceSink sink);
void Trace(const std::string& text);
// printf-style convenience.
void TraceF(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// printf into a std::string.
std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace plat
