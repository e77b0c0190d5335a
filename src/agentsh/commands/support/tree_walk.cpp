#include "agentsh/commands/support/tree_walk.hpp"

#include <algorithm>

#include "fs/file_system.hpp"

namespace halvorn::agentsh::cmd {

Result<std::vector<Entry>> sorted_entries(const CommandContext& ctx, const std::string& path) {
    std::vector<Entry> entries;
    Status listed = ctx.fs->visit_entries(path, [&](std::string_view name, bool is_directory) {
        entries.push_back({std::string(name), is_directory});
    });
    if (!listed) return listed.error();
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.name < b.name; });
    return entries;
}

std::string join_shown(const std::string& shown, const std::string& name) {
    if (shown.empty()) return name;
    if (shown.back() == '/') return shown + name;
    return shown + "/" + name;
}

}  // namespace halvorn::agentsh::cmd
