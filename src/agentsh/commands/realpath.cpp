// realpath: canonical absolute names. Without links in the tree this is the
// name with ".", ".." and repeated '/' resolved, checked for existence as
// -e (all), the default (all but the last) or -m (none) asks.
#include "agentsh/commands/registry.hpp"
#include "agentsh/commands/support/io.hpp"
#include "agentsh/commands/support/options.hpp"
#include "agentsh/commands/support/paths.hpp"

namespace halvorn::agentsh::cmd {
namespace {

enum Id {
    kExisting,
    kMissing,
    kLogical,
    kPhysical,
    kQuiet,
    kRelativeTo,
    kRelativeBase,
    kStrip,
    kZero
};
constexpr OptionDef kOptions[] = {
    {'e', "canonicalize-existing", Arg::None, kExisting},
    {'m', "canonicalize-missing", Arg::None, kMissing},
    {'L', "logical", Arg::None, kLogical},
    {'P', "physical", Arg::None, kPhysical},
    {'q', "quiet", Arg::None, kQuiet},
    {0, "relative-to", Arg::Required, kRelativeTo},
    {0, "relative-base", Arg::Required, kRelativeBase},
    {'s', "strip", Arg::None, kStrip},
    {0, "no-symlinks", Arg::None, kStrip},
    {'z', "zero", Arg::None, kZero},
};

}  // namespace

int realpath_main(CommandContext& ctx, const std::vector<std::string>& argv) {
    auto args = parse_options(ctx, argv, kOptions);
    if (!args) return 1;
    Existence need = Existence::AllButLast;
    bool quiet = false;
    char end = '\n';
    std::string relative_to, relative_base;
    for (const auto& o : args->options) {
        if (o.id == kExisting) need = Existence::All;
        if (o.id == kMissing) need = Existence::None;
        if (o.id == kQuiet) quiet = true;
        if (o.id == kZero) end = '\0';
        if (o.id == kRelativeTo) relative_to = o.value;
        if (o.id == kRelativeBase) relative_base = o.value;
    }
    if (args->operands.empty()) {
        usage_error(ctx, "realpath", "missing operand");
        return 1;
    }
    for (std::string* base : {&relative_to, &relative_base}) {
        if (base->empty()) continue;
        auto canonical = canonical_path(ctx, *base, need);
        if (!canonical) {
            report(ctx, "realpath", *base, canonical.error());
            return 1;
        }
        *base = *canonical;
    }
    if (!relative_base.empty() && relative_to.empty()) relative_to = relative_base;
    Output out(*ctx.out);
    int status = 0;
    for (const auto& operand : args->operands) {
        auto canonical = canonical_path(ctx, operand, need);
        if (!canonical) {
            out.flush();
            if (!quiet) report(ctx, "realpath", quote(operand), canonical.error());
            status = 1;
            continue;
        }
        std::string shown = *canonical;
        // With a base, only names below it are made relative.
        const std::string& base = relative_base;
        if (!relative_to.empty() &&
            (base.empty() || base == "/" || shown == base || shown.starts_with(base + "/")))
            shown = relative_path(shown, relative_to);
        out.put(shown);
        out.put(end);
    }
    return status;
}

}  // namespace halvorn::agentsh::cmd
