// The shell's builtins with bash's output, messages and statuses. printf
// and test live in files of their own.
#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>

#include "agentsh/command.hpp"
#include "agentsh/interp.hpp"
#include "agentsh/parser.hpp"
#include "fs/file_system.hpp"

namespace halvorn::agentsh {

namespace {

struct BuiltinEntry {
    std::string_view name;
    Interp::Builtin function;
};

constexpr BuiltinEntry kBuiltins[] = {
    {".", &Interp::builtin_source},        {":", &Interp::builtin_colon},
    {"[", &Interp::builtin_test},          {"alias", &Interp::builtin_alias},
    {"bg", &Interp::builtin_unsupported},  {"break", &Interp::builtin_break},
    {"builtin", &Interp::builtin_builtin}, {"cd", &Interp::builtin_cd},
    {"command", &Interp::builtin_command}, {"continue", &Interp::builtin_continue},
    {"declare", &Interp::builtin_declare}, {"disown", &Interp::builtin_unsupported},
    {"echo", &Interp::builtin_echo},       {"eval", &Interp::builtin_eval},
    {"exec", &Interp::builtin_exec}, {"exit", &Interp::builtin_exit},
    {"export", &Interp::builtin_export},   {"false", &Interp::builtin_false},
    {"fg", &Interp::builtin_unsupported},  {"getopts", &Interp::builtin_getopts},
    {"jobs", &Interp::builtin_unsupported}, {"kill", &Interp::builtin_unsupported},
    {"let", &Interp::builtin_let},         {"local", &Interp::builtin_local},
    {"mapfile", &Interp::builtin_mapfile}, {"printf", &Interp::builtin_printf},
    {"pwd", &Interp::builtin_pwd},         {"read", &Interp::builtin_read},
    {"readarray", &Interp::builtin_mapfile}, {"readonly", &Interp::builtin_readonly},
    {"return", &Interp::builtin_return},   {"set", &Interp::builtin_set},
    {"shift", &Interp::builtin_shift},     {"shopt", &Interp::builtin_shopt},
    {"source", &Interp::builtin_source},   {"test", &Interp::builtin_test},
    {"trap", &Interp::builtin_unsupported}, {"true", &Interp::builtin_true},
    {"type", &Interp::builtin_type},       {"typeset", &Interp::builtin_declare},
    {"unalias", &Interp::builtin_unalias}, {"unset", &Interp::builtin_unset},
    {"wait", &Interp::builtin_colon},
};

constexpr std::string_view kKeywords[] = {"if",   "then", "else", "elif",     "fi", "case",
                                          "esac", "for",  "while", "until",   "do", "done",
                                          "in",   "function", "{", "}", "!", "[[", "]]", "time"};

std::string declare_quote(const std::string& value) {
    std::string out = "\"";
    for (char c : value) {
        if (c == '"' || c == '\\' || c == '$' || c == '`') out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string describe(const std::string& name, const Variable& var) {
    std::string flags;
    if (var.is_array) flags += 'a';
    if (var.is_assoc) flags += 'A';
    if (var.integer) flags += 'i';
    if (var.readonly) flags += 'r';
    if (var.exported) flags += 'x';
    std::string out = "declare -" + (flags.empty() ? std::string("-") : flags) + " " + name;
    if (!var.has_value) return out;
    if (var.is_array) {
        out += "=(";
        bool first = true;
        for (const auto& [k, v] : var.indexed) {
            if (!first) out += ' ';
            first = false;
            out += "[" + std::to_string(k) + "]=" + declare_quote(v);
        }
        return out + ")";
    }
    if (var.is_assoc) {
        out += "=(";
        for (const auto& [k, v] : var.assoc)
            out += "[" + k + "]=" + declare_quote(v) + " ";
        return out + ")";
    }
    return out + "=" + declare_quote(var.value);
}

bool parse_count(const std::string& text, long long& value) {
    if (text.empty()) return false;
    std::size_t i = (text[0] == '-' || text[0] == '+') ? 1 : 0;
    if (i >= text.size()) return false;
    value = 0;
    for (; i < text.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
        value = std::min(value * 10 + (text[i] - '0'), 1'000'000'000'000LL);
    }
    if (text[0] == '-') value = -value;
    return true;
}

}  // namespace

bool append_unicode_escape(std::string_view text, std::size_t& i, std::size_t max,
                           std::string& out) {
    std::uint32_t code = 0;
    std::size_t digits = 0;
    while (digits < max && i + 1 < text.size() &&
           std::isxdigit(static_cast<unsigned char>(text[i + 1]))) {
        char h = text[++i];
        code = code * 16 + static_cast<std::uint32_t>(
                               std::isdigit(static_cast<unsigned char>(h)) ? h - '0'
                                                                           : std::tolower(h) - 'a' + 10);
        ++digits;
    }
    if (digits == 0) return false;
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x110000) {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
    return true;
}

Interp::Builtin Interp::find_builtin(std::string_view name) {
    auto it = std::lower_bound(std::begin(kBuiltins), std::end(kBuiltins), name,
                               [](const BuiltinEntry& e, std::string_view n) { return e.name < n; });
    return it != std::end(kBuiltins) && it->name == name ? it->function : nullptr;
}

bool Interp::is_special_builtin(std::string_view name) {
    static constexpr std::string_view kSpecial[] = {".",    ":",        "break",  "continue",
                                                    "eval", "exec",     "exit",   "export",
                                                    "readonly", "return", "set", "shift",
                                                    "source", "trap", "unset", "declare",
                                                    "typeset", "local"};
    return std::find(std::begin(kSpecial), std::end(kSpecial), name) != std::end(kSpecial);
}

int Interp::builtin_colon(std::vector<std::string>&) { return 0; }

// `exec` alone makes its redirections last (exec_simple sees to that);
// `exec CMD` runs the builtin or utility and ends the script with its status,
// as replacing the shell would. No program is ever started.
int Interp::builtin_exec(std::vector<std::string>& argv) {
    std::size_t i = 1;
    while (i < argv.size() && argv[i].size() > 1 && argv[i][0] == '-') {
        if (argv[i] == "--") {
            ++i;
            break;
        }
        ++i;
    }
    if (i >= argv.size()) return 0;
    std::vector<std::string> rest(argv.begin() + static_cast<std::ptrdiff_t>(i), argv.end());
    int status = run_command(rest, nullptr);
    if (flow == Flow::Normal) {
        flow = Flow::Exit;
        if (!shared_state) st.last_status = status;
    }
    return status;
}
int Interp::builtin_true(std::vector<std::string>&) { return 0; }
int Interp::builtin_false(std::vector<std::string>&) { return 1; }

int Interp::builtin_unsupported(std::vector<std::string>& argv) {
    diag(argv[0] + ": not supported: this shell runs no processes, jobs or signal handlers");
    return 1;
}

int Interp::builtin_echo(std::vector<std::string>& argv) {
    bool newline = true, escapes = false;
    std::size_t i = 1;
    for (; i < argv.size(); ++i) {
        const std::string& a = argv[i];
        if (a.size() < 2 || a[0] != '-' ||
            a.find_first_not_of("neE", 1) != std::string::npos)
            break;
        for (char c : a.substr(1)) {
            if (c == 'n') newline = false;
            if (c == 'e') escapes = true;
            if (c == 'E') escapes = false;
        }
    }
    std::string out;
    for (std::size_t k = i; k < argv.size(); ++k) {
        if (k > i) out += ' ';
        if (!escapes) {
            out += argv[k];
            continue;
        }
        if (!decode_escapes(argv[k], EscapeDialect::Echo, out)) {
            write_out(1, out);  // \c: nothing more, not even the newline
            return 0;
        }
    }
    if (newline) out += '\n';
    return write_out(1, out) ? 0 : 1;
}

int Interp::builtin_cd(std::vector<std::string>& argv) {
    std::size_t i = 1;
    while (i < argv.size() && (argv[i] == "-L" || argv[i] == "-P" || argv[i] == "--"))
        ++i;
    if (argv.size() > i + 1) {
        diag("cd: too many arguments");
        return 1;
    }
    std::string target;
    bool print = false;
    if (i >= argv.size()) {
        auto home = get_scalar("HOME");
        if (!home) {
            diag("cd: HOME not set");
            return 1;
        }
        target = *home;
    } else if (argv[i] == "-") {
        auto old = get_scalar("OLDPWD");
        if (!old) {
            diag("cd: OLDPWD not set");
            return 1;
        }
        target = *old;
        print = true;
    } else {
        target = argv[i];
    }
    if (target.empty()) return 0;
    std::string path = absolute(target);
    // Checked as written, so that a missing directory before a ".." fails
    // as it does on a real disk; the new directory is the lexical one.
    auto status = run.fs->stat(target[0] == '/' ? target : st.cwd + "/" + target);
    if (!status) {
        diag("cd: " + target + ": " + std::string(errno_text(status.error())));
        return 1;
    }
    if (!status->is_directory) {
        diag("cd: " + target + ": Not a directory");
        return 1;
    }
    if (shared_state) return 0;
    set_var("OLDPWD", st.cwd);
    st.cwd = path;
    set_var("PWD", path);
    if (print) write_out(1, path + "\n");
    return 0;
}

int Interp::builtin_pwd(std::vector<std::string>&) {
    return write_out(1, st.cwd + "\n") ? 0 : 1;
}

int Interp::builtin_export(std::vector<std::string>& argv) {
    bool unexport = false;
    std::size_t i = 1;
    for (; i < argv.size() && argv[i].size() > 1 && argv[i][0] == '-'; ++i) {
        if (argv[i] == "--") {
            ++i;
            break;
        }
        if (argv[i] == "-n") unexport = true;
        else if (argv[i] != "-p" && argv[i] != "-f") {
            diag("export: " + argv[i] + ": invalid option");
            return 2;
        }
    }
    if (i >= argv.size()) {
        std::vector<std::string> names;
        for (const auto& [name, var] : st.vars) {
            if (var.exported) names.push_back(name);
        }
        std::sort(names.begin(), names.end());
        std::string out;
        for (const std::string& name : names) {
            std::string line = describe(name, st.vars[name]);
            out += line + "\n";
        }
        write_out(1, out);
        return 0;
    }
    int status = 0;
    for (; i < argv.size(); ++i) {
        const std::string& a = argv[i];
        std::size_t eq = a.find('=');
        std::string name = a.substr(0, eq);
        if (!name.empty() && name.back() == '+') name.pop_back();
        if (!Parser::is_name(name)) {
            diag("export: `" + a + "': not a valid identifier");
            status = 1;
            continue;
        }
        const std::string* source = i < declaration_sources_.size() && !declaration_sources_[i].empty()
                                        ? &declaration_sources_[i]
                                        : nullptr;
        if (eq != std::string::npos &&
            !(source != nullptr ? assign(*source) : assign(a, false, false, true))) {
            status = 1;
            continue;
        }
        if (shared_state) continue;
        auto it = st.vars.find(name);
        if (it == st.vars.end()) {
            Variable var;
            var.has_value = false;
            it = st.vars.emplace(name, std::move(var)).first;
        }
        it->second.exported = !unexport;
    }
    return status;
}

int Interp::builtin_unset(std::vector<std::string>& argv) {
    bool functions = false;
    std::size_t i = 1;
    for (; i < argv.size() && argv[i].size() > 1 && argv[i][0] == '-'; ++i) {
        if (argv[i] == "-f") functions = true;
        else if (argv[i] == "-v") functions = false;
        else if (argv[i] == "--") {
            ++i;
            break;
        }
    }
    int status = 0;
    for (; i < argv.size(); ++i) {
        const std::string& name = argv[i];
        if (shared_state) continue;
        if (functions) {
            st.functions.erase(name);
            continue;
        }
        std::size_t bracket = name.find('[');
        if (bracket != std::string::npos && name.back() == ']') {
            auto it = st.vars.find(name.substr(0, bracket));
            if (it == st.vars.end()) continue;
            std::string index = name.substr(bracket + 1, name.size() - bracket - 2);
            if (it->second.is_assoc) {
                it->second.assoc.erase(index);
            } else if (it->second.is_array) {
                long long k = 0;
                if (arith_text(index, k)) {
                    if (k < 0 && !it->second.indexed.empty())
                        k += it->second.indexed.rbegin()->first + 1;
                    it->second.indexed.erase(k);
                }
            }
            continue;
        }
        if (!Parser::is_name(name)) {
            diag("unset: `" + name + "': not a valid identifier");
            status = 1;
            continue;
        }
        auto it = st.vars.find(name);
        if (it != st.vars.end() && it->second.readonly) {
            diag("unset: " + name + ": cannot unset: readonly variable");
            status = 1;
            continue;
        }
        if (it != st.vars.end()) {
            st.vars.erase(it);
        } else if (st.functions.count(name) != 0 && find_var(name) == nullptr) {
            st.functions.erase(name);
        }
    }
    return status;
}

namespace {

bool* option_flag(Options& o, std::string_view name) {
    if (name == "errexit") return &o.errexit;
    if (name == "nounset") return &o.nounset;
    if (name == "xtrace") return &o.xtrace;
    if (name == "noglob") return &o.noglob;
    if (name == "pipefail") return &o.pipefail;
    if (name == "allexport") return &o.allexport;
    if (name == "noclobber") return &o.noclobber;
    return nullptr;
}

bool* letter_flag(Options& o, char c) {
    switch (c) {
        case 'e': return &o.errexit;
        case 'u': return &o.nounset;
        case 'x': return &o.xtrace;
        case 'f': return &o.noglob;
        case 'a': return &o.allexport;
        case 'C': return &o.noclobber;
        default: return nullptr;
    }
}

}  // namespace

int Interp::builtin_set(std::vector<std::string>& argv) {
    if (argv.size() == 1) {
        std::vector<std::string> names;
        for (const auto& [name, var] : st.vars)
            names.push_back(name);
        std::sort(names.begin(), names.end());
        std::string out;
        for (const std::string& name : names) {
            const Variable& var = st.vars[name];
            if (!var.has_value) continue;
            if (var.is_array || var.is_assoc) {
                std::string d = describe(name, var);
                out += name + d.substr(d.find('=')) + "\n";
            } else {
                bool plain = !var.value.empty() &&
                             std::all_of(var.value.begin(), var.value.end(), [](char c) {
                                 return std::isalnum(static_cast<unsigned char>(c)) ||
                                        std::strchr("_./-:,+@%", c) != nullptr;
                             });
                out += name + "=" + (plain ? var.value : "'" + var.value + "'") + "\n";
            }
        }
        write_out(1, out);
        return 0;
    }
    Options& o = st.options;
    std::size_t i = 1;
    for (; i < argv.size(); ++i) {
        const std::string& a = argv[i];
        if (a == "--") {
            ++i;
            if (!shared_state) st.positional.assign(argv.begin() + static_cast<std::ptrdiff_t>(i), argv.end());
            return 0;
        }
        if (a == "-") {
            // A lone dash ends the options and turns tracing off.
            if (!shared_state) o.xtrace = false;
            ++i;
            if (!shared_state) st.positional.assign(argv.begin() + static_cast<std::ptrdiff_t>(i), argv.end());
            return 0;
        }
        if (a == "+") continue;
        if (a.size() < 2 || (a[0] != '-' && a[0] != '+')) break;
        bool on = a[0] == '-';
        for (std::size_t k = 1; k < a.size(); ++k) {
            char c = a[k];
            if (c == 'o') {
                if (i + 1 >= argv.size()) {
                    std::string out;
                    for (std::string_view name : {"allexport", "errexit", "noclobber", "noglob", "nounset", "pipefail", "xtrace"}) {
                        bool value = *option_flag(o, name);
                        if (on) {
                            std::string n(name);
                            n.resize(15, ' ');
                            out += n + "\t" + (value ? "on" : "off") + "\n";
                        } else {
                            out += std::string("set ") + (value ? "-o " : "+o ") + std::string(name) + "\n";
                        }
                    }
                    write_out(1, out);
                    return 0;
                }
                bool* flag = option_flag(o, argv[++i]);
                if (flag == nullptr) {
                    if (argv[i] == "posix" || argv[i] == "braceexpand" || argv[i] == "hashall" ||
                        argv[i] == "interactive-comments")
                        continue;
                    diag("set: " + argv[i] + ": invalid option name");
                    return 2;
                }
                if (!shared_state) *flag = on;
                break;
            }
            bool* flag = letter_flag(o, c);
            if (flag == nullptr) {
                if (c == 'h' || c == 'B' || c == 'H' || c == 'm' || c == 'b' ||
                    c == 'v' || c == 'T' || c == 'E' || c == 'P' || c == 'n')
                    continue;
                diag(std::string("set: ") + a[0] + c + ": invalid option");
                return 2;
            }
            if (!shared_state) *flag = on;
        }
    }
    if (i < argv.size() && !shared_state)
        st.positional.assign(argv.begin() + static_cast<std::ptrdiff_t>(i), argv.end());
    return 0;
}

int Interp::builtin_shift(std::vector<std::string>& argv) {
    long long n = 1;
    if (argv.size() > 1 && !parse_count(argv[1], n)) {
        diag("shift: " + argv[1] + ": numeric argument required");
        return 1;
    }
    if (n < 0) {
        diag("shift: " + argv[1] + ": shift count out of range");
        return 1;
    }
    if (static_cast<std::size_t>(n) > st.positional.size()) return 1;
    if (!shared_state) st.positional.erase(st.positional.begin(), st.positional.begin() + n);
    return 0;
}

int Interp::builtin_read(std::vector<std::string>& argv) {
    bool raw = false;
    std::string array;
    char delim = '\n';
    long long max_chars = -1;
    bool exact = false;  // -N: exactly that many bytes, no delimiter, no splitting
    std::size_t fd = 0;
    std::vector<std::string> names;
    std::size_t i = 1;
    for (; i < argv.size(); ++i) {
        const std::string& a = argv[i];
        if (a == "--") {
            ++i;
            break;
        }
        if (a.size() < 2 || a[0] != '-') break;
        for (std::size_t k = 1; k < a.size(); ++k) {
            char c = a[k];
            if (c == 'r') {
                raw = true;
            } else if (c == 's') {
            } else if (c == 'a' || c == 'd' || c == 'p' || c == 'n' || c == 'N' || c == 't' || c == 'u') {
                std::string value;
                if (k + 1 < a.size()) {
                    value = a.substr(k + 1);
                } else if (i + 1 < argv.size()) {
                    value = argv[++i];
                } else {
                    diag(std::string("read: -") + c + ": option requires an argument");
                    return 2;
                }
                if (c == 'a') array = value;
                if (c == 'd') delim = value.empty() ? '\0' : value[0];
                if (c == 'u') {
                    if (value.size() != 1 || !std::isdigit(static_cast<unsigned char>(value[0]))) {
                        diag("read: " + value + ": invalid file descriptor specification");
                        return 1;
                    }
                    fd = static_cast<std::size_t>(value[0] - '0');
                }
                if (c == 'n' || c == 'N') {
                    exact = c == 'N';
                    long long n = 0;
                    if (!parse_count(value, n)) {
                        diag("read: " + value + ": invalid number");
                        return 1;
                    }
                    max_chars = n;
                }
                break;
            } else {
                diag(std::string("read: -") + c + ": invalid option");
                return 2;
            }
        }
    }
    for (; i < argv.size(); ++i)
        names.push_back(argv[i]);
    bool reply = names.empty() && array.empty();
    if (reply) names.push_back("REPLY");
    if (!fds[fd]) {
        diag("read: read error: " + std::to_string(fd) + ": Bad file descriptor");
        return 1;
    }
    Stream& in = *fds[fd];
    std::string line;
    std::string flags;  // '1' where a character was escaped
    bool found = false;
    char c;
    while (max_chars < 0 || static_cast<long long>(line.size()) < max_chars) {
        std::ptrdiff_t n = in.read(std::span(&c, 1));
        if (n <= 0) break;
        if (c == delim && !exact) {
            found = true;
            break;
        }
        if (!raw && !exact && c == '\\') {
            n = in.read(std::span(&c, 1));
            if (n <= 0) break;
            if (c == '\n') continue;
            line += c;
            flags += '1';
            continue;
        }
        line += c;
        flags += '0';
        if (!check_string(line.size())) return 1;
    }
    if (max_chars >= 0 && static_cast<long long>(line.size()) >= max_chars) found = true;
    if (reply || exact) {
        // REPLY, and -N, take the line as read: no field splitting.
        if (!set_var(names[0], line)) return 1;
        for (std::size_t f = 1; f < names.size(); ++f)
            set_var(names[f], std::string());
        return found ? 0 : 1;
    }
    auto ifs_value = get_scalar("IFS");
    std::string ifs = ifs_value ? *ifs_value : " \t\n";
    auto is_ifs = [&](std::size_t k) { return flags[k] == '0' && ifs.find(line[k]) != std::string::npos; };
    auto is_ws = [&](std::size_t k) {
        return is_ifs(k) && (line[k] == ' ' || line[k] == '\t' || line[k] == '\n');
    };
    // Fields: each name takes one; the last takes the rest of the line.
    std::vector<std::string> fields;
    std::size_t k = 0;
    while (k < line.size() && is_ws(k))
        ++k;
    std::size_t wanted = array.empty() ? names.size() : static_cast<std::size_t>(-1);
    while (k < line.size()) {
        if (fields.size() + 1 == wanted) {
            std::size_t end = line.size();
            while (end > k && is_ws(end - 1))
                --end;
            std::string rest = line.substr(k, end - k);
            fields.push_back(rest);
            k = line.size();
            break;
        }
        std::string field;
        while (k < line.size() && !is_ifs(k))
            field += line[k++];
        fields.push_back(field);
        // One delimiter: surrounding whitespace and at most one other IFS char.
        while (k < line.size() && is_ws(k))
            ++k;
        if (k < line.size() && is_ifs(k) && !is_ws(k)) {
            ++k;
            while (k < line.size() && is_ws(k))
                ++k;
        }
    }
    if (!array.empty()) {
        if (!shared_state) {
            Variable var;
            var.is_array = true;
            for (std::size_t f = 0; f < fields.size(); ++f)
                var.indexed[static_cast<long long>(f)] = fields[f];
            st.vars[array] = std::move(var);
        }
    } else {
        for (std::size_t f = 0; f < names.size(); ++f) {
            if (!Parser::is_name(names[f])) {
                diag("read: `" + names[f] + "': not a valid identifier");
                return 1;
            }
            if (!set_var(names[f], f < fields.size() ? fields[f] : std::string())) return 1;
        }
        if (names.size() == 1 && names[0] == "REPLY" && argv.size() >= 1) {
            // REPLY keeps the line as read, without trimming.
        }
    }
    return found ? 0 : 1;
}

int Interp::builtin_mapfile(std::vector<std::string>& argv) {
    bool strip = false;
    std::string name = "MAPFILE";
    for (std::size_t i = 1; i < argv.size(); ++i) {
        if (argv[i] == "-t") {
            strip = true;
        } else if (argv[i][0] != '-') {
            name = argv[i];
        }
    }
    std::string data;
    char buffer[4096];
    for (;;) {
        std::ptrdiff_t n = fds[0] ? fds[0]->read(buffer) : 0;
        if (n <= 0) break;
        data.append(buffer, static_cast<std::size_t>(n));
        if (!check_string(data.size())) return 1;
    }
    Variable var;
    var.is_array = true;
    std::size_t start = 0;
    long long k = 0;
    while (start < data.size()) {
        std::size_t end = data.find('\n', start);
        std::size_t next = end == std::string::npos ? data.size() : end + 1;
        var.indexed[k++] = data.substr(start, (strip && end != std::string::npos ? end : next) - start);
        start = next;
    }
    if (!shared_state) st.vars[name] = std::move(var);
    return 0;
}

int Interp::builtin_local(std::vector<std::string>& argv) {
    if (st.frames.empty()) {
        diag("local: can only be used in a function");
        return 1;
    }
    return builtin_declare(argv);
}

int Interp::builtin_return(std::vector<std::string>& argv) {
    if (st.frames.empty() && sourcing == 0) {
        diag("return: can only `return' from a function or sourced script");
        return 1;
    }
    long long n = st.last_status;
    if (argv.size() > 1 && !parse_count(argv[1], n)) {
        diag("return: " + argv[1] + ": numeric argument required");
        n = 2;
    }
    int status = static_cast<int>(n & 0xff);
    if (!shared_state) st.last_status = status;
    flow = Flow::Return;
    return status;
}

int Interp::builtin_exit(std::vector<std::string>& argv) {
    long long n = st.last_status;
    if (argv.size() > 2) {
        diag("exit: too many arguments");
        return 1;
    }
    if (argv.size() > 1 && !parse_count(argv[1], n)) {
        diag("exit: " + argv[1] + ": numeric argument required");
        n = 2;
    }
    int status = static_cast<int>(n & 0xff);
    if (!shared_state) st.last_status = status;
    flow = Flow::Exit;
    return status;
}

int Interp::builtin_eval(std::vector<std::string>& argv) {
    std::string text;
    for (std::size_t i = 1; i < argv.size(); ++i) {
        if (i > 1) text += ' ';
        text += argv[i];
    }
    if (subst_depth + 1 > static_cast<int>(run.limits.max_subst_depth)) {
        run.limit_reached("max_subst_depth");
        flow = Flow::Stop;
        return 1;
    }
    ++subst_depth;
    int status = run_text(text, line);
    --subst_depth;
    return status;
}

int Interp::builtin_source(std::vector<std::string>& argv) {
    if (argv.size() < 2) {
        diag(argv[0] + ": filename argument required");
        return 2;
    }
    std::string path = absolute(argv[1]);
    auto handle = FileSystem::open(run.fs, path, FileHandleType(FileHandleType::READ), Creation::Never);
    if (!handle) {
        diag(argv[1] + ": " + std::string(errno_text(handle.error())));
        return 1;
    }
    std::string text;
    char buffer[65536];
    for (;;) {
        auto got = handle->read(std::span(reinterpret_cast<std::uint8_t*>(buffer), sizeof buffer));
        if (!got || *got == 0) break;
        text.append(buffer, *got);
        if (text.size() > run.limits.max_script_bytes) {
            run.limit_reached("max_script_bytes");
            flow = Flow::Stop;
            return 1;
        }
    }
    (void)handle->close();
    if (call_depth + 1 > static_cast<int>(run.limits.max_call_depth)) {
        run.limit_reached("max_call_depth");
        flow = Flow::Stop;
        return 1;
    }
    std::vector<std::string> saved;
    bool with_args = argv.size() > 2;
    if (with_args) {
        saved = st.positional;
        st.positional.assign(argv.begin() + 2, argv.end());
    }
    ++sourcing;
    ++call_depth;
    int status = run_text(text, 1);
    --call_depth;
    --sourcing;
    if (flow == Flow::Return) {
        flow = Flow::Normal;
        status = st.last_status;
    }
    if (with_args) st.positional = std::move(saved);
    return status;
}

int Interp::builtin_type(std::vector<std::string>& argv) {
    bool terse = false, path_only = false;
    int status = 0;
    std::string out;
    for (std::size_t i = 1; i < argv.size(); ++i) {
        const std::string& name = argv[i];
        if (name == "-t") {
            terse = true;
            continue;
        }
        if (name == "-P" || name == "-p") {
            path_only = true;
            continue;
        }
        if (name == "-a") continue;
        if (!path_only && std::find(std::begin(kKeywords), std::end(kKeywords), name) != std::end(kKeywords)) {
            out += terse ? "keyword\n" : name + " is a shell keyword\n";
        } else if (!path_only && st.functions.count(name) != 0) {
            out += terse ? "function\n" : name + " is a function\n";
        } else if (!path_only && find_builtin(name) != nullptr) {
            out += terse ? "builtin\n" : name + " is a shell builtin\n";
        } else if (find_command(name) != nullptr) {
            out += terse ? "file\n" : (path_only ? "/usr/bin/" + name + "\n" : name + " is /usr/bin/" + name + "\n");
        } else {
            if (!terse && !path_only) diag("type: " + name + ": not found");
            status = 1;
        }
    }
    write_out(1, out);
    return status;
}

int Interp::builtin_command(std::vector<std::string>& argv) {
    std::size_t i = 1;
    bool describe_only = false, verbose = false;
    for (; i < argv.size() && argv[i].size() > 1 && argv[i][0] == '-'; ++i) {
        if (argv[i] == "--") {
            ++i;
            break;
        }
        for (char c : argv[i].substr(1)) {
            if (c == 'v') describe_only = true;
            if (c == 'V') verbose = true;
        }
    }
    if (i >= argv.size()) return 0;
    if (describe_only || verbose) {
        int status = 0;
        std::string out;
        for (; i < argv.size(); ++i) {
            const std::string& name = argv[i];
            bool keyword = std::find(std::begin(kKeywords), std::end(kKeywords), name) != std::end(kKeywords);
            if (st.functions.count(name) != 0 || find_builtin(name) != nullptr || keyword) {
                out += verbose ? name + (keyword ? " is a shell keyword\n" : st.functions.count(name) ? " is a function\n" : " is a shell builtin\n")
                               : name + "\n";
            } else if (find_command(name) != nullptr) {
                out += verbose ? name + " is /usr/bin/" + name + "\n" : "/usr/bin/" + name + "\n";
            } else {
                if (verbose) diag("command: " + name + ": not found");
                status = 1;
            }
        }
        write_out(1, out);
        return status;
    }
    std::vector<std::string> rest(argv.begin() + static_cast<std::ptrdiff_t>(i), argv.end());
    if (Builtin builtin = find_builtin(rest[0])) return (this->*builtin)(rest);
    // Functions are skipped: run the builtin or utility of that name.
    auto function = st.functions.find(rest[0]);
    if (function != st.functions.end()) {
        NodePtr hidden = function->second;
        st.functions.erase(function);
        int status = run_command(rest, nullptr);
        st.functions[rest[0]] = hidden;
        return status;
    }
    return run_command(rest, nullptr);
}

int Interp::builtin_builtin(std::vector<std::string>& argv) {
    if (argv.size() < 2) return 0;
    std::vector<std::string> rest(argv.begin() + 1, argv.end());
    Builtin builtin = find_builtin(rest[0]);
    if (builtin == nullptr) {
        diag("builtin: " + rest[0] + ": not a shell builtin");
        return 1;
    }
    return (this->*builtin)(rest);
}

int Interp::builtin_declare(std::vector<std::string>& argv) {
    bool is_local = argv[0] == "local" || (!st.frames.empty() && argv[0] != "readonly");
    bool array = false, assoc = false, integer = false, readonly = argv[0] == "readonly",
         exported = false, print = false, functions = false, global = false, unexport = false;
    std::size_t i = 1;
    for (; i < argv.size(); ++i) {
        const std::string& a = argv[i];
        if (a == "--") {
            ++i;
            break;
        }
        if (a.size() < 2 || (a[0] != '-' && a[0] != '+')) break;
        bool on = a[0] == '-';
        for (char c : a.substr(1)) {
            switch (c) {
                case 'a': array = on; break;
                case 'A': assoc = on; break;
                case 'i': integer = on; break;
                case 'r': readonly = on; break;
                case 'x': exported = on; unexport = !on; break;
                case 'p': print = true; break;
                case 'f':
                case 'F': functions = true; break;
                case 'g': global = true; break;
                case 'l':
                case 'u':
                case 'n':
                case 't': break;
                default:
                    diag(argv[0] + ": -" + std::string(1, c) + ": invalid option");
                    return 2;
            }
        }
    }
    if (global) is_local = false;
    if (functions) {
        int status = 0;
        std::string out;
        if (i >= argv.size()) {
            std::vector<std::string> names;
            for (const auto& kv : st.functions)
                names.push_back(kv.first);
            std::sort(names.begin(), names.end());
            for (const std::string& n : names)
                out += "declare -f " + n + "\n";
        }
        for (; i < argv.size(); ++i) {
            if (st.functions.count(argv[i]) != 0) {
                out += argv[i] + "\n";
            } else {
                status = 1;
            }
        }
        write_out(1, out);
        return status;
    }
    if (i >= argv.size() && (print || argv[0] != "local")) {
        std::vector<std::string> names;
        for (const auto& [name, var] : st.vars) {
            if (readonly && !var.readonly) continue;
            if (exported && !var.exported) continue;
            names.push_back(name);
        }
        std::sort(names.begin(), names.end());
        std::string out;
        for (const std::string& name : names)
            out += describe(name, st.vars[name]) + "\n";
        write_out(1, out);
        return 0;
    }
    int status = 0;
    std::string out;
    for (; i < argv.size(); ++i) {
        const std::string& a = argv[i];
        std::size_t eq = Parser::assignment_prefix(a);
        std::string name = eq > 0 ? a.substr(0, eq - 1) : a;
        if (!name.empty() && name.back() == '+') name.pop_back();
        std::string base = name.substr(0, name.find('['));
        if (!Parser::is_name(base)) {
            diag(argv[0] + ": `" + a + "': not a valid identifier");
            status = 1;
            continue;
        }
        if (print) {
            const Variable* var = find_var(name);
            if (var == nullptr) {
                diag(argv[0] + ": " + name + ": not found");
                status = 1;
            } else {
                out += describe(name, *var) + "\n";
            }
            continue;
        }
        if (shared_state) continue;
        Variable* var = nullptr;
        if (is_local) {
            bool fresh = true;
            for (const auto& saved : st.frames.back()) {
                if (saved.first == base) fresh = false;
            }
            var = fresh ? make_local(base) : &st.vars[base];
        } else {
            auto it = st.vars.find(base);
            if (it == st.vars.end()) {
                Variable v;
                v.has_value = false;
                it = st.vars.emplace(base, std::move(v)).first;
            }
            var = &it->second;
        }
        if (var->readonly && (eq > 0 || !readonly)) {
            diag(base + ": readonly variable");
            status = 1;
            continue;
        }
        if (assoc && !var->is_assoc) {
            var->is_assoc = true;
            var->is_array = false;
            var->has_value = true;
        } else if (array && !var->is_array && !var->is_assoc) {
            var->is_array = true;
            if (var->has_value && eq == 0) var->indexed[0] = var->value;
            var->value.clear();
            var->has_value = true;
        }
        if (integer) var->integer = true;
        if (exported) var->exported = true;
        if (unexport) var->exported = false;
        if (eq > 0) {
            bool from_source = i < declaration_sources_.size() && !declaration_sources_[i].empty();
            if (!(from_source ? assign(declaration_sources_[i]) : assign(a, false, false, true))) {
                status = 1;
                continue;
            }
        }
        if (readonly) st.vars[base].readonly = true;
    }
    write_out(1, out);
    return status;
}

int Interp::builtin_readonly(std::vector<std::string>& argv) { return builtin_declare(argv); }

namespace {
std::string alias_line(const std::string& name, const std::string& value) {
    std::string out = "alias " + name + "='";
    for (char c : value) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out += c;
        }
    }
    return out + "'\n";
}
}  // namespace

int Interp::builtin_alias(std::vector<std::string>& argv) {
    std::size_t i = 1;
    if (i < argv.size() && argv[i] == "-p") ++i;
    if (i < argv.size() && argv[i] == "--") ++i;
    std::string out;
    int status = 0;
    if (i >= argv.size()) {
        for (const auto& [name, value] : st.aliases)
            out += alias_line(name, value);
    }
    for (; i < argv.size(); ++i) {
        std::size_t eq = argv[i].find('=');
        if (eq == std::string::npos) {
            auto found = st.aliases.find(argv[i]);
            if (found == st.aliases.end()) {
                diag("alias: " + argv[i] + ": not found");
                status = 1;
            } else {
                out += alias_line(found->first, found->second);
            }
            continue;
        }
        if (!shared_state) st.aliases[argv[i].substr(0, eq)] = argv[i].substr(eq + 1);
    }
    write_out(1, out);
    return status;
}

int Interp::builtin_unalias(std::vector<std::string>& argv) {
    int status = 0;
    std::size_t i = 1;
    if (i < argv.size() && argv[i] == "-a") {
        if (!shared_state) st.aliases.clear();
        return 0;
    }
    if (i < argv.size() && argv[i] == "--") ++i;
    for (; i < argv.size(); ++i) {
        if (st.aliases.count(argv[i]) == 0) {
            diag("unalias: " + argv[i] + ": not found");
            status = 1;
        } else if (!shared_state) {
            st.aliases.erase(argv[i]);
        }
    }
    return status;
}

int Interp::builtin_getopts(std::vector<std::string>& argv) {
    if (argv.size() < 3) {
        diag("getopts: usage: getopts optstring name [arg ...]");
        return 2;
    }
    const std::string optstring = argv[1];
    const std::string name = argv[2];
    std::vector<std::string> args = argv.size() > 3
                                        ? std::vector<std::string>(argv.begin() + 3, argv.end())
                                        : st.positional;
    bool silent = !optstring.empty() && optstring[0] == ':';
    long long optind = 1;
    if (auto value = get_scalar("OPTIND")) {
        if (!parse_count(*value, optind) || optind < 1) optind = 1;
    }
    if (optind == 1 && st.getopts_char > 0 && last_optind_ != 1) st.getopts_char = 0;
    auto finish = [&](std::string opt) {
        set_var(name, std::move(opt));
        set_var("OPTIND", std::to_string(optind));
        last_optind_ = optind;
    };
    if (static_cast<std::size_t>(optind) > args.size()) {
        st.getopts_char = 0;
        finish("?");
        return 1;
    }
    const std::string& arg = args[static_cast<std::size_t>(optind - 1)];
    if (st.getopts_char == 0) {
        if (arg.size() < 2 || arg[0] != '-') {
            finish("?");
            return 1;
        }
        if (arg == "--") {
            ++optind;
            finish("?");
            return 1;
        }
        st.getopts_char = 1;
    }
    char c = arg[static_cast<std::size_t>(st.getopts_char)];
    ++st.getopts_char;
    bool at_end = static_cast<std::size_t>(st.getopts_char) >= arg.size();
    std::size_t where = optstring.find(c);
    if (where == std::string::npos || c == ':') {
        if (at_end) {
            ++optind;
            st.getopts_char = 0;
        }
        if (silent) {
            set_var("OPTARG", std::string(1, c));
        } else {
            diag(std::string("illegal option -- ") + c);
            unset_var("OPTARG");
        }
        finish("?");
        return 0;
    }
    if (where + 1 < optstring.size() && optstring[where + 1] == ':') {
        if (!at_end) {
            set_var("OPTARG", arg.substr(static_cast<std::size_t>(st.getopts_char)));
            ++optind;
        } else if (static_cast<std::size_t>(optind) < args.size()) {
            set_var("OPTARG", args[static_cast<std::size_t>(optind)]);
            optind += 2;
        } else {
            ++optind;
            st.getopts_char = 0;
            if (silent) {
                set_var("OPTARG", std::string(1, c));
                finish(":");
            } else {
                diag(std::string("option requires an argument -- ") + c);
                unset_var("OPTARG");
                finish("?");
            }
            return 0;
        }
        st.getopts_char = 0;
        finish(std::string(1, c));
        return 0;
    }
    if (at_end) {
        ++optind;
        st.getopts_char = 0;
    }
    finish(std::string(1, c));
    return 0;
}

int Interp::builtin_let(std::vector<std::string>& argv) {
    if (argv.size() < 2) {
        diag("let: expression expected");
        return 1;
    }
    long long value = 0;
    for (std::size_t i = 1; i < argv.size(); ++i) {
        if (!arith_eval(argv[i], value)) return 1;
    }
    return value == 0 ? 1 : 0;
}

int Interp::builtin_shopt(std::vector<std::string>& argv) {
    Options& o = st.options;
    std::array<std::pair<std::string_view, bool*>, 8> table{{
        {"dotglob", &o.dotglob},
        {"expand_aliases", &o.expand_aliases},
        {"extglob", &o.extglob},
        {"failglob", &o.failglob},
        {"globstar", &o.globstar},
        {"nocaseglob", &o.nocaseglob},
        {"nocasematch", &o.nocasematch},
        {"nullglob", &o.nullglob},
    }};
    int mode = 0;  // 1 set, -1 unset
    bool quiet = false, use_o = false;
    std::size_t i = 1;
    for (; i < argv.size() && argv[i].size() > 1 && argv[i][0] == '-'; ++i) {
        for (char c : argv[i].substr(1)) {
            if (c == 's') mode = 1;
            else if (c == 'u') mode = -1;
            else if (c == 'q') quiet = true;
            else if (c == 'o') use_o = true;
        }
    }
    if (use_o) {
        std::vector<std::string> rest(argv.begin() + static_cast<std::ptrdiff_t>(i), argv.end());
        std::vector<std::string> args{"set"};
        for (const std::string& name : rest) {
            args.push_back(mode >= 0 ? "-o" : "+o");
            args.push_back(name);
        }
        return builtin_set(args);
    }
    std::string out;
    int status = 0;
    auto show = [&](std::string_view name, bool value) {
        std::string n(name);
        n.resize(std::max<std::size_t>(15, n.size()), ' ');
        out += n + "\t" + (value ? "on" : "off") + "\n";
    };
    if (i >= argv.size()) {
        for (auto& [name, flag] : table) {
            if (mode == 0 || (mode == 1) == *flag) show(name, *flag);
        }
    }
    for (; i < argv.size(); ++i) {
        auto it = std::find_if(table.begin(), table.end(),
                               [&](const auto& e) { return e.first == argv[i]; });
        if (it == table.end()) {
            if (argv[i] == "lastpipe" || argv[i] == "inherit_errexit" || argv[i] == "xpg_echo" || argv[i] == "patsub_replacement") {
                if (mode == 0 && !quiet) show(argv[i], false);
                continue;
            }
            diag("shopt: " + argv[i] + ": invalid shell option name");
            status = 1;
            continue;
        }
        if (mode == 0) {
            if (!quiet) show(it->first, *it->second);
            if (!*it->second) status = 1;
        } else if (!shared_state) {
            *it->second = mode == 1;
        }
    }
    write_out(1, out);
    return status;
}

int Interp::builtin_break(std::vector<std::string>& argv) {
    long long n = 1;
    if (argv.size() > 1 && (!parse_count(argv[1], n) || n < 1)) {
        diag(argv[0] + ": " + argv[1] + ": loop count out of range");
        return 1;
    }
    if (loop_depth == 0) {
        diag(argv[0] + ": only meaningful in a `for', `while', or `until' loop");
        return 0;
    }
    flow = argv[0] == "break" ? Flow::Break : Flow::Continue;
    flow_levels = static_cast<int>(std::min<long long>(n, loop_depth));
    return 0;
}

int Interp::builtin_continue(std::vector<std::string>& argv) { return builtin_break(argv); }

}  // namespace halvorn::agentsh
