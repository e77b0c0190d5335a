// sed: the stream editor's common language: addresses (numbers, $, /re/,
// first~step, ranges with numbers, regexes and +N, 0,/re/, !), the commands
// s y d D p P n N a i c q Q = h H g G x b t T : { } and the options -n -e
// -f -E/-r -i -s -z. Matching is the bounded engine of regex.hpp with GNU
// sed's dialect; a pattern space too long for a back-reference pattern
// stops the run with status 4, as an input/output failure would.
#include <memory>
#include <optional>
#include <set>

#include "agentsh/commands/registry.hpp"
#include "agentsh/commands/support/io.hpp"
#include "agentsh/commands/support/options.hpp"
#include "agentsh/commands/support/regex.hpp"

namespace halvorn::agentsh::cmd {
namespace {

enum Id { kQuiet, kExpression, kFile, kExtended, kInPlace, kSeparate, kZero, kPosix, kDebug };
constexpr OptionDef kOptions[] = {
    {'n', "quiet", Arg::None, kQuiet},
    {0, "silent", Arg::None, kQuiet},
    {'e', "expression", Arg::Required, kExpression},
    {'f', "file", Arg::Required, kFile},
    {'E', "regexp-extended", Arg::None, kExtended},
    {'r', "", Arg::None, kExtended},
    {'i', "in-place", Arg::Optional, kInPlace},
    {'s', "separate", Arg::None, kSeparate},
    {'z', "null-data", Arg::None, kZero},
    {0, "posix", Arg::None, kPosix},
    {0, "debug", Arg::None, kDebug},
};

struct Address {
    enum Kind { None, Line, Last, Match, Step, Zero } kind = None;
    std::uint64_t line = 0, step = 0;
    std::shared_ptr<Regex> regex;  // null with Match: the last regex used
};

struct Command {
    Address a1, a2;
    enum Range { Single, To, Plus } range = Single;
    bool negate = false;
    char name = 0;
    // s: regex, replacement, flags; y: map; a/i/c: text; b/t/T: label.
    std::shared_ptr<Regex> regex;
    std::string text;
    bool global = false, print = false;
    int print_mode = 0;
    std::uint64_t occurrence = 1;
    std::string map;  // y: 256 bytes
    std::size_t jump = 0;  // b/t/T/{: index to go to
    int exit_code = 0;
    // Range state.
    bool active = false;
    std::uint64_t end_line = 0;
};

class Parser {
public:
    Parser(std::string script, bool extended) : s_(std::move(script)), extended_(extended) {}

