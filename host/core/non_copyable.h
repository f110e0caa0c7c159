// A base for the tool's objects that own something of the system (a loaded module, a child
// process, a port, the logging library's sink): copying one would release it twice.
#pragma once

namespace host::core {

class NonCopyable {
public:
    NonCopyable(const NonCopyable&) = delete;
    NonCopyable& operator=(const NonCopyable&) = delete;

protected:
    NonCopyable() = default;
    ~NonCopyable() = default;
};

}  // namespace host::core
