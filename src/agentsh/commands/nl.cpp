// nl: lines numbered by the -b style (t: non-empty, a: all, n: none), in the
// -n format (ln, rn, rz) and -w width, then the -s separator. Section
// delimiter lines (\:) are not given a meaning: agents number plain files.
#include "agentsh/commands/registry.hpp"
#include "agentsh/commands/support/io.hpp"
#include "agentsh/commands/support/options.hpp"

namespace halvorn::agentsh::cmd {
namespace {

enum Id { kBody, kFormat, kWidth, kSeparator, kStart, kIncrement };
constexpr OptionDef kOptions[] = {
    {'b', "body-numbering", Arg::Required, kBody},
    {'n', "number-format", Arg::Required, kFormat},
    {'w', "number-width", Arg::Required, kWidth},
    {'s', "number-separator", Arg::Required, kSeparator},
    {'v', "starting-line-number", Arg::Required, kStart},
    {'i', "line-increment", Arg::Required, kIncrement},
};

bool parse_long(const std::string& text, long long& value) {
    if (text.empty()) return false;
    char* end = nullptr;
    value = std::strtoll(text.c_str(), &end, 10);
    return *end == '\0';
}

}  // namespace

int nl_main(CommandContext& ctx, const std::vector<std::string>& argv) {
    auto args = parse_options(ctx, argv, kOptions);
    if (!args) return 1;
    char style = 't';
    std::string format = "rn", separator = "\t";
    long long width = 6, number = 1, increment = 1;
    for (const auto& o : args->options) {
        switch (o.id) {
            case kBody:
                if (o.value != "a" && o.value != "t" && o.value != "n") {
                    usage_error(ctx, "nl", "invalid body numbering style: " + quote(o.value));
                    return 1;
                }
                style = o.value[0];
                break;
            case kFormat:
                if (o.value != "ln" && o.value != "rn" && o.value != "rz") {
                    usage_error(ctx, "nl", "invalid line numbering format: " + quote(o.value));
                    return 1;
                }
                format = o.value;
                break;
            case kWidth:
                if (!parse_long(o.value, width) || width <= 0) {
                    write_text(*ctx.err,
                               "nl: invalid line number field width: " + quote(o.value) + "\n");
                    return 1;
                }
                break;
            case kSeparator:
                separator = o.value;
                break;
            case kStart:
                if (!parse_long(o.value, number)) {
                    write_text(*ctx.err,
                               "nl: invalid starting line number: " + quote(o.value) + "\n");
                    return 1;
                }
                break;
            case kIncrement:
                if (!parse_long(o.value, increment)) {
                    write_text(*ctx.err,
                               "nl: invalid line number increment: " + quote(o.value) + "\n");
                    return 1;
                }
                break;
        }
    }
    if (args->operands.empty()) args->operands.push_back("-");
    const std::size_t w = static_cast<std::size_t>(width);
    const std::string blank(w + separator.size(), ' ');
    Output out(*ctx.out);
    int status = 0;
    std::string line;
    for (const auto& operand : args->operands) {
        auto source = open_input(ctx, operand);
        if (!source) {
            out.flush();
            report(ctx, "nl", quote(operand), source.error());
            status = 1;
            continue;
        }
        Input input(**source);
        while (input.next_line(line)) {
            const bool empty = line == "\n";
            if (style == 'a' || (style == 't' && !empty)) {
                std::string n = std::to_string(number);
                number += increment;
                std::string field;
                if (n.size() >= w)
                    field = n;
                else if (format == "ln")
                    field = n + std::string(w - n.size(), ' ');
                else if (format == "rn")
                    field = std::string(w - n.size(), ' ') + n;
                else if (n[0] == '-')
                    field = "-" + std::string(w - n.size(), '0') + n.substr(1);
                else
                    field = std::string(w - n.size(), '0') + n;
                out.put(field);
                out.put(separator);
            } else {
                out.put(blank);
            }
            // A last line without a newline is ended, as GNU's nl does.
            if (!out.put(line) || (line.back() != '\n' && !out.put('\n'))) return 1;
        }
    }
    return status;
}

}  // namespace halvorn::agentsh::cmd