    bool parse(std::vector<Command>& out, std::string& error) {
        std::vector<std::size_t> blocks;
        std::vector<std::pair<std::size_t, std::string>> jumps;
        std::vector<std::pair<std::string, std::size_t>> labels;
        for (;;) {
            skip_separators();
            if (at_end()) break;
            Command c;
            if (!address(c.a1, error)) return false;
            if (c.a1.kind != Address::None) {
                skip_spaces();
                if (peek() == ',') {
                    ++i_;
                    skip_spaces();
                    if (peek() == '+' || peek() == '~') {
                        ++i_;
                        c.range = Command::Plus;
                        c.a2.kind = Address::Line;
                        if (!number(c.a2.line)) return fail(error, "expected address");
                    } else {
                        c.range = Command::To;
                        if (!address(c.a2, error)) return false;
                        if (c.a2.kind == Address::None) return fail(error, "unexpected `,'");
                    }
                }
            }
            if (c.a1.kind == Address::Zero &&
                (c.range != Command::To || c.a2.kind != Address::Match))
                return fail(error, "invalid usage of line address 0");
            skip_spaces();
            while (peek() == '!') {
                c.negate = true;
                ++i_;
                skip_spaces();
            }
            if (at_end()) return fail(error, "missing command");
            c.name = s_[i_++];
            switch (c.name) {
                case '{':
                    blocks.push_back(out.size());
                    break;
                case '}':
                    if (blocks.empty()) return fail(error, "unexpected `}'");
                    if (c.a1.kind != Address::None)
                        return fail(error, "} doesn't want any addresses");
                    out[blocks.back()].jump = out.size() + 1;
                    blocks.pop_back();
                    break;
                case '=': case 'd': case 'D': case 'g': case 'G': case 'h': case 'H':
                case 'n': case 'N': case 'p': case 'P': case 'x': case 'z':
                    break;
                case 'q': case 'Q': {
                    skip_spaces();
                    std::uint64_t code = 0;
                    if (number(code)) c.exit_code = static_cast<int>(code);
                    break;
                }
                case 'a': case 'i': case 'c':
                    c.text = text_argument();
                    break;
                case ':': {
                    if (c.a1.kind != Address::None)
                        return fail(error, ": doesn't want any addresses");
                    std::string label = label_argument();
                    if (label.empty()) return fail(error, "\":\" lacks a label");
                    labels.emplace_back(label, out.size());
                    break;
                }
                case 'b': case 't': case 'T':
                    jumps.emplace_back(out.size(), label_argument());
                    break;
                case 's':
                    if (!substitute(c, error)) return false;
                    break;
                case 'y':
                    if (!transliterate(c, error)) return false;
                    break;
                case '#':
                    while (!at_end() && s_[i_] != '\n') ++i_;
                    continue;
                default:
                    --i_;
                    return fail(error, std::string("unknown command: `") + c.name + "'");
            }
            const bool opens = c.name == '{';
            out.push_back(std::move(c));
            skip_spaces();
            if (!opens && !at_end() && s_[i_] != ';' && s_[i_] != '\n' && s_[i_] != '}' && s_[i_] != '#')
                return fail(error, std::string("extra characters after command"));
        }
        if (!blocks.empty()) return fail(error, "unmatched `{'");
        for (auto& [index, label] : jumps) {
            if (label.empty()) {
                out[index].jump = out.size();
                continue;
            }
            bool found = false;
            for (auto& [name, at] : labels)
                if (name == label) {
                    out[index].jump = at;
                    found = true;
                }
            if (!found) {
                error = "can't find label for jump to `" + label + "'";
                return false;
            }
        }
        // Labels were recorded as the index of the next command, which is
        // where a jump resumes.
        return true;
    }

