#include "agentsh/commands/support/options.hpp"

#include "agentsh/commands/support/io.hpp"

namespace halvorn::agentsh::cmd {
namespace {

std::string_view program_name(const std::vector<std::string>& argv) {
    return argv.empty() ? std::string_view("?") : std::string_view(argv[0]);
}

void try_help(CommandContext& ctx, std::string_view name) {
    std::string text = "Try '";
    text += name;
    text += " --help' for more information.\n";
    write_text(*ctx.err, text);
}

bool all_digits(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

}  // namespace

void usage_error(CommandContext& ctx, std::string_view name, std::string_view text) {
    std::string line(name);
    line += ": ";
    line += text;
    line += '\n';
    write_text(*ctx.err, line);
    try_help(ctx, name);
}

std::optional<ParsedArgs> parse_options(CommandContext& ctx, const std::vector<std::string>& argv,
                                        std::span<const OptionDef> known,
                                        const ParseRules& rules) {
    const std::string_view name = program_name(argv);
    ParsedArgs parsed;
    auto fail = [&](std::string text) -> std::optional<ParsedArgs> {
        usage_error(ctx, name, text);
        return std::nullopt;
    };
    std::size_t i = 1;
    for (; i < argv.size(); ++i) {
        const std::string& word = argv[i];
        if (word == "--") {
            ++i;
            break;
        }
        if (word.size() < 2 || word[0] != '-') {
            if (rules.stop_at_operand) break;
            parsed.operands.push_back(word);
            continue;
        }
        if (word[1] == '-') {
            std::string_view body = std::string_view(word).substr(2);
            std::size_t eq = body.find('=');
            std::string_view key = body.substr(0, eq);
            const OptionDef* found = nullptr;
            std::vector<const OptionDef*> candidates;
            for (const auto& candidate : known) {
                if (candidate.long_name.empty() || !candidate.long_name.starts_with(key)) continue;
                if (candidate.long_name == key) {
                    found = &candidate;
                    break;
                }
                candidates.push_back(&candidate);
            }
            if (!found && key == "help") {
                parsed.help = true;
                continue;
            }
            if (!found && candidates.size() == 1) found = candidates[0];
            if (!found && candidates.size() > 1) {
                std::string text = "option '--" + std::string(key) + "' is ambiguous; possibilities:";
                for (auto* c : candidates) text += " '--" + std::string(c->long_name) + "'";
                return fail(text);
            }
            if (!found) return fail("unrecognized option '--" + std::string(key) + "'");
            ParsedOption option{found->id, {}, false};
            if (eq != std::string_view::npos) {
                if (found->arg == Arg::None)
                    return fail("option '--" + std::string(found->long_name) +
                                "' doesn't allow an argument");
                option.value = std::string(body.substr(eq + 1));
                option.has_value = true;
            } else if (found->arg == Arg::Required) {
                if (i + 1 >= argv.size())
                    return fail("option '--" + std::string(found->long_name) +
                                "' requires an argument");
                option.value = argv[++i];
                option.has_value = true;
            }
            parsed.options.push_back(std::move(option));
            continue;
        }
        if (rules.number_option >= 0 && all_digits(std::string_view(word).substr(1))) {
            parsed.options.push_back({rules.number_option, word.substr(1), true});
            continue;
        }
        for (std::size_t k = 1; k < word.size(); ++k) {
            const char c = word[k];
            const OptionDef* found = nullptr;
            for (const auto& candidate : known)
                if (candidate.short_name == c) found = &candidate;
            if (!found) return fail(std::string("invalid option -- '") + c + "'");
            ParsedOption option{found->id, {}, false};
            if (found->arg != Arg::None) {
                if (k + 1 < word.size()) {
                    option.value = word.substr(k + 1);
                    option.has_value = true;
                } else if (found->arg == Arg::Required) {
                    if (i + 1 >= argv.size())
                        return fail(std::string("option requires an argument -- '") + c + "'");
                    option.value = argv[++i];
                    option.has_value = true;
                }
                parsed.options.push_back(std::move(option));
                break;
            }
            parsed.options.push_back(std::move(option));
        }
    }
    for (; i < argv.size(); ++i) parsed.operands.push_back(argv[i]);
    return parsed;
}

}  // namespace halvorn::agentsh::cmd
