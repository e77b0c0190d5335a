// grep: lines that match any of the patterns, in GNU grep's output format,
// with its statuses: 0 when a line was selected, 1 when none was, 2 on an
// error (unless -q already found one).
#include <fnmatch.h>

#include <deque>
#include <memory>

#include "agentsh/commands/registry.hpp"
#include "agentsh/commands/support/io.hpp"
#include "agentsh/commands/support/options.hpp"
#include "agentsh/commands/support/regex.hpp"
#include "agentsh/commands/support/tree_walk.hpp"

namespace halvorn::agentsh::cmd {
namespace {

enum Id {
    kExtended, kFixed, kBasic, kIcase, kNoIcase, kInvert, kNumber, kCount, kFilesWith,
    kFilesWithout, kOnly, kWord, kLine, kRecursive, kDeref, kNoName, kWithName, kQuiet, kSilent,
    kAfter, kBefore, kContext, kPattern, kPatternFile, kInclude, kExclude, kExcludeDir, kMax,
    kColor, kText, kNumberContext, kLabel, kNullData
};
constexpr OptionDef kOptions[] = {
    {'E', "extended-regexp", Arg::None, kExtended},
    {'F', "fixed-strings", Arg::None, kFixed},
    {'G', "basic-regexp", Arg::None, kBasic},
    {'i', "ignore-case", Arg::None, kIcase},
    {'y', "", Arg::None, kIcase},
    {0, "no-ignore-case", Arg::None, kNoIcase},
    {'v', "invert-match", Arg::None, kInvert},
    {'n', "line-number", Arg::None, kNumber},
    {'c', "count", Arg::None, kCount},
    {'l', "files-with-matches", Arg::None, kFilesWith},
    {'L', "files-without-match", Arg::None, kFilesWithout},
    {'o', "only-matching", Arg::None, kOnly},
    {'w', "word-regexp", Arg::None, kWord},
    {'x', "line-regexp", Arg::None, kLine},
    {'r', "recursive", Arg::None, kRecursive},
    {'R', "dereference-recursive", Arg::None, kDeref},
    {'h', "no-filename", Arg::None, kNoName},
    {'H', "with-filename", Arg::None, kWithName},
    {'q', "quiet", Arg::None, kQuiet},
    {0, "silent", Arg::None, kQuiet},
    {'s', "no-messages", Arg::None, kSilent},
    {'A', "after-context", Arg::Required, kAfter},
    {'B', "before-context", Arg::Required, kBefore},
    {'C', "context", Arg::Required, kContext},
    {'e', "regexp", Arg::Required, kPattern},
    {'f', "file", Arg::Required, kPatternFile},
    {0, "include", Arg::Required, kInclude},
    {0, "exclude", Arg::Required, kExclude},
    {0, "exclude-dir", Arg::Required, kExcludeDir},
    {'m', "max-count", Arg::Required, kMax},
    {0, "color", Arg::Optional, kColor},
    {0, "colour", Arg::Optional, kColor},
    {'a', "text", Arg::None, kText},
    {0, "label", Arg::Required, kLabel},
    {'z', "null-data", Arg::None, kNullData},
};

bool is_word_byte(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           c == '_' || c >= 0x80;
}

std::string escape_fixed(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (std::string_view("\\.[]*^$").find(c) != std::string_view::npos) out += '\\';
        out += c;
    }
    return out;
}

struct Options {
    RegexSyntax syntax = RegexSyntax::Basic;
    bool fixed = false, icase = false, invert = false, number = false, count = false,
         files_with = false, files_without = false, only = false, word = false, line = false,
         recursive = false, quiet = false, silent = false, null_data = false;
    int names = -1;  // -1: by the operands; 0: -h; 1: -H
    long after = 0, before = 0, max_count = -1;
    std::vector<std::string> include, exclude, exclude_dir;
    std::string label = "(standard input)";
};

class Grep {
public:
    Grep(CommandContext& ctx, Options options) : ctx_(ctx), o_(std::move(options)), out_(*ctx.out) {}

    bool add_pattern(const std::string& text) {
        std::string error;
        std::string source = o_.fixed ? escape_fixed(text) : text;
        auto regex = Regex::compile(source, o_.fixed ? RegexSyntax::Basic : o_.syntax, o_.icase,
                                    RegexDialect::Grep, error);
        if (!regex) {
            report(ctx_, "grep", "", error);
            return false;
        }
        patterns_.push_back(std::move(regex));
        return true;
    }

