// Variables: scalars, indexed and associative arrays, `local` scopes (a
// function call's frame keeps what its locals shadowed) and assignments.
#include <algorithm>

#include "agentsh/interp.hpp"
#include "agentsh/parser.hpp"

namespace halvorn::agentsh {

const Variable* Interp::find_var(std::string_view name) const {
    auto it = st.vars.find(std::string(name));
    return it == st.vars.end() ? nullptr : &it->second;
}

std::optional<std::string> Interp::get_scalar(std::string_view name) const {
    const Variable* var = find_var(name);
    if (var == nullptr || !var->has_value) return std::nullopt;
    if (var->is_array) {
        auto it = var->indexed.find(0);
        if (it == var->indexed.end()) return std::nullopt;
        return it->second;
    }
    if (var->is_assoc) {
        auto it = var->assoc.find("0");
        if (it == var->assoc.end()) return std::nullopt;
        return it->second;
    }
    return var->value;
}

bool Interp::set_var(const std::string& name, std::string value, bool append) {
    if (shared_state) return true;
    Variable& var = st.vars[name];
    if (var.readonly) {
        diag(name + ": readonly variable");
        return false;
    }
    if (var.integer) {
        long long v = 0;
        if (!arith_eval(value, v)) return false;
        if (append) {
            long long old = 0;
            arith_eval(var.value.empty() ? "0" : var.value, old);
            v += old;
            append = false;
        }
        value = std::to_string(v);
    }
    if (var.is_array || var.is_assoc) return set_element(name, "0", std::move(value), append);
    if (append) {
        if (!check_string(var.value.size() + value.size())) return false;
        var.value += value;
    } else {
        if (!check_string(value.size())) return false;
        var.value = std::move(value);
    }
    var.has_value = true;
    if (st.options.allexport) var.exported = true;
    return true;
}

bool Interp::set_element(const std::string& name, std::string_view index, std::string value,
                         bool append) {
    if (shared_state) return true;
    auto existing = st.vars.find(name);
    bool had_value = existing != st.vars.end() && existing->second.has_value;
    Variable& var = st.vars[name];
    if (var.readonly) {
        diag(name + ": readonly variable");
        return false;
    }
    if (!check_string(value.size())) return false;
    var.has_value = true;
    if (var.is_assoc) {
        std::string key;
        if (!expand_single(index, key)) return false;
        std::string& slot = var.assoc[key];
        slot = append ? slot + value : std::move(value);
        return true;
    }
    long long k = 0;
    if (!arith_text(index, k)) return false;
    if (!var.is_array) {
        var.is_array = true;
        if (had_value) var.indexed[0] = std::move(var.value);
        var.value.clear();
    }
    if (k < 0) {
        if (var.indexed.empty()) {
            diag(name + "[" + std::string(index) + "]: bad array subscript");
            return false;
        }
        k += var.indexed.rbegin()->first + 1;
    }
    std::string& slot = var.indexed[k];
    slot = append ? slot + value : std::move(value);
    return true;
}

namespace {

// The words of an array's value `( ... )`, as source text.
std::vector<std::string> array_words(std::string_view text) {
    std::vector<std::string> words;
    std::string current;
    bool has = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == ' ' || c == '\t' || c == '\n') {
            if (has) words.push_back(std::move(current));
            current.clear();
            has = false;
            continue;
        }
        has = true;
        if (c == '\\' && i + 1 < text.size()) {
            current += c;
            current += text[++i];
            continue;
        }
        if (c == '\'' || c == '"') {
            std::size_t end = i + 1;
            while (end < text.size() && text[end] != c) {
                if (c == '"' && text[end] == '\\') ++end;
                ++end;
            }
            current.append(text.substr(i, end + 1 - i));
            i = end;
            continue;
        }
        if (c == '$' && i + 1 < text.size() && (text[i + 1] == '(' || text[i + 1] == '{')) {
            char open = text[i + 1], close = open == '(' ? ')' : '}';
            int depth = 0;
            std::size_t k = i + 1;
            for (; k < text.size(); ++k) {
                if (text[k] == open) ++depth;
                if (text[k] == close && --depth == 0) break;
            }
            current.append(text.substr(i, k + 1 - i));
            i = k;
            continue;
        }
        current += c;
    }
    if (has) words.push_back(std::move(current));
    return words;
}

}  // namespace

