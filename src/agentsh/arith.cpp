// Shell arithmetic: 64-bit integers with C's operators, variables by name
// (their values are expressions themselves), bases (0x, 0, N#). A branch
// not taken (&&, ||, ?:) is parsed but changes nothing.
#include <cctype>
#include <string>

#include "agentsh/interp.hpp"

namespace halvorn::agentsh {

namespace {

class Arith {
public:
    Arith(Interp& in, std::string_view text, int depth) : in_(in), s_(text), depth_(depth) {}

    bool run(long long& value) {
        skip_space();
        if (pos_ >= s_.size()) {
            value = 0;
            return true;
        }
        if (!comma(value)) return false;
        skip_space();
        if (pos_ < s_.size()) return fail("syntax error in expression");
        return true;
    }
    std::string error;

private:
    struct LValue {
        std::string name;
        std::string index;
        bool has_index = false;
    };

    bool fail(const std::string& message) {
        if (error.empty()) {
            error = message + " (error token is \"" + std::string(s_.substr(std::min(pos_, s_.size()))) + "\")";
        }
        return false;
    }
    void skip_space() {
        while (pos_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[pos_])))
            ++pos_;
    }
    bool take(std::string_view op) {
        skip_space();
        if (s_.substr(pos_).starts_with(op)) {
            pos_ += op.size();
            return true;
        }
        return false;
    }
    bool peek_is(std::string_view op) {
        skip_space();
        return s_.substr(pos_).starts_with(op);
    }

    bool comma(long long& v) {
        if (!assignment(v)) return false;
        while (take(",")) {
            if (!assignment(v)) return false;
        }
        return true;
    }

    bool read_var(const LValue& lv, long long& v) {
        std::optional<std::string> text;
        if (lv.has_index) {
            const Variable* var = in_.find_var(lv.name);
            if (var != nullptr) {
                if (var->is_assoc) {
                    auto it = var->assoc.find(lv.index);
                    if (it != var->assoc.end()) text = it->second;
                } else {
                    long long k = 0;
                    Arith sub(in_, lv.index, depth_ + 1);
                    if (!sub.run(k)) {
                        error = sub.error;
                        return false;
                    }
                    if (var->is_array) {
                        if (k < 0 && !var->indexed.empty()) k += var->indexed.rbegin()->first + 1;
                        auto it = var->indexed.find(k);
                        if (it != var->indexed.end()) text = it->second;
                    } else if (k == 0) {
                        text = var->value;
                    }
                }
            }
        } else {
            text = in_.get_scalar(lv.name);
        }
        if (!text || text->empty()) {
            if (!text && in_.st.options.nounset && skip_ == 0) {
                in_.diag(lv.name + ": unbound variable");
                in_.flow = Flow::Exit;
                return false;
            }
            v = 0;
            return true;
        }
        if (depth_ > 64) return fail("expression recursion level exceeded");
        Arith sub(in_, *text, depth_ + 1);
        if (!sub.run(v)) {
            error = sub.error;
            return false;
        }
        return true;
    }

    bool write_var(const LValue& lv, long long v) {
        if (skip_ > 0) return true;
        bool ok = lv.has_index ? in_.set_element(lv.name, lv.index, std::to_string(v))
                               : in_.set_var(lv.name, std::to_string(v));
        if (!ok) error = "assignment failed";
        return ok;
    }

    // A name (with an optional [index]) at the current position.
    bool lvalue(LValue& lv) {
        skip_space();
        std::size_t start = pos_;
        while (pos_ < s_.size() &&
               (std::isalnum(static_cast<unsigned char>(s_[pos_])) || s_[pos_] == '_'))
            ++pos_;
        if (pos_ == start || std::isdigit(static_cast<unsigned char>(s_[start]))) {
            pos_ = start;
            return false;
        }
        lv.name = std::string(s_.substr(start, pos_ - start));
        if (pos_ < s_.size() && s_[pos_] == '[') {
            int depth = 0;
            std::size_t open = pos_;
            for (; pos_ < s_.size(); ++pos_) {
                if (s_[pos_] == '[') ++depth;
                if (s_[pos_] == ']' && --depth == 0) break;
            }
            if (pos_ >= s_.size()) return fail("bad array subscript");
            lv.index = std::string(s_.substr(open + 1, pos_ - open - 1));
            lv.has_index = true;
            ++pos_;
        }
        return true;
    }

