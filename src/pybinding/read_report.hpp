// The line a file handle's read leaves on standard output.
#pragma once

#include <cstdint>

namespace halvorn::py {

// Writes "Read <count> bytes from file\n" to file descriptor 1: straight to
// the descriptor, not through sys.stdout, and in one write so that the line
// reaches it whole even while other threads or processes write there too.
// A standard output that is closed or broken loses the line; the read it
// reports has happened and is not undone for that.
void report_read(std::uint64_t count) noexcept;

}  // namespace halvorn::py
