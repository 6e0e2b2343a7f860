#include "platform/trace.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <vector>

namespace plat {

namespace {
std::mutex g_mutex;
TraceSink g_sink;

std::string VFormat(const char* fmt, va_list args) {
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    if (n <= 0) return {};
    std::vector<char> buf(static_cast<size_t>(n) + 1);
    std::vsnprintf(buf.data(), buf.size(), fmt, args);
    return std::string(buf.data(), static_cast<size_t>(n));
}
}  // namespace

void SetTraceSink(TraceSink sink) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_sink = std::move(sink);
}

void Trace(const std::string& text) {
    TraceSink sink;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        sink = g_sink;
    }
    if (sink) sink(text);
}

void TraceF(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::string text = VFormat(fmt, args);
    va_end(args);
    Trace(text);
}

std::string Format(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::string text = VFormat(fmt, args);
    va_end(args);
    return text;
}

}  // namespace plat
