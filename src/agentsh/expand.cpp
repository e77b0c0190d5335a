// Word expansion, in bash's order: braces, then tilde, parameters, command
// substitution and arithmetic from left to right, then field splitting on
// IFS, pathname expansion against the tree, and quote removal. Each
// character carries where it came from (quoted, literal, or the result of an
// unquoted expansion), which is all splitting and globbing need to know.
#include <algorithm>
#include <cctype>
#include <cstdint>

#include "agentsh/interp.hpp"
#include "agentsh/parser.hpp"
#include "fs/file_system.hpp"

namespace halvorn::agentsh {

namespace {

constexpr char kQuoted = 0;    // from quotes: neither split nor globbed
constexpr char kLiteral = 1;   // unquoted source text: globbed, not split
constexpr char kExpanded = 2;  // unquoted expansion: split and globbed

struct Field {
    std::string text;
    std::string flags;
    bool quoted = false;  // held quotes: kept even when empty
};

struct Builder {
    std::vector<Field> fields{1};
    bool at_empty = false;  // a quoted "$@" with no parameters
    void add(std::string_view text, char flag) {
        fields.back().text.append(text);
        fields.back().flags.append(text.size(), flag);
    }
    void add(char c, char flag) {
        fields.back().text += c;
        fields.back().flags += flag;
    }
    void break_field() { fields.emplace_back(); }
    std::size_t size() const {
        std::size_t n = 0;
        for (const Field& f : fields)
            n += f.text.size();
        return n;
    }
};

// Index just past the construct that starts at s[i] (a quote, $..., `...`).
std::size_t skip_construct(std::string_view s, std::size_t i);

std::size_t skip_until_close(std::string_view s, std::size_t i, char open, char close) {
    int depth = 1;
    while (i < s.size()) {
        char c = s[i];
        if (c == '\\') {
            i += 2;
            continue;
        }
        if (c == '\'' || c == '"' || c == '`' || (c == '$' && i + 1 < s.size())) {
            if (c == '$' && s[i + 1] != '(' && s[i + 1] != '{' && s[i + 1] != '\'') {
                ++i;
                continue;
            }
            if (c == '\'' && open == '{') {
                // Inside ${...} a single quote still quotes.
            }
            i = skip_construct(s, i);
            continue;
        }
        if (c == open) ++depth;
        if (c == close && --depth == 0) return i + 1;
        ++i;
    }
    return s.size();
}

std::size_t skip_construct(std::string_view s, std::size_t i) {
    char c = s[i];
    if (c == '\'') {
        std::size_t end = s.find('\'', i + 1);
        return end == std::string_view::npos ? s.size() : end + 1;
    }
    if (c == '"') {
        ++i;
        while (i < s.size() && s[i] != '"') {
            if (s[i] == '\\') {
                i += 2;
            } else if (s[i] == '$' || s[i] == '`') {
                std::size_t next = skip_construct(s, i);
                i = next > i ? next : i + 1;
            } else {
                ++i;
            }
        }
        return std::min(i + 1, s.size());
    }
    if (c == '`') {
        ++i;
        while (i < s.size() && s[i] != '`') {
            if (s[i] == '\\') ++i;
            ++i;
        }
        return std::min(i + 1, s.size());
    }
    if (c == '$' && i + 1 < s.size()) {
        char n = s[i + 1];
        if (n == '\'') {
            i += 2;
            while (i < s.size() && s[i] != '\'') {
                if (s[i] == '\\') ++i;
                ++i;
            }
            return std::min(i + 1, s.size());
        }
        if (n == '(') {
            if (i + 2 < s.size() && s[i + 2] == '(') return skip_until_close(s, i + 2, '(', ')');
            // A command substitution may hold case patterns' lone ")".
            std::size_t end = Parser::command_subst_end(s, i);
            return end == std::string_view::npos ? skip_until_close(s, i + 2, '(', ')') : end;
        }
        if (n == '{') return skip_until_close(s, i + 2, '{', '}');
    }
    return i + 1;
}

// $'...' escapes.
std::string ansi_c(std::string_view s) {
    std::string out;
    decode_escapes(s, EscapeDialect::AnsiC, out);
    return out;
}

std::size_t utf8_length(std::string_view s) {
    return static_cast<std::size_t>(std::count_if(
        s.begin(), s.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

bool is_special_param(char c) {
    return c == '@' || c == '*' || c == '#' || c == '?' || c == '$' || c == '!' || c == '-' ||
           std::isdigit(static_cast<unsigned char>(c));
}

}  // namespace

// --- The expander ------------------------------------------------------------

class Expander {
public:
    explicit Expander(Interp& in) : in_(in) {}

    bool word(std::string_view w, bool in_dq, Builder& b, bool heredoc = false,
              bool assignment = false);

private:
    struct Param {
        std::vector<std::string> items;
        bool set = false;
        bool multi = false;  // from @ or *: several values
        bool star = false;
    };
    bool dollar(std::string_view w, std::size_t& i, bool in_dq, Builder& b);
    bool braced(std::string_view inner, bool in_dq, Builder& b);
    bool lookup(std::string_view name, std::string_view index, Param& out);
    void emit(Param& p, bool in_dq, Builder& b);
    bool tilde(std::string_view w, std::size_t& i, Builder& b, bool assignment);
    std::string ifs() const {
        auto value = in_.get_scalar("IFS");
        return value ? *value : std::string(" \t\n");
    }

    Interp& in_;
    // Inside the word of ${x:-word} or ${x:+word}: its unquoted text is
    // split like an expansion's, and inside double quotes a nested pair of
    // double quotes quotes again.
    int param_word_ = 0;
};

bool Expander::tilde(std::string_view w, std::size_t& i, Builder& b, bool assignment) {
    std::size_t end = i + 1;
    while (end < w.size() && w[end] != '/' && !(assignment && w[end] == ':'))
        ++end;
    std::string_view user = w.substr(i + 1, end - i - 1);
    std::optional<std::string> home;
    if (user.empty()) {
        home = in_.get_scalar("HOME");
        if (!home) home = "/";
    } else if (user == "+") {
        home = in_.st.cwd;
    } else if (user == "-") {
        home = in_.get_scalar("OLDPWD");
    }
    if (!home || user.find_first_of("\\'\"$`") != std::string_view::npos) return false;
    b.add(*home, kQuoted);
    i = end;
    return true;
}

bool Expander::word(std::string_view w, bool in_dq, Builder& b, bool heredoc, bool assignment) {
    std::size_t i = 0;
    while (i < w.size()) {
        if (in_.flow != Flow::Normal) return false;
        char c = w[i];
        if (c == '\\') {
            if (i + 1 >= w.size()) {
                b.add('\\', in_dq ? kQuoted : kLiteral);
                ++i;
                continue;
            }
            char n = w[i + 1];
            if (n == '\n') {
                i += 2;
                continue;
            }
            if (in_dq && !(n == '$' || n == '`' || n == '\\' || (n == '"' && !heredoc))) {
                b.add('\\', kQuoted);
                ++i;
                continue;
            }
            b.add(n, kQuoted);
            b.fields.back().quoted = true;
            i += 2;
            continue;
        }
        if (c == '\'' && !in_dq) {
            std::size_t end = skip_construct(w, i);
            b.add(w.substr(i + 1, end - i - 2), kQuoted);
            b.fields.back().quoted = true;
            i = end;
            continue;
        }
        if (c == '"' && in_dq && param_word_ > 0 && !heredoc) {
            std::size_t end = skip_construct(w, i);
            if (!word(w.substr(i + 1, end - i - 2), true, b)) return false;
            i = end;
            continue;
        }
        if (c == '"' && !in_dq) {
            std::size_t end = skip_construct(w, i);
            std::string_view inner = w.substr(i + 1, end - i - 2);
            std::size_t before = b.fields.size();
            b.at_empty = false;
            if (!word(inner, true, b)) return false;
            if (!(b.at_empty && inner.find_first_not_of("$@{}[]abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ_0123456789") == std::string_view::npos)) {
                b.fields.back().quoted = true;
            } else if (b.fields.size() == before && !b.fields.back().text.empty()) {
                b.fields.back().quoted = true;
            }
            i = end;
            continue;
        }
        if (c == '$') {
            if (!dollar(w, i, in_dq, b)) return false;
            continue;
        }
        if (c == '`') {
            std::size_t end = skip_construct(w, i);
            std::string body;
            for (std::size_t k = i + 1; k + 1 < end; ++k) {
                if (w[k] == '\\' && k + 2 < end &&
                    (w[k + 1] == '$' || w[k + 1] == '`' || w[k + 1] == '\\')) {
                    ++k;
                }
                body += w[k];
            }
            std::string out;
            if (!in_.command_substitution(body, out)) return false;
            b.add(out, in_dq ? kQuoted : kExpanded);
            i = end;
            continue;
        }
        if (c == '~' && !in_dq &&
            (i == 0 || (assignment && (w[i - 1] == ':' || w[i - 1] == '=')))) {
            if (tilde(w, i, b, assignment)) continue;
        }
        b.add(c, in_dq ? kQuoted : (param_word_ > 0 ? kExpanded : kLiteral));
        ++i;
    }
    if (!in_.check_string(b.size())) return false;
    return in_.flow == Flow::Normal;
}

bool Expander::dollar(std::string_view w, std::size_t& i, bool in_dq, Builder& b) {
    if (i + 1 >= w.size()) {
        b.add('$', in_dq ? kQuoted : kLiteral);
        ++i;
        return true;
    }
    char n = w[i + 1];
    if (n == '"' && !in_dq) {
        ++i;  // $"...": a translated string, here the same as "..."
        return true;
    }
    if (n == '\'' && !in_dq) {
        std::size_t end = skip_construct(w, i);
        b.add(ansi_c(w.substr(i + 2, end - i - 3)), kQuoted);
        b.fields.back().quoted = true;
        i = end;
        return true;
    }
    if (n == '(') {
        std::size_t end = skip_construct(w, i);
        if (i + 2 < w.size() && w[i + 2] == '(' && end >= 2 && w[end - 2] == ')') {
            // $(( ... )): arithmetic, unless it is $( (...) ).
            std::string_view inner = w.substr(i + 3, end - i - 5);
            long long value = 0;
            if (!in_.arith_text(inner, value)) {
                // A failed arithmetic expansion ends the script, as in bash.
                if (in_.flow == Flow::Normal) {
                    in_.flow = Flow::Exit;
                    in_.st.last_status = 1;
                }
                return false;
            }
            b.add(std::to_string(value), in_dq ? kQuoted : kExpanded);
            i = end;
            return true;
        }
        std::string out;
        if (!in_.command_substitution(w.substr(i + 2, end - i - 3), out)) return false;
        b.add(out, in_dq ? kQuoted : kExpanded);
        i = end;
        return true;
    }
    if (n == '{') {
        std::size_t end = skip_construct(w, i);
        bool ok = braced(w.substr(i + 2, end - i - 3), in_dq, b);
        i = end;
        return ok;
    }
    std::size_t end = i + 1;
    if (is_special_param(n)) {
        end = i + 2;
    } else {
        while (end < w.size() &&
               (std::isalnum(static_cast<unsigned char>(w[end])) || w[end] == '_'))
            ++end;
    }
    if (end == i + 1) {
        b.add('$', in_dq ? kQuoted : kLiteral);
        ++i;
        return true;
    }
    std::string_view name = w.substr(i + 1, end - i - 1);
    i = end;
    Param p;
    if (!lookup(name, {}, p)) return false;
    if (!p.set && in_.st.options.nounset && name != "@" && name != "*") {
        in_.diag(std::string(name) + ": unbound variable");
        in_.flow = Flow::Exit;
        in_.st.last_status = in_.in_subshell ? 1 : 127;
        return false;
    }
    emit(p, in_dq, b);
    return true;
}

void Expander::emit(Param& p, bool in_dq, Builder& b) {
    char flag = in_dq ? kQuoted : kExpanded;
    if (!p.multi) {
        if (!p.items.empty()) b.add(p.items[0], flag);
        return;
    }
    if (p.star && in_dq) {
        std::string sep = ifs().substr(0, 1);
        std::string joined;
        for (std::size_t k = 0; k < p.items.size(); ++k) {
            if (k > 0) joined += sep;
            joined += p.items[k];
        }
        b.add(joined, flag);
        return;
    }
    if (p.items.empty()) {
        if (in_dq) b.at_empty = true;
        return;
    }
    for (std::size_t k = 0; k < p.items.size(); ++k) {
        if (k > 0) {
            if (in_dq) b.fields.back().quoted = true;
            b.break_field();
        }
        b.add(p.items[k], flag);
    }
    if (in_dq) b.fields.back().quoted = true;
}

bool Expander::lookup(std::string_view name, std::string_view index, Param& out) {
    ShellState& st = in_.st;
    if (name == "@" || name == "*") {
        out.items = st.positional;
        out.set = !st.positional.empty();
        out.multi = true;
        out.star = name == "*";
        return true;
    }
    if (name.size() == 1 && is_special_param(name[0]) && !std::isdigit(static_cast<unsigned char>(name[0]))) {
        out.set = true;
        switch (name[0]) {
            case '#': out.items = {std::to_string(st.positional.size())}; break;
            case '?': out.items = {std::to_string(st.last_status)}; break;
            case '$': out.items = {"4242"}; break;
            case '!': out.set = false; break;
            case '-': {
                std::string flags;
                if (st.options.errexit) flags += 'e';
                if (st.options.noglob) flags += 'f';
                flags += 'h';
                if (st.options.nounset) flags += 'u';
                if (st.options.xtrace) flags += 'x';
                flags += 'B';
                out.items = {flags};
                break;
            }
        }
        return true;
    }
    if (std::isdigit(static_cast<unsigned char>(name[0]))) {
        std::size_t n = 0;
        for (char c : name)
            n = std::min<std::size_t>(n * 10 + static_cast<std::size_t>(c - '0'), 1'000'000);
        if (n == 0) {
            out.items = {st.arg0};
            out.set = true;
        } else if (n <= st.positional.size()) {
            out.items = {st.positional[n - 1]};
            out.set = true;
        }
        return true;
    }
    if (name == "RANDOM") {
        st.random_seed = st.random_seed * 1103515245u + 12345u;
        out.items = {std::to_string((st.random_seed >> 16) & 0x7fff)};
        out.set = true;
        return true;
    }
    if (name == "LINENO") {
        out.items = {std::to_string(in_.line)};
        out.set = true;
        return true;
    }
    const Variable* var = in_.find_var(name);
    if (var == nullptr || !var->has_value) {
        if (index == "@" || index == "*") {
            out.multi = true;
            out.star = index == "*";
        }
        return true;
    }
    if (index.empty()) {
        if (var->is_assoc) {
            auto it = var->assoc.find("0");
            if (it != var->assoc.end()) {
                out.items = {it->second};
                out.set = true;
            }
        } else if (var->is_array) {
            auto it = var->indexed.find(0);
            if (it != var->indexed.end()) {
                out.items = {it->second};
                out.set = true;
            }
        } else {
            out.items = {var->value};
            out.set = true;
        }
        return true;
    }
    if (index == "@" || index == "*") {
        out.multi = true;
        out.star = index == "*";
        if (var->is_assoc) {
            for (const auto& kv : var->assoc)
                out.items.push_back(kv.second);
        } else if (var->is_array) {
            for (const auto& kv : var->indexed)
                out.items.push_back(kv.second);
        } else {
            out.items.push_back(var->value);
        }
        out.set = !out.items.empty();
        return true;
    }
    if (var->is_assoc) {
        std::string key;
        if (!in_.expand_single(index, key)) return false;
        auto it = var->assoc.find(key);
        if (it != var->assoc.end()) {
            out.items = {it->second};
            out.set = true;
        }
        return true;
    }
    long long k = 0;
    if (!in_.arith_text(index, k)) return false;
    if (!var->is_array) {
        if (k == 0 || k == -1) {
            out.items = {var->value};
            out.set = true;
        }
        return true;
    }
    if (k < 0 && !var->indexed.empty()) k += var->indexed.rbegin()->first + 1;
    auto it = var->indexed.find(k);
    if (it != var->indexed.end()) {
        out.items = {it->second};
        out.set = true;
    }
    return true;
}

namespace {

// The shortest or longest prefix (suffix) of `s` that `pattern` matches.
std::string remove_affix(const std::string& s, const std::string& pattern, bool suffix,
                         bool longest) {
    const std::size_t n = s.size();
    for (std::size_t step = 0; step <= n; ++step) {
        std::size_t len = longest ? n - step : step;
        if (!suffix) {
            if (glob_match(pattern, std::string_view(s).substr(0, len))) return s.substr(len);
        } else if (glob_match(pattern, std::string_view(s).substr(n - len))) {
            return s.substr(0, n - len);
        }
    }
    return s;
}

std::string replace(const std::string& s, const std::string& pattern, const std::string& with,
                    char mode) {
    // mode: '/' first, 'a' all, '#' anchored at the start, '%' at the end.
    auto expand_with = [&](std::string_view match) {
        std::string out;
        for (std::size_t i = 0; i < with.size(); ++i) {
            if (with[i] == '\\' && i + 1 < with.size()) {
                out += with[++i];
            } else if (with[i] == '&') {
                out += match;
            } else {
                out += with[i];
            }
        }
        return out;
    };
    std::string out;
    std::size_t i = 0;
    bool done = false;
    if (pattern.empty()) return s;
    while (i <= s.size()) {
        if (done || (mode == '#' && i > 0)) break;
        std::size_t best = std::string::npos;
        for (std::size_t len = s.size() - i + 1; len-- > 0;) {
            if (mode == '%' && i + len != s.size()) continue;
            if (glob_match(pattern, std::string_view(s).substr(i, len))) {
                best = len;
                break;
            }
        }
        if (best != std::string::npos && !(best == 0 && mode == 'a')) {
            out += expand_with(std::string_view(s).substr(i, best));
            i += best;
            if (mode != 'a') done = true;
            if (best == 0 && i < s.size()) out += s[i++];
            continue;
        }
        if (i < s.size()) out += s[i];
        ++i;
    }
    if (i < s.size()) out += s.substr(i);
    return out;
}

std::string change_case(std::string s, char op, bool all) {
    for (std::size_t i = 0; i < s.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (op == '~') {
            s[i] = static_cast<char>(std::isupper(c) ? std::tolower(c) : std::toupper(c));
        } else {
            s[i] = static_cast<char>(op == '^' ? std::toupper(c) : std::tolower(c));
        }
        if (!all) break;
    }
    return s;
}

std::string quote_value(const std::string& s) {
    std::string out = "'";
    for (char c : s) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out += c;
        }
    }
    return out + "'";
}

}  // namespace

bool Expander::braced(std::string_view inner, bool in_dq, Builder& b) {
    auto bad = [&] {
        in_.diag("${" + std::string(inner) + "}: bad substitution");
        in_.flow = Flow::Exit;
        in_.st.last_status = 1;
        return false;
    };
    if (inner.empty()) return bad();
    bool length = false;
    bool indirect = false;
    std::size_t i = 0;
    if (inner[0] == '#' && inner.size() > 1 && inner[1] != '}' &&
        !(inner.size() > 1 && (inner[1] == '-' || inner[1] == '=' || inner[1] == '?' ||
                               inner[1] == '+') && inner.size() > 2)) {
        length = true;
        i = 1;
    } else if (inner[0] == '!' && inner.size() > 1) {
        indirect = true;
        i = 1;
    }
    std::size_t name_start = i;
    if (i < inner.size() && is_special_param(inner[i]) && !std::isdigit(static_cast<unsigned char>(inner[i]))) {
        ++i;
    } else if (i < inner.size() && std::isdigit(static_cast<unsigned char>(inner[i]))) {
        while (i < inner.size() && std::isdigit(static_cast<unsigned char>(inner[i])))
            ++i;
    } else {
        while (i < inner.size() &&
               (std::isalnum(static_cast<unsigned char>(inner[i])) || inner[i] == '_'))
            ++i;
    }
    std::string name(inner.substr(name_start, i - name_start));
    if (name.empty()) return bad();
    std::string index;
    bool has_index = false;
    if (i < inner.size() && inner[i] == '[') {
        std::size_t close = skip_until_close(inner, i + 1, '[', ']');
        if (close > inner.size() || inner[close - 1] != ']') return bad();
        index = std::string(inner.substr(i + 1, close - i - 2));
        has_index = true;
        i = close;
    }
    std::string_view rest = inner.substr(i);
    Param p;
    if (indirect) {
        if (has_index && (index == "@" || index == "*") && rest.empty()) {
            // ${!arr[@]}: the keys.
            const Variable* var = in_.find_var(name);
            p.multi = true;
            p.star = index == "*";
            if (var != nullptr) {
                if (var->is_assoc) {
                    for (const auto& kv : var->assoc)
                        p.items.push_back(kv.first);
                } else if (var->is_array) {
                    for (const auto& kv : var->indexed)
                        p.items.push_back(std::to_string(kv.first));
                } else if (var->has_value) {
                    p.items.push_back("0");
                }
            }
            p.set = !p.items.empty();
            emit(p, in_dq, b);
            return true;
        }
        if (!rest.empty() && (rest == "*" || rest == "@")) {
            p.multi = true;
            p.star = rest == "*";
            std::vector<std::string> names;
            for (const auto& kv : in_.st.vars) {
                if (kv.first.starts_with(name)) names.push_back(kv.first);
            }
            std::sort(names.begin(), names.end());
            p.items = std::move(names);
            emit(p, in_dq, b);
            return true;
        }
        Param target;
        if (!lookup(name, index, target)) return false;
        std::string ref = target.items.empty() ? std::string() : target.items[0];
        std::size_t bracket = ref.find('[');
        if (bracket != std::string::npos && ref.back() == ']') {
            if (!lookup(ref.substr(0, bracket), ref.substr(bracket + 1, ref.size() - bracket - 2),
                        p))
                return false;
        } else if (!ref.empty()) {
            if (!lookup(ref, {}, p)) return false;
        }
    } else if (!lookup(name, index, p)) {
        return false;
    }
    if (length) {
        if (!rest.empty()) return bad();
        if (!p.set && in_.st.options.nounset && name != "@" && name != "*") {
            in_.diag(name + ": unbound variable");
            in_.flow = Flow::Exit;
            in_.st.last_status = in_.in_subshell ? 1 : 127;
            return false;
        }
        std::size_t n = p.multi ? p.items.size()
                                : (p.items.empty() ? 0 : utf8_length(p.items[0]));
        b.add(std::to_string(n), in_dq ? kQuoted : kExpanded);
        return true;
    }
    if (rest.empty()) {
        if (!p.set && in_.st.options.nounset && name != "@" && name != "*") {
            in_.diag(name + ": unbound variable");
            in_.flow = Flow::Exit;
            in_.st.last_status = in_.in_subshell ? 1 : 127;
            return false;
        }
        emit(p, in_dq, b);
        return true;
    }
    // Operators.
    bool colon = rest[0] == ':';
    std::string_view op = colon ? rest.substr(1) : rest;
    if (!op.empty() && (op[0] == '-' || op[0] == '=' || op[0] == '+' || op[0] == '?')) {
        std::string_view arg = op.substr(1);
        bool empty = !p.set;
        if (colon && !empty) {
            if (p.multi) {
                // "$@" and "$*" count as their joined text.
                std::string sep = ifs().substr(0, 1);
                std::size_t joined = 0;
                for (const std::string& item : p.items)
                    joined += item.size();
                joined += p.items.empty() ? 0 : sep.size() * (p.items.size() - 1);
                empty = joined == 0;
            } else {
                empty = p.items.empty() || p.items[0].empty();
            }
        }
        switch (op[0]) {
            case '-':
            case '+': {
                if (empty != (op[0] == '-')) {
                    if (op[0] == '-') emit(p, in_dq, b);
                    return true;
                }
                ++param_word_;
                bool ok = word(arg, in_dq, b);
                --param_word_;
                return ok;
            }
            case '=': {
                if (!empty) {
                    emit(p, in_dq, b);
                    return true;
                }
                std::string value;
                if (!in_.expand_single(arg, value)) return false;
                bool ok = has_index ? in_.set_element(name, index, value) : in_.set_var(name, value);
                if (!ok) return false;
                b.add(value, in_dq ? kQuoted : kExpanded);
                return true;
            }
            case '?': {
                if (!empty) {
                    emit(p, in_dq, b);
                    return true;
                }
                std::string message;
                if (!in_.expand_single(arg, message)) return false;
                if (arg.empty()) message = p.set ? "parameter null or not set" : "parameter null or not set";
                in_.diag(name + ": " + message);
                in_.flow = Flow::Exit;
                in_.st.last_status = in_.in_subshell ? 1 : 127;
                return false;
            }
        }
    }
    if (!p.set && in_.st.options.nounset && name != "@" && name != "*") {
        in_.diag(name + ": unbound variable");
        in_.flow = Flow::Exit;
        in_.st.last_status = in_.in_subshell ? 1 : 127;
        return false;
    }
    if (colon) {
        // ${x:offset} and ${x:offset:length}.
        std::string_view slice = op;
        std::size_t sep = std::string_view::npos;
        int depth = 0;
        for (std::size_t k = 0; k < slice.size(); ++k) {
            if (slice[k] == '(') ++depth;
            if (slice[k] == ')') --depth;
            if (slice[k] == ':' && depth == 0) {
                sep = k;
                break;
            }
        }
        long long offset = 0, count = 0;
        if (!in_.arith_text(slice.substr(0, sep), offset)) return false;
        bool has_count = sep != std::string_view::npos;
        if (has_count && !in_.arith_text(slice.substr(sep + 1), count)) return false;
        if (p.multi) {
            std::vector<std::string> items = p.items;
            if (name == "@" || name == "*") items.insert(items.begin(), in_.st.arg0);
            long long n = static_cast<long long>(items.size());
            if (offset < 0) offset += n;
            if (offset < 0 || offset > n) {
                p.items.clear();
            } else {
                long long end = has_count ? (count < 0 ? n + count : offset + count) : n;
                end = std::min(end, n);
                if (end < offset) {
                    if (count < 0) {
                        in_.diag(std::to_string(count) + ": substring expression < 0");
                        return false;
                    }
                    end = offset;
                }
                p.items.assign(items.begin() + offset, items.begin() + end);
            }
            emit(p, in_dq, b);
            return true;
        }
        std::string s = p.items.empty() ? std::string() : p.items[0];
        long long n = static_cast<long long>(s.size());
        if (offset < 0) offset += n;
        if (offset < 0 || offset > n) {
            return true;
        }
        long long end = has_count ? (count < 0 ? n + count : offset + count) : n;
        if (end < offset) {
            if (count < 0) {
                in_.diag(std::to_string(count) + ": substring expression < 0");
                in_.flow = Flow::Exit;
                return false;
            }
            end = offset;
        }
        end = std::min(end, n);
        b.add(s.substr(static_cast<std::size_t>(offset), static_cast<std::size_t>(end - offset)),
              in_dq ? kQuoted : kExpanded);
        return true;
    }
    std::vector<std::string>& items = p.items;
    if (op[0] == '#' || op[0] == '%') {
        bool longest = op.size() > 1 && op[1] == op[0];
        std::string pattern;
        if (!in_.expand_pattern(op.substr(longest ? 2 : 1), pattern)) return false;
        for (std::string& item : items)
            item = remove_affix(item, pattern, op[0] == '%', longest);
    } else if (op[0] == '/') {
        std::string_view pattern_text = op.substr(1);
        char mode = '/';
        if (!pattern_text.empty() && (pattern_text[0] == '/' || pattern_text[0] == '#' || pattern_text[0] == '%')) {
            mode = pattern_text[0] == '/' ? 'a' : pattern_text[0];
            pattern_text.remove_prefix(1);
        }
        std::size_t slash = std::string_view::npos;
        for (std::size_t k = 0; k < pattern_text.size(); ++k) {
            if (pattern_text[k] == '\\') {
                ++k;
                continue;
            }
            if (pattern_text[k] == '\'' || pattern_text[k] == '"' || pattern_text[k] == '$' || pattern_text[k] == '`') {
                k = skip_construct(pattern_text, k) - 1;
                continue;
            }
            if (pattern_text[k] == '/') {
                slash = k;
                break;
            }
        }
        std::string pattern, with;
        if (!in_.expand_pattern(pattern_text.substr(0, slash), pattern)) return false;
        if (slash != std::string_view::npos && !in_.expand_pattern(pattern_text.substr(slash + 1), with))
            return false;
        for (std::string& item : items)
            item = replace(item, pattern, with, mode);
    } else if (op[0] == '^' || op[0] == ',' || op[0] == '~') {
        bool all = op.size() > 1 && op[1] == op[0];
        for (std::string& item : items)
            item = change_case(item, op[0], all);
    } else if (op[0] == '@' && op.size() == 2) {
        for (std::string& item : items) {
            switch (op[1]) {
                case 'Q': item = quote_value(item); break;
                case 'U': item = change_case(item, '^', true); break;
                case 'L': item = change_case(item, ',', true); break;
                case 'u': item = change_case(item, '^', false); break;
                case 'E': item = ansi_c(item); break;
                default: return bad();
            }
        }
    } else {
        return bad();
    }
    for (const std::string& item : items) {
        if (!in_.check_string(item.size())) return false;
    }
    emit(p, in_dq, b);
    return true;
}

// --- Brace expansion ---------------------------------------------------------

namespace {

bool brace_sequence(std::string_view body, std::vector<std::string>& out) {
    std::size_t dots = body.find("..");
    if (dots == std::string_view::npos) return false;
    std::string_view a = body.substr(0, dots);
    std::string_view rest = body.substr(dots + 2);
    std::string_view c;
    std::size_t dots2 = rest.find("..");
    std::string_view bpart = rest.substr(0, dots2);
    if (dots2 != std::string_view::npos) c = rest.substr(dots2 + 2);
    auto is_int = [](std::string_view s) {
        std::size_t k = (!s.empty() && (s[0] == '-' || s[0] == '+')) ? 1 : 0;
        return k < s.size() && std::all_of(s.begin() + static_cast<std::ptrdiff_t>(k), s.end(), [](char ch) {
                   return std::isdigit(static_cast<unsigned char>(ch));
               });
    };
    long long step = 1;
    if (!c.empty()) {
        if (!is_int(c)) return false;
        step = std::stoll(std::string(c));
        if (step == 0) step = 1;
        if (step < 0) step = -step;
    }
    if (is_int(a) && is_int(bpart)) {
        if (a.size() > 18 || bpart.size() > 18) return false;
        long long from = std::stoll(std::string(a)), to = std::stoll(std::string(bpart));
        std::size_t width = 0;
        auto padded = [](std::string_view s) {
            std::string_view d = s[0] == '-' ? s.substr(1) : s;
            return d.size() > 1 && d[0] == '0';
        };
        if (padded(a) || padded(bpart)) width = std::max(a.size(), bpart.size());
        for (long long v = from; from <= to ? v <= to : v >= to; v += from <= to ? step : -step) {
            std::string text = std::to_string(v < 0 ? -v : v);
            std::size_t w = width > 0 ? width - (v < 0 ? 1 : 0) : 0;
            if (text.size() < w) text.insert(0, w - text.size(), '0');
            if (v < 0) text.insert(0, "-");
            out.push_back(std::move(text));
            if (out.size() > 1'000'000) break;
        }
        return true;
    }
    if (a.size() == 1 && bpart.size() == 1 && std::isalpha(static_cast<unsigned char>(a[0])) &&
        std::isalpha(static_cast<unsigned char>(bpart[0]))) {
        int from = a[0], to = bpart[0];
        for (int v = from; from <= to ? v <= to : v >= to; v += from <= to ? static_cast<int>(step) : -static_cast<int>(step))
            out.emplace_back(1, static_cast<char>(v));
        return true;
    }
    return false;
}

}  // namespace

static bool brace_expand(std::string_view word, std::vector<std::string>& out, std::size_t limit) {
    // The first brace with a comma or a sequence at its top level.
    for (std::size_t i = 0; i < word.size(); ++i) {
        char c = word[i];
        if (c == '\\') {
            ++i;
            continue;
        }
        if (c == '\'' || c == '"' || c == '`') {
            i = skip_construct(word, i) - 1;
            continue;
        }
        if (c == '$' && i + 1 < word.size() && (word[i + 1] == '{' || word[i + 1] == '(')) {
            i = skip_construct(word, i) - 1;
            continue;
        }
        if (c != '{') continue;
        int depth = 0;
        std::vector<std::size_t> commas;
        std::size_t close = std::string_view::npos;
        for (std::size_t k = i; k < word.size(); ++k) {
            char d = word[k];
            if (d == '\\') {
                ++k;
                continue;
            }
            if (d == '\'' || d == '"' || d == '`' ||
                (d == '$' && k + 1 < word.size() && (word[k + 1] == '{' || word[k + 1] == '('))) {
                k = skip_construct(word, k) - 1;
                continue;
            }
            if (d == '{') ++depth;
            if (d == '}' && --depth == 0) {
                close = k;
                break;
            }
            if (d == ',' && depth == 1) commas.push_back(k);
        }
        if (close == std::string_view::npos) return out.size() < limit ? (out.emplace_back(word), true) : false;
        std::string_view prefix = word.substr(0, i);
        std::string_view suffix = word.substr(close + 1);
        std::vector<std::string> alternatives;
        if (commas.empty()) {
            if (!brace_sequence(word.substr(i + 1, close - i - 1), alternatives)) {
                // Not an expansion: this brace is literal; look further on.
                std::vector<std::string> tails;
                if (!brace_expand(word.substr(i + 1), tails, limit)) return false;
                for (std::string& tail : tails) {
                    if (out.size() >= limit) return false;
                    out.push_back(std::string(word.substr(0, i + 1)) + tail);
                }
                return true;
            }
        } else {
            std::size_t start = i + 1;
            for (std::size_t comma : commas) {
                alternatives.emplace_back(word.substr(start, comma - start));
                start = comma + 1;
            }
            alternatives.emplace_back(word.substr(start, close - start));
        }
        for (const std::string& alternative : alternatives) {
            std::string joined = std::string(prefix) + alternative + std::string(suffix);
            if (!brace_expand(joined, out, limit)) return false;
        }
        return true;
    }
    if (out.size() >= limit) return false;
    out.emplace_back(word);
    return true;
}

// --- Splitting and globbing --------------------------------------------------

namespace {

void split_field(const Field& field, const std::string& ifs, std::vector<Field>& out) {
    auto in_ifs = [&](char c) { return ifs.find(c) != std::string::npos; };
    auto is_ws = [&](char c) { return (c == ' ' || c == '\t' || c == '\n') && in_ifs(c); };
    Field current;
    bool has = field.quoted;
    current.quoted = field.quoted;
    const std::string& t = field.text;
    std::size_t i = 0;
    while (i < t.size()) {
        if (field.flags[i] == kExpanded && in_ifs(t[i])) {
            std::size_t j = i;
            bool hard = false;
            while (j < t.size() && field.flags[j] == kExpanded && is_ws(t[j]))
                ++j;
            if (j < t.size() && field.flags[j] == kExpanded && in_ifs(t[j]) && !is_ws(t[j])) {
                hard = true;
                ++j;
                while (j < t.size() && field.flags[j] == kExpanded && is_ws(t[j]))
                    ++j;
            }
            if (has || hard) {
                out.push_back(std::move(current));
                current = Field();
            }
            has = false;
            i = j;
            continue;
        }
        current.text += t[i];
        current.flags += field.flags[i];
        has = true;
        ++i;
    }
    if (has) out.push_back(std::move(current));
}

}  // namespace

static bool glob_in_tree(Interp& in, const std::string& pattern, std::vector<std::string>& out) {
    // Components of the pattern; literal ones are walked into, the others
    // matched against the directory's names.
    std::vector<std::string> parts;
    std::size_t start = 0;
    bool absolute = !pattern.empty() && pattern[0] == '/';
    while (start <= pattern.size()) {
        std::size_t end = pattern.find('/', start);
        if (end == std::string::npos) end = pattern.size();
        parts.push_back(pattern.substr(start, end - start));
        start = end + 1;
    }
    std::vector<std::string> current{absolute ? "/" : ""};
    std::size_t first = absolute ? 1 : 0;
    for (std::size_t k = first; k < parts.size(); ++k) {
        const std::string& part = parts[k];
        bool last = k + 1 == parts.size();
        std::vector<std::string> next;
        if (part.empty()) {
            for (std::string& c : current)
                next.push_back(c + (c.empty() || c.back() == '/' ? "" : "/"));
            current = std::move(next);
            continue;
        }
        for (const std::string& base : current) {
            std::string prefix = base.empty() ? "" : (base.back() == '/' ? base : base + "/");
            if (!has_glob_chars(part)) {
                std::string literal;
                for (std::size_t q = 0; q < part.size(); ++q) {
                    if (part[q] == '\\' && q + 1 < part.size()) ++q;
                    literal += part[q];
                }
                std::string path = prefix + literal;
                if (in.run.fs->stat(in.absolute(path.empty() ? "." : path))) next.push_back(path);
                continue;
            }
            auto listing = in.run.fs->ls(in.absolute(prefix.empty() ? "." : prefix));
            if (!listing) continue;
            std::vector<std::string> names;
            for (const std::string& n : listing->directories)
                names.push_back(n);
            if (last) {
                for (const std::string& n : listing->files)
                    names.push_back(n);
            } else {
                for (const std::string& n : listing->files) {
                    auto status = in.run.fs->stat(in.absolute(prefix + n));
                    if (status && status->is_directory) names.push_back(n);
                }
            }
            for (const std::string& name : names) {
                if (name[0] == '.' && part[0] != '.' && !in.st.options.dotglob) continue;
                if (glob_match(part, name, in.st.options.nocaseglob)) next.push_back(prefix + name);
                if (next.size() > in.run.limits.max_expansion_words) {
                    in.run.limit_reached("max_expansion_words");
                    in.flow = Flow::Stop;
                    return false;
                }
            }
        }
        current = std::move(next);
        if (current.empty()) break;
    }
    std::sort(current.begin(), current.end());
    out = std::move(current);
    return true;
}

// --- Entry points ------------------------------------------------------------

namespace {

std::string pattern_of(const Field& f) {
    std::string out;
    for (std::size_t i = 0; i < f.text.size(); ++i) {
        char c = f.text[i];
        if (f.flags[i] == kQuoted && (c == '*' || c == '?' || c == '[' || c == ']' || c == '\\'))
            out += '\\';
        out += c;
    }
    return out;
}

// The same for a regular expression (`[[ x =~ re ]]`): quoted characters
// match themselves, as bash quotes them before compiling.
std::string regex_of(const Field& f) {
    std::string out;
    for (std::size_t i = 0; i < f.text.size(); ++i) {
        char c = f.text[i];
        if (f.flags[i] == kQuoted && std::string_view("\\^$.|?*+()[]{}").find(c) != std::string_view::npos)
            out += '\\';
        out += c;
    }
    return out;
}

bool globbable(const Field& f) {
    for (std::size_t i = 0; i < f.text.size(); ++i) {
        char c = f.text[i];
        if (f.flags[i] != kQuoted && (c == '*' || c == '?' || c == '[')) return true;
    }
    return false;
}

}  // namespace

bool Interp::expand_words(const std::vector<std::string>& words, std::vector<std::string>& out) {
    Expander expander(*this);
    std::string ifs;
    bool ifs_known = false;
    for (const std::string& raw : words) {
        std::vector<std::string> braced;
        if (raw.find('{') != std::string::npos) {
            if (!brace_expand(raw, braced, run.limits.max_expansion_words)) {
                run.limit_reached("max_expansion_words");
                flow = Flow::Stop;
                return false;
            }
        } else {
            braced.push_back(raw);
        }
        for (const std::string& w : braced) {
            // A word without anything to expand is itself: the common case.
            if (w.find_first_of("\\'\"$`~*?[") == std::string::npos) {
                out.push_back(w);
                continue;
            }
            Builder b;
            if (!expander.word(w, false, b, false, Parser::assignment_prefix(w) > 0)) return false;
            if (!ifs_known) {
                auto value = get_scalar("IFS");
                ifs = value ? *value : std::string(" \t\n");
                ifs_known = true;
            }
            std::vector<Field> fields;
            for (const Field& f : b.fields)
                split_field(f, ifs, fields);
            for (Field& f : fields) {
                if (!st.options.noglob && globbable(f)) {
                    std::vector<std::string> matches;
                    if (!glob_in_tree(*this, pattern_of(f), matches)) return false;
                    if (!matches.empty()) {
                        for (std::string& m : matches)
                            out.push_back(std::move(m));
                        if (out.size() > run.limits.max_expansion_words) {
                            run.limit_reached("max_expansion_words");
                            flow = Flow::Stop;
                            return false;
                        }
                        continue;
                    }
                    if (st.options.nullglob) continue;
                    if (st.options.failglob) {
                        diag("no match: " + f.text);
                        return false;
                    }
                }
                out.push_back(std::move(f.text));
            }
        }
    }
    return true;
}

bool Interp::expand_single(std::string_view word, std::string& out) {
    if (word.find_first_of("\\'\"$`~") == std::string_view::npos) {
        out.assign(word);
        return true;
    }
    Expander expander(*this);
    Builder b;
    if (!expander.word(word, false, b, false, true)) return false;
    out.clear();
    for (std::size_t k = 0; k < b.fields.size(); ++k) {
        if (k > 0) out += ' ';
        out += b.fields[k].text;
    }
    return true;
}

bool Interp::expand_pattern(std::string_view word, std::string& out) {
    Expander expander(*this);
    Builder b;
    if (!expander.word(word, false, b)) return false;
    out.clear();
    for (std::size_t k = 0; k < b.fields.size(); ++k) {
        if (k > 0) out += ' ';
        out += pattern_of(b.fields[k]);
    }
    return true;
}

bool Interp::expand_regex(std::string_view word, std::string& out) {
    Expander expander(*this);
    Builder b;
    if (!expander.word(word, false, b)) return false;
    out.clear();
    for (std::size_t k = 0; k < b.fields.size(); ++k) {
        if (k > 0) out += ' ';
        out += regex_of(b.fields[k]);
    }
    return true;
}

bool Interp::expand_heredoc(std::string_view body, std::string& out) {
    Expander expander(*this);
    Builder b;
    if (!expander.word(body, true, b, true)) return false;
    out.clear();
    for (std::size_t k = 0; k < b.fields.size(); ++k) {
        if (k > 0) out += ' ';
        out += b.fields[k].text;
    }
    return true;
}

bool Interp::arith_text(std::string_view text, long long& value) {
    std::string expanded;
    if (text.find_first_of("$`\\\"'") != std::string_view::npos) {
        Expander expander(*this);
        Builder b;
        if (!expander.word(text, true, b)) return false;
        for (const Field& f : b.fields)
            expanded += f.text;
    } else {
        expanded.assign(text);
    }
    return arith_eval(expanded, value);
}

bool Interp::command_substitution(std::string_view text, std::string& out) {
    if (subst_depth + 1 > static_cast<int>(run.limits.max_subst_depth)) {
        run.limit_reached("max_subst_depth");
        flow = Flow::Stop;
        return false;
    }
    ShellState copy = st;
    std::string captured;
    {
        Interp child(copy, *this);
        ++child.subst_depth;
        child.stage_out = nullptr;
        child.fds[1] = std::make_shared<CaptureSink>(captured, run, false);
        int status = child.run_text(text, line);
        if (child.flow == Flow::Exit) status = copy.last_status;
        if (child.flow == Flow::Stop || run.stopped()) {
            flow = Flow::Stop;
            return false;
        }
        subst_status = status;
        if (!shared_state) st.last_status = status;
    }
    while (!captured.empty() && captured.back() == '\n')
        captured.pop_back();
    out = std::move(captured);
    return true;
}

}  // namespace halvorn::agentsh
