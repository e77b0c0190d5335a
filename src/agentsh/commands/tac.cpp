// tac: records in reverse order; each keeps its separator, so a last line
// without a newline is joined to the one before it, as GNU's does.
#include "agentsh/commands/registry.hpp"
#include "agentsh/commands/support/io.hpp"
#include "agentsh/commands/support/options.hpp"

namespace halvorn::agentsh::cmd {
namespace {

enum Id { kBefore, kSeparator };
constexpr OptionDef kOptions[] = {
    {'b', "before", Arg::None, kBefore},
    {'s', "separator", Arg::Required, kSeparator},
};

}  // namespace

int tac_main(CommandContext& ctx, const std::vector<std::string>& argv) {
    auto args = parse_options(ctx, argv, kOptions);
    if (!args) return 1;
    std::string separator = "\n";
    bool before = false;
    for (const auto& o : args->options) {
        if (o.id == kBefore) before = true;
        if (o.id == kSeparator) separator = o.value.empty() ? std::string(1, '\0') : o.value;
    }
    if (args->operands.empty()) args->operands.push_back("-");
    Output out(*ctx.out);
    int status = 0;
    for (const auto& operand : args->operands) {
        auto bytes = read_file(ctx, operand);
        if (!bytes) {
            out.flush();
            report(ctx, "tac", "failed to open " + quote(operand) + " for reading", bytes.error());
            status = 1;
            continue;
        }
        const std::string& text = *bytes;
        // Record boundaries: each record ends just after (or, with -b,
        // starts at) a separator.
        std::vector<std::size_t> cuts{0};
        for (std::size_t at = text.find(separator); at != std::string::npos;
             at = text.find(separator, at + separator.size()))
            cuts.push_back(before ? at : at + separator.size());
        cuts.push_back(text.size());
        for (std::size_t k = cuts.size() - 1; k > 0; --k) {
            if (cuts[k] > cuts[k - 1] &&
                !out.put(std::string_view(text).substr(cuts[k - 1], cuts[k] - cuts[k - 1])))
                return 1;
        }
    }
    return status;
}

}  // namespace halvorn::agentsh::cmd
