// readlink: a link's target, or with -f/-e/-m the canonical name. The tree
// holds no links the shell can make, so a plain readlink of any name fails
// quietly with status 1, as GNU's does for a name that is not a link.
#include "agentsh/commands/registry.hpp"
#include "agentsh/commands/support/io.hpp"
#include "agentsh/commands/support/options.hpp"
#include "agentsh/commands/support/paths.hpp"

namespace halvorn::agentsh::cmd {
namespace {

enum Id { kFollow, kExisting, kMissing, kNoNewline, kQuiet, kVerbose, kZero };
constexpr OptionDef kOptions[] = {
    {'f', "canonicalize", Arg::None, kFollow},
    {'e', "canonicalize-existing", Arg::None, kExisting},
    {'m', "canonicalize-missing", Arg::None, kMissing},
    {'n', "no-newline", Arg::None, kNoNewline},
    {'q', "quiet", Arg::None, kQuiet},
    {'s', "silent", Arg::None, kQuiet},
    {'v', "verbose", Arg::None, kVerbose},
    {'z', "zero", Arg::None, kZero},
};

}  // namespace

int readlink_main(CommandContext& ctx, const std::vector<std::string>& argv) {
    auto args = parse_options(ctx, argv, kOptions);
    if (!args) return 1;
    bool canonicalize = false, no_newline = false, verbose = false;
    Existence need = Existence::AllButLast;
    char end = '\n';
    for (const auto& o : args->options) {
        if (o.id == kFollow) canonicalize = true, need = Existence::AllButLast;
        if (o.id == kExisting) canonicalize = true, need = Existence::All;
        if (o.id == kMissing) canonicalize = true, need = Existence::None;
        if (o.id == kNoNewline) no_newline = true;
        if (o.id == kVerbose) verbose = true;
        if (o.id == kQuiet) verbose = false;
        if (o.id == kZero) end = '\0';
    }
    if (args->operands.empty()) {
        usage_error(ctx, "readlink", "missing operand");
        return 1;
    }
    if (no_newline && args->operands.size() > 1) no_newline = false;
    Output out(*ctx.out);
    int status = 0;
    for (const auto& operand : args->operands) {
        Result<std::string> target = IoError::NotASymlink;
        if (canonicalize) {
            target = canonical_path(ctx, operand, need);
        } else {
            auto node = stat_operand(ctx, operand);
            if (!node) target = node.error();
        }
        if (!target) {
            out.flush();
            if (verbose) report(ctx, "readlink", operand, target.error());
            status = 1;
            continue;
        }
        out.put(*target);
        if (!no_newline) out.put(end);
    }
    return status;
}

}  // namespace halvorn::agentsh::cmd
