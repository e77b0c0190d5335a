// Walks a quiet file system from the root and reports the first broken
// invariant, or an empty string: the root is itself; every node is listed
// once at most (so no rename left it in two places); every listed child is
// the table's node for its id, lists its directory as parent (through links)
// and sits one level deeper, within the depth limit, under a valid name;
// names are unique and found by name in directories without links, and a
// directory counts its links right; every node in the table is reachable
// from the root or is a link, and no id lies at or past the next one; the
// file system's usage counts exactly the nodes and the files' room in the
// table, within its limits.
#pragma once

#include <algorithm>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "fs/file_system.hpp"

namespace halvorn::testing {

inline bool is_valid_name(std::string_view name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of("/\\") == std::string_view::npos;
}

// The counts of `usage` against what the tree holds, and within the limits.
inline std::string check_usage(const Usage& usage, std::uint64_t nodes, std::uint64_t bytes) {
    const Limits& limits = usage.limits();
    auto text = [](std::uint64_t count) { return std::to_string(count); };
    if (usage.nodes() != nodes)
        return "usage counts " + text(usage.nodes()) + " nodes of " + text(nodes);
    if (usage.bytes() != bytes)
        return "usage counts " + text(usage.bytes()) + " bytes of " + text(bytes);
    // The root is there whatever the limit.
    if (limits.max_nodes && nodes > std::max<std::uint64_t>(*limits.max_nodes, 1))
        return text(nodes) + " nodes passed the limit";
    if (limits.max_bytes && bytes > *limits.max_bytes)
        return text(bytes) + " bytes passed the limit";
    return {};
}

inline std::string check_tree(const FileSystem& fs) {
    {
        INodeGuard root = fs.inodes().get(kRootId);
        if (!root || root->parent() != kRootId || root->depth() != 0 || !root->name().empty() ||
            !root->is_directory())
            return "the root is missing or not itself";
    }
    std::size_t reachable = 0;
    std::set<std::uint64_t> seen;
    std::vector<std::uint64_t> pending{kRootId};
    while (!pending.empty()) {
        std::uint64_t id = pending.back();
        pending.pop_back();
        INodeGuard dir = fs.inodes().get(id);
        if (!dir) return "listed id " + std::to_string(id) + " is not in the table";
        if (!seen.insert(id).second) return "id " + std::to_string(id) + " is listed twice";
        ++reachable;
        if (!dir->is_directory()) continue;
        std::set<std::string> names;
        std::vector<std::pair<std::string, std::uint64_t>> by_name;
        std::uint32_t links = 0;
        std::string problem;
        {
            sync::ReadLock hold(dir->kind_lock());
            const DirectoryNode& directory = dir->as_directory();
            directory.children.for_each([&](const INode* child) {
                if (!problem.empty()) return;
                const std::string at = " at " + std::to_string(child->id());
                if (fs.inodes().get(child->id()).get() != child) problem = "child not in table";
                auto parent = fs.get_inode_raw(child->parent());
                if (!parent || *parent != id) problem = "wrong parent";
                if (child->depth() != dir->depth() + 1 || child->depth() > kMaxDepth)
                    problem = "wrong depth";
                if (!is_valid_name(child->name()) || !fs.usage().name_fits(child->name()))
                    problem = "invalid name";
                if (!names.insert(std::string(child->name())).second && directory.link_count == 0)
                    problem = "duplicate name";
                if (!problem.empty()) problem += at;
                links += child->is_symlink();
                by_name.emplace_back(child->name(), child->id());
                if (!child->is_symlink()) pending.push_back(child->id());
            });
            if (problem.empty() && links != directory.link_count)
                problem = "link count of " + std::to_string(id) + " is wrong";
        }
        if (!problem.empty()) return problem;
        // A link is found under its target's name, so only directories
        // without links promise that each name finds its own entry.
        for (const auto& [name, child] : by_name) {
            if (links != 0) break;
            auto found = fs.find_inode_by_name(id, name);
            if (!found || *found != child) return "name " + name + " does not find its entry";
        }
    }
    std::size_t links = 0;
    std::uint64_t bytes = 0;
    std::string problem;
    fs.inodes().for_each([&](const INode& node) {
        links += node.is_symlink();
        bytes += node.name().size();
        if (node.is_file()) {
            sync::ReadLock hold(node.kind_lock());
            bytes += node.as_file().data.room();
        }
        if (node.id() >= fs.next_inode_id() && problem.empty())
            problem = "id " + std::to_string(node.id()) + " not yet handed out";
    });
    if (!problem.empty()) return problem;
    if (reachable + links != fs.inodes().size())
        return std::to_string(fs.inodes().size() - reachable - links) + " nodes unreachable";
    return check_usage(fs.usage(), fs.inodes().size(), bytes);
}

}  // namespace halvorn::testing
