#include "agentsh/parser.hpp"

#include <algorithm>
#include <cctype>

namespace halvorn::agentsh {

namespace {

constexpr std::string_view kOps[] = {
    // Longest first, so that a scan takes the longest operator at a place.
    ";;&", "<<<", "<<-", "&>>", "&&", "||", ";;", ";&", "|&", "<<", ">>", "<&", ">&", "<>",
    ">|", "&>", ";", "&", "|", "(", ")", "<", ">",
};

bool is_meta(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == ';' || c == '&' || c == '|' || c == '<' ||
           c == '>' || c == '(' || c == ')';
}

bool is_list_terminator(std::string_view word) {
    return word == "then" || word == "elif" || word == "else" || word == "fi" || word == "do" ||
           word == "done" || word == "esac" || word == "}";
}

// The delimiter of a here-document with its quotes taken away.
std::string unquote_delimiter(std::string_view word, bool& quoted) {
    std::string out;
    quoted = false;
    for (std::size_t i = 0; i < word.size(); ++i) {
        char c = word[i];
        if (c == '\'' || c == '"') {
            quoted = true;
            continue;
        }
        if (c == '\\' && i + 1 < word.size()) {
            quoted = true;
            out += word[++i];
            continue;
        }
        out += c;
    }
    return out;
}

}  // namespace

Parser::Parser(std::string_view source, const Limits& limits, int first_line)
    : src_(source), limits_(limits), first_line_(first_line) {}

bool Parser::is_name(std::string_view text) {
    if (text.empty() || std::isdigit(static_cast<unsigned char>(text[0]))) return false;
    return std::all_of(text.begin(), text.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
    });
}

std::size_t Parser::assignment_prefix(std::string_view word) {
    std::size_t i = 0;
    while (i < word.size() && (std::isalnum(static_cast<unsigned char>(word[i])) || word[i] == '_'))
        ++i;
    if (i == 0 || std::isdigit(static_cast<unsigned char>(word[0]))) return 0;
    if (i < word.size() && word[i] == '[') {
        int depth = 0;
        for (; i < word.size(); ++i) {
            if (word[i] == '[') ++depth;
            if (word[i] == ']' && --depth == 0) break;
        }
        if (i >= word.size()) return 0;
        ++i;
    }
    if (i < word.size() && word[i] == '=') return i + 1;
    if (i + 1 < word.size() && word[i] == '+' && word[i + 1] == '=') return i + 2;
    return 0;
}

std::size_t Parser::command_subst_end(std::string_view text, std::size_t start) {
    static const Limits kDefaults{};
    Parser parser(text, kDefaults);
    parser.pos_ = start;
    std::string ignored;
    if (!parser.scan_command_subst(ignored)) return std::string_view::npos;
    return parser.pos_;
}

int Parser::line_at(std::size_t pos) {
    if (pos < line_pos_) {
        line_pos_ = 0;
        line_count_ = 0;
    }
    line_count_ += static_cast<int>(std::count(src_.begin() + static_cast<std::ptrdiff_t>(line_pos_),
                                               src_.begin() + static_cast<std::ptrdiff_t>(pos), '\n'));
    line_pos_ = pos;
    return first_line_ + line_count_;
}

void Parser::expand_alias() {
    if (aliases_ == nullptr || aliases_->empty() || !*aliases_enabled_) return;
    for (int rounds = 0; rounds < 64; ++rounds) {
        skip_blanks();
        std::size_t start = pos_;
        std::size_t end = start;
        while (end < src_.size() && !is_meta(src_[end]) &&
               std::string_view("'\"\\$`").find(src_[end]) == std::string_view::npos)
            ++end;
        if (end == start || (end < src_.size() && !is_meta(src_[end]))) return;
        std::string name(src_.substr(start, end - start));
        auto found = aliases_->find(name);
        if (found == aliases_->end()) return;
        auto active = expanding_.find(name);
        if (active != expanding_.end() && active->second > start) return;
        const std::string& value = found->second;
        std::string spliced;
        spliced.reserve(src_.size() + value.size());
        spliced.append(src_.substr(0, start));
        spliced.append(value);
        spliced.append(src_.substr(end));
        owned_ = std::move(spliced);
        src_ = owned_;
        line_pos_ = 0;
        line_count_ = 0;
        long shift = static_cast<long>(value.size()) - static_cast<long>(end - start);
        for (auto& [other, until] : expanding_) {
            if (until > start) until = static_cast<std::size_t>(static_cast<long>(until) + shift);
        }
        expanding_[name] = start + value.size();
        alias_next_ = !value.empty() && (value.back() == ' ' || value.back() == '\t');
        if (value.empty() || value.front() == ' ') continue;
        return;
    }
}