    std::size_t position() const { return i_; }

private:
    bool at_end() const { return i_ >= s_.size(); }
    char peek() const { return at_end() ? '\0' : s_[i_]; }
    void skip_spaces() {
        while (!at_end() && (s_[i_] == ' ' || s_[i_] == '\t')) ++i_;
    }
    void skip_separators() {
        while (!at_end() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == ';'))
            ++i_;
    }
    bool fail(std::string& error, std::string text) {
        error = std::move(text);
        return false;
    }
    bool number(std::uint64_t& value) {
        if (at_end() || s_[i_] < '0' || s_[i_] > '9') return false;
        value = 0;
        while (!at_end() && s_[i_] >= '0' && s_[i_] <= '9')
            value = value * 10 + static_cast<std::uint64_t>(s_[i_++] - '0');
        return true;
    }
    // Text up to an unescaped `delim`, with \delim made plain and \n a
    // newline; in a regex, other escapes stay for the compiler.
    bool delimited(char delim, std::string& out, bool regex) {
        while (!at_end()) {
            char c = s_[i_++];
            if (c == delim) return true;
            if (c == '\\' && !at_end()) {
                char e = s_[i_++];
                if (e == delim) {
                    out += delim;
                } else if (e == 'n') {
                    out += '\n';
                } else if (e == 't' && regex) {
                    out += '\t';
                } else if (e == '\n') {
                    out += '\n';
                } else {
                    out += '\\';
                    out += e;
                }
                continue;
            }
            if (c == '\n' && regex) return false;
            if (c == '[' && regex) {
                // A bracket expression is taken whole: the delimiter is
                // ordinary inside it.
                out += c;
                std::size_t j = i_;
                if (j < s_.size() && s_[j] == '^') out += s_[j++];
                if (j < s_.size() && s_[j] == ']') out += s_[j++];
                while (j < s_.size() && s_[j] != ']') {
                    if (s_[j] == '[' && j + 1 < s_.size() &&
                        (s_[j + 1] == ':' || s_[j + 1] == '.' || s_[j + 1] == '=')) {
                        std::size_t close = s_.find(std::string{s_[j + 1], ']'}, j + 2);
                        if (close == std::string::npos) break;
                        out.append(s_, j, close + 2 - j);
                        j = close + 2;
                        continue;
                    }
                    out += s_[j++];
                }
                if (j >= s_.size()) return false;
                out += ']';
                i_ = j + 1;
                continue;
            }
            out += c;
        }
        return false;
    }
    std::shared_ptr<Regex> compile(const std::string& pattern, bool icase, std::string& error) {
        if (pattern.empty()) return nullptr;
        auto regex = Regex::compile(pattern, extended_ ? RegexSyntax::Extended : RegexSyntax::Basic,
                                    icase, RegexDialect::Sed, error);
        return std::shared_ptr<Regex>(regex.release());
    }
    bool address(Address& a, std::string& error) {
        if (number(a.line)) {
            a.kind = a.line == 0 ? Address::Zero : Address::Line;
            if (peek() == '~') {
                ++i_;
                a.kind = Address::Step;
                if (!number(a.step)) a.step = 0;
            }
            return true;
        }
        if (peek() == '$') {
            ++i_;
            a.kind = Address::Last;
            return true;
        }
        if (peek() == '/' || peek() == '\\') {
            char delim = s_[i_++];
            if (delim == '\\') {
                if (at_end()) return fail(error, "unexpected end");
                delim = s_[i_++];
            }
            std::string pattern;
            if (!delimited(delim, pattern, true)) return fail(error, "unterminated address regex");
            bool icase = false;
            while (peek() == 'I' || peek() == 'M') {
                icase |= peek() == 'I';
                ++i_;
            }
            a.kind = Address::Match;
            std::string problem;
            a.regex = compile(pattern, icase, problem);
            if (!problem.empty()) return fail(error, problem);
        }
        return true;
    }
    std::string text_argument() {
        skip_spaces();
        if (peek() == '\\') {
            ++i_;
            if (peek() == '\n') ++i_;
            else skip_spaces();
        }
        std::string text;
        while (!at_end()) {
            char c = s_[i_++];
            if (c == '\\' && !at_end()) {
                char e = s_[i_++];
                text += e;
                continue;
            }
            if (c == '\n') break;
            text += c;
        }
        return text;
    }
    std::string label_argument() {
        skip_spaces();
        std::string label;
        while (!at_end() && s_[i_] != '\n' && s_[i_] != ';') label += s_[i_++];
        while (!label.empty() && (label.back() == ' ' || label.back() == '\t')) label.pop_back();
        return label;
    }
    bool substitute(Command& c, std::string& error) {
        if (at_end()) return fail(error, "unterminated `s' command");
        const char delim = s_[i_++];
        std::string pattern;
        if (delim == '\n' || delim == '\\' || !delimited(delim, pattern, true))
            return fail(error, "unterminated `s' command");
        // The replacement keeps its escapes for the run (\1, &, \n, \U...).
        std::string replacement;
        for (;;) {
            if (at_end()) return fail(error, "unterminated `s' command");
            char ch = s_[i_++];
            if (ch == delim) break;
            if (ch == '\\' && !at_end()) {
                char e = s_[i_++];
                if (e == delim && delim != '&') {
                    replacement += e;
                } else {
                    replacement += '\\';
                    replacement += e;
                }
                continue;
            }
            replacement += ch;
        }
        c.text = replacement;
        bool icase = false;
        for (;;) {
            char f = peek();
            if (f == 'g') c.global = true;
            else if (f == 'p') c.print = true;
            else if (f == 'i' || f == 'I') icase = true;
            else if (f == 'm' || f == 'M' || f == 'e') {
            } else if (f >= '0' && f <= '9') {
                number(c.occurrence);
                if (c.occurrence == 0) return fail(error, "number option to `s' command may not be zero");
                continue;
            } else {
                break;
            }
            ++i_;
        }
        std::string problem;
        c.regex = compile(pattern, icase, problem);
        if (!problem.empty()) return fail(error, problem);
        return true;
    }
    bool transliterate(Command& c, std::string& error) {
        if (at_end()) return fail(error, "unterminated `y' command");
        const char delim = s_[i_++];
        std::string from, to;
        if (!delimited(delim, from, false) || !delimited(delim, to, false))
            return fail(error, "unterminated `y' command");
        auto unescape = [](const std::string& s) {
            std::string out;
            for (std::size_t k = 0; k < s.size(); ++k) {
                if (s[k] == '\\' && k + 1 < s.size()) {
                    ++k;
                    out += s[k] == 't' ? '\t' : s[k];
                } else {
                    out += s[k];
                }
            }
            return out;
        };
        from = unescape(from);
        to = unescape(to);
        if (from.size() != to.size())
            return fail(error, "strings for `y' command are different lengths");
        c.map.resize(256);
        for (int k = 0; k < 256; ++k) c.map[static_cast<std::size_t>(k)] = static_cast<char>(k);
        for (std::size_t k = 0; k < from.size(); ++k)
            c.map[static_cast<unsigned char>(from[k])] = to[k];
        return true;
    }

