// find: walks the tree from each starting point (entries in name order)
// and evaluates an expression of tests and actions, with -exec running the
// shell's own commands. Its options are read as GNU find reads them: the
// starting points first, then the expression, with -a implied between
// terms and -print implied when no action is given.
#include <fnmatch.h>

#include <memory>

#include "agentsh/commands/registry.hpp"
#include "agentsh/commands/support/io.hpp"
#include "agentsh/commands/support/tree_walk.hpp"

namespace halvorn::agentsh::cmd {
namespace {

struct Node;
using NodePtr = std::unique_ptr<Node>;

struct Visit {
    std::string shown;  // the path as printed
    std::string path;   // absolute
    std::string name;   // the last component
    NodeStatus status;
    int depth;
};

struct Node {
    enum Kind { And, Or, Not, Name, IName, Path, IPath, Type, Newer, Size, Empty, Print, Print0,
                Delete, Exec, Prune, True, False } kind = True;
    NodePtr left, right;
    std::string text;
    char type = 0;
    std::int64_t number = 0;
    int compare = 0;  // -1 less, 0 equal, 1 more
    std::uint64_t unit = 512;
    std::vector<std::string> command;
    bool batch = false;
    std::vector<std::string> batched;
};

NodePtr make(Node::Kind kind) {
    auto node = std::make_unique<Node>();
    node->kind = kind;
    return node;
}

class Find {
public:
    explicit Find(CommandContext& ctx) : ctx_(ctx), out_(*ctx.out) {}

    // Parses the expression in `words`; false after writing the error.
    bool parse(const std::vector<std::string>& words) {
        words_ = words;
        pos_ = 0;
        if (words_.empty()) {
            root_ = make(Node::True);
        } else {
            root_ = parse_or();
            if (!root_) return false;
            if (pos_ < words_.size()) {
                if (words_[pos_] == ")") return fail("find: invalid expression; you have too many ')'");
                return fail("find: paths must precede expression: `" + words_[pos_] + "'");
            }
        }
        if (!has_action_) {
            auto print = make(Node::Print);
            auto both = make(Node::And);
            both->left = std::move(root_);
            both->right = std::move(print);
            root_ = std::move(both);
        }
        return true;
    }

    void walk(const std::string& start) {
        auto st = stat_operand(ctx_, start);
        if (!st) {
            out_.flush();
            report(ctx_, "find", "'" + start + "'", st.error());
            status_ = 1;
            return;
        }
        std::string name = start;
        while (name.size() > 1 && name.back() == '/') name.pop_back();
        std::size_t slash = name.rfind('/');
        if (slash != std::string::npos && name.size() > 1) name = name.substr(slash + 1);
        visit({start, resolve(ctx_, start), name, *st, 0});
    }

    int finish() {
        flush_batches(root_.get());
        out_.flush();
        return status_;
    }

    int mindepth = 0, maxdepth = INT32_MAX;
    bool depth_first = false;

private:
    bool fail(const std::string& text) {
        write_text(*ctx_.err, text + "\n");
        return false;
    }
    bool peek(std::string_view w) const { return pos_ < words_.size() && words_[pos_] == w; }

