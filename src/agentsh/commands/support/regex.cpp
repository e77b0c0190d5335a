#include "agentsh/commands/support/regex.hpp"

#include <locale.h>
#include <pthread.h>
#include <regex.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

namespace halvorn::agentsh::cmd {
namespace {

// Patterns are compiled and matched as under a UTF-8 locale, as agents'
// shells run (a character is a code point, case folding knows 'É'), on this
// thread only and whatever locale the host process keeps.
class Utf8Scope {
public:
    Utf8Scope() {
        static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
        if (utf8) previous_ = uselocale(utf8);
    }
    ~Utf8Scope() {
        if (previous_) uselocale(previous_);
    }
    Utf8Scope(const Utf8Scope&) = delete;
    Utf8Scope& operator=(const Utf8Scope&) = delete;

private:
    locale_t previous_ = nullptr;
};

std::mutex& syntax_mutex() {
    static std::mutex mutex;
    return mutex;
}

// Held across fork(), so that a child never inherits it locked by a thread
// that does not exist there.
[[maybe_unused]] const int fork_handlers = pthread_atfork(
    [] { syntax_mutex().lock(); }, [] { syntax_mutex().unlock(); },
    [] { syntax_mutex().unlock(); });

// What the bound needs to know of a pattern, read without compiling it.
struct Shape {
    std::size_t expanded = 0;   // atoms once intervals are written out
    std::size_t repetitions = 0;  // *, +, ?, intervals and alternations
    bool backrefs = false;
};

// Scans the pattern as the compiler will: bracket expressions whole, escapes
// by pairs, and for each group the size of its body, multiplied by an
// interval that follows it. Errors are left to the compiler.
Shape shape_of(std::string_view p, RegexSyntax syntax) {
    const bool ere = syntax == RegexSyntax::Extended;
    Shape shape;
    // Per open group: the size before it, and its own.
    std::vector<std::size_t> outer;
    std::size_t current = 0, last_atom = 0;
    auto saturate = [](std::size_t v) { return std::min<std::size_t>(v, 1ull << 40); };
    for (std::size_t i = 0; i < p.size(); ++i) {
        char c = p[i];
        bool escaped = false;
        if (c == '\\' && i + 1 < p.size()) {
            escaped = true;
            c = p[++i];
        }
        if (!escaped && c == '[') {
            std::size_t j = i + 1;
            if (j < p.size() && p[j] == '^') ++j;
            if (j < p.size() && p[j] == ']') ++j;
            while (j < p.size() && p[j] != ']') {
                if (p[j] == '[' && j + 1 < p.size() &&
                    (p[j + 1] == ':' || p[j + 1] == '.' || p[j + 1] == '=')) {
                    std::size_t close = p.find(std::string{p[j + 1], ']'}, j + 2);
                    j = close == std::string_view::npos ? p.size() : close + 2;
                } else {
                    ++j;
                }
            }
            i = j;
            last_atom = 1;
            current += 1;
            continue;
        }
        const bool open = ere ? (!escaped && c == '(') : (escaped && c == '(');
        const bool close = ere ? (!escaped && c == ')') : (escaped && c == ')');
        const bool interval = ere ? (!escaped && c == '{') : (escaped && c == '{');
        const bool star = !escaped && c == '*';
        const bool plus_q = ere ? (!escaped && (c == '+' || c == '?')) : (escaped && (c == '+' || c == '?'));
        const bool alt = ere ? (!escaped && c == '|') : (escaped && c == '|');
        if (escaped && c >= '1' && c <= '9') shape.backrefs = true;
        if (open) {
            outer.push_back(current);
            current = 0;
        } else if (close && !outer.empty()) {
            last_atom = std::max<std::size_t>(current, 1);
            current = outer.back() + last_atom;
            outer.pop_back();
        } else if (interval) {
            ++shape.repetitions;
            std::size_t j = i + 1, low = 0, high = 0;
            bool comma = false, has_high = false;
            while (j < p.size() && ((p[j] >= '0' && p[j] <= '9') || p[j] == ',')) {
                if (p[j] == ',') {
                    comma = true;
                } else if (comma) {
                    high = saturate(high * 10 + static_cast<std::size_t>(p[j] - '0'));
                    has_high = true;
                } else {
                    low = saturate(low * 10 + static_cast<std::size_t>(p[j] - '0'));
                }
                ++j;
            }
            const std::size_t times = comma ? (has_high ? high : low + 1) : low;
            current = saturate(current + last_atom * (times > 0 ? times - 1 : 0));
            last_atom = saturate(last_atom * std::max<std::size_t>(times, 1));
        } else if (star || plus_q || alt) {
            ++shape.repetitions;
        } else {
            last_atom = 1;
            current += 1;
        }
    }
    for (std::size_t before : outer) current += before;
    shape.expanded = current;
    return shape;
}

}  // namespace

struct Regex::Impl {
    re_pattern_buffer buffer{};
    re_registers registers{};
    ~Impl() {
        regfree(&buffer);  // frees the fastmap too
        std::free(registers.start);
        std::free(registers.end);
    }
};

Regex::Regex(std::unique_ptr<Impl> impl, std::size_t backref_limit)
    : impl_(std::move(impl)), backref_limit_(backref_limit) {}

Regex::~Regex() = default;

std::unique_ptr<Regex> Regex::compile(std::string_view pattern, RegexSyntax syntax, bool icase,
                                      RegexDialect dialect, std::string& error) {
    if (pattern.size() > kMaxPatternBytes) {
        error = "regular expression too big";
        return nullptr;
    }
    const Shape shape = shape_of(pattern, syntax);
    if (shape.expanded > kMaxExpandedAtoms) {
        error = "regular expression too big";
        return nullptr;
    }
    reg_syntax_t bits;
    if (dialect == RegexDialect::Grep) {
        bits = syntax == RegexSyntax::Extended ? RE_SYNTAX_EGREP : RE_SYNTAX_GREP;
        bits |= RE_NO_EMPTY_RANGES;
    } else {
        bits = syntax == RegexSyntax::Extended ? RE_SYNTAX_POSIX_EXTENDED : RE_SYNTAX_POSIX_BASIC;
        bits &= ~RE_DOT_NOT_NULL;
        bits |= RE_NO_POSIX_BACKTRACKING;
    }
    if (icase) bits |= RE_ICASE;
    auto impl = std::make_unique<Impl>();
    impl->buffer.fastmap = static_cast<char*>(std::malloc(256));
    const char* message;
    Utf8Scope utf8;
    {
        std::lock_guard<std::mutex> hold(syntax_mutex());
        re_set_syntax(bits);
        message = re_compile_pattern(pattern.data(), pattern.size(), &impl->buffer);
    }
    if (message) {
        error = message;
        return nullptr;
    }
    impl->buffer.newline_anchor = 0;
    std::size_t limit = 0;
    if (shape.backrefs) {
        // n^(r+2) <= 3e7: 310 bytes for one repetition, 74 for two, 31
        // for three (see the header).
        const double degree = static_cast<double>(shape.repetitions + 2);
        limit = static_cast<std::size_t>(std::pow(3e7, 1.0 / degree));
        if (limit < 8) limit = 8;
    }
    return std::unique_ptr<Regex>(new Regex(std::move(impl), limit));
}

SearchResult Regex::search(std::string_view text, std::size_t from, RegexMatch& match,
                           const std::function<bool()>& stop, bool not_bol) {
    if (backref_limit_ && text.size() > backref_limit_) return SearchResult::TooCostly;
    if (text.size() > static_cast<std::size_t>(INT32_MAX)) return SearchResult::TooCostly;
    Utf8Scope utf8;
    auto& b = impl_->buffer;
    b.not_bol = not_bol ? 1 : 0;
    b.not_eol = 0;
    const regoff_t size = static_cast<regoff_t>(text.size());
    std::size_t start = from;
    while (start <= text.size()) {
        const std::size_t rest = text.size() - start + 1;
        const std::size_t batch = std::max<std::size_t>(1, kWorkPerCall / rest);
        const std::size_t range = std::min(batch - 1, text.size() - start);
        regoff_t at = re_search(&b, text.data(), size, static_cast<regoff_t>(start),
                                static_cast<regoff_t>(range), &impl_->registers);
        if (at >= 0) {
            match.begin = static_cast<std::size_t>(at);
            match.end = static_cast<std::size_t>(impl_->registers.end[0]);
            for (std::size_t g = 0; g < 10; ++g) {
                if (g < impl_->registers.num_regs && g <= b.re_nsub) {
                    match.group_begin[g] = impl_->registers.start[g];
                    match.group_end[g] = impl_->registers.end[g];
                } else {
                    match.group_begin[g] = match.group_end[g] = -1;
                }
            }
            return SearchResult::Found;
        }
        if (at == -2) return SearchResult::TooCostly;
        start += range + 1;
        if (start <= text.size() && stop && stop()) return SearchResult::Stopped;
    }
    return SearchResult::NotFound;
}

std::ptrdiff_t Regex::match_at(std::string_view text, std::size_t at, std::size_t limit) {
    Utf8Scope utf8;
    auto& b = impl_->buffer;
    b.not_bol = 0;
    b.not_eol = limit < text.size() ? 1 : 0;
    regoff_t got = re_match(&b, text.data(), static_cast<regoff_t>(limit),
                            static_cast<regoff_t>(at), &impl_->registers);
    b.not_eol = 0;
    return got;
}

std::size_t Regex::group_count() const { return impl_->buffer.re_nsub; }

}  // namespace halvorn::agentsh::cmd