bool Parser::fail(std::string message) {
    if (!failed_) {
        failed_ = true;
        error_ = std::move(message);
    }
    return false;
}

bool Parser::fail_near() {
    skip_blanks();
    if (at_end()) return fail("syntax error: unexpected end of file");
    std::string token(peek_op());
    if (token.empty()) token = peek() == '\n' ? "newline" : peek_word();
    if (token.empty()) token = std::string(1, peek());
    return fail("syntax error near unexpected token `" + token + "'");
}

bool Parser::fail_limit(std::string_view name) {
    if (!failed_) error_is_limit_ = true;
    return fail(std::string(name));
}

void Parser::skip_blanks() {
    while (!at_end()) {
        char c = peek();
        if (c == ' ' || c == '\t' || c == '\r') {
            ++pos_;
        } else if (c == '\\' && peek(1) == '\n') {
            pos_ += 2;
        } else if (c == '#') {
            while (!at_end() && peek() != '\n')
                ++pos_;
        } else {
            break;
        }
    }
}

bool Parser::consume_newline() {
    skip_blanks();
    if (peek() != '\n') return false;
    ++pos_;
    return read_here_docs();
}

bool Parser::skip_linebreaks() {
    for (;;) {
        skip_blanks();
        if (peek() != '\n') return !failed_;
        if (!consume_newline()) return false;
    }
}

bool Parser::read_here_docs() {
    std::vector<PendingHereDoc> pending;
    pending.swap(heredocs_);
    for (PendingHereDoc& doc : pending) {
        std::string body;
        for (;;) {
            if (at_end()) break;  // bash warns and takes what there is
            std::size_t end = src_.find('\n', pos_);
            if (end == std::string_view::npos) end = src_.size();
            std::string_view line = src_.substr(pos_, end - pos_);
            pos_ = std::min(end + 1, src_.size());
            if (doc.strip_tabs) line.remove_prefix(std::min(line.find_first_not_of('\t'), line.size()));
            if (line == doc.delimiter) break;
            body.append(line);
            body += '\n';
            if (body.size() > limits_.max_heredoc_bytes) return fail_limit("max_heredoc_bytes");
        }
        doc.node->redirects[doc.index].target = std::move(body);
    }
    return true;
}

std::string_view Parser::peek_op() {
    std::string_view rest = src_.substr(pos_);
    for (std::string_view op : kOps) {
        if (rest.starts_with(op)) return op;
    }
    return {};
}

bool Parser::take_op(std::string_view op) {
    skip_blanks();
    if (peek_op() != op) return false;
    pos_ += op.size();
    return true;
}

std::string Parser::peek_word() {
    std::size_t saved = pos_;
    bool saved_failed = failed_;
    std::string saved_error = error_;
    skip_blanks();
    std::string word;
    if (!at_end() && !is_meta(peek())) scan_word(word);
    pos_ = saved;
    failed_ = saved_failed;
    error_ = std::move(saved_error);
    return word;
}

bool Parser::peek_reserved(std::string_view word) {
    return peek_word() == word;
}

bool Parser::take_reserved(std::string_view word) {
    skip_blanks();
    if (!peek_reserved(word)) return false;
    skip_blanks();
    pos_ += word.size();
    return true;
}

