#pragma once
// The program's terminal: its arguments, its output streams, and the requests to end it from outside, for the headless runner's close path: SIGINT and
// SIGTERM on POSIX systems; Ctrl+C, Ctrl+Break and closing the console (also log-off and
// shut-down) on Windows. Each is reported as the exit status it leads to: 128 + N after signal N;
// on Windows Ctrl+C counts as SIGINT (130), the others as SIGTERM (143).
#include <cstdint>
#include <string>
#include <vector>

namespace plat {

// Standard output and error carry UTF-8 bytes exactly as written (the Windows console is switched
// to UTF-8, the streams to binary); a reader that went away does not end the program (SIGPIPE).
// On Windows the console gets its code pages (input and output) and output modes back when the
// program ends: at the return from main or exit(), in ExitNow, and on a console event that ends it.
void PrepareConsole();
// Ends the process at once with `code` (no destructors, no exit handlers): the standard streams
// flushed and the console given back as PrepareConsole found it.
[[noreturn]] void ExitNow(int code);
// The command line's arguments in UTF-8 (on Windows read again from the wide command line, so that
// paths outside the ANSI code page survive).
std::vector<std::string> CommandLineArguments(int argc, char** argv);
// The standard stream (1 output, 2 error) is a terminal a person reads (a console on Windows, where
// PrepareConsole has switched on the cursor sequences the progress line uses).
bool IsTerminal(int stream);
// The width in columns of the terminal the stream writes to, measured now (it follows a resize);
// 0 when the stream is no terminal or the width is unknown.
int TerminalColumns(int stream);
// Called before any thread starts: from now on the requests are only taken by WaitExitSignal.
void BlockExitSignals();
// Waits up to `ms` for a request; its exit status, or 0 when none came.
int WaitExitSignal(int64_t ms);

}  // namespace plat