    bool assignment(long long& v) {
        skip_space();
        std::size_t start = pos_;
        LValue lv;
        if (lvalue(lv)) {
            skip_space();
            static constexpr std::string_view kOps[] = {"<<=", ">>=", "*=", "/=", "%=", "+=",
                                                        "-=",  "&=",  "^=", "|=", "="};
            for (std::string_view op : kOps) {
                if (!s_.substr(pos_).starts_with(op)) continue;
                if (op == "=" && s_.substr(pos_).starts_with("==")) break;
                pos_ += op.size();
                long long rhs = 0;
                if (!assignment(rhs)) return false;
                long long old = 0;
                if (op != "=" && !read_var(lv, old)) return false;
                if (!binary(op.substr(0, op.size() - 1), old, rhs, v)) return false;
                if (op == "=") v = rhs;
                return write_var(lv, v);
            }
        }
        pos_ = start;
        return ternary(v);
    }

    bool ternary(long long& v) {
        if (!logical_or(v)) return false;
        if (!take("?")) return true;
        long long a = 0, b = 0;
        bool cond = v != 0;
        if (!cond) ++skip_;
        bool ok = assignment(a);
        if (!cond) --skip_;
        if (!ok) return false;
        if (!take(":")) return fail("`:' expected for conditional expression");
        if (cond) ++skip_;
        ok = assignment(b);
        if (cond) --skip_;
        if (!ok) return false;
        v = cond ? a : b;
        return true;
    }

    bool logical_or(long long& v) {
        if (!logical_and(v)) return false;
        while (peek_is("||")) {
            pos_ += 2;
            long long r = 0;
            bool done = v != 0;
            if (done) ++skip_;
            bool ok = logical_and(r);
            if (done) --skip_;
            if (!ok) return false;
            v = (done || r != 0) ? 1 : 0;
        }
        return true;
    }

    bool logical_and(long long& v) {
        if (!bit_or(v)) return false;
        while (peek_is("&&")) {
            pos_ += 2;
            long long r = 0;
            bool done = v == 0;
            if (done) ++skip_;
            bool ok = bit_or(r);
            if (done) --skip_;
            if (!ok) return false;
            v = (!done && r != 0) ? 1 : 0;
        }
        return true;
    }

    bool binary(std::string_view op, long long a, long long b, long long& v) {
        auto ua = static_cast<unsigned long long>(a), ub = static_cast<unsigned long long>(b);
        if (op == "+") v = static_cast<long long>(ua + ub);
        else if (op == "-") v = static_cast<long long>(ua - ub);
        else if (op == "*") v = static_cast<long long>(ua * ub);
        else if (op == "/" || op == "%") {
            if (b == 0) {
                if (skip_ > 0) {
                    v = 0;
                    return true;
                }
                return fail("division by 0");
            }
            if (a == INT64_MIN && b == -1) {
                v = op == "/" ? a : 0;
            } else {
                v = op == "/" ? a / b : a % b;
            }
        } else if (op == "<<") v = static_cast<long long>(ua << (ub & 63));
        else if (op == ">>") v = a >> (ub & 63);
        else if (op == "&") v = a & b;
        else if (op == "|") v = a | b;
        else if (op == "^") v = a ^ b;
        else if (op == "**") {
            if (b < 0) return fail("exponent less than 0");
            unsigned long long r = 1;
            for (long long k = 0; k < b && k < 64; ++k)
                r *= ua;
            if (b >= 64 && ua != 1 && ua != 0 && a != -1) r = 0;
            if (a == -1) r = static_cast<unsigned long long>((b % 2) ? -1LL : 1LL);
            v = static_cast<long long>(r);
        }
        return true;
    }

    // One level of left-associative binary operators.
    template <class Next>
    bool level(long long& v, std::initializer_list<std::string_view> ops, Next next,
               std::initializer_list<std::string_view> not_followed = {}) {
        if (!(this->*next)(v)) return false;
        for (;;) {
            skip_space();
            std::string_view found;
            for (std::string_view op : ops) {
                if (!s_.substr(pos_).starts_with(op)) continue;
                bool blocked = false;
                for (std::string_view longer : not_followed) {
                    if (s_.substr(pos_).starts_with(longer)) blocked = true;
                }
                if (!blocked) {
                    found = op;
                    break;
                }
            }
            if (found.empty()) return true;
            pos_ += found.size();
            long long r = 0;
            if (!(this->*next)(r)) return false;
            if (found == "==") v = v == r;
            else if (found == "!=") v = v != r;
            else if (found == "<=") v = v <= r;
            else if (found == ">=") v = v >= r;
            else if (found == "<") v = v < r;
            else if (found == ">") v = v > r;
            else if (!binary(found, v, r, v)) return false;
        }
    }