bool Parser::at_list_end() {
    skip_blanks();
    if (at_end()) return true;
    std::string_view op = peek_op();
    if (op == ")" || op == ";;" || op == ";&" || op == ";;&") return true;
    if (!op.empty()) return false;
    return is_list_terminator(peek_word());
}

NodePtr Parser::make(Node::Kind kind) {
    auto node = std::make_shared<Node>();
    node->kind = kind;
    node->line = line_at(pos_);
    return node;
}

Parser::Outcome Parser::next(NodePtr& command) {
    command = nullptr;
    if (!skip_linebreaks()) return Outcome::Error;
    if (at_end()) return Outcome::End;
    auto list = make(Node::Kind::List);
    for (;;) {
        NodePtr item = parse_and_or();
        if (!item) {
            if (!failed_) fail_near();
            return Outcome::Error;
        }
        skip_blanks();
        if (take_op("&")) {
            auto background = make(Node::Kind::Background);
            background->kids.push_back(std::move(item));
            item = std::move(background);
        } else if (!take_op(";") && !at_end() && peek() != '\n') {
            fail_near();
            return Outcome::Error;
        }
        list->kids.push_back(std::move(item));
        skip_blanks();
        if (at_end()) break;
        if (peek() == '\n') {
            if (!consume_newline()) return Outcome::Error;
            break;
        }
    }
    if (!heredocs_.empty() && !read_here_docs()) return Outcome::Error;
    command = list->kids.size() == 1 ? list->kids[0] : list;
    return Outcome::Command;
}

NodePtr Parser::parse_compound_list() {
    if (!skip_linebreaks()) return nullptr;
    auto list = make(Node::Kind::List);
    for (;;) {
        if (!skip_linebreaks()) return nullptr;
        if (at_list_end()) break;
        NodePtr item = parse_and_or();
        if (!item) return nullptr;
        skip_blanks();
        if (take_op("&")) {
            auto background = make(Node::Kind::Background);
            background->kids.push_back(std::move(item));
            item = std::move(background);
        } else if (!take_op(";") && peek() != '\n') {
            list->kids.push_back(std::move(item));
            break;
        }
        list->kids.push_back(std::move(item));
    }
    if (list->kids.empty()) {
        fail_near();
        return nullptr;
    }
    return list->kids.size() == 1 ? list->kids[0] : list;
}

NodePtr Parser::parse_and_or() {
    NodePtr first = parse_pipeline();
    if (!first) return nullptr;
    NodePtr chain;
    for (;;) {
        skip_blanks();
        int op;
        if (take_op("&&")) {
            op = 0;
        } else if (take_op("||")) {
            op = 1;
        } else {
            break;
        }
        if (!chain) {
            chain = make(Node::Kind::AndOr);
            chain->kids.push_back(first);
        }
        if (!skip_linebreaks()) return nullptr;
        NodePtr next = parse_pipeline();
        if (!next) return nullptr;
        chain->ops.push_back(op);
        chain->kids.push_back(std::move(next));
    }
    return chain ? chain : first;
}

NodePtr Parser::parse_pipeline() {
    skip_blanks();
    bool bang = false;
    while (take_reserved("!"))
        bang = !bang;
    NodePtr first = parse_command();
    if (!first) return nullptr;
    if (!bang && peek_op() != "|" && peek_op() != "|&") return first;
    auto pipeline = make(Node::Kind::Pipeline);
    pipeline->bang = bang;
    pipeline->kids.push_back(std::move(first));
    for (;;) {
        skip_blanks();
        bool with_err = false;
        if (take_op("|&")) {
            with_err = true;
        } else if (!take_op("|")) {
            break;
        }
        if (with_err) {
            // |& is 2>&1 before the command's own redirections.
            auto& redirects = pipeline->kids.back()->redirects;
            redirects.insert(redirects.begin(), {Redirect::Kind::DupOut, 2, "1", false, false});
        }
        if (!skip_linebreaks()) return nullptr;
        NodePtr next = parse_command();
        if (!next) return nullptr;
        pipeline->kids.push_back(std::move(next));
    }
    return pipeline;
}

