#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "platform/terminal.h"

namespace plat {

namespace {
sigset_t ExitSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}
}  // namespace

std::vector<std::string> CommandLineArguments(int argc, char** argv) { return {argv, argv + argc}; }

void PrepareConsole() { std::signal(SIGPIPE, SIG_IGN); }

void ExitNow(int code) {
    std::fflush(nullptr);
    std::_Exit(code);
}

bool IsTerminal(int stream) { return ::isatty(stream) == 1; }

int TerminalColumns(int stream) {
    winsize size{};
    if (::ioctl(stream, TIOCGWINSZ, &size) != 0) return 0;
    return size.ws_col;
}

void BlockExitSignals() {
    const sigset_t set = ExitSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int WaitExitSignal(int64_t ms) {
    const sigset_t set = ExitSet();
    const timespec wait{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000 * 1000};
    const int sig = sigtimedwait(&set, nullptr, &wait);
    return (sig == SIGINT || sig == SIGTERM) ? 128 + sig : 0;
}

}  // namespace plat
