// cat: files (or the input) to the output, with -n/-b numbering, -s
// squeezing and the -v/-E/-T/-A renderings of unprintable bytes.
#include "agentsh/commands/registry.hpp"
#include "agentsh/commands/support/io.hpp"
#include "agentsh/commands/support/options.hpp"

namespace halvorn::agentsh::cmd {
namespace {

enum Id { kNumber, kNonBlank, kSqueeze, kShowEnds, kShowTabs, kShowNonPrint, kAll, kE, kT, kU };
constexpr OptionDef kOptions[] = {
    {'n', "number", Arg::None, kNumber},       {'b', "number-nonblank", Arg::None, kNonBlank},
    {'s', "squeeze-blank", Arg::None, kSqueeze}, {'E', "show-ends", Arg::None, kShowEnds},
    {'T', "show-tabs", Arg::None, kShowTabs},  {'v', "show-nonprinting", Arg::None, kShowNonPrint},
    {'A', "show-all", Arg::None, kAll},        {'e', "", Arg::None, kE},
    {'t', "", Arg::None, kT},                  {'u', "", Arg::None, kU},
};

struct Flags {
    bool number = false, nonblank = false, squeeze = false, ends = false, tabs = false,
         nonprint = false;
    bool plain() const { return !(number || nonblank || squeeze || ends || tabs || nonprint); }
};

// GNU's ^ and M- notation for one byte.
void render_byte(std::string& out, unsigned char c, const Flags& f) {
    if (c == '\t') {
        out += f.tabs ? "^I" : "\t";
        return;
    }
    if (!f.nonprint) {
        out += static_cast<char>(c);
        return;
    }
    if (c >= 128) {
        out += "M-";
        c -= 128;
    }
    if (c < 32) {
        out += '^';
        out += static_cast<char>(c + 64);
    } else if (c == 127) {
        out += "^?";
    } else {
        out += static_cast<char>(c);
    }
}

struct State {
    std::uint64_t line_number = 0;
    bool last_blank = false;
};

bool cat_stream(ByteSource& source, Output& out, const Flags& f, State& state) {
    Input input(source);
    if (f.plain()) {
        std::string chunk;
        std::string buffer(64 * 1024, '\0');
        for (;;) {
            std::ptrdiff_t got = source.read(std::span<char>(buffer.data(), buffer.size()));
            if (got <= 0) return got == 0;
            if (!out.put(std::string_view(buffer.data(), static_cast<std::size_t>(got))))
                return true;
        }
    }
    std::string line, rendered;
    while (input.next_line(line)) {
        const bool has_newline = line.back() == '\n';
        std::string_view body(line.data(), line.size() - (has_newline ? 1 : 0));
        const bool blank = body.empty() && has_newline;
        if (f.squeeze && blank && state.last_blank) continue;
        state.last_blank = blank;
        rendered.clear();
        if (f.nonblank ? !blank : f.number) {
            std::string n = std::to_string(++state.line_number);
            if (n.size() < 6) rendered.append(6 - n.size(), ' ');
            rendered += n;
            rendered += '\t';
        }
        for (unsigned char c : body) render_byte(rendered, c, f);
        if (has_newline) rendered += f.ends ? "$\n" : "\n";
        if (!out.put(rendered)) return true;
    }
    return !input.failed();
}

}  // namespace

int cat_main(CommandContext& ctx, const std::vector<std::string>& argv) {
    auto args = parse_options(ctx, argv, kOptions);
    if (!args) return 1;
    Flags f;
    for (const auto& o : args->options) {
        switch (o.id) {
            case kNumber: f.number = true; break;
            case kNonBlank: f.nonblank = true; break;
            case kSqueeze: f.squeeze = true; break;
            case kShowEnds: f.ends = true; break;
            case kShowTabs: f.tabs = true; break;
            case kShowNonPrint: f.nonprint = true; break;
            case kAll: f.nonprint = f.ends = f.tabs = true; break;
            case kE: f.nonprint = f.ends = true; break;
            case kT: f.nonprint = f.tabs = true; break;
            default: break;
        }
    }
    if (args->operands.empty()) args->operands.push_back("-");
    Output out(*ctx.out);
    State state;
    int status = 0;
    for (const auto& operand : args->operands) {
        if (stopped(ctx) || !out.ok()) break;
        auto source = open_input(ctx, operand);
        if (!source) {
            out.flush();
            report(ctx, "cat", quote(operand), source.error());
            status = 1;
            continue;
        }
        if (!cat_stream(**source, out, f, state)) status = 1;
    }
    return status;
}

}  // namespace halvorn::agentsh::cmd
