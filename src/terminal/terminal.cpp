#include "terminal/terminal.hpp"

#include <span>
#include <utility>

#include "terminal/command_table.hpp"
#include "terminal/text.hpp"
#include "terminal/words.hpp"

namespace halvorn::terminal {

Result<std::uint64_t, std::string> TerminalContext::get_target_inode(std::string_view path) const {
    std::uint64_t start = cwd;
    if (path.starts_with('/')) {
        path.remove_prefix(1);
        start = kRootId;
    }
    auto found = fs->find_inode_by_name(start, path);
    if (!found) return fail(joined({path, ": ", found.error().message()}));
    return *found;
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