    std::string s_;
    std::size_t i_ = 0;
    bool extended_;
};

// The input as one stream of lines over all files (or per file with -s or
// -i), with one line of look-ahead so that '$' is known.
class LineFeed {
public:
    LineFeed(CommandContext& ctx, std::vector<std::string> files, char eol, int& status)
        : ctx_(ctx), files_(std::move(files)), eol_(eol), status_(status) {}

    bool next(std::string& line, bool& chomped) {
        if (!fetch()) return false;
        line = std::move(ahead_);
        chomped = ahead_chomped_;
        have_ahead_ = false;
        return true;
    }
    bool last() { return !fetch(); }

private:
    bool fetch() {
        if (have_ahead_) return true;
        for (;;) {
            if (!input_) {
                if (next_file_ >= files_.size()) return false;
                const std::string& name = files_[next_file_++];
                auto source = open_input(ctx_, name);
                if (!source) {
                    write_text(*ctx_.err, "sed: " + std::string(source.error().kind() == IoError::NotAFile
                                                                    ? "couldn't edit " + name + ": not a regular file"
                                                                    : "can't read " + name + ": " +
                                                                          std::string(error_text(source.error()))) +
                                              "\n");
                    status_ = source.error().kind() == IoError::NotAFile ? 4 : 2;
                    continue;
                }
                source_ = std::move(*source);
                input_ = std::make_unique<Input>(*source_);
            }
            std::string raw;
            if (input_->next_line(raw, eol_)) {
                ahead_chomped_ = !raw.empty() && raw.back() == eol_;
                if (ahead_chomped_) raw.pop_back();
                ahead_ = std::move(raw);
                have_ahead_ = true;
                return true;
            }
            input_.reset();
            source_.reset();
        }
    }

    CommandContext& ctx_;
    std::vector<std::string> files_;
    std::size_t next_file_ = 0;
    char eol_;
    int& status_;
    std::unique_ptr<ByteSource> source_;
    std::unique_ptr<Input> input_;
    std::string ahead_;
    bool ahead_chomped_ = false, have_ahead_ = false;
};

class Machine {
public:
    Machine(CommandContext& ctx, std::vector<Command>& program, bool quiet, char eol)
        : ctx_(ctx), program_(program), quiet_(quiet), eol_(eol) {}

