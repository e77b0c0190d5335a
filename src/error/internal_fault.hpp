// A violated internal invariant: the system's own bookkeeping is broken.
// Unlike IoError this is not an outcome any caller can act on, so it unwinds
// like a panic to the Python boundary, which reports it on standard error and
// raises it as a BaseException-derived error. Only invariant checks throw it;
// ordinary failures are always IoError values.
#pragma once

#include <source_location>
#include <string>
#include <string_view>

namespace halvorn {

class InternalFault {
public:
    InternalFault(std::string message, std::source_location where)
        : message_(std::move(message)), where_(where) {}

    const std::string& message() const { return message_; }
    const std::source_location& where() const { return where_; }

private:
    std::string message_;
    std::source_location where_;
};

// Checks an invariant that ordinary use cannot break; `message` names it.
inline void check_invariant(bool holds, std::string_view message,
                            std::source_location where = std::source_location::current()) {
    if (!holds) [[unlikely]]
        throw InternalFault(std::string(message), where);
}

}  // namespace halvorn