    bool bit_or(long long& v) { return level(v, {"|"}, &Arith::bit_xor, {"||", "|="}); }
    bool bit_xor(long long& v) { return level(v, {"^"}, &Arith::bit_and, {"^="}); }
    bool bit_and(long long& v) { return level(v, {"&"}, &Arith::equality, {"&&", "&="}); }
    bool equality(long long& v) { return level(v, {"==", "!="}, &Arith::relational); }
    bool relational(long long& v) {
        return level(v, {"<=", ">=", "<", ">"}, &Arith::shift, {"<<", ">>"});
    }
    bool shift(long long& v) { return level(v, {"<<", ">>"}, &Arith::additive, {"<<=", ">>="}); }
    bool additive(long long& v) {
        return level(v, {"+", "-"}, &Arith::multiplicative, {"++", "--", "+=", "-="});
    }
    bool multiplicative(long long& v) {
        return level(v, {"*", "/", "%"}, &Arith::power, {"**", "*=", "/=", "%="});
    }
    bool power(long long& v) {
        if (!unary(v)) return false;
        if (take("**")) {
            long long r = 0;
            if (!power(r)) return false;
            return binary("**", v, r, v);
        }
        return true;
    }

    bool unary(long long& v) {
        skip_space();
        if (take("++") || take("--")) {
            bool inc = s_[pos_ - 1] == '+';
            LValue lv;
            if (!lvalue(lv)) return fail("syntax error: operand expected");
            if (!read_var(lv, v)) return false;
            v += inc ? 1 : -1;
            return write_var(lv, v);
        }
        if (take("!")) {
            if (!unary(v)) return false;
            v = v == 0;
            return true;
        }
        if (take("~")) {
            if (!unary(v)) return false;
            v = ~v;
            return true;
        }
        if (take("-")) {
            if (!unary(v)) return false;
            v = static_cast<long long>(0ULL - static_cast<unsigned long long>(v));
            return true;
        }
        if (take("+")) return unary(v);
        return postfix(v);
    }

    bool postfix(long long& v) {
        skip_space();
        if (take("(")) {
            if (!comma(v)) return false;
            if (!take(")")) return fail("missing `)'");
            return true;
        }
        if (pos_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[pos_]))) return number(v);
        LValue lv;
        if (!lvalue(lv)) {
            if (pos_ >= s_.size()) return fail("syntax error: operand expected");
            return fail("syntax error: operand expected");
        }
        if (!read_var(lv, v)) return false;
        skip_space();
        if (s_.substr(pos_).starts_with("++") || s_.substr(pos_).starts_with("--")) {
            bool inc = s_[pos_] == '+';
            pos_ += 2;
            return write_var(lv, v + (inc ? 1 : -1));
        }
        return true;
    }

    bool number(long long& v) {
        std::size_t start = pos_;
        while (pos_ < s_.size() && (std::isalnum(static_cast<unsigned char>(s_[pos_])) ||
                                    s_[pos_] == '#' || s_[pos_] == '_' || s_[pos_] == '@'))
            ++pos_;
        std::string_view text = s_.substr(start, pos_ - start);
        int base = 10;
        std::string_view digits = text;
        std::size_t hash = text.find('#');
        if (hash != std::string_view::npos) {
            base = 0;
            for (char c : text.substr(0, hash)) {
                if (!std::isdigit(static_cast<unsigned char>(c))) return fail("invalid number");
                base = base * 10 + (c - '0');
                if (base > 64) return fail("invalid arithmetic base");
            }
            if (base < 2) return fail("invalid arithmetic base");
            digits = text.substr(hash + 1);
        } else if (text.size() > 1 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
            base = 16;
            digits = text.substr(2);
        } else if (text.size() > 1 && text[0] == '0') {
            base = 8;
            digits = text.substr(1);
        }
        unsigned long long r = 0;
        if (digits.empty()) return fail("invalid number");
        for (char c : digits) {
            int d;
            if (std::isdigit(static_cast<unsigned char>(c))) d = c - '0';
            else if (c >= 'a' && c <= 'z') d = c - 'a' + 10;
            else if (c >= 'A' && c <= 'Z') d = base <= 36 ? c - 'A' + 10 : c - 'A' + 36;
            else if (c == '@') d = 62;
            else d = 63;
            if (d >= base) return fail("value too great for base");
            r = r * static_cast<unsigned long long>(base) + static_cast<unsigned long long>(d);
        }
        v = static_cast<long long>(r);
        return true;
    }

    Interp& in_;
    std::string_view s_;
    std::size_t pos_ = 0;
    int depth_;
    int skip_ = 0;
};

}  // namespace

bool Interp::arith_eval(std::string_view text, long long& value) {
    Arith arith(*this, text, 0);
    if (arith.run(value)) return true;
    if (flow == Flow::Normal && !arith.error.empty()) {
        std::string trimmed(text);
        while (!trimmed.empty() && std::isspace(static_cast<unsigned char>(trimmed.front())))
            trimmed.erase(0, 1);
        diag(trimmed + ": " + arith.error);
    }
    return false;
}

}  // namespace halvorn::agentsh
