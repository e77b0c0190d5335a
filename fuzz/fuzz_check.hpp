// Invariant checks shared by the fuzzers. A violated invariant is printed to
// standard error and aborts, which the fuzzer reports as a crash together
// with the input that led there.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fs/file_system.hpp"
#include "tree_check.hpp"

namespace halvorn::fuzzing {

[[noreturn]] inline void violated(std::string_view what, std::string_view detail = {}) {
    std::fprintf(stderr, "invariant violated: %.*s%s%.*s\n", static_cast<int>(what.size()),
                 what.data(), detail.empty() ? "" : ": ", static_cast<int>(detail.size()),
                 detail.data());
    std::abort();
}

inline void require(bool holds, std::string_view what, std::string_view detail = {}) {
    if (!holds) violated(what, detail);
}

// The tree walk of the C++ tests: parents, depths, names, reachability.
inline void require_tree(const FileSystem& fs) {
    const std::string problem = testing::check_tree(fs);
    require(problem.empty(), "tree", problem);
}

// Every file's lock word against what its holders imply: `expected(id)`
// gives the count of shared holders, -1 for one writer, or 0. A word claimed
// by a removal (-2) must never outlive the removal: the file leaves the table.
template <class Expected>
void require_locks(const FileSystem& fs, Expected&& expected) {
    fs.inodes().for_each([&](const INode& node) {
        if (!node.is_file()) return;
        const std::int64_t word = node.as_file().lock.value();
        const std::int64_t want = expected(node.id());
        if (word != want)
            violated("lock word", "file " + std::to_string(node.id()) + " holds " +
                                      std::to_string(word) + ", expected " + std::to_string(want));
    });
}

// The diagnostic rendering works on any tree and names the next id.
inline void require_render(const FileSystem& fs) {
    const std::string text = fs.render();
    const std::string tail = "next_inode_id: " + std::to_string(fs.next_inode_id()) + " }";
    require(text.starts_with("FileSystem { inodes: {") && text.ends_with(tail), "render", text);
}

}  // namespace halvorn::fuzzing
