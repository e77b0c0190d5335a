// dirname: each name less its last component ("." when none is left).
#include "agentsh/commands/registry.hpp"
#include "agentsh/commands/support/io.hpp"
#include "agentsh/commands/support/options.hpp"
#include "agentsh/commands/support/paths.hpp"

namespace halvorn::agentsh::cmd {
namespace {

enum Id { kZero };
constexpr OptionDef kOptions[] = {{'z', "zero", Arg::None, kZero}};

}  // namespace

int dirname_main(CommandContext& ctx, const std::vector<std::string>& argv) {
    auto args = parse_options(ctx, argv, kOptions);
    if (!args) return 1;
    const char end = args->options.empty() ? '\n' : '\0';
    if (args->operands.empty()) {
        usage_error(ctx, "dirname", "missing operand");
        return 1;
    }
    Output out(*ctx.out);
    for (const auto& name : args->operands) {
        out.put(dir_name(name));
        out.put(end);
    }
    return 0;
}

}  // namespace halvorn::agentsh::cmd