    // Runs over `feed` into `out`; -1 to go on, or the exit status of q/Q.
    int run(LineFeed& feed, std::string& out) {
        out_ = &out;
        std::string line;
        bool chomped = true;
        bool restart = false;
        while (restart || feed.next(line, chomped)) {
            if (!restart) {
                space_ = line;
                chomped_ = chomped;
                ++line_number_;
            }
            restart = false;
            if (line_number_ % 1024 == 0 && stopped(ctx_)) return 130;
            substituted_ = false;
            std::size_t pc = 0;
            bool autoprint = !quiet_, end_cycle = false;
            int quit = -1;
            while (pc < program_.size() && !end_cycle) {
                Command& c = program_[pc];
                if (!selected(c, feed)) {
                    pc = c.name == '{' ? c.jump : pc + 1;
                    continue;
                }
                ++pc;
                switch (c.name) {
                    case '{': case '}': case ':': break;
                    case '=': emit(std::to_string(line_number_), true); break;
                    case 'p': emit(space_, chomped_); break;
                    case 'P': emit(space_.substr(0, space_.find('\n')), true); break;
                    case 'd': autoprint = false; end_cycle = true; break;
                    case 'D': {
                        std::size_t nl = space_.find('\n');
                        autoprint = false;
                        end_cycle = true;
                        if (nl != std::string::npos) {
                            space_.erase(0, nl + 1);
                            restart = true;
                        }
                        break;
                    }
                    case 'h': hold_ = space_; break;
                    case 'H': hold_ += '\n' + space_; break;
                    case 'g': space_ = hold_; break;
                    case 'G': space_ += '\n' + hold_; break;
                    case 'x': std::swap(space_, hold_); break;
                    case 'z': space_.clear(); break;
                    case 'a': append_ += c.text + "\n"; break;
                    case 'i': emit(c.text, true); break;
                    case 'c':
                        autoprint = false;
                        end_cycle = true;
                        if (c.range == Command::Single || c.negate || !c.active) emit(c.text, true);
                        break;
                    case 'q':
                        quit = c.exit_code;
                        end_cycle = true;
                        break;
                    case 'Q':
                        quit = c.exit_code;
                        autoprint = false;
                        end_cycle = true;
                        break;
                    case 'n':
                        if (feed.last()) {
                            // No next line: the cycle ends as the script would.
                            end_cycle = true;
                            quit = 0;
                            break;
                        }
                        if (!quiet_) emit(space_, chomped_);
                        flush_append();
                        feed.next(space_, chomped_);
                        ++line_number_;
                        break;
                    case 'N': {
                        if (feed.last()) {
                            end_cycle = true;
                            quit = 0;
                            break;
                        }
                        flush_append();
                        std::string next;
                        feed.next(next, chomped_);
                        space_ += '\n' + next;
                        ++line_number_;
                        break;
                    }
                    case 'b': pc = c.jump; break;
                    case 't':
                        if (substituted_) {
                            substituted_ = false;
                            pc = c.jump;
                        }
                        break;
                    case 'T':
                        if (!substituted_) pc = c.jump;
                        else substituted_ = false;
                        break;
                    case 'y':
                        for (char& ch : space_) ch = c.map[static_cast<unsigned char>(ch)];
                        break;
                    case 's':
                        if (!substitute(c)) return 4;
                        break;
                    default: break;
                }
            }
            if (costly_) {
                write_text(*ctx_.err,
                           "sed: back-reference pattern on a line too long to search safely\n");
                return 4;
            }
            if (autoprint) emit(space_, chomped_);
            flush_append();
            if (quit >= 0) return quit;
            // Streamed output goes on as it is made, so that a producer that
            // never stops meets the run's output limit, not memory's.
            if (stream_ && out.size() >= 64 * 1024) {
                if (!stream_->write(out)) return 141;
                out.clear();
            }
        }
        return -1;
    }

    void reset_for_file() { line_number_ = 0; }
    void stream_to(ByteSink* sink) { stream_ = sink; }

private:
    void emit(const std::string& text, bool newline) {
        if (missing_newline_) *out_ += eol_;
        *out_ += text;
        if (newline) *out_ += eol_;
        missing_newline_ = !newline;
    }
    void flush_append() {
        if (append_.empty()) return;
        if (missing_newline_) *out_ += eol_;
        missing_newline_ = false;
        *out_ += append_;
        append_.clear();
    }

    bool matches(Address& a, LineFeed& feed) {
        switch (a.kind) {
            case Address::None: return true;
            case Address::Zero: return false;
            case Address::Line: return line_number_ == a.line;
            case Address::Last: return feed.last();
            case Address::Step:
                return a.step == 0 ? line_number_ == a.line
                                   : line_number_ >= a.line && (line_number_ - a.line) % a.step == 0;
            case Address::Match: {
                auto regex = a.regex ? a.regex : last_regex_;
                if (!regex) return false;
                last_regex_ = regex;
                RegexMatch m;
                SearchResult r = regex->search(space_, 0, m, ctx_.should_stop);
                if (r == SearchResult::TooCostly) costly_ = true;
                return r == SearchResult::Found;
            }
        }
        return false;
    }

