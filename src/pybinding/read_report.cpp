#include "pybinding/read_report.hpp"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <string_view>

namespace halvorn::py {

void report_read(std::uint64_t count) noexcept {
    constexpr std::string_view kHead = "Read ";
    constexpr std::string_view kTail = " bytes from file\n";
    constexpr std::size_t kMaxDigits = 20;  // 2**64 - 1 has 20
    std::array<char, kHead.size() + kMaxDigits + kTail.size()> line;

    char* end = std::copy(kHead.begin(), kHead.end(), line.begin());
    end = std::to_chars(end, end + kMaxDigits, count).ptr;
    end = std::copy(kTail.begin(), kTail.end(), end);

    // One write does it; the loop only finishes a write that a signal
    // interrupted or that the descriptor took in part (a pipe near full).
    const char* next = line.data();
    while (next < end) {
        const ssize_t written = write(STDOUT_FILENO, next, static_cast<std::size_t>(end - next));
        if (written < 0) {
            if (errno == EINTR) continue;
            return;
        }
        next += written;
    }
}

}  // namespace halvorn::py
