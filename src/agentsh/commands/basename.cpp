// basename: the last component of each name, less a suffix when asked.
#include "agentsh/commands/registry.hpp"
#include "agentsh/commands/support/io.hpp"
#include "agentsh/commands/support/options.hpp"
#include "agentsh/commands/support/paths.hpp"

namespace halvorn::agentsh::cmd {
namespace {

enum Id { kMultiple, kSuffix, kZero };
constexpr OptionDef kOptions[] = {
    {'a', "multiple", Arg::None, kMultiple},
    {'s', "suffix", Arg::Required, kSuffix},
    {'z', "zero", Arg::None, kZero},
};

}  // namespace

int basename_main(CommandContext& ctx, const std::vector<std::string>& argv) {
    auto args = parse_options(ctx, argv, kOptions);
    if (!args) return 1;
    bool multiple = false;
    char end = '\n';
    std::string suffix;
    for (const auto& o : args->options) {
        if (o.id == kMultiple) multiple = true;
        if (o.id == kSuffix) multiple = true, suffix = o.value;
        if (o.id == kZero) end = '\0';
    }
    auto& ops = args->operands;
    if (ops.empty()) {
        usage_error(ctx, "basename", "missing operand");
        return 1;
    }
    if (!multiple) {
        if (ops.size() > 2) {
            usage_error(ctx, "basename", "extra operand " + quote(ops[2]));
            return 1;
        }
        if (ops.size() == 2) suffix = ops[1];
        ops.resize(1);
    }
    Output out(*ctx.out);
    for (const auto& name : ops) {
        std::string base = base_name(name);
        // A suffix that is the whole name stays, as POSIX asks.
        if (!suffix.empty() && base.size() > suffix.size() && base.ends_with(suffix) && base != "/")
            base.resize(base.size() - suffix.size());
        out.put(base);
        out.put(end);
    }
    return 0;
}

}  // namespace halvorn::agentsh::cmd