NodePtr Parser::parse_command() {
    if (++depth_ > 2 * limits_.max_subst_depth + 64) {
        fail_limit("max_subst_depth");
        return nullptr;
    }
    struct Leave {
        std::size_t& depth;
        ~Leave() { --depth; }
    } leave{depth_};
    skip_blanks();
    expand_alias();
    skip_blanks();
    if (at_end()) {
        fail_near();
        return nullptr;
    }
    NodePtr node;
    std::string_view op = peek_op();
    if (op == "(") {
        if (peek(1) == '(') {
            node = parse_arith_command();
        } else {
            node = parse_subshell();
        }
    } else if (!op.empty() && op != "<" && op != ">" && op != ">>" && op != "<<" &&
               op != "<<<" && op != "<<-" && op != "<&" && op != ">&" && op != "&>" &&
               op != "&>>" && op != "<>" && op != ">|") {
        fail_near();
        return nullptr;
    } else {
        std::string word = op.empty() ? peek_word() : std::string();
        if (word == "if") {
            node = parse_if();
        } else if (word == "while" || word == "until") {
            node = parse_loop(word == "until");
        } else if (word == "for") {
            node = parse_for();
        } else if (word == "case") {
            node = parse_case();
        } else if (word == "{") {
            node = parse_group();
        } else if (word == "[[") {
            node = parse_cond();
        } else if (word == "function") {
            take_reserved("function");
            skip_blanks();
            std::string name;
            if (!scan_word(name) || name.empty()) {
                fail_near();
                return nullptr;
            }
            skip_blanks();
            if (take_op("(") && !take_op(")")) {
                fail_near();
                return nullptr;
            }
            return parse_function(std::move(name));
        } else if (is_list_terminator(word) || word == "in" || word == "]]") {
            fail_near();
            return nullptr;
        } else {
            return parse_simple();
        }
    }
    if (!node) return nullptr;
    if (!parse_redirects(node)) return nullptr;
    return node;
}

bool Parser::try_redirect(const NodePtr& node, bool& found) {
    found = false;
    skip_blanks();
    std::size_t start = pos_;
    int fd = -1;
    std::size_t digits = 0;
    while (std::isdigit(static_cast<unsigned char>(peek(digits))))
        ++digits;
    if (digits > 0 && (peek(digits) == '<' || peek(digits) == '>')) {
        fd = digits > 3 ? 1000 : std::stoi(std::string(src_.substr(pos_, digits)));
        pos_ += digits;
    }
    std::string_view op = peek_op();
    using K = Redirect::Kind;
    K kind;
    if (op == "<") {
        kind = K::In;
    } else if (op == ">" || op == ">|") {
        kind = K::Out;
    } else if (op == ">>") {
        kind = K::Append;
    } else if (op == "<>") {
        kind = K::ReadWrite;
    } else if (op == "<&") {
        kind = K::DupIn;
    } else if (op == ">&") {
        kind = K::DupOut;
    } else if (op == "&>" && fd < 0) {
        kind = K::OutErr;
    } else if (op == "&>>" && fd < 0) {
        kind = K::AppendErr;
    } else if (op == "<<" || op == "<<-") {
        kind = K::HereDoc;
    } else if (op == "<<<") {
        kind = K::HereString;
    } else {
        pos_ = start;
        return true;
    }
    found = true;
    pos_ += op.size();
    skip_blanks();
    std::string word;
    if (at_end() || is_meta(peek()) || !scan_word(word) || word.empty()) return fail_near();
    Redirect redirect{kind, fd, std::move(word), false, op == ">|"};
    if (kind == K::HereDoc) {
        bool quoted = false;
        std::string delimiter = unquote_delimiter(redirect.target, quoted);
        redirect.quoted_body = quoted;
        redirect.target.clear();
        node->redirects.push_back(std::move(redirect));
        heredocs_.push_back({node, node->redirects.size() - 1, std::move(delimiter), op == "<<-"});
        return true;
    }
    node->redirects.push_back(std::move(redirect));
    return true;
}

