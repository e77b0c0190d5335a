// Resolves the input, taken as a path, on a small fixed tree and compares the
// answer with a resolver of its own over a mirror of that tree; also checks
// how the path is cut at its last separator.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.hpp"

namespace halvorn::fuzzing {
namespace {

struct Node {
    std::string name;
    std::size_t parent;  // index in the mirror; the root is its own parent
    bool directory;
    std::uint64_t id;
};

struct Tree {
    std::shared_ptr<FileSystem> fs = FileSystem::create();
    std::vector<Node> nodes{{"", 0, true, kRootId}};

    std::size_t add(std::size_t parent, std::string name, bool directory) {
        auto id = fs->create_inode(nodes[parent].id, name,
                                   directory ? INodeKind::Directory : INodeKind::File);
        require(id.ok(), "prepare", name);
        nodes.push_back({std::move(name), parent, directory, *id});
        return nodes.size() - 1;
    }
};

// Short names, a name with a blank, a non-ASCII one, one too long to live
// inside its node, and a directory big enough to index its names.
Tree build() {
    Tree tree;
    const std::size_t a = tree.add(0, "a", true);
    const std::size_t b = tree.add(a, "b", true);
    tree.add(b, "c", false);
    tree.add(a, "f", false);
    tree.add(0, "f", false);
    tree.add(0, "d", true);
    tree.add(0, "two words", true);
    tree.add(0, "\xc3\xa9", false);
    const std::size_t longer = tree.add(0, "a-name-longer-than-the-inline-room", true);
    tree.add(longer, "x", false);
    const std::size_t many = tree.add(0, "many", true);
    for (int i = 0; i < 12; ++i)
        tree.add(many, std::to_string(i), i % 3 == 0);
    return tree;
}

bool is_separator(char c) {
    return c == '/' || c == '\\';
}

// The walk every path takes from the root: separators of both kinds, empty
// components and "." skipped, ".." to the parent (the root's is itself), a
// name looked up only inside a directory.
Result<std::size_t> resolve(const Tree& tree, std::string_view path) {
    std::size_t current = 0;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = start;
        while (end < path.size() && !is_separator(path[end]))
            ++end;
        const std::string_view part = path.substr(start, end - start);
        start = end + 1;
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            current = tree.nodes[current].parent;
            continue;
        }
        if (!tree.nodes[current].directory) return IoError::NotADirectory;
        std::size_t found = 0;
        for (std::size_t i = 1; i < tree.nodes.size() && found == 0; ++i) {
            if (tree.nodes[i].parent == current && tree.nodes[i].name == part) found = i;
        }
        if (found == 0) return IoError::InodeNotFound;
        current = found;
    }
    return current;
}

std::string path_of(const Tree& tree, std::size_t node) {
    if (node == 0) return "/";
    std::string path;
    for (; node != 0; node = tree.nodes[node].parent)
        path = "/" + tree.nodes[node].name + path;
    return path;
}

void check_split(std::string_view path) {
    const SplitPath split = split_last_separator(path);
    const std::size_t at = path.find_last_of("/\\");
    if (at == std::string_view::npos) {
        require(split.parent.empty() && split.name == path, "split without a separator");
        return;
    }
    require(std::string(split.parent) + path[at] + std::string(split.name) == path &&
                split.parent.size() == at,
            "split at the last separator");
    require(split.name.find_first_of("/\\") == std::string_view::npos,
            "the last name holds no separator");
}

}  // namespace
}  // namespace halvorn::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace halvorn::fuzzing;
    static const Tree tree = build();
    const std::string_view path(reinterpret_cast<const char*>(data), size);
    check_split(path);

    auto expected = resolve(tree, path);
    auto got = tree.fs->get_inode_by_path(path);
    if (!expected) {
        require(!got && got.error() == expected.error(), "path fails as the walk does", path);
        return 0;
    }
    const Node& node = tree.nodes[*expected];
    require(got && (*got)->id() == node.id, "path resolves as the walk does", path);
    got->release();
    auto back = tree.fs->get_path_by_inode(node.id);
    require(back && *back == path_of(tree, *expected), "a node's path", path);
    return 0;
}
