// The one-line diagnostic rendering of a file system and its nodes.
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
            for (std::uint8_t byte : file.data.bytes()) {
                if (!first) out += ", ";
                first = false;
                append_number(out, byte);
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

void render_inode(std::string& out, const INode& node) {
    out += "INode { id: ";
    append_number(out, node.id());
    out += ", parent: ";
    append_number(out, node.parent());
    out += ", depth: ";
    append_number(out, node.depth());
    out += ", name: \"";
    append_debug_escaped(out, node.name());
    out += "\", data: RwLock { data: ";
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
    std::string out = "FileSystem { inodes: {";
    bool first = true;
    // Names and parents are read away from the directories that list them,
    // so under the name lock; it comes before the table's shards, as in a
    // path being built.
    sync::ReadLock names(names_lock_);
    inodes_.for_each([&](const INode& node) {
        if (!first) out += ", ";
        first = false;
        append_number(out, node.id());
        out += ": ";
        render_inode(out, node);
    });
    out += "}, next_inode_id: ";
    append_number(out, next_inode_id());
    out += " }";
    return out;
}

}  // namespace halvorn
