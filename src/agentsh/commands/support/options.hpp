// Options of a utility described as data and parsed the way GNU's getopt_long
// does: short options cluster (-la), take their argument attached or as the
// next word (-n5, -n 5), long ones by any unique prefix (--lines=5,
// --lines 5), "--" ends them, and operands may come before options unless the
// utility stops at its first operand (xargs, which hands the rest on).
// Mistakes are reported in GNU's words, followed by the "Try ... --help" line.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "agentsh/command.hpp"

namespace halvorn::agentsh::cmd {

enum class Arg : unsigned char { None, Required, Optional };

struct OptionDef {
    char short_name;             // 0 for a long-only option
    std::string_view long_name;  // empty for a short-only option
    Arg arg;
    int id;
};

struct ParsedOption {
    int id;
    std::string value;  // empty when the option takes or got none
    bool has_value = false;
};

struct ParsedArgs {
    std::vector<ParsedOption> options;  // in the order given
    std::vector<std::string> operands;
    bool help = false;  // --help was asked for (the utility prints its usage)
};

struct ParseRules {
    // Stop at the first operand: everything after it is an operand.
    bool stop_at_operand = false;
    // A lone "-digits" word is an operand-like option the utility reads
    // itself (head -5); it is kept as an option with this id.
    int number_option = -1;
};

// The parsed words, or nothing after the mistake was written to ctx.err.
std::optional<ParsedArgs> parse_options(CommandContext& ctx, const std::vector<std::string>& argv,
                                        std::span<const OptionDef> known,
                                        const ParseRules& rules = {});

// Writes "NAME: TEXT" and the "Try 'NAME --help'" line to ctx.err.
void usage_error(CommandContext& ctx, std::string_view name, std::string_view text);

}  // namespace halvorn::agentsh::cmd
