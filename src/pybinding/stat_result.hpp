// An os.stat_result for a node, as os.stat would give it for a file on disk.
#pragma once

#include "pybinding/python.hpp"

#include <cstdint>

#include "fs/file_system.hpp"

namespace halvorn::py {

// A new os.stat_result, or null with an exception set. `device` tells the
// node's file system from every other one.
PyObject* to_stat_result(const NodeStatus& status, std::uint64_t device) noexcept;

}  // namespace halvorn::py
