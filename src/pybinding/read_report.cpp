#include "pybinding/read_report.hpp"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <string_view>

namespace halvorn::py {

namespace {

// One write does it; the loop only finishes a write that a signal
// interrupted or that the descriptor took in part (a pipe near full). A
// descriptor set non-blocking that is full for the moment (a pipe its reader
// has not drained yet) is waited for until it takes the rest, as a blocking
// one would be; only one that is closed or broken loses the line.
void write_whole(const char* next, const char* end) noexcept {
    while (next < end) {
        const ssize_t written = write(STDOUT_FILENO, next, static_cast<std::size_t>(end - next));
        if (written >= 0) {
            next += written;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            // Whatever poll says, the next write tells: an error or a hang-up
            // makes it fail for good, and an interrupted wait just loops.
            pollfd out{.fd = STDOUT_FILENO, .events = POLLOUT, .revents = 0};
            (void)poll(&out, 1, -1);
        } else if (errno != EINTR) {
            return;
        }
    }
}

}  // namespace

void report_read(std::uint64_t count) noexcept {
    constexpr std::string_view kHead = "Read ";
    constexpr std::string_view kTail = " bytes from file\n";
    constexpr std::size_t kMaxDigits = 20;  // 2**64 - 1 has 20
    std::array<char, kHead.size() + kMaxDigits + kTail.size()> line;

    char* end = std::copy(kHead.begin(), kHead.end(), line.begin());
    end = std::to_chars(end, end + kMaxDigits, count).ptr;
    end = std::copy(kTail.begin(), kTail.end(), end);

    // Descriptor 1 may be a pipe that a thread of this very process drains
    // (a notebook kernel captures output that way). Once the pipe is full the
    // write blocks until that thread has run, so it must not wait holding
    // the interpreter, just as os.write does not. Only the write goes
    // without it: formatting needs nothing, and a thread that finds the
    // interpreter busy on return simply waits its turn.
    Py_BEGIN_ALLOW_THREADS
    write_whole(line.data(), end);
    Py_END_ALLOW_THREADS
}

}  // namespace halvorn::py