bool Parser::parse_redirects(const NodePtr& node) {
    for (;;) {
        bool found = false;
        if (!try_redirect(node, found)) return false;
        if (!found) return true;
    }
}

NodePtr Parser::parse_simple() {
    auto node = make(Node::Kind::Simple);
    for (;;) {
        bool found = false;
        if (!try_redirect(node, found)) return nullptr;
        if (found) continue;
        skip_blanks();
        if (alias_next_ && !node->words.empty()) {
            alias_next_ = false;
            expand_alias();
            skip_blanks();
        }
        if (at_end() || is_meta(peek())) break;
        std::string word;
        if (!scan_word(word)) return nullptr;
        if (node->words.empty() && assignment_prefix(word) > 0) {
            node->assigns.push_back(std::move(word));
            continue;
        }
        node->words.push_back(std::move(word));
        if (node->words.size() == 1 && node->assigns.empty() && node->redirects.empty()) {
            skip_blanks();
            if (peek() == '(' && peek(1) != '(') {
                std::size_t saved = pos_;
                ++pos_;
                skip_blanks();
                if (peek() == ')') {
                    ++pos_;
                    return parse_function(node->words[0]);
                }
                pos_ = saved;
            }
        }
    }
    if (node->words.empty() && node->assigns.empty() && node->redirects.empty()) {
        fail_near();
        return nullptr;
    }
    return node;
}

NodePtr Parser::parse_function(std::string name) {
    auto node = make(Node::Kind::Function);
    node->name = std::move(name);
    if (!skip_linebreaks()) return nullptr;
    NodePtr body = parse_command();
    if (!body) return nullptr;
    node->kids.push_back(std::move(body));
    return node;
}

bool Parser::parse_do_body(NodePtr& body) {
    if (!skip_linebreaks()) return false;
    if (!take_reserved("do")) return fail_near();
    body = parse_compound_list();
    if (!body) return false;
    if (!take_reserved("done")) return fail_near();
    return true;
}

NodePtr Parser::parse_if() {
    auto node = make(Node::Kind::If);
    take_reserved("if");
    for (;;) {
        NodePtr cond = parse_compound_list();
        if (!cond) return nullptr;
        if (!take_reserved("then")) {
            fail_near();
            return nullptr;
        }
        NodePtr body = parse_compound_list();
        if (!body) return nullptr;
        node->kids.push_back(std::move(cond));
        node->kids.push_back(std::move(body));
        if (take_reserved("elif")) continue;
        if (take_reserved("else")) {
            NodePtr other = parse_compound_list();
            if (!other) return nullptr;
            node->kids.push_back(std::move(other));
        }
        if (!take_reserved("fi")) {
            fail_near();
            return nullptr;
        }
        return node;
    }
}

NodePtr Parser::parse_loop(bool until) {
    auto node = make(Node::Kind::While);
    node->until = until;
    take_reserved(until ? "until" : "while");
    NodePtr cond = parse_compound_list();
    if (!cond) return nullptr;
    NodePtr body;
    if (!parse_do_body(body)) return nullptr;
    node->kids.push_back(std::move(cond));
    node->kids.push_back(std::move(body));
    return node;
}

