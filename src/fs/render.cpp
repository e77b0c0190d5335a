// The one-line diagnostic rendering of a file system and its nodes.
#include <algorithm>
#include <charconv>

#include "fs/debug_escape.hpp"
#include "fs/file_system.hpp"

namespace halvorn {

namespace {

template <class Integer>
void append_number(std::string& out, Integer value) {
    char digits[24];
    auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, end);
}

void render_kind(std::string& out, const INode& node) {
    switch (node.kind()) {
        case INodeKind::File: {
            const FileNode& file = node.as_file();
            out += "File { data: FileData { data: [";
            bool first = true;
            // Read a piece at a time: the pages are not one run of memory.
            std::uint8_t piece[4096];
            const std::uint64_t size = file.data.size();
            for (std::uint64_t at = 0; at < size;) {
                const std::size_t count =
                    static_cast<std::size_t>(std::min<std::uint64_t>(sizeof piece, size - at));
                file.data.read(at, {piece, count});
                for (std::size_t i = 0; i < count; ++i) {
                    if (!first) out += ", ";
                    first = false;
                    append_number(out, piece[i]);
                }
                at += count;
            }
            out += "] }, lock: FileLock { flag: ";
            append_number(out, file.lock.value());
            out += " } }";
            break;
        }
        case INodeKind::Directory: {
            out += "Directory { children: [";
            bool first = true;
            node.as_directory().children.for_each([&](const INode* child) {
                if (!first) out += ", ";
                first = false;
                append_number(out, child->id());
            });
            out += "] }";
            break;
        }
        case INodeKind::Symlink:
            out += "Symlink { target: ";
            append_number(out, node.as_symlink().target);
            out += " }";
            break;
    }
}

// Where a node sits in the tree: the one place the rendering reads a node's
// parent, depth and name. A rename changes them under `names`, which is
// held for this node alone, so that a long rendering keeps no rename
// waiting.
void render_place(std::string& out, const INode& node, sync::RwLock& names) {
    sync::ReadLock hold(names);
    out += ", parent: ";
    append_number(out, node.parent());
    out += ", depth: ";
    append_number(out, node.depth());
    out += ", name: \"";
    append_debug_escaped(out, node.name());
    out += '"';
}

void render_inode(std::string& out, const INode& node, sync::RwLock& names) {
    out += "INode { id: ";
    append_number(out, node.id());
    render_place(out, node, names);
    out += ", data: RwLock { data: ";
    // Rendering never waits for a kind lock: a node being changed right now
    // shows as locked.
    sync::RwLock::ReadToken token;
    if (node.kind_lock().try_lock_shared(token)) {
        render_kind(out, node);
        node.kind_lock().unlock_shared(token);
    } else {
        out += "<locked>";
    }
    out += ", poisoned: false, .. } }";
}

}  // namespace

std::string FileSystem::render() const {
    // The table visits each node under its own guard, with no part of the
    // table held: rendering a large file keeps no creation, and so no walk
    // through the creation's directory, waiting.
    std::string out = "FileSystem { inodes: {";
    bool first = true;
    inodes_.for_each([&](const INode& node) {
        if (!first) out += ", ";
        first = false;
        append_number(out, node.id());
        out += ": ";
        render_inode(out, node, names_lock_);
    });
    out += "}, next_inode_id: ";
    append_number(out, next_inode_id());
    out += " }";
    return out;
}

}  // namespace halvorn