    // Searches one operand; its name as shown, and its path in the tree.
    void search_operand(const std::string& operand, bool top) {
        if (stopped(ctx_) || done_) return;
        if (operand == "-") {
            search_stream(*ctx_.in, o_.label);
            return;
        }
        auto status = stat_operand(ctx_, operand);
        if (!status) {
            if (!o_.silent) report(ctx_, "grep", operand, status.error());
            error_ = true;
            return;
        }
        if (status->is_directory) {
            if (!o_.recursive) {
                if (!o_.silent) report(ctx_, "grep", operand, "Is a directory");
                error_ = true;
                return;
            }
            if (!top && excluded_dir(operand)) return;
            auto entries = sorted_entries(ctx_, resolve(ctx_, operand));
            if (!entries) {
                if (!o_.silent) report(ctx_, "grep", operand, entries.error());
                error_ = true;
                return;
            }
            for (const auto& entry : *entries) {
                std::string child = top && omit_dot_ ? entry.name : join_shown(operand, entry.name);
                search_operand(child, false);
            }
            return;
        }
        if (skipped_file(operand)) return;
        auto source = open_input(ctx_, operand);
        if (!source) {
            if (!o_.silent) report(ctx_, "grep", operand, source.error());
            error_ = true;
            return;
        }
        search_stream(**source, operand);
    }

    void set_names(bool shown) { show_names_ = shown; }
    void set_omit_dot(bool omit) { omit_dot_ = omit; }
    int status() {
        out_.flush();
        if (selected_any_ && o_.quiet) return 0;
        if (error_) return 2;
        return selected_any_ ? 0 : 1;
    }

private:
    static std::string_view base_name(std::string_view path) {
        while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
        std::size_t slash = path.rfind('/');
        return slash == std::string_view::npos ? path : path.substr(slash + 1);
    }
    static bool glob_matches(const std::string& glob, std::string_view name) {
        return fnmatch(glob.c_str(), std::string(name).c_str(), 0) == 0;
    }
    bool excluded_dir(const std::string& path) const {
        for (const auto& g : o_.exclude_dir)
            if (glob_matches(g, base_name(path))) return true;
        return false;
    }
    bool skipped_file(const std::string& path) const {
        const std::string_view name = base_name(path);
        for (const auto& g : o_.exclude)
            if (glob_matches(g, name)) return true;
        if (o_.include.empty()) return false;
        for (const auto& g : o_.include)
            if (glob_matches(g, name)) return false;
        return true;
    }

    // The leftmost-longest match of any pattern from `from`, honouring -w
    // and -x; false when there is none (or the search could not finish, in
    // which case hard_error_ is set).
    bool find(std::string_view text, std::size_t from, RegexMatch& best) {
        bool found = false;
        for (auto& regex : patterns_) {
            RegexMatch m;
            if (!find_one(*regex, text, from, m)) continue;
            if (!found || m.begin < best.begin || (m.begin == best.begin && m.end > best.end)) {
                best = m;
                found = true;
            }
        }
        return found;
    }

    bool find_one(Regex& regex, std::string_view text, std::size_t from, RegexMatch& m) {
        if (o_.line) {
            if (from > 0) return false;
            if (regex.has_backrefs() && text.size() > regex.backref_limit()) return costly();
            std::ptrdiff_t got = regex.match_at(text, 0, text.size());
            if (got != static_cast<std::ptrdiff_t>(text.size())) return false;
            m.begin = 0;
            m.end = text.size();
            return true;
        }
        std::size_t start = from;
        while (start <= text.size()) {
            SearchResult r = regex.search(text, start, m, ctx_.should_stop, start > 0);
            if (r == SearchResult::TooCostly) return costly();
            if (r != SearchResult::Found) return false;
            if (!o_.word) return true;
            // A match that is not a whole word is tried shorter from the
            // same start, then from the next position, as GNU grep does.
            for (std::size_t end = m.end;;) {
                const bool left = m.begin == 0 || !is_word_byte(text[m.begin - 1]);
                const bool right = end == text.size() || !is_word_byte(text[end]);
                if (left && right && end > m.begin) {
                    m.end = end;
                    return true;
                }
                if (!left || end <= m.begin) break;
                std::ptrdiff_t shorter = regex.match_at(text, m.begin, end - 1);
                if (shorter < 0) break;
                end = m.begin + static_cast<std::size_t>(shorter);
                if (end == m.begin) break;
            }
            start = m.begin + 1;
        }
        return false;
    }

    bool costly() {
        if (!hard_error_)
            report(ctx_, "grep", "", "back-reference pattern on a line too long to search safely");
        hard_error_ = error_ = done_ = true;
        return false;
    }