NodePtr Parser::parse_for() {
    take_reserved("for");
    skip_blanks();
    if (peek() == '(' && peek(1) == '(') {
        auto node = make(Node::Kind::ArithFor);
        pos_ += 2;
        std::string inner;
        if (!scan_arith(inner)) return nullptr;
        // inner is the text between (( and )): three parts split at ';'.
        std::size_t a = inner.find(';');
        std::size_t b = a == std::string::npos ? a : inner.find(';', a + 1);
        if (b == std::string::npos) {
            fail("syntax error: arithmetic expression required");
            return nullptr;
        }
        node->words = {inner.substr(0, a), inner.substr(a + 1, b - a - 1), inner.substr(b + 1)};
        skip_blanks();
        take_op(";");
        NodePtr body;
        if (!skip_linebreaks()) return nullptr;
        if (peek_reserved("{")) {
            body = parse_group();
            if (!body) return nullptr;
        } else if (!parse_do_body(body)) {
            return nullptr;
        }
        node->kids.push_back(std::move(body));
        return node;
    }
    auto node = make(Node::Kind::For);
    if (!scan_word(node->name) || !is_name(node->name)) {
        fail("`" + node->name + "': not a valid identifier");
        return nullptr;
    }
    if (!skip_linebreaks()) return nullptr;
    if (take_reserved("in")) {
        node->has_in = true;
        for (;;) {
            skip_blanks();
            if (at_end() || is_meta(peek())) break;
            std::string word;
            if (!scan_word(word)) return nullptr;
            node->words.push_back(std::move(word));
        }
        skip_blanks();
        if (!take_op(";") && peek() != '\n') {
            fail_near();
            return nullptr;
        }
    } else {
        take_op(";");
    }
    NodePtr body;
    if (!skip_linebreaks()) return nullptr;
    if (peek_reserved("{")) {
        body = parse_group();
        if (!body) return nullptr;
    } else if (!parse_do_body(body)) {
        return nullptr;
    }
    node->kids.push_back(std::move(body));
    return node;
}

NodePtr Parser::parse_case() {
    auto node = make(Node::Kind::Case);
    take_reserved("case");
    skip_blanks();
    if (!scan_word(node->text) || node->text.empty()) {
        fail_near();
        return nullptr;
    }
    if (!skip_linebreaks()) return nullptr;
    if (!take_reserved("in")) {
        fail_near();
        return nullptr;
    }
    for (;;) {
        if (!skip_linebreaks()) return nullptr;
        if (take_reserved("esac")) return node;
        CaseItem item;
        take_op("(");
        for (;;) {
            skip_blanks();
            std::string pattern;
            if (at_end() || is_meta(peek()) || !scan_word(pattern)) {
                fail_near();
                return nullptr;
            }
            item.patterns.push_back(std::move(pattern));
            skip_blanks();
            if (take_op("|")) continue;
            if (take_op(")")) break;
            fail_near();
            return nullptr;
        }
        if (!skip_linebreaks()) return nullptr;
        if (!at_list_end()) {
            item.body = parse_compound_list();
            if (!item.body) return nullptr;
        }
        skip_blanks();
        if (take_op(";;&")) {
            item.terminator = ";;&";
        } else if (take_op(";;")) {
            item.terminator = ";;";
        } else if (take_op(";&")) {
            item.terminator = ";&";
        } else if (peek_reserved("esac")) {
            item.terminator = ";;";
        } else {
            fail_near();
            return nullptr;
        }
        node->items.push_back(std::move(item));
    }
}

NodePtr Parser::parse_group() {
    auto node = make(Node::Kind::Group);
    take_reserved("{");
    NodePtr body = parse_compound_list();
    if (!body) return nullptr;
    if (!take_reserved("}")) {
        fail_near();
        return nullptr;
    }
    node->kids.push_back(std::move(body));
    return node;
}

NodePtr Parser::parse_subshell() {
    auto node = make(Node::Kind::Subshell);
    take_op("(");
    NodePtr body = parse_compound_list();
    if (!body) return nullptr;
    if (!take_op(")")) {
        fail_near();
        return nullptr;
    }
    node->kids.push_back(std::move(body));
    return node;
}

NodePtr Parser::parse_arith_command() {
    auto node = make(Node::Kind::Arith);
    pos_ += 2;
    if (!scan_arith(node->text)) return nullptr;
    return node;
}