    bool selected(Command& c, LineFeed& feed) {
        bool hit;
        if (c.a1.kind == Address::None) {
            hit = true;
        } else if (c.range == Command::Single) {
            hit = matches(c.a1, feed);
        } else if (c.active) {
            hit = true;
            if (c.a2.kind == Address::Line || c.range == Command::Plus) {
                if (line_number_ >= c.end_line) c.active = false;
            } else if (matches(c.a2, feed)) {
                c.active = false;
            }
        } else if (c.a1.kind == Address::Zero) {
            hit = matches_zero(c, feed);
        } else if (matches(c.a1, feed)) {
            hit = true;
            c.active = true;
            if (c.range == Command::Plus) {
                c.end_line = line_number_ + c.a2.line;
                if (c.a2.line == 0) c.active = false;
            } else if (c.a2.kind == Address::Line) {
                c.end_line = c.a2.line;
                if (c.a2.line <= line_number_) c.active = false;
            } else if (c.a2.kind == Address::Last) {
                if (feed.last()) c.active = false;
            }
        } else {
            hit = false;
        }
        // A '$' end is checked as each line comes.
        if (hit && c.active && c.a2.kind == Address::Last && feed.last()) c.active = false;
        if (c.name == 'c' && hit && c.range != Command::Single && !c.negate) {
            // c prints at the range's end only: `active` is false there.
        }
        return hit != c.negate;
    }

    bool matches_zero(Command& c, LineFeed& feed) {
        // 0,/re/: the range is open from before the first line, so the end
        // regex is tried on line 1 already.
        if (c.a1.kind != Address::Zero || zero_done_.count(&c)) return false;
        zero_done_.insert(&c);
        c.active = true;
        if (matches(c.a2, feed)) c.active = false;
        return true;
    }

    bool substitute(Command& c) {
        auto regex = c.regex ? c.regex : last_regex_;
        if (!regex) return true;
        last_regex_ = regex;
        std::string result;
        std::size_t from = 0, copied = 0;
        std::uint64_t count = 0;
        bool any = false;
        while (from <= space_.size()) {
            RegexMatch m;
            SearchResult r = regex->search(space_, from, m, ctx_.should_stop, from > 0);
            if (r == SearchResult::TooCostly) {
                write_text(*ctx_.err, "sed: back-reference pattern on a line too long to search safely\n");
                return false;
            }
            if (r != SearchResult::Found) break;
            ++count;
            if (count >= c.occurrence) {
                result.append(space_, copied, m.begin - copied);
                replace(result, c.text, m);
                copied = m.end;
                any = true;
                if (!c.global) break;
            }
            if (m.end == m.begin) {
                if (m.end < space_.size()) {
                    // An empty match moves on by one byte, kept as it is.
                }
                from = m.end + 1;
            } else {
                from = m.end;
            }
        }
        if (!any) return true;
        result.append(space_, copied);
        space_ = std::move(result);
        substituted_ = true;
        if (c.print) emit(space_, chomped_);
        return true;
    }

