#pragma once

namespace plat {

// A private base for a class whose objects own something that must have one owner (a handle, a
// thread, a lock, a registration): its objects cannot be copied, nor moved unless the class
// defines moving itself.
class NonCopyable {
public:
    NonCopyable(const NonCopyable&) = delete;
    NonCopyable& operator=(const NonCopyable&) = delete;

protected:
    NonCopyable() = default;
    ~NonCopyable() = default;
};

}  // namespace plat
