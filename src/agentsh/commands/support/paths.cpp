#include "agentsh/commands/support/paths.hpp"

#include <vector>

#include "agentsh/commands/support/file_ops.hpp"
#include "agentsh/commands/support/io.hpp"
#include "fs/file_system.hpp"

namespace halvorn::agentsh::cmd {

std::string base_name(std::string_view name) {
    while (name.size() > 1 && name.back() == '/')
        name.remove_suffix(1);
    if (name == "/") return "/";
    std::size_t slash = name.rfind('/');
    return std::string(slash == std::string_view::npos ? name : name.substr(slash + 1));
}

std::string dir_name(std::string_view name) {
    while (name.size() > 1 && name.back() == '/')
        name.remove_suffix(1);
    std::size_t slash = name.rfind('/');
    if (slash == std::string_view::npos) return ".";
    name = name.substr(0, slash);
    while (name.size() > 1 && name.back() == '/')
        name.remove_suffix(1);
    return name.empty() ? "/" : std::string(name);
}

Result<std::string> canonical_path(const CommandContext& ctx, std::string_view operand,
                                   Existence need) {
    if (operand.empty()) return IoError::InodeNotFound;
    const std::string absolute = resolve(ctx, operand);
    // Walk the components in order so that ".." after a missing or plain
    // file fails as the kernel's lookup would.
    std::vector<std::string_view> parts;
    for (std::size_t i = 0; i <= absolute.size();) {
        std::size_t j = absolute.find('/', i);
        if (j == std::string::npos) j = absolute.size();
        std::string_view part = std::string_view(absolute).substr(i, j - i);
        if (!part.empty() && part != ".") parts.push_back(part);
        i = j + 1;
    }
    std::string path = "/";
    for (std::size_t k = 0; k < parts.size(); ++k) {
        const bool last = k + 1 == parts.size();
        if (parts[k] == "..")
            path = normalize(path + "/..");
        else
            path = path == "/" ? "/" + std::string(parts[k]) : path + "/" + std::string(parts[k]);
        if (need == Existence::None) continue;
        auto node = ctx.fs->stat(path);
        if (!node) {
            const bool may_miss = need == Existence::AllButLast && last &&
                                  node.error().kind() == IoError::InodeNotFound;
            if (!may_miss) return node.error();
        } else if (!node->is_directory && (!last || operand.back() == '/')) {
            return IoError::NotADirectory;
        }
    }
    return path;
}

std::string relative_path(std::string_view path, std::string_view base) {
    auto split = [](std::string_view p) {
        std::vector<std::string_view> parts;
        for (std::size_t i = 1; i <= p.size();) {
            std::size_t j = p.find('/', i);
            if (j == std::string_view::npos) j = p.size();
            if (j > i) parts.push_back(p.substr(i, j - i));
            i = j + 1;
        }
        return parts;
    };
    auto a = split(path), b = split(base);
    std::size_t common = 0;
    while (common < a.size() && common < b.size() && a[common] == b[common])
        ++common;
    std::string out;
    for (std::size_t k = common; k < b.size(); ++k)
        out += out.empty() ? ".." : "/..";
    for (std::size_t k = common; k < a.size(); ++k) {
        if (!out.empty()) out += '/';
        out += a[k];
    }
    return out.empty() ? "." : out;
}

}  // namespace halvorn::agentsh::cmd
