// du: disk use of each directory below the operands (and each file with
// -a), in 1 KiB blocks, or -h's units, or bytes with -b; -s only the
// operands' totals, -c a grand total, -d the depth shown. Blocks are
// counted as on a 4 KiB-block disk (support/attributes.hpp).
#include <cstdlib>

#include "agentsh/commands/registry.hpp"
#include "agentsh/commands/support/attributes.hpp"
#include "agentsh/commands/support/io.hpp"
#include "agentsh/commands/support/options.hpp"
#include "agentsh/commands/support/tree_walk.hpp"

namespace halvorn::agentsh::cmd {
namespace {

enum Id { kAll, kApparent, kBytes, kTotal, kDepth, kHuman, kKilo, kMega, kSummarize, kZero };
constexpr OptionDef kOptions[] = {
    {'a', "all", Arg::None, kAll},
    {0, "apparent-size", Arg::None, kApparent},
    {'b', "bytes", Arg::None, kBytes},
    {'c', "total", Arg::None, kTotal},
    {'d', "max-depth", Arg::Required, kDepth},
    {'h', "human-readable", Arg::None, kHuman},
    {'k', "", Arg::None, kKilo},
    {'m', "", Arg::None, kMega},
    {'s', "summarize", Arg::None, kSummarize},
    {'0', "null", Arg::None, kZero},
};

struct Settings {
    bool all = false, apparent = false, human = false, summarize = false;
    std::uint64_t unit = 1024;
    long long max_depth = -1;
    char end = '\n';
};

struct Walker {
    CommandContext& ctx;
    const Settings& s;
    Output& out;
    int status = 0;

    std::uint64_t size_of(const NodeStatus& node) const {
        if (!s.apparent) return disk_bytes(node);
        return node.is_directory ? kBlockSize : node.size;
    }

    void show(std::uint64_t bytes, const std::string& shown) {
        std::string amount =
            s.human ? human_size(bytes) : std::to_string((bytes + s.unit - 1) / s.unit);
        out.put(amount + "\t" + shown);
        out.put(s.end);
    }

    // The bytes below `path`, writing the lines for `depth` and deeper.
    std::uint64_t walk(const std::string& path, const std::string& shown, const NodeStatus& node,
                       long long depth) {
        std::uint64_t total = size_of(node);
        const bool visible = s.max_depth < 0 || depth <= s.max_depth;
        if (node.is_directory) {
            auto entries = sorted_entries(ctx, path);
            if (!entries) {
                report(ctx, "du", "cannot read directory " + quote(shown), entries.error());
                status = 1;
            } else {
                for (const auto& entry : *entries) {
                    if (stopped(ctx)) return total;
                    const std::string child =
                        path == "/" ? "/" + entry.name : path + "/" + entry.name;
                    auto child_node = ctx.fs->stat(child);
                    if (!child_node) continue;  // removed while we walked
                    total += walk(child, join_shown(shown, entry.name), *child_node, depth + 1);
                }
            }
        }
        const bool listed = node.is_directory ? !s.summarize || depth == 0 : s.all || depth == 0;
        if (visible && listed && !(s.summarize && depth > 0)) show(total, shown);
        return total;
    }
};

}  // namespace

int du_main(CommandContext& ctx, const std::vector<std::string>& argv) {
    auto args = parse_options(ctx, argv, kOptions);
    if (!args) return 1;
    Settings s;
    bool grand_total = false;
    for (const auto& o : args->options) {
        switch (o.id) {
            case kAll:
                s.all = true;
                break;
            case kApparent:
                s.apparent = true;
                break;
            case kBytes:
                s.apparent = true, s.unit = 1, s.human = false;
                break;
            case kTotal:
                grand_total = true;
                break;
            case kDepth: {
                char* end = nullptr;
                s.max_depth = std::strtoll(o.value.c_str(), &end, 10);
                if (o.value.empty() || *end != '\0' || s.max_depth < 0) {
                    write_text(*ctx.err, "du: invalid maximum depth " + quote(o.value) + "\n");
                    return 1;
                }
                break;
            }
            case kHuman:
                s.human = true;
                break;
            case kKilo:
                s.unit = 1024, s.human = false;
                break;
            case kMega:
                s.unit = 1024 * 1024, s.human = false;
                break;
            case kSummarize:
                s.summarize = true;
                break;
            case kZero:
                s.end = '\0';
                break;
        }
    }
    if (s.summarize && s.all) {
        write_text(*ctx.err, "du: cannot both summarize and show all entries\n");
        write_text(*ctx.err, "Try 'du --help' for more information.\n");
        return 1;
    }
    if (s.summarize && s.max_depth > 0) {
        write_text(*ctx.err, "du: warning: summarizing conflicts with --max-depth=" +
                                 std::to_string(s.max_depth) + "\n");
        write_text(*ctx.err, "Try 'du --help' for more information.\n");
        return 1;
    }
    if (args->operands.empty()) args->operands.push_back(".");
    Output out(*ctx.out);
    Walker walker{ctx, s, out};
    std::uint64_t total = 0;
    for (const auto& operand : args->operands) {
        auto node = stat_operand(ctx, operand);
        if (!node) {
            out.flush();
            report(ctx, "du", "cannot access " + quote(operand), node.error());
            walker.status = 1;
            continue;
        }
        total += walker.walk(resolve(ctx, operand), operand, *node, 0);
    }
    if (grand_total) walker.show(total, "total");
    return walker.status;
}

}  // namespace halvorn::agentsh::cmd
