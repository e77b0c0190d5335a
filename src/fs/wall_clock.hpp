// The time stamps of nodes: the wall clock, in nanoseconds since the epoch.
//
// The coarse clock is read from memory the kernel keeps up to date (a few
// nanoseconds, against a system call or a hardware read for the precise
// one), and a few milliseconds of resolution is all that telling a changed
// file from an unchanged one needs.
#pragma once

#include <time.h>

#include <cstdint>

namespace halvorn {

inline std::int64_t wall_clock_ns() {
    timespec now;
    clock_gettime(CLOCK_REALTIME_COARSE, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

}  // namespace halvorn
