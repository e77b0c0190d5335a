#include "terminal/terminal.hpp"

#include <span>
#include <utility>

#include "terminal/command_table.hpp"
#include "terminal/text.hpp"
#include "terminal/words.hpp"

namespace halvorn::terminal {

TerminalContext::Target TerminalContext::target_of(std::string_view path) const {
    if (path.starts_with('/')) return {kRootId, path.substr(1)};
    return {cwd, path};
}

std::string TerminalContext::lookup_error(std::string_view name, const IoError& error) {
    return joined({name, ": ", error.message()});
}

Result<std::uint64_t, std::string> TerminalContext::get_target_inode(std::string_view path) const {
    const Target target = target_of(path);
    auto found = fs->find_inode_by_name(target.dir, target.name);
    if (!found) return fail(lookup_error(target.name, found.error()));
    return *found;
}

Result<FileSystem::Found, std::string> TerminalContext::find_target(std::string_view path) const {
    const Target target = target_of(path);
    auto found = fs->find_in(target.dir, target.name);
    if (!found) return fail(lookup_error(target.name, found.error()));
    return std::move(*found);
}

Terminal::Terminal(std::shared_ptr<FileSystem> fs) : context{std::move(fs), kRootId} {}

TextResult Terminal::run(std::string_view line) {
    // Only the words a command can use are kept; the rest of the line is
    // checked for its quoting alone.
    auto words = split_words(line, 1 + kMaxArguments);
    if (!words) return fail(std::string("The command was not correctly formatted"));
    // Blank and comment-only lines do nothing, and do not build the table.
    if (words->empty()) return std::string();
    const std::string& word = words->front();
    const CommandHandler handler = COMMANDS->find(word);
    if (handler == nullptr) return fail(joined({word, ": command not found"}));
    return handler(context, std::span<const std::string>(*words).subspan(1));
}

}  // namespace halvorn::terminal