    bool line_selected(std::string_view text) {
        RegexMatch m;
        bool matched = patterns_.empty() ? false : find(text, 0, m);
        return matched != o_.invert;
    }

    void prefix(std::string& line, const std::string& name, std::uint64_t number, char sep) {
        if (show_names_) {
            line += name;
            line += sep;
        }
        if (o_.number) {
            line += std::to_string(number);
            line += sep;
        }
    }

    void search_stream(ByteSource& source, const std::string& name) {
        Input input(source);
        const char eol = o_.null_data ? '\0' : '\n';
        std::string raw, line;
        std::uint64_t number = 0, count = 0, last_printed = 0;
        std::deque<std::pair<std::uint64_t, std::string>> before;
        long after_left = 0;
        bool binary = false, binary_checked = false;
        const bool listing = o_.files_with || o_.files_without;
        const bool printing = !o_.quiet && !listing && !o_.count;
        while (!done_ && input.next_line(raw, eol)) {
            if (++number % 1024 == 0 && stopped(ctx_)) {
                done_ = true;
                break;
            }
            std::string_view text(raw);
            if (!text.empty() && text.back() == eol) text.remove_suffix(1);
            if (!binary_checked && !o_.null_data && text.find('\0') != std::string_view::npos)
                binary = true;
            if (o_.max_count >= 0 && count >= static_cast<std::uint64_t>(o_.max_count)) {
                if (after_left > 0 && printing && !binary) {
                    // Context after the last counted line still prints.
                    if (line_selected(text)) break;
                    line.clear();
                    prefix(line, name, number, '-');
                    line.append(text);
                    line += eol;
                    out_.put(line);
                    last_printed = number;
                    --after_left;
                    continue;
                }
                break;
            }
            const bool selected = line_selected(text);
            if (hard_error_) break;
            if (!selected) {
                if (!printing || binary) continue;
                if (after_left > 0) {
                    line.clear();
                    prefix(line, name, number, '-');
                    line.append(text);
                    line += eol;
                    out_.put(line);
                    last_printed = number;
                    --after_left;
                } else if (o_.before > 0) {
                    before.emplace_back(number, std::string(text));
                    if (before.size() > static_cast<std::size_t>(o_.before)) before.pop_front();
                }
                continue;
            }
            ++count;
            selected_any_ = true;
            if (o_.quiet) {
                done_ = true;
                break;
            }
            if (listing) break;
            if (!printing) continue;
            if (binary) {
                out_.flush();
                write_text(*ctx_.err, "grep: " + name + ": binary file matches\n");
                break;
            }
            const bool context = o_.after > 0 || o_.before > 0;
            const std::uint64_t first = before.empty() ? number : before.front().first;
            if (context && printed_any_ && last_printed + 1 < first) out_.put("--\n");
            for (auto& [n, t] : before) {
                line.clear();
                prefix(line, name, n, '-');
                line += t;
                line += eol;
                out_.put(line);
            }
            before.clear();
            if (o_.only) {
                if (!o_.invert) print_matches(text, name, number);
            } else {
                line.clear();
                prefix(line, name, number, ':');
                line.append(text);
                line += eol;
                out_.put(line);
            }
            printed_any_ = true;
            last_printed = number;
            after_left = o_.after;
            if (!out_.ok()) done_ = true;
        }
        if (o_.count) {
            line.clear();
            if (show_names_) line += name + ":";
            line += std::to_string(count) + "\n";
            out_.put(line);
        }
        if ((o_.files_with && count > 0) || (o_.files_without && count == 0 && !hard_error_)) {
            out_.put(name);
            out_.put('\n');
        }
    }

    void print_matches(std::string_view text, const std::string& name, std::uint64_t number) {
        std::size_t from = 0;
        std::string line;
        while (from <= text.size()) {
            RegexMatch m;
            if (!find(text, from, m)) break;
            if (m.end == m.begin) {
                from = m.begin + 1;
                continue;
            }
            line.clear();
            prefix(line, name, number, ':');
            line.append(text.substr(m.begin, m.end - m.begin));
            line += '\n';
            out_.put(line);
            from = m.end;
        }
    }

    CommandContext& ctx_;
    Options o_;
    Output out_;
    std::vector<std::unique_ptr<Regex>> patterns_;
    bool show_names_ = false, omit_dot_ = false;
    bool selected_any_ = false, error_ = false, hard_error_ = false, done_ = false,
         printed_any_ = false;
};

bool parse_count(CommandContext& ctx, const std::string& text, long& value,
                 std::string_view what) {
    char* end = nullptr;
    long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || v < 0) {
        report(ctx, "grep", text, std::string("invalid ") + std::string(what) + " argument");
        return false;
    }
    value = v;
    return true;
}