    void replace(std::string& out, const std::string& text, const RegexMatch& m) {
        enum Case { Keep, Upper, Lower } mode = Keep;
        int one_shot = 0;  // 1: upper next, 2: lower next
        auto put = [&](std::string_view piece) {
            for (char ch : piece) {
                if (one_shot == 1) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
                else if (one_shot == 2) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
                else if (mode == Upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
                else if (mode == Lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
                one_shot = 0;
                out += ch;
            }
        };
        auto group = [&](int g) {
            if (m.group_begin[static_cast<std::size_t>(g)] < 0) return;
            put(std::string_view(space_).substr(
                static_cast<std::size_t>(m.group_begin[static_cast<std::size_t>(g)]),
                static_cast<std::size_t>(m.group_end[static_cast<std::size_t>(g)] -
                                         m.group_begin[static_cast<std::size_t>(g)])));
        };
        for (std::size_t k = 0; k < text.size(); ++k) {
            char ch = text[k];
            if (ch == '&') {
                put(std::string_view(space_).substr(m.begin, m.end - m.begin));
            } else if (ch == '\\' && k + 1 < text.size()) {
                char e = text[++k];
                if (e >= '0' && e <= '9') group(e - '0');
                else if (e == 'n') put("\n");
                else if (e == 't') put("\t");
                else if (e == 'U') mode = Upper;
                else if (e == 'L') mode = Lower;
                else if (e == 'E') mode = Keep;
                else if (e == 'u') one_shot = 1;
                else if (e == 'l') one_shot = 2;
                else put(std::string_view(&text[k], 1));
            } else {
                put(std::string_view(&ch, 1));
            }
        }
    }

    CommandContext& ctx_;
    std::vector<Command>& program_;
    bool quiet_;
    char eol_;
    std::string* out_ = nullptr;
    ByteSink* stream_ = nullptr;
    std::string space_, hold_, append_;
    bool chomped_ = true, substituted_ = false, missing_newline_ = false, costly_ = false;
    std::uint64_t line_number_ = 0;
    std::shared_ptr<Regex> last_regex_;
    std::set<const Command*> zero_done_;
};

}  // namespace

int sed_main(CommandContext& ctx, const std::vector<std::string>& argv) {
    auto args = parse_options(ctx, argv, kOptions);
    if (!args) return 1;
    bool quiet = false, extended = false, in_place = false, separate = false, have_script = false;
    std::string backup_suffix;
    char eol = '\n';
    std::string script;
    for (const auto& o : args->options) {
        switch (o.id) {
            case kQuiet: quiet = true; break;
            case kExtended: extended = true; break;
            case kInPlace:
                in_place = separate = true;
                backup_suffix = o.value;
                break;
            case kSeparate: separate = true; break;
            case kZero: eol = '\0'; break;
            case kExpression:
                if (have_script) script += '\n';
                script += o.value;
                have_script = true;
                break;
            case kFile: {
                auto text = read_file(ctx, o.value);
                if (!text) {
                    write_text(*ctx.err, "sed: couldn't open file " + o.value + ": " +
                                             std::string(error_text(text.error())) + "\n");
                    return 1;
                }
                if (have_script) script += '\n';
                script += *text;
                if (!script.empty() && script.back() == '\n') script.pop_back();
                have_script = true;
                break;
            }
            default: break;
        }
    }
    auto operands = args->operands;
    if (!have_script) {
        if (operands.empty()) {
            write_text(*ctx.err,
                       "Usage: sed [OPTION]... {script-only-if-no-other-script} [input-file]...\n\n");
            return 1;
        }
        script = operands.front();
        operands.erase(operands.begin());
    }
    std::vector<Command> program;
    std::string error;
    Parser parser(script, extended);
    if (!parser.parse(program, error)) {
        write_text(*ctx.err, "sed: -e expression #1, char " + std::to_string(parser.position()) +
                                 ": " + error + "\n");
        return 1;
    }
    if (in_place && operands.empty()) {
        write_text(*ctx.err, "sed: no input files\n");
        return 1;
    }
    if (operands.empty()) operands.push_back("-");
    int status = 0;
    if (!separate) {
        LineFeed feed(ctx, operands, eol, status);
        Machine machine(ctx, program, quiet, eol);
        machine.stream_to(ctx.out);
        std::string out;
        int quit = machine.run(feed, out);
        write_text(*ctx.out, out);
        return quit >= 0 ? quit : status;
    }
    Machine machine(ctx, program, quiet, eol);
    for (const auto& operand : operands) {
        if (stopped(ctx)) return 130;
        if (in_place) {
            auto st = stat_operand(ctx, operand);
            if (!st) {
                write_text(*ctx.err, "sed: can't read " + operand + ": " +
                                         std::string(error_text(st.error())) + "\n");
                status = 2;
                continue;
            }
            if (st->is_directory) {
                write_text(*ctx.err, "sed: couldn't edit " + operand + ": not a regular file\n");
                status = 4;
                continue;
            }
        }
        LineFeed feed(ctx, {operand}, eol, status);
        std::string out;
        machine.reset_for_file();
        machine.stream_to(in_place ? nullptr : ctx.out);
        int quit = machine.run(feed, out);
        if (in_place) {
            if (!backup_suffix.empty()) {
                auto original = read_file(ctx, operand);
                if (original) (void)write_file(ctx, operand + backup_suffix, *original);
            }
            Status done = write_file(ctx, operand, out);
            if (!done) {
                write_text(*ctx.err, "sed: couldn't write " + operand + ": " +
                                         std::string(error_text(done.error())) + "\n");
                return 4;
            }
        } else {
            write_text(*ctx.out, out);
        }
        if (quit >= 0) return quit;
    }
    return status;
}

}  // namespace halvorn::agentsh::cmd
