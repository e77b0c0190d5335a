#include "agentsh/commands/support/file_ops.hpp"

#include <vector>

#include "agentsh/commands/support/io.hpp"
#include "fs/file_system.hpp"

namespace halvorn::agentsh::cmd {

Status touch_node(const CommandContext& ctx, const std::string& path) {
    auto node = ctx.fs->get_inode_by_path(path);
    if (!node) return node.error();
    auto target = ctx.fs->resolve((*node)->id());
    if (!target) return target.error();
    sync::WriteLock hold((*target)->kind_lock());
    (*target)->touch_modified();
    return {};
}

Status copy_file(CommandContext& ctx, const std::string& from, const std::string& to) {
    auto bytes = read_file(ctx, from);
    if (!bytes) return bytes.error();
    return write_file(ctx, to, *bytes);
}

std::string last_component(std::string_view operand) {
    while (operand.size() > 1 && operand.back() == '/') operand.remove_suffix(1);
    std::size_t slash = operand.rfind('/');
    return std::string(slash == std::string_view::npos ? operand : operand.substr(slash + 1));
}

std::string normalize(std::string_view absolute) {
    std::vector<std::string_view> parts;
    std::size_t i = 0;
    while (i <= absolute.size()) {
        std::size_t j = absolute.find('/', i);
        if (j == std::string_view::npos) j = absolute.size();
        std::string_view part = absolute.substr(i, j - i);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        i = j + 1;
    }
    std::string out;
    for (auto part : parts) {
        out += '/';
        out += part;
    }
    return out.empty() ? "/" : out;
}

bool is_within(std::string_view outer, std::string_view inner) {
    if (outer == "/") return true;
    return inner == outer || (inner.starts_with(outer) && inner[outer.size()] == '/');
}

}  // namespace halvorn::agentsh::cmd
