// mkdir: directories, with -p the missing parents too (an existing
// directory is then no error), -v telling each one made.
#include "agentsh/commands/registry.hpp"
#include "agentsh/commands/support/file_ops.hpp"
#include "agentsh/commands/support/io.hpp"
#include "agentsh/commands/support/options.hpp"

namespace halvorn::agentsh::cmd {
namespace {

enum Id { kParents, kVerbose, kMode };
constexpr OptionDef kOptions[] = {
    {'p', "parents", Arg::None, kParents},
    {'v', "verbose", Arg::None, kVerbose},
    {'m', "mode", Arg::Required, kMode},
};

}  // namespace

int mkdir_main(CommandContext& ctx, const std::vector<std::string>& argv) {
    auto args = parse_options(ctx, argv, kOptions);
    if (!args) return 1;
    bool parents = false, verbose = false;
    for (const auto& o : args->options) {
        if (o.id == kParents) parents = true;
        if (o.id == kVerbose) verbose = true;
    }
    if (args->operands.empty()) {
        usage_error(ctx, "mkdir", "missing operand");
        return 1;
    }
    int status = 0;
    auto made = [&](const std::string& shown) {
        if (verbose) write_text(*ctx.out, "mkdir: created directory '" + shown + "'\n");
    };
    for (const auto& operand : args->operands) {
        if (stopped(ctx)) return 130;
        const std::string path = resolve(ctx, operand);
        if (!parents) {
            Status done = ctx.fs->mkdir(path);
            if (!done) {
                report(ctx, "mkdir", "cannot create directory '" + operand + "'", done.error());
                status = 1;
            } else {
                made(operand);
            }
            continue;
        }
        // Each prefix of the operand in turn, as the operand spells it.
        std::size_t at = 0;
        while (at < operand.size()) {
            std::size_t slash = operand.find('/', at + 1);
            if (slash == std::string::npos) slash = operand.size();
            const std::string prefix = operand.substr(0, slash);
            at = slash;
            if (prefix.empty() || prefix == "/" || prefix.back() == '/') continue;
            auto existing = ctx.fs->stat(resolve(ctx, prefix));
            if (existing && existing->is_directory) continue;
            Status done = ctx.fs->mkdir(resolve(ctx, prefix));
            if (!done) {
                report(ctx, "mkdir", "cannot create directory '" + prefix + "'", done.error());
                status = 1;
                break;
            }
            made(prefix);
        }
    }
    return status;
}

}  // namespace halvorn::agentsh::cmd