NodePtr Parser::parse_cond() {
    auto node = make(Node::Kind::Cond);
    take_reserved("[[");
    for (;;) {
        skip_blanks();
        while (peek() == '\n') {
            ++pos_;
            skip_blanks();
        }
        if (at_end()) {
            fail("syntax error: unexpected end of file");
            return nullptr;
        }
        // After =~ a regular expression follows, whose parentheses and bars
        // are its own, not the conditional's operators.
        bool after_match = !node->words.empty() && node->words.back() == "=~" &&
                           node->word_is_op.back();
        std::string_view op = after_match ? std::string_view() : peek_op();
        if (op == "&&" || op == "||" || op == "(" || op == ")" || op == "<" || op == ">") {
            pos_ += op.size();
            node->words.emplace_back(op);
            node->word_is_op.push_back(true);
            continue;
        }
        if (!op.empty()) {
            fail_near();
            return nullptr;
        }
        std::string word;
        if (after_match) {
            // A regular expression: parentheses and bars are part of it.
            int parens = 0;
            while (!at_end()) {
                char c = peek();
                if ((c == ' ' || c == '\t' || c == '\n') && parens == 0) break;
                if (c == '(') ++parens;
                if (c == ')') {
                    if (parens == 0) break;
                    --parens;
                }
                if (c == '\\' || c == '\'' || c == '"' || c == '$') {
                    if (!scan_word(word)) return nullptr;
                    continue;
                }
                word += c;
                ++pos_;
            }
        } else if (!scan_word(word)) {
            return nullptr;
        }
        if (word == "]]") break;
        bool plain = word.find_first_of("'\"\\$`") == std::string::npos;
        node->words.push_back(std::move(word));
        node->word_is_op.push_back(plain);
    }
    return node;
}

// --- Words -------------------------------------------------------------------

bool Parser::scan_word(std::string& out) {
    while (!at_end()) {
        char c = peek();
        if (c == '\\') {
            if (peek(1) == '\n') {
                pos_ += 2;
                continue;
            }
            out += c;
            ++pos_;
            if (!at_end()) out += src_[pos_++];
            continue;
        }
        if (c == '\'') {
            if (!scan_single(out)) return false;
            continue;
        }
        if (c == '"') {
            if (!scan_double(out)) return false;
            continue;
        }
        if (c == '$') {
            if (!scan_dollar(out, false)) return false;
            continue;
        }
        if (c == '`') {
            if (!scan_backquote(out)) return false;
            continue;
        }
        if (c == '(' && !out.empty() && out.back() == '=' && assignment_prefix(out) == out.size()) {
            // An array's value: NAME=( words ), kept whole.
            int parens = 0;
            while (!at_end()) {
                char d = peek();
                if (d == '\'' || d == '"') {
                    if (!(d == '\'' ? scan_single(out) : scan_double(out))) return false;
                    continue;
                }
                if (d == '\\') {
                    out += d;
                    ++pos_;
                    if (!at_end()) out += src_[pos_++];
                    continue;
                }
                if (d == '$') {
                    if (!scan_dollar(out, false)) return false;
                    continue;
                }
                out += d;
                ++pos_;
                if (d == '(') ++parens;
                if (d == ')' && --parens == 0) break;
            }
            if (parens != 0) return fail("syntax error: unexpected end of file");
            continue;
        }
        if ((c == '<' || c == '>') && peek(1) == '(') return fail("process substitution is not supported");
        if (is_meta(c)) break;
        out += c;
        ++pos_;
    }
    return !failed_;
}

bool Parser::scan_single(std::string& out) {
    std::size_t end = src_.find('\'', pos_ + 1);
    if (end == std::string_view::npos)
        return fail("unexpected EOF while looking for matching `''");
    out.append(src_.substr(pos_, end + 1 - pos_));
    pos_ = end + 1;
    return true;
}

bool Parser::scan_double(std::string& out) {
    out += '"';
    ++pos_;
    while (!at_end()) {
        char c = peek();
        if (c == '"') {
            out += c;
            ++pos_;
            return true;
        }
        if (c == '\\') {
            out += c;
            ++pos_;
            if (!at_end()) out += src_[pos_++];
            continue;
        }
        if (c == '$') {
            if (!scan_dollar(out, true)) return false;
            continue;
        }
        if (c == '`') {
            if (!scan_backquote(out)) return false;
            continue;
        }
        out += c;
        ++pos_;
    }
    return fail("unexpected EOF while looking for matching `\"'");
}

