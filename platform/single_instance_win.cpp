// The single-instance guard on Windows: the named mutex, created not owned and never waited on.
#include <windows.h>

#include "platform/single_instance.h"
#include "platform/wide.h"

namespace plat {

SingleInstance::~SingleInstance() { Release(); }

bool SingleInstance::Acquire(const std::string& name) {
    Release();
    HANDLE mutex = CreateMutexW(nullptr, FALSE, Widen(name).c_str());
    const DWORD error = GetLastError();
    if (mutex == nullptr) return error != ERROR_ACCESS_DENIED;  // held by another user's copy
    if (error == ERROR_ALREADY_EXISTS) {
        CloseHandle(mutex);
        return false;
    }
    m_handle = reinterpret_cast<std::intptr_t>(mutex);
    return true;
}

void SingleInstance::Release() {
    if (m_handle != -1) {
        CloseHandle(reinterpret_cast<HANDLE>(m_handle));
        m_handle = -1;
    }
}

}  // namespace plat
