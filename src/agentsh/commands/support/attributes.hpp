// What the tree does not keep but stat, du (and ls -l) must show: owners,
// modes and disk blocks. The tree has one user and no permission bits, so
// every node shows the same owner and the modes a umask of 022 gives; disk
// use is counted as a common Linux file system with 4 KiB blocks would
// count it (a file its size rounded up to whole blocks, a directory one
// block), so that sizes agree with what an agent sees on its own machine.
#pragma once

#include <cstdint>
#include <string>

#include "fs/file_system.hpp"

namespace halvorn::agentsh::cmd {

inline constexpr std::uint32_t kOwnerId = 0;
inline constexpr std::string_view kOwnerName = "root";
inline constexpr std::uint64_t kBlockSize = 4096;

// Permission bits: 0755 for a directory, 0644 for a file.
inline std::uint32_t mode_bits(const NodeStatus& node) {
    return node.is_directory ? 0755 : 0644;
}

// "drwxr-xr-x" / "-rw-r--r--".
std::string mode_text(const NodeStatus& node);

// Bytes the node takes on such a disk.
inline std::uint64_t disk_bytes(const NodeStatus& node) {
    if (node.is_directory) return kBlockSize;
    return (node.size + kBlockSize - 1) / kBlockSize * kBlockSize;
}

// Bytes as GNU's -h shows them: "0", "512", "4.0K", "12K", "1.5M" (rounded up).
std::string human_size(std::uint64_t bytes);

}  // namespace halvorn::agentsh::cmd
