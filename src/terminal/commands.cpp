#include "terminal/commands.hpp"

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "terminal/command_table.hpp"
#include "terminal/text.hpp"
#include "terminal/utf8.hpp"

namespace halvorn::terminal {

namespace {

// "<command>: cannot access '<what>': <why>", the shape most failures share.
// `what` is the argument as typed or an inode id, depending on the command.
Failure<std::string> cannot_access(std::string_view command, std::string_view what,
                                   std::string_view why) {
    return fail(joined({command, ": cannot access '", what, "': ", why}));
}

Failure<std::string> cannot_access(std::string_view command, std::string_view what,
                                   const IoError& error) {
    return cannot_access(command, what, error.message());
}

Failure<std::string> missing_argument(std::string_view command) {
    return fail(joined({command, ": missing argument"}));
}

// The whole contents of the file behind `handle`, read from the start.
Result<std::vector<std::uint8_t>> read_all(FileHandle& handle) {
    // Seeking to the end is how a handle tells the file's size.
    if (auto sought = handle.seek(SeekOrigin::End, 0); !sought) return sought.error();
    std::vector<std::uint8_t> bytes(handle.offset(), 0);
    if (auto sought = handle.seek(SeekOrigin::Start, 0); !sought) return sought.error();
    // The handle's shared hold keeps writers out, so the size cannot change
    // under the read and the count it returns adds nothing.
    if (auto read = handle.read(bytes); !read) return read.error();
    return bytes;
}

// What differs between mkdir and touch.
struct Creation {
    std::string_view command;
    std::string_view noun;  // in "cannot create <noun> '...'"
    INodeKind kind;
};

// Creates the last name of the argument in the directory its parent path
// names. The parent path reaches one level, like every target, and an empty
// one means the current directory; that includes "/x", whose parent path is
// empty.
TextResult create(TerminalContext& context, std::span<const std::string> args,
                  const Creation& creation) {
    if (args.empty()) return missing_argument(creation.command);
    const std::string& argument = args[0];
    const SplitPath split = split_last_separator(argument);
    std::uint64_t parent = context.cwd;
    if (!split.parent.empty()) {
        auto found = context.get_target_inode(split.parent);
        if (!found) return fail(std::move(found).error());
        parent = *found;
    }
    const std::string parent_id = std::to_string(parent);
    auto is_directory = context.fs->is_directory_raw(parent);
    if (!is_directory) return cannot_access(creation.command, parent_id, is_directory.error());
    if (!*is_directory)
        return fail(joined({creation.command, ": ", parent_id, ": Not a directory"}));
    // The core judges the name: empty, "." and ".." are refused there.
    auto created = context.fs->create_inode(parent, split.name, creation.kind);
    if (!created)
        return fail(joined({creation.command, ": cannot create ", creation.noun, " '", argument,
                            "': ", created.error().message()}));
    return std::string();
}

}  // namespace

TextResult cmd_cd(TerminalContext& context, std::span<const std::string> args) {
    if (args.empty()) return missing_argument("cd");
    const std::string& argument = args[0];
    // The directory found stays pinned while it is looked at, so a rename
    // that replaces it meanwhile cannot turn the check into a failure.
    auto target = context.find_target(argument);
    if (!target) return cannot_access("cd", argument, target.error());
    if (!target->node->is_directory()) return fail(joined({"cd: ", argument, ": Not a directory"}));
    // Only now, with every check passed, does the current directory move.
    context.cwd = target->listed_id;
    return std::string();
}

TextResult cmd_ls(TerminalContext& context, std::span<const std::string> args) {
    std::optional<FileSystem::Found> found;
    if (!args.empty()) {
        auto target = context.find_target(args[0]);
        if (!target) return fail(std::move(target).error());
        found.emplace(std::move(*target));
    }
    const std::uint64_t target = found ? found->listed_id : context.cwd;
    const std::string id = std::to_string(target);
    // A named target is listed as found; the current directory by its id.
    Result<Listing> listing = IoError::InodeNotFound;
    if (found) {
        if (!found->node->is_directory()) return fail(joined({"ls: ", id, ": Not a directory"}));
        listing = context.fs->ls_of(*found->node);
    } else {
        auto is_directory = context.fs->is_directory_raw(target);
        if (!is_directory) return cannot_access("ls", id, is_directory.error());
        if (!*is_directory) return fail(joined({"ls: ", id, ": Not a directory"}));
        listing = context.fs->ls_raw(target);
    }
    if (!listing) return cannot_access("ls", id, listing.error());
    std::string output;
    for (const std::string& name : listing->files)
        output += name + "\n";
    for (const std::string& name : listing->directories)
        output += name + "/\n";
    return output;
}

TextResult cmd_pwd(TerminalContext& context, std::span<const std::string>) {
    auto path = context.fs->get_path_by_inode(context.cwd);
    if (!path) return cannot_access("pwd", std::to_string(context.cwd), path.error());
    return std::move(*path);
}

TextResult cmd_cat(TerminalContext& context, std::span<const std::string> args) {
    if (args.empty()) return missing_argument("cat");
    const std::string& argument = args[0];
    // Found and opened in one step, under the hold of the directory that
    // lists it: a rename replacing the file meanwhile leaves cat the old
    // file or the new one, never a lookup that finds the old and an open
    // that finds it gone. The handle's shared hold keeps writers out until
    // it is closed. Every early return below closes it through its
    // destructor; the normal path closes it itself so that a failure to
    // close is reported, not lost.
    const TerminalContext::Target target = context.target_of(argument);
    auto handle = FileSystem::open_in(context.fs, target.dir, target.name,
                                      FileHandleType(FileHandleType::READ));
    if (!handle) {
        const IoError& error = handle.error();
        if (error == IoError::NotAFile)
            return fail(joined({"cat: ", argument, ": Is a directory"}));
        if (error == IoError::ResourceCurrentInUse) return cannot_access("cat", argument, error);
        return fail(TerminalContext::lookup_error(target.name, error));
    }
    auto bytes = read_all(*handle);
    if (!bytes) return cannot_access("cat", argument, bytes.error());
    if (auto closed = handle->close(); !closed)
        return cannot_access("cat", argument, closed.error());
    return decode_utf8_lossy(*bytes);
}

TextResult cmd_mkdir(TerminalContext& context, std::span<const std::string> args) {
    return create(context, args, {"mkdir", "directory", INodeKind::Directory});
}

TextResult cmd_touch(TerminalContext& context, std::span<const std::string> args) {
    return create(context, args, {"touch", "file", INodeKind::File});
}

TextResult cmd_help(TerminalContext&, std::span<const std::string>) {
    std::string output;
    COMMANDS->for_each([&](const CommandTable::Entry& entry) { output += entry.word + "\n"; });
    return output;
}

}  // namespace halvorn::terminal