    NodePtr parse_or() {
        NodePtr left = parse_and();
        if (!left) return nullptr;
        while (peek("-o") || peek("-or")) {
            ++pos_;
            NodePtr right = parse_and();
            if (!right) return nullptr;
            auto node = make(Node::Or);
            node->left = std::move(left);
            node->right = std::move(right);
            left = std::move(node);
        }
        return left;
    }
    NodePtr parse_and() {
        NodePtr left = parse_not();
        if (!left) return nullptr;
        for (;;) {
            if (peek("-a") || peek("-and")) {
                ++pos_;
            } else if (pos_ >= words_.size() || peek("-o") || peek("-or") || peek(")")) {
                break;
            }
            NodePtr right = parse_not();
            if (!right) return nullptr;
            auto node = make(Node::And);
            node->left = std::move(left);
            node->right = std::move(right);
            left = std::move(node);
        }
        return left;
    }
    NodePtr parse_not() {
        if (peek("!") || peek("-not")) {
            ++pos_;
            NodePtr inner = parse_not();
            if (!inner) return nullptr;
            auto node = make(Node::Not);
            node->left = std::move(inner);
            return node;
        }
        if (peek("(")) {
            ++pos_;
            NodePtr inner = parse_or();
            if (!inner) return nullptr;
            if (!peek(")")) {
                fail("find: invalid expression; I was expecting to find a ')' somewhere but did not see one.");
                return nullptr;
            }
            ++pos_;
            return inner;
        }
        return parse_primary();
    }
    bool argument(const std::string& primary, std::string& value) {
        if (pos_ >= words_.size()) return fail("find: missing argument to `" + primary + "'");
        value = words_[pos_++];
        return true;
    }
    NodePtr parse_primary() {
        if (pos_ >= words_.size()) {
            fail("find: invalid expression");
            return nullptr;
        }
        const std::string word = words_[pos_++];
        auto node = make(Node::True);
        std::string value;
        auto with_value = [&](Node::Kind kind) -> NodePtr {
            if (!argument(word, value)) return nullptr;
            node->kind = kind;
            node->text = value;
            return std::move(node);
        };
        if (word == "-name") return with_value(Node::Name);
        if (word == "-iname") return with_value(Node::IName);
        if (word == "-path" || word == "-wholename") return with_value(Node::Path);
        if (word == "-ipath" || word == "-iwholename") return with_value(Node::IPath);
        if (word == "-type") {
            if (!argument(word, value)) return nullptr;
            if (value.size() != 1 || std::string_view("fdlbcpsD").find(value[0]) == std::string_view::npos) {
                fail("find: Unknown argument to -type: " + value);
                return nullptr;
            }
            node->kind = Node::Type;
            node->type = value[0];
            return node;
        }
        if (word == "-maxdepth" || word == "-mindepth") {
            if (!argument(word, value)) return nullptr;
            char* end = nullptr;
            long n = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || *end || n < 0) {
                fail("find: Expected a positive decimal integer argument to " + word + ", but got `" + value + "'");
                return nullptr;
            }
            (word == "-maxdepth" ? maxdepth : mindepth) = static_cast<int>(n);
            return node;
        }
        if (word == "-depth") {
            depth_first = true;
            return node;
        }
        if (word == "-newer") {
            if (!argument(word, value)) return nullptr;
            auto st = stat_operand(ctx_, value);
            if (!st) {
                report(ctx_, "find", "'" + value + "'", st.error());
                return nullptr;
            }
            node->kind = Node::Newer;
            node->number = st->modified_ns;
            return node;
        }
        if (word == "-size") {
            if (!argument(word, value)) return nullptr;
            std::string_view v = value;
            if (!v.empty() && (v[0] == '+' || v[0] == '-')) {
                node->compare = v[0] == '+' ? 1 : -1;
                v.remove_prefix(1);
            }
            std::size_t digits = 0;
            while (digits < v.size() && v[digits] >= '0' && v[digits] <= '9') ++digits;
            std::string_view unit = v.substr(digits);
            if (digits == 0 || unit.size() > 1) {
                fail("find: invalid -size type `" + value + "'");
                return nullptr;
            }
            node->number = std::stoll(std::string(v.substr(0, digits)));
            if (!unit.empty()) {
                switch (unit[0]) {
                    case 'c': node->unit = 1; break;
                    case 'w': node->unit = 2; break;
                    case 'b': node->unit = 512; break;
                    case 'k': node->unit = 1024; break;
                    case 'M': node->unit = 1024 * 1024; break;
                    case 'G': node->unit = 1024ull * 1024 * 1024; break;
                    default:
                        fail("find: invalid -size type `" + value + "'");
                        return nullptr;
                }
            }
            node->kind = Node::Size;
            return node;
        }
        if (word == "-empty") { node->kind = Node::Empty; return node; }
        if (word == "-true") return node;
        if (word == "-false") { node->kind = Node::False; return node; }
        if (word == "-prune") { node->kind = Node::Prune; return node; }
        if (word == "-print") { node->kind = Node::Print; has_action_ = true; return node; }
        if (word == "-print0") { node->kind = Node::Print0; has_action_ = true; return node; }
        if (word == "-delete") {
            node->kind = Node::Delete;
            has_action_ = true;
            depth_first = true;
            return node;
        }
        if (word == "-exec" || word == "-execdir" || word == "-ok") {
            node->kind = Node::Exec;
            has_action_ = true;
            while (pos_ < words_.size() && words_[pos_] != ";" &&
                   !(words_[pos_] == "+" && !node->command.empty() && node->command.back() == "{}"))
                node->command.push_back(words_[pos_++]);
            if (pos_ >= words_.size() || node->command.empty()) {
                fail("find: missing argument to `" + word + "'");
                return nullptr;
            }
            node->batch = words_[pos_] == "+";
            ++pos_;
            return node;
        }
        if (word.starts_with("-")) fail("find: unknown predicate `" + word + "'");
        else fail("find: paths must precede expression: `" + word + "'");
        return nullptr;
    }

