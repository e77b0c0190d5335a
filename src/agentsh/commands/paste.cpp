// paste: lines of the files side by side (or, with -s, each file's lines on
// one line), joined by the -d delimiters in turn.
#include <memory>

#include "agentsh/commands/registry.hpp"
#include "agentsh/commands/support/io.hpp"
#include "agentsh/commands/support/options.hpp"

namespace halvorn::agentsh::cmd {
namespace {

enum Id { kDelimiters, kSerial, kZero };
constexpr OptionDef kOptions[] = {
    {'d', "delimiters", Arg::Required, kDelimiters},
    {'s', "serial", Arg::None, kSerial},
    {'z', "zero-terminated", Arg::None, kZero},
};

// The -d list with its escapes; "\0" is no delimiter at all (kept as an
// empty string).
std::vector<std::string> delimiter_list(std::string_view text) {
    std::vector<std::string> list;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            list.emplace_back(1, text[i]);
            continue;
        }
        const char c = text[++i];
        list.push_back(c == 'n'   ? "\n"
                       : c == 't' ? "\t"
                       : c == '0' ? ""
                       : c == 'b' ? "\b"
                       : c == 'f' ? "\f"
                       : c == 'r' ? "\r"
                       : c == 'v' ? "\v"
                                  : std::string(1, c));
    }
    return list;
}

std::string_view chomp(const std::string& line, char end) {
    return std::string_view(line).substr(0, line.size() - (!line.empty() && line.back() == end));
}

}  // namespace

int paste_main(CommandContext& ctx, const std::vector<std::string>& argv) {
    auto args = parse_options(ctx, argv, kOptions);
    if (!args) return 1;
    std::vector<std::string> delimiters{"\t"};
    bool serial = false;
    char end = '\n';
    for (const auto& o : args->options) {
        if (o.id == kDelimiters) delimiters = delimiter_list(o.value);
        if (o.id == kSerial) serial = true;
        if (o.id == kZero) end = '\0';
    }
    if (delimiters.empty()) delimiters.emplace_back();
    if (args->operands.empty()) args->operands.push_back("-");
    // Every "-" shares the one input, taking lines from it in turn.
    std::vector<std::unique_ptr<ByteSource>> sources;
    std::vector<std::unique_ptr<Input>> inputs;
    std::unique_ptr<Input> shared_stdin;
    std::vector<Input*> streams;
    for (const auto& operand : args->operands) {
        if (operand == "-") {
            if (!shared_stdin) shared_stdin = std::make_unique<Input>(*ctx.in);
            streams.push_back(shared_stdin.get());
            continue;
        }
        auto source = open_input(ctx, operand);
        if (!source) {
            report(ctx, "paste", quote(operand), source.error());
            return 1;
        }
        sources.push_back(std::move(*source));
        inputs.push_back(std::make_unique<Input>(*sources.back()));
        streams.push_back(inputs.back().get());
    }
    Output out(*ctx.out);
    std::string line;
    if (serial) {
        for (Input* in : streams) {
            std::size_t k = 0;
            bool any = false;
            while (in->next_line(line, end)) {
                if (any) out.put(delimiters[k++ % delimiters.size()]);
                any = true;
                if (!out.put(chomp(line, end))) return 1;
            }
            out.put(end);
        }
        return 0;
    }
    std::vector<bool> done(streams.size(), false);
    for (;;) {
        if (stopped(ctx)) return 130;
        std::string row;
        bool any = false;
        for (std::size_t k = 0; k < streams.size(); ++k) {
            if (!done[k] && streams[k]->next_line(line, end)) {
                row += chomp(line, end);
                any = true;
            } else {
                done[k] = true;
            }
            if (k + 1 < streams.size()) row += delimiters[k % delimiters.size()];
        }
        if (!any) break;
        row += end;
        if (!out.put(row)) return 1;
    }
    return 0;
}

}  // namespace halvorn::agentsh::cmd
