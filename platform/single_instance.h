#pragma once
// The single-instance guard: a named marker that a copy of the program runs. It stands in for a
// named mutex with an flock'ed file named after the mutex name in $XDG_RUNTIME_DIR (else /tmp).
#include <string>

namespace plat {

class SingleInstance {
public:
    SingleInstance() = default;
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // True when this process now holds the marker; false when another copy holds it
    // (ERROR_ALREADY_EXISTS).
    bool Acquire(const std::string& name);
    void Release();

private:
    int m_fd = -1;
};

}  // namespace plat