    bool evaluate(Node* n, const Visit& v) {
        switch (n->kind) {
            case Node::And: return evaluate(n->left.get(), v) && evaluate(n->right.get(), v);
            case Node::Or: return evaluate(n->left.get(), v) || evaluate(n->right.get(), v);
            case Node::Not: return !evaluate(n->left.get(), v);
            case Node::True: return true;
            case Node::False: return false;
            case Node::Name: return fnmatch(n->text.c_str(), v.name.c_str(), 0) == 0;
            case Node::IName: return fnmatch(n->text.c_str(), v.name.c_str(), FNM_CASEFOLD) == 0;
            case Node::Path: return fnmatch(n->text.c_str(), v.shown.c_str(), 0) == 0;
            case Node::IPath: return fnmatch(n->text.c_str(), v.shown.c_str(), FNM_CASEFOLD) == 0;
            case Node::Type: return n->type == (v.status.is_directory ? 'd' : 'f');
            case Node::Newer: return v.status.modified_ns > n->number;
            case Node::Size: {
                const std::uint64_t bytes = v.status.is_directory ? 4096 : v.status.size;
                const std::int64_t units = static_cast<std::int64_t>((bytes + n->unit - 1) / n->unit);
                return n->compare > 0 ? units > n->number
                       : n->compare < 0 ? units < n->number
                                        : units == n->number;
            }
            case Node::Empty: {
                if (!v.status.is_directory) return v.status.size == 0;
                bool any = false;
                (void)ctx_.fs->visit_entries(v.path, [&](std::string_view, bool) { any = true; });
                return !any;
            }
            case Node::Prune: prune_ = true; return true;
            case Node::Print:
                out_.put(v.shown);
                out_.put('\n');
                return true;
            case Node::Print0:
                out_.put(v.shown);
                out_.put('\0');
                return true;
            case Node::Delete: {
                if (v.depth == 0 && (v.shown == "." || v.shown == "./")) return true;
                Status done = ctx_.fs->rm(v.path, false);
                if (!done) {
                    out_.flush();
                    report(ctx_, "find", "cannot delete '" + v.shown + "'", done.error());
                    status_ = 1;
                    return false;
                }
                return true;
            }
            case Node::Exec: {
                if (n->batch) {
                    n->batched.push_back(v.shown);
                    return true;
                }
                std::vector<std::string> argv;
                for (const auto& word : n->command) {
                    std::string arg = word;
                    for (std::size_t at = arg.find("{}"); at != std::string::npos;
                         at = arg.find("{}", at + v.shown.size())) {
                        arg.replace(at, 2, v.shown);
                    }
                    argv.push_back(arg);
                }
                return run(argv) == 0;
            }
        }
        return false;
    }

    int run(const std::vector<std::string>& argv) {
        out_.flush();
        if (!ctx_.run) return 127;
        return ctx_.run(argv, *ctx_.in, *ctx_.out, *ctx_.err);
    }

    void flush_batches(Node* n) {
        if (!n) return;
        flush_batches(n->left.get());
        flush_batches(n->right.get());
        if (n->kind == Node::Exec && n->batch && !n->batched.empty()) {
            std::vector<std::string> argv;
            for (const auto& word : n->command) {
                if (word == "{}") argv.insert(argv.end(), n->batched.begin(), n->batched.end());
                else argv.push_back(word);
            }
            if (run(argv) != 0) status_ = 1;
            n->batched.clear();
        }
    }

    void visit(const Visit& v) {
        if (stopped(ctx_) || !out_.ok()) return;
        prune_ = false;
        const bool here = v.depth >= mindepth;
        if (!depth_first && here) evaluate(root_.get(), v);
        const bool pruned = prune_ && !depth_first;
        if (v.status.is_directory && v.depth < maxdepth && !pruned) {
            auto entries = sorted_entries(ctx_, v.path);
            if (!entries) {
                out_.flush();
                report(ctx_, "find", "'" + v.shown + "'", entries.error());
                status_ = 1;
            } else {
                for (const auto& entry : *entries) {
                    const std::string path = v.path == "/" ? "/" + entry.name : v.path + "/" + entry.name;
                    auto st = ctx_.fs->stat(path);
                    if (!st) continue;
                    visit({join_shown(v.shown, entry.name), path, entry.name, *st, v.depth + 1});
                }
            }
        }
        if (depth_first && here) evaluate(root_.get(), v);
    }

    CommandContext& ctx_;
    Output out_;
    std::vector<std::string> words_;
    std::size_t pos_ = 0;
    NodePtr root_;
    bool has_action_ = false, prune_ = false;
    int status_ = 0;
};

}  // namespace

int find_main(CommandContext& ctx, const std::vector<std::string>& argv) {
    std::vector<std::string> starts, expression;
    std::size_t i = 1;
    for (; i < argv.size(); ++i) {
        const std::string& w = argv[i];
        if ((w.size() > 1 && w[0] == '-') || w == "(" || w == "!") break;
        starts.push_back(w);
    }
    expression.assign(argv.begin() + static_cast<std::ptrdiff_t>(i), argv.end());
    if (starts.empty()) starts.push_back(".");
    Find find(ctx);
    if (!find.parse(expression)) return 1;
    for (const auto& start : starts) find.walk(start);
    return stopped(ctx) ? 130 : find.finish();
}

}  // namespace halvorn::agentsh::cmd
