#pragma once
// The line log: one file per line under a "Logs" folder, one time-stamped line per entry,
// appended. Thread-safe. Each entry is written with one append, so a crash leaves whole lines.
#include <mutex>
#include <string>

namespace plat {

class LineLog {
public:
    // The folder is not created here: the view's start-up makes it, so a program that ends
    // before (second instance, cancelled dialog) leaves no folder behind. Without it nothing
    // is written.
    explicit LineLog(std::string logsFolder);

    // Appends "YYYY-MM-DD HH:MM:SS <text>" and a line break to the line's file. Line breaks
    // inside the text are written as "\n", trailing ones are dropped. False when not written.
    bool Write(int line, const std::string& text);
    // The line's file: "<folder>/Line<N>.log", N = line + 1.
    std::string PathFor(int line) const;
    const std::string& Folder() const { return m_strFolder; }

private:
    std::string m_strFolder;
    std::mutex m_mutex;
};

}  // namespace plat
