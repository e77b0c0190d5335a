// The line a file handle's read leaves on standard output.
#pragma once

#include "pybinding/python.hpp"

#include <cstdint>

namespace halvorn::py {

// Writes "Read <count> bytes from file\n" to file descriptor 1: straight to
// the descriptor, not through sys.stdout, and in one write so that the line
// reaches it whole even while other threads or processes write there too.
// A standard output that is full is waited for, also when it is set
// non-blocking; one that is closed or broken loses the line, and the read it
// reports has happened and is not undone for that.
//
// The caller is attached to the interpreter and holds none of the binding's
// locks: the write itself runs detached (see read_report.cpp).
void report_read(std::uint64_t count) noexcept;

}  // namespace halvorn::py
