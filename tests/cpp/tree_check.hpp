// Walks a quiet file system from the root and reports the first broken
// invariant, or an empty string: every listed child is in the table, lists
// its directory as parent and sits one level deeper, names are unique per
// directory, and every node in the table is reachable from the root.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "fs/file_system.hpp"

namespace halvorn::testing {

inline std::string check_tree(const FileSystem& fs) {
    std::size_t reachable = 0;
    std::vector<std::uint64_t> pending{kRootId};
    while (!pending.empty()) {
        std::uint64_t id = pending.back();
        pending.pop_back();
        INodeGuard dir = fs.inodes().get(id);
        if (!dir) return "listed id " + std::to_string(id) + " is not in the table";
        ++reachable;
        if (!dir->is_directory()) continue;
        sync::ReadLock hold(dir->kind_lock());
        std::set<std::string> names;
        std::string problem;
        dir->as_directory().children.for_each([&](const INode* child) {
            if (!problem.empty()) return;
            if (!fs.inodes().get(child->id())) problem = "child not in table";
            auto parent = fs.get_inode_raw(child->parent());
            if (!parent || *parent != id)
                problem = "wrong parent of " + std::to_string(child->id());
            if (child->depth() != dir->depth() + 1) problem = "wrong depth";
            if (!names.insert(std::string(child->name())).second) problem = "duplicate name";
            if (!child->is_symlink()) pending.push_back(child->id());
        });
        if (!problem.empty()) return problem;
    }
    std::size_t links = 0;
    fs.inodes().for_each([&](const INode& node) { links += node.is_symlink(); });
    if (reachable + links != fs.inodes().size())
        return std::to_string(fs.inodes().size() - reachable - links) + " nodes unreachable";
    return {};
}

}  // namespace halvorn::testing
