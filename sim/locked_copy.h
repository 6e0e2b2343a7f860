#pragma once
// The simulators' report getters: a copy of a field taken under the lock that guards it.
#include <mutex>

template <class T>
T LockedCopy(std::mutex& mutex, const T& value) {
    std::lock_guard<std::mutex> lock(mutex);
    return value;
}
