#pragma once
// The single-instance guard: a named marker that a copy of the program runs. On Windows the named
// mutex itself; on POSIX systems an flock'ed file named after the mutex name in $XDG_RUNTIME_DIR
// (else /tmp).
#include <cstdint>
#include <string>

#include "platform/non_copyable.h"

namespace plat {

class SingleInstance : private NonCopyable {
public:
    SingleInstance() = default;
    ~SingleInstance();

    // True when this process now holds the marker; false when another copy holds it
    // (ERROR_ALREADY_EXISTS).
    bool Acquire(const std::string& name);
    void Release();

private:
    std::intptr_t m_handle = -1;  // the lock file descriptor or the mutex handle; -1: none
};

}  // namespace plat
