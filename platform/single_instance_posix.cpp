#include "platform/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>

namespace plat {

SingleInstance::~SingleInstance() { Release(); }

bool SingleInstance::Acquire(const std::string& name) {
    Release();
    const char* dir = std::getenv("XDG_RUNTIME_DIR");
    std::string safe;
    for (char c : name) safe += (c == '/' ? '_' : c);
    const std::string path = std::string(dir && *dir ? dir : "/tmp") + "/" + safe + ".lock";
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return true;  // no place for the marker: run unguarded rather than not at all
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    m_handle = fd;
    return true;
}

void SingleInstance::Release() {
    if (m_handle >= 0) {
        ::close(static_cast<int>(m_handle));
        m_handle = -1;
    }
}

}  // namespace plat