bool Parser::scan_dollar(std::string& out, bool in_double) {
    char next = peek(1);
    if (next == '\'' && !in_double) {
        // $'...': backslash escapes; a quote escaped with one stays inside.
        std::size_t i = pos_ + 2;
        while (i < src_.size() && src_[i] != '\'') {
            if (src_[i] == '\\') ++i;
            ++i;
        }
        if (i >= src_.size()) return fail("unexpected EOF while looking for matching `''");
        out.append(src_.substr(pos_, i + 1 - pos_));
        pos_ = i + 1;
        return true;
    }
    if (next == '(') {
        if (peek(2) == '(') {
            std::size_t saved = pos_;
            std::string arith = "$((";
            pos_ += 3;
            bool saved_failed = failed_;
            if (scan_arith(arith)) {
                out += arith;
                out += "))";
                return true;
            }
            // Not arithmetic after all: $( (...) ), a subshell in a substitution.
            failed_ = saved_failed;
            error_.clear();
            pos_ = saved;
        }
        return scan_command_subst(out);
    }
    if (next == '{') return scan_braced(out);
    out += '$';
    ++pos_;
    return true;
}

bool Parser::scan_command_subst(std::string& out) {
    if (++depth_ > limits_.max_subst_depth + 1) return fail_limit("max_subst_depth");
    std::size_t start = pos_;
    pos_ += 2;
    bool ok = true;
    if (!skip_linebreaks()) {
        ok = false;
    } else if (peek() != ')') {
        NodePtr body = parse_compound_list();
        ok = body != nullptr;
    }
    --depth_;
    if (!ok) return false;
    skip_linebreaks();
    if (peek() != ')') return fail_near();
    ++pos_;
    out.append(src_.substr(start, pos_ - start));
    return true;
}

bool Parser::scan_backquote(std::string& out) {
    std::size_t i = pos_ + 1;
    while (i < src_.size() && src_[i] != '`') {
        if (src_[i] == '\\') ++i;
        ++i;
    }
    if (i >= src_.size()) return fail("unexpected EOF while looking for matching ``'");
    out.append(src_.substr(pos_, i + 1 - pos_));
    pos_ = i + 1;
    return true;
}

bool Parser::scan_braced(std::string& out) {
    if (++depth_ > limits_.max_subst_depth + 1) return fail_limit("max_subst_depth");
    out += "${";
    pos_ += 2;
    bool closed = false;
    while (!at_end()) {
        char c = peek();
        if (c == '}') {
            out += c;
            ++pos_;
            closed = true;
            break;
        }
        if (c == '\\') {
            out += c;
            ++pos_;
            if (!at_end()) out += src_[pos_++];
        } else if (c == '\'') {
            if (!scan_single(out)) return false;
        } else if (c == '"') {
            if (!scan_double(out)) return false;
        } else if (c == '$') {
            if (!scan_dollar(out, true)) return false;
        } else if (c == '`') {
            if (!scan_backquote(out)) return false;
        } else {
            out += c;
            ++pos_;
        }
    }
    --depth_;
    if (!closed) return fail("unexpected EOF while looking for matching `}'");
    return true;
}

bool Parser::scan_arith(std::string& out) {
    // After "((": to the matching "))"; `out` gets the text between.
    int parens = 0;
    while (!at_end()) {
        char c = peek();
        if (c == '(') {
            ++parens;
        } else if (c == ')') {
            if (parens == 0) {
                if (peek(1) != ')') return fail("syntax error: `))' expected");
                pos_ += 2;
                return true;
            }
            --parens;
        } else if (c == '$' && (peek(1) == '(' || peek(1) == '{')) {
            if (!scan_dollar(out, true)) return false;
            continue;
        } else if (c == '\'' || c == '"') {
            if (!(c == '\'' ? scan_single(out) : scan_double(out))) return false;
            continue;
        } else if (c == '`') {
            if (!scan_backquote(out)) return false;
            continue;
        }
        out += c;
        ++pos_;
    }
    return fail("syntax error: unexpected end of file");
}

}  // namespace halvorn::agentsh
