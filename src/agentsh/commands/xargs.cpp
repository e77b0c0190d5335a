// xargs: items from the input appended to a command, run through the
// shell's own commands; -n batches, -I replaces, -0 and -d split, -r skips
// an empty input. The statuses are GNU's: 123 when a run failed, 124 when
// one returned 255, 127 when the command does not exist.
#include "agentsh/commands/registry.hpp"
#include "agentsh/commands/support/io.hpp"
#include "agentsh/commands/support/options.hpp"

namespace halvorn::agentsh::cmd {
namespace {

enum Id { kMaxArgs, kReplace, kNull, kNoRun, kDelim, kVerbose, kParallel, kMaxLines, kI };
constexpr OptionDef kOptions[] = {
    {'n', "max-args", Arg::Required, kMaxArgs},
    {'I', "", Arg::Required, kReplace},
    {'i', "replace", Arg::Optional, kI},
    {'0', "null", Arg::None, kNull},
    {'r', "no-run-if-empty", Arg::None, kNoRun},
    {'d', "delimiter", Arg::Required, kDelim},
    {'t', "verbose", Arg::None, kVerbose},
    {'P', "max-procs", Arg::Required, kParallel},
    {'L', "max-lines", Arg::Required, kMaxLines},
};

// Splits the default way: blanks and newlines separate, quotes and
// backslashes protect; an error text for an unmatched quote.
std::string split_items(const std::string& text, std::vector<std::string>& items) {
    std::string item;
    bool in_item = false;
    char quote = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (quote) {
            if (c == quote) quote = 0;
            else if (c == '\n') return std::string("unmatched ") + (quote == '"' ? "double" : "single") + " quote; by default quotes are special to xargs unless you use the -0 option";
            else item += c;
            continue;
        }
        if (c == '\'' || c == '"') {
            quote = c;
            in_item = true;
        } else if (c == '\\' && i + 1 < text.size()) {
            item += text[++i];
            in_item = true;
        } else if (c == ' ' || c == '\t' || c == '\n') {
            if (in_item) items.push_back(item);
            item.clear();
            in_item = false;
        } else {
            item += c;
            in_item = true;
        }
    }
    if (quote) return std::string("unmatched ") + (quote == '"' ? "double" : "single") + " quote; by default quotes are special to xargs unless you use the -0 option";
    if (in_item) items.push_back(item);
    return {};
}

}  // namespace

int xargs_main(CommandContext& ctx, const std::vector<std::string>& argv) {
    ParseRules rules;
    rules.stop_at_operand = true;
    auto args = parse_options(ctx, argv, kOptions, rules);
    if (!args) return 1;
    std::size_t max_args = 0;
    std::string replace;
    bool null = false, no_run = false, verbose = false, lines_mode = false;
    int delim = -1;
    for (const auto& o : args->options) {
        switch (o.id) {
            case kMaxArgs: case kMaxLines: {
                char* end = nullptr;
                long n = std::strtol(o.value.c_str(), &end, 10);
                if (o.value.empty() || *end || n < 1) {
                    report(ctx, "xargs", "", "invalid number \"" + o.value + "\" for -" +
                                                 (o.id == kMaxArgs ? "n" : "L") + " option");
                    return 1;
                }
                max_args = static_cast<std::size_t>(n);
                lines_mode = o.id == kMaxLines;
                break;
            }
            case kReplace: replace = o.value; break;
            case kI: replace = o.has_value ? o.value : "{}"; break;
            case kNull: null = true; break;
            case kNoRun: no_run = true; break;
            case kDelim: delim = o.value.empty() ? 0 : static_cast<unsigned char>(o.value[0]); break;
            case kVerbose: verbose = true; break;
            default: break;
        }
    }
    std::vector<std::string> command = args->operands;
    if (command.empty()) command.push_back("echo");
    // The input is read whole before the first run; past this much it is
    // refused, so that an endless producer cannot take the host's memory.
    constexpr std::size_t kMaxInput = 16 * 1024 * 1024;
    std::string text;
    std::string chunk(64 * 1024, '\0');
    for (;;) {
        if (stopped(ctx)) return 130;
        std::ptrdiff_t got = ctx.in ? ctx.in->read(std::span<char>(chunk.data(), chunk.size())) : 0;
        if (got <= 0) break;
        text.append(chunk.data(), static_cast<std::size_t>(got));
        if (text.size() > kMaxInput) {
            report(ctx, "xargs", "", "argument list too long");
            return 1;
        }
    }
    std::vector<std::string> items;
    if (!replace.empty() || lines_mode) {
        // One item a line, leading blanks dropped.
        std::size_t start = 0;
        while (start < text.size()) {
            std::size_t nl = text.find(null ? '\0' : '\n', start);
            if (nl == std::string::npos) nl = text.size();
            std::string line = text.substr(start, nl - start);
            start = nl + 1;
            std::size_t lead = line.find_first_not_of(" \t");
            if (lead == std::string::npos) continue;
            items.push_back(line.substr(lead));
        }
    } else if (null || delim >= 0) {
        const char sep = null ? '\0' : static_cast<char>(delim);
        std::size_t start = 0;
        while (start < text.size()) {
            std::size_t at = text.find(sep, start);
            if (at == std::string::npos) at = text.size();
            items.push_back(text.substr(start, at - start));
            start = at + 1;
        }
    } else {
        std::string problem = split_items(text, items);
        if (!problem.empty()) {
            report(ctx, "xargs", "", problem);
            return 1;
        }
    }
    if (items.empty() && no_run) return 0;
    int status = 0;
    auto run = [&](const std::vector<std::string>& call) {
        if (verbose) {
            std::string shown;
            for (const auto& w : call) shown += (shown.empty() ? "" : " ") + w;
            write_text(*ctx.err, shown + "\n");
        }
        int code = ctx.run ? ctx.run(call, *ctx.in, *ctx.out, *ctx.err) : 127;
        if (code == 127 || code == 126) return code;
        if (code == 255) {
            report(ctx, "xargs", call[0], "exited with status 255; aborting");
            return 124;
        }
        if (code != 0) status = 123;
        return -1;
    };
    if (!replace.empty()) {
        for (const auto& item : items) {
            if (stopped(ctx)) return 130;
            std::vector<std::string> call;
            for (const auto& word : command) {
                std::string arg = word;
                for (std::size_t at = arg.find(replace); at != std::string::npos;
                     at = arg.find(replace, at + item.size()))
                    arg.replace(at, replace.size(), item);
                call.push_back(arg);
            }
            int end = run(call);
            if (end >= 0) return end;
        }
        return status;
    }
    const std::size_t batch = max_args ? max_args : std::max<std::size_t>(items.size(), 1);
    std::size_t at = 0;
    do {
        if (stopped(ctx)) return 130;
        std::vector<std::string> call = command;
        for (std::size_t k = 0; k < batch && at < items.size(); ++k) call.push_back(items[at++]);
        int end = run(call);
        if (end >= 0) return end;
    } while (at < items.size());
    return status;
}

}  // namespace halvorn::agentsh::cmd