bool Interp::assign(std::string_view word, bool local_scope, bool export_it, bool literal) {
    std::size_t eq = Parser::assignment_prefix(word);
    std::string_view lhs = word.substr(0, eq - 1);
    bool append = !lhs.empty() && lhs.back() == '+';
    if (append) lhs.remove_suffix(1);
    std::string_view value_text = word.substr(eq);
    std::string name(lhs);
    std::string index;
    bool has_index = false;
    std::size_t bracket = name.find('[');
    if (bracket != std::string::npos) {
        index = name.substr(bracket + 1, name.size() - bracket - 2);
        name.resize(bracket);
        has_index = true;
    }
    if (local_scope) make_local(name);
    if (!literal && !has_index && value_text.size() >= 2 && value_text.front() == '(' &&
        value_text.back() == ')') {
        Variable* existing = nullptr;
        if (auto it = st.vars.find(name); it != st.vars.end()) existing = &it->second;
        if (existing != nullptr && existing->readonly) {
            diag(name + ": readonly variable");
            return false;
        }
        bool assoc = existing != nullptr && existing->is_assoc;
        std::vector<std::string> words = array_words(value_text.substr(1, value_text.size() - 2));
        Variable fresh;
        if (existing != nullptr) {
            fresh.exported = existing->exported;
            if (append) fresh = *existing;
        }
        fresh.is_assoc = assoc;
        fresh.is_array = !assoc;
        if (!append) {
            fresh.indexed.clear();
            fresh.assoc.clear();
        }
        fresh.value.clear();
        fresh.has_value = true;
        long long next = fresh.indexed.empty() ? 0 : fresh.indexed.rbegin()->first + 1;
        for (const std::string& w : words) {
            std::size_t keyed = Parser::assignment_prefix(std::string("x") + w);
            if (!w.empty() && w[0] == '[' && keyed > 0) {
                std::size_t close = w.find("]=");
                std::string key, value;
                if (!expand_single(w.substr(1, close - 1), key) ||
                    !expand_single(w.substr(close + 2), value))
                    return false;
                if (assoc) {
                    fresh.assoc[key] = value;
                } else {
                    long long k = 0;
                    if (!arith_eval(key, k)) return false;
                    fresh.indexed[k] = value;
                    next = k + 1;
                }
                continue;
            }
            std::vector<std::string> fields;
            if (!expand_words({w}, fields)) return false;
            for (std::string& f : fields) {
                if (assoc) {
                    diag(name + ": " + f + ": must use subscript when assigning associative array");
                    continue;
                }
                fresh.indexed[next++] = std::move(f);
            }
        }
        if (shared_state) return true;
        if (export_it) fresh.exported = true;
        st.vars[name] = std::move(fresh);
        return true;
    }
    std::string value;
    if (literal) {
        value.assign(value_text);
    } else if (!expand_single(value_text, value)) {
        return false;
    }
    bool ok = has_index ? set_element(name, index, std::move(value), append)
                        : set_var(name, std::move(value), append);
    if (ok && export_it && !shared_state) st.vars[name].exported = true;
    return ok;
}

void Interp::unset_var(const std::string& name) {
    if (shared_state) return;
    st.vars.erase(name);
}

Variable* Interp::make_local(const std::string& name) {
    if (st.frames.empty() || shared_state) return nullptr;
    auto& frame = st.frames.back();
    bool already = std::any_of(frame.begin(), frame.end(),
                               [&](const auto& saved) { return saved.first == name; });
    auto it = st.vars.find(name);
    if (!already) {
        frame.emplace_back(name, it == st.vars.end() ? std::nullopt
                                                     : std::optional<Variable>(it->second));
    }
    Variable& var = st.vars[name];
    if (!already) {
        bool exported = var.exported;
        var = Variable();
        var.exported = exported;
        var.has_value = false;
    }
    return &var;
}

std::vector<std::string> Interp::environment() const {
    std::vector<std::string> env;
    for (const auto& [name, var] : st.vars) {
        if (var.exported && var.has_value && !var.is_array && !var.is_assoc)
            env.push_back(name + "=" + var.value);
    }
    std::sort(env.begin(), env.end());
    return env;
}

}  // namespace halvorn::agentsh