void split_patterns(const std::string& text, std::vector<std::string>& patterns) {
    std::size_t start = 0;
    for (;;) {
        std::size_t nl = text.find('\n', start);
        patterns.push_back(text.substr(start, nl - start));
        if (nl == std::string::npos) break;
        start = nl + 1;
    }
}

}  // namespace

int grep_main(CommandContext& ctx, const std::vector<std::string>& argv) {
    ParseRules rules;
    rules.number_option = kNumberContext;
    auto args = parse_options(ctx, argv, kOptions, rules);
    if (!args) return 2;
    if (args->help) {
        write_text(*ctx.out, "Usage: grep [OPTION]... PATTERNS [FILE]...\n");
        return 0;
    }
    Options o;
    std::vector<std::string> patterns;
    bool have_patterns = false;
    for (const auto& opt : args->options) {
        switch (opt.id) {
            case kExtended: o.syntax = RegexSyntax::Extended; o.fixed = false; break;
            case kFixed: o.fixed = true; break;
            case kBasic: o.syntax = RegexSyntax::Basic; o.fixed = false; break;
            case kIcase: o.icase = true; break;
            case kNoIcase: o.icase = false; break;
            case kInvert: o.invert = true; break;
            case kNumber: o.number = true; break;
            case kCount: o.count = true; break;
            case kFilesWith: o.files_with = true; o.files_without = false; break;
            case kFilesWithout: o.files_without = true; o.files_with = false; break;
            case kOnly: o.only = true; break;
            case kWord: o.word = true; break;
            case kLine: o.line = true; break;
            case kRecursive: case kDeref: o.recursive = true; break;
            case kNoName: o.names = 0; break;
            case kWithName: o.names = 1; break;
            case kQuiet: o.quiet = true; break;
            case kSilent: o.silent = true; break;
            case kAfter: if (!parse_count(ctx, opt.value, o.after, "context length")) return 2; break;
            case kBefore: if (!parse_count(ctx, opt.value, o.before, "context length")) return 2; break;
            case kContext: case kNumberContext:
                if (!parse_count(ctx, opt.value, o.after, "context length")) return 2;
                o.before = o.after;
                break;
            case kMax: if (!parse_count(ctx, opt.value, o.max_count, "max count")) return 2; break;
            case kPattern: split_patterns(opt.value, patterns); have_patterns = true; break;
            case kPatternFile: {
                auto text = read_file(ctx, opt.value);
                if (!text) {
                    report(ctx, "grep", opt.value, text.error());
                    return 2;
                }
                std::string body = std::move(*text);
                if (!body.empty() && body.back() == '\n') body.pop_back();
                if (!body.empty() || text->size() > 0) split_patterns(body, patterns);
                have_patterns = true;
                break;
            }
            case kInclude: o.include.push_back(opt.value); break;
            case kExclude: o.exclude.push_back(opt.value); break;
            case kExcludeDir: o.exclude_dir.push_back(opt.value); break;
            case kLabel: o.label = opt.value; break;
            case kNullData: o.null_data = true; break;
            default: break;
        }
    }
    auto operands = args->operands;
    if (!have_patterns) {
        if (operands.empty()) {
            write_text(*ctx.err,
                       "Usage: grep [OPTION]... PATTERNS [FILE]...\n"
                       "Try 'grep --help' for more information.\n");
            return 2;
        }
        split_patterns(operands.front(), patterns);
        operands.erase(operands.begin());
    }
    bool omit_dot = false;
    if (operands.empty()) {
        if (o.recursive) {
            operands.push_back(".");
            omit_dot = true;
        } else {
            operands.push_back("-");
        }
    }
    const int names = o.names;
    const bool recursive = o.recursive;
    Grep grep(ctx, std::move(o));
    for (const auto& p : patterns)
        if (!grep.add_pattern(p)) return 2;
    bool into_directory = false;
    if (recursive && operands.size() == 1 && operands[0] != "-") {
        auto status = stat_operand(ctx, operands[0]);
        into_directory = status && status->is_directory;
    }
    grep.set_names(names == 1 || (names == -1 && (operands.size() > 1 || into_directory)));
    grep.set_omit_dot(omit_dot);
    for (const auto& operand : operands) grep.search_operand(operand, true);
    return grep.status();
}

}  // namespace halvorn::agentsh::cmd
