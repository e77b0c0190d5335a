#include "agentsh/interp.hpp"

#include <algorithm>
#include <cctype>

#include "agentsh/command.hpp"
#include "agentsh/parser.hpp"
#include "agentsh/worker_pool.hpp"
#include "fs/file_system.hpp"

namespace halvorn::agentsh {

Interp::Interp(ShellState& state, const Interp& parent)
    : st(state),
      run(parent.run),
      fds(parent.fds),
      loop_depth(parent.loop_depth),
      call_depth(parent.call_depth),
      subst_depth(parent.subst_depth),
      line(parent.line),
      condition(parent.condition),
      stage_out(parent.stage_out),
      in_subshell(true) {}

bool Interp::stopping() {
    if (flow == Flow::Stop) return true;
    if (run.should_stop() || (stage_out != nullptr && stage_out->broken())) {
        flow = Flow::Stop;
        return true;
    }
    return false;
}

bool Interp::check_string(std::size_t size) {
    if (size <= run.limits.max_string_bytes) return true;
    run.limit_reached("max_string_bytes");
    flow = Flow::Stop;
    return false;
}

void Interp::diag(std::string_view message) {
    std::string text = st.arg0;
    text += ": line ";
    text += std::to_string(line);
    text += ": ";
    text += message;
    text += '\n';
    write_out(2, text);
}

bool Interp::write_out(int fd, std::string_view bytes) {
    const StreamPtr& stream = fds[static_cast<std::size_t>(fd)];
    return stream && stream->write(bytes);
}

std::string Interp::absolute(std::string_view path) const {
    std::vector<std::string_view> parts;
    auto add = [&](std::string_view text) {
        std::size_t start = 0;
        while (start <= text.size()) {
            std::size_t end = text.find('/', start);
            if (end == std::string_view::npos) end = text.size();
            std::string_view part = text.substr(start, end - start);
            start = end + 1;
            if (part.empty() || part == ".") continue;
            if (part == "..") {
                if (!parts.empty()) parts.pop_back();
                continue;
            }
            parts.push_back(part);
        }
    };
    if (path.empty() || path[0] != '/') add(st.cwd);
    add(path);
    std::string out;
    for (std::string_view part : parts) {
        out += '/';
        out += part;
    }
    return out.empty() ? "/" : out;
}

int Interp::run_text(std::string_view text, int first_line) {
    if (text.size() > run.limits.max_script_bytes) {
        run.limit_reached("max_script_bytes");
        flow = Flow::Stop;
        return 1;
    }
    Parser parser(text, run.limits, first_line);
    int status = 0;
    // Aliases are read as each command is parsed, so a definition counts
    // from the next line on, as in bash.
    parser.set_aliases(&st.aliases, &st.options.expand_aliases);
    for (;;) {
        NodePtr command;
        Parser::Outcome outcome = parser.next(command);
        if (outcome == Parser::Outcome::End) break;
        if (outcome == Parser::Outcome::Error) {
            if (parser.error_is_limit()) {
                run.limit_reached(parser.error());
                flow = Flow::Stop;
                return 1;
            }
            line = parser.line();
            diag(parser.error());
            status = 2;
            st.last_status = status;
            break;
        }
        status = exec(*command);
        if (flow != Flow::Normal) break;
    }
    return status;
}

void Interp::after_command(int status) {
    if (!shared_state) st.last_status = status;
    if (status != 0 && st.options.errexit && condition == 0 && flow == Flow::Normal)
        flow = Flow::Exit;
}

bool Interp::count_iteration() {
    if (stopping()) return false;
    if (run.iterations.fetch_add(1, std::memory_order_relaxed) + 1 >
        run.limits.max_loop_iterations) {
        run.limit_reached("max_loop_iterations");
        flow = Flow::Stop;
        return false;
    }
    return true;
}

int Interp::exec(const Node& node) {
    if (stopping()) return st.last_status;
    if (!node.redirects.empty() && node.kind != Node::Kind::Simple) {
        Fds saved = fds;
        if (!apply_redirects(node.redirects, fds)) {
            fds = std::move(saved);
            after_command(1);
            return 1;
        }
        int status = exec_body(node);
        fds = std::move(saved);
        return status;
    }
    return exec_body(node);
}

int Interp::exec_body(const Node& node) {
    using K = Node::Kind;
    switch (node.kind) {
        case K::Simple: return exec_simple(node);
        case K::Pipeline: return exec_pipeline(node);
        case K::AndOr: return exec_and_or(node);
        case K::List: return exec_list(node);
        case K::Subshell: return exec_subshell(node);
        case K::Group: return exec(*node.kids[0]);
        case K::If: return exec_if(node);
        case K::For: return exec_for(node);
        case K::ArithFor: return exec_arith_for(node);
        case K::While: return exec_while(node);
        case K::Case: return exec_case(node);
        case K::Function:
            if (!shared_state) st.functions[node.name] = node.kids[0];
            return 0;
        case K::Arith: {
            line = node.line;
            long long value = 0;
            int status = arith_text(node.text, value) ? (value != 0 ? 0 : 1) : 1;
            if (xtrace_enabled()) write_out(2, "+ (( " + node.text + " ))\n");
            after_command(status);
            return status;
        }
        case K::Cond: {
            line = node.line;
            int status = exec_cond(node);
            after_command(status);
            return status;
        }
        case K::Background:
            line = node.line;
            diag("background jobs (&) are not supported");
            after_command(1);
            return 1;
    }
    return 1;
}

bool Interp::xtrace_enabled() const { return st.options.xtrace; }

int Interp::exec_list(const Node& node) {
    int status = 0;
    for (const NodePtr& kid : node.kids) {
        status = exec(*kid);
        if (flow != Flow::Normal) break;
    }
    return status;
}

int Interp::exec_and_or(const Node& node) {
    int status = 0;
    for (std::size_t i = 0; i < node.kids.size(); ++i) {
        if (i > 0) {
            bool run_next = node.ops[i - 1] == 0 ? status == 0 : status != 0;
            if (!run_next) continue;
        }
        bool last = i + 1 == node.kids.size();
        if (!last) ++condition;
        status = exec(*node.kids[i]);
        if (!last) --condition;
        if (flow != Flow::Normal) break;
    }
    if (!shared_state) st.last_status = status;
    return status;
}

int Interp::exec_if(const Node& node) {
    std::size_t i = 0;
    for (; i + 1 < node.kids.size(); i += 2) {
        ++condition;
        int test = exec(*node.kids[i]);
        --condition;
        if (flow != Flow::Normal) return test;
        if (test == 0) return exec(*node.kids[i + 1]);
    }
    if (i < node.kids.size()) return exec(*node.kids[i]);
    if (!shared_state) st.last_status = 0;
    return 0;
}

// After a loop's body: true when the loop goes on.
static bool loop_goes_on(Interp& in) {
    if (in.flow == Flow::Break) {
        if (--in.flow_levels > 0) return false;
        in.flow = Flow::Normal;
        return false;
    }
    if (in.flow == Flow::Continue) {
        if (--in.flow_levels > 0) return false;
        in.flow = Flow::Normal;
        return true;
    }
    return in.flow == Flow::Normal;
}

int Interp::exec_while(const Node& node) {
    int status = 0;
    ++loop_depth;
    for (;;) {
        if (!count_iteration()) break;
        ++condition;
        int test = exec(*node.kids[0]);
        --condition;
        if (flow != Flow::Normal) {
            if (!loop_goes_on(*this)) break;
            continue;
        }
        if ((test == 0) == node.until) break;
        status = exec(*node.kids[1]);
        if (!loop_goes_on(*this)) break;
    }
    --loop_depth;
    if (!shared_state) st.last_status = status;
    return status;
}

int Interp::exec_for(const Node& node) {
    line = node.line;
    std::vector<std::string> items;
    if (node.has_in) {
        if (!expand_words(node.words, items)) return 1;
    } else {
        items = st.positional;
    }
    int status = 0;
    ++loop_depth;
    for (std::string& item : items) {
        if (!count_iteration()) break;
        if (!set_var(node.name, std::move(item))) {
            status = 1;
            break;
        }
        status = exec(*node.kids[0]);
        if (!loop_goes_on(*this)) break;
    }
    --loop_depth;
    if (!shared_state) st.last_status = status;
    return status;
}

int Interp::exec_arith_for(const Node& node) {
    line = node.line;
    long long value = 0;
    auto eval = [&](const std::string& text, long long fallback) -> bool {
        bool blank = std::all_of(text.begin(), text.end(),
                                 [](char c) { return std::isspace(static_cast<unsigned char>(c)); });
        if (blank) {
            value = fallback;
            return true;
        }
        return arith_text(text, value);
    };
    if (!eval(node.words[0], 0)) return 1;
    int status = 0;
    ++loop_depth;
    for (;;) {
        if (!count_iteration()) break;
        if (!eval(node.words[1], 1)) {
            status = 1;
            break;
        }
        if (value == 0) break;
        status = exec(*node.kids[0]);
        if (!loop_goes_on(*this)) break;
        if (!eval(node.words[2], 0)) {
            status = 1;
            break;
        }
    }
    --loop_depth;
    if (!shared_state) st.last_status = status;
    return status;
}

int Interp::exec_case(const Node& node) {
    line = node.line;
    std::string word;
    if (!expand_single(node.text, word)) return 1;
    int status = 0;
    bool fall_through = false;
    for (std::size_t i = 0; i < node.items.size(); ++i) {
        const CaseItem& item = node.items[i];
        bool matched = fall_through;
        for (std::size_t p = 0; !matched && p < item.patterns.size(); ++p) {
            std::string pattern;
            if (!expand_pattern(item.patterns[p], pattern)) return 1;
            matched = glob_match(pattern, word, st.options.nocasematch);
        }
        if (!matched) continue;
        status = item.body ? exec(*item.body) : 0;
        if (flow != Flow::Normal) break;
        if (item.terminator == ";;") break;
        fall_through = item.terminator == ";&";
    }
    if (!shared_state) st.last_status = status;
    return status;
}

int Interp::exec_subshell(const Node& node) {
    line = node.line;
    if (subst_depth + 1 > static_cast<int>(run.limits.max_subst_depth)) {
        run.limit_reached("max_subst_depth");
        flow = Flow::Stop;
        return 1;
    }
    ShellState copy = st;
    Interp child(copy, *this);
    ++child.subst_depth;
    int status = child.exec(*node.kids[0]);
    if (child.flow == Flow::Stop) flow = Flow::Stop;
    after_command(status);
    return status;
}

// --- Pipelines ---------------------------------------------------------------

namespace {

// A stage that only reads the shell's state can run on it directly instead
// of on a copy: a utility or a builtin that changes nothing, with words
// whose expansion writes nothing either.
bool reads_state_only(const Node& node, const ShellState& st) {
    if (node.kind != Node::Kind::Simple || !node.assigns.empty() || node.words.empty())
        return false;
    for (const std::string& word : node.words) {
        if (word.find("$(") != std::string::npos || word.find('`') != std::string::npos ||
            word.find("${") != std::string::npos || word.find("$RANDOM") != std::string::npos)
            return false;
    }
    for (const Redirect& redirect : node.redirects) {
        if (redirect.target.find('$') != std::string::npos ||
            redirect.target.find('`') != std::string::npos)
            return false;
    }
    const std::string& name = node.words[0];
    if (st.functions.count(name) != 0) return false;
    static constexpr std::string_view kPure[] = {"echo", "true", "false", ":", "test", "[", "pwd"};
    if (std::find(std::begin(kPure), std::end(kPure), name) != std::end(kPure)) return true;
    return Interp::find_builtin(name) == nullptr && find_command(name) != nullptr;
}

// A stage that ends by itself after writing its arguments.
bool finite_producer(const Node& node, const ShellState& st) {
    if (!reads_state_only(node, st) || !node.redirects.empty()) return false;
    const std::string& name = node.words[0];
    return name == "echo" || name == "printf" || name == "true" || name == "false" || name == ":";
}

}  // namespace

int Interp::exec_pipeline(const Node& node) {
    line = node.line;
    if (node.kids.size() == 1) {
        if (node.bang) ++condition;
        int status = exec(*node.kids[0]);
        if (node.bang) {
            --condition;
            status = status == 0 ? 1 : 0;
            if (!shared_state) st.last_status = status;
        }
        return status;
    }
    const std::size_t count = node.kids.size();
    std::vector<int> statuses(count, 0);
    std::vector<std::unique_ptr<Completion>> done;
    StreamPtr next_in = fds[0];
    auto run_stage = [&](std::size_t i, StreamPtr in, StreamPtr out, bool isolate) {
        std::optional<ShellState> copy;
        if (isolate) copy.emplace(st);
        Interp stage(isolate ? *copy : st, *this);
        stage.shared_state = !isolate || shared_state;
        stage.fds[0] = std::move(in);
        stage.fds[1] = std::move(out);
        stage.stage_out = stage.fds[1].get();
        if (node.bang) ++stage.condition;
        int status = stage.exec(*node.kids[i]);
        if (stage.flow == Flow::Stop && stage.stage_out->broken() && !run.stopped()) status = 141;
        statuses[i] = status;
    };
    std::size_t first = 0;
    if (finite_producer(*node.kids[0], st)) {
        // echo/printf at the head of a pipeline writes a bounded amount and
        // reads nothing: run it here first, its output the next stage's
        // input, and save a thread handoff on the commonest pipeline.
        std::string produced;
        Interp stage(st, *this);
        stage.shared_state = true;
        stage.fds[1] = std::make_shared<CaptureSink>(produced, run, false);
        if (node.bang) ++stage.condition;
        statuses[0] = stage.exec(*node.kids[0]);
        if (stage.flow == Flow::Stop) {
            flow = Flow::Stop;
            return 1;
        }
        next_in = std::make_shared<StringSource>(std::move(produced));
        first = 1;
    }
    for (std::size_t i = first; i + 1 < count; ++i) {
        auto pipe = std::make_shared<Pipe>(run);
        StreamPtr out = std::make_shared<PipeWriter>(pipe);
        StreamPtr in = std::move(next_in);
        next_in = std::make_shared<PipeReader>(pipe);
        bool isolate = !reads_state_only(*node.kids[i], st);
        done.push_back(std::make_unique<Completion>());
        run_on_worker(
            [&run_stage, i, in = std::move(in), out = std::move(out), isolate]() mutable {
                run_stage(i, std::move(in), std::move(out), isolate);
            },
            *done.back());
    }
    {
        // The last stage runs here; like bash without lastpipe, on a copy.
        bool isolate = !reads_state_only(*node.kids[count - 1], st);
        StreamPtr out = fds[1];
        std::optional<ShellState> copy;
        if (isolate) copy.emplace(st);
        Interp stage(isolate ? *copy : st, *this);
        stage.shared_state = !isolate || shared_state;
        stage.fds[0] = std::move(next_in);
        stage.fds[1] = std::move(out);
        if (node.bang) ++stage.condition;
        statuses[count - 1] = stage.exec(*node.kids[count - 1]);
        if (stage.flow == Flow::Stop && !run.stopped() && stage_out != nullptr &&
            stage_out->broken())
            flow = Flow::Stop;
    }  // the last stage's input closes here: a producer still writing stops
    for (auto& completion : done)
        completion->wait();
    int status = statuses[count - 1];
    if (st.options.pipefail) {
        for (int s : statuses) {
            if (s != 0) status = s;
        }
    }
    if (!shared_state) {
        Variable pipestatus;
        pipestatus.is_array = true;
        for (std::size_t i = 0; i < count; ++i)
            pipestatus.indexed[static_cast<long long>(i)] = std::to_string(statuses[i]);
        st.vars["PIPESTATUS"] = std::move(pipestatus);
    }
    if (node.bang) {
        status = status == 0 ? 1 : 0;
        if (!shared_state) st.last_status = status;
        return status;
    }
    if (stopping()) return status;
    after_command(status);
    return status;
}

// --- Simple commands ---------------------------------------------------------

namespace {

bool needs_quotes(std::string_view word) {
    if (word.empty()) return true;
    return std::any_of(word.begin(), word.end(), [](char c) {
        return !(std::isalnum(static_cast<unsigned char>(c)) ||
                 std::string_view("_./=:,+-@%^").find(c) != std::string_view::npos);
    });
}

std::string quote_for_trace(std::string_view word) {
    if (!needs_quotes(word)) return std::string(word);
    std::string out = "'";
    for (char c : word) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out += c;
        }
    }
    out += '\'';
    return out;
}

}  // namespace

void Interp::xtrace(const std::vector<std::string>& argv) {
    std::string text = "+";
    for (const std::string& arg : argv) {
        text += ' ';
        text += quote_for_trace(arg);
    }
    text += '\n';
    write_out(2, text);
}

int Interp::exec_simple(const Node& node) {
    line = node.line;
    if (run.commands.fetch_add(1, std::memory_order_relaxed) + 1 > run.limits.max_commands) {
        run.limit_reached("max_commands");
        flow = Flow::Stop;
        return 1;
    }
    subst_status = -1;
    std::vector<std::string> argv;
    static constexpr std::string_view kDeclarations[] = {"declare", "local", "export",
                                                         "readonly", "typeset"};
    bool declaration = !node.words.empty() &&
                       std::find(std::begin(kDeclarations), std::end(kDeclarations),
                                 node.words[0]) != std::end(kDeclarations);
    bool expanded = true;
    std::vector<std::string> sources;
    if (declaration) {
        // NAME=value arguments of declaration builtins are assignments:
        // neither split nor globbed, and expanded once, by the builtin.
        for (const std::string& word : node.words) {
            if (Parser::assignment_prefix(word) > 0) {
                sources.resize(argv.size());
                sources.push_back(word);
                argv.push_back(word.substr(0, Parser::assignment_prefix(word)));
            } else if (!expand_words({word}, argv)) {
                expanded = false;
                break;
            }
        }
    } else {
        expanded = expand_words(node.words, argv);
    }
    if (!expanded) {
        if (flow == Flow::Normal && !shared_state) st.last_status = 1;
        if (flow == Flow::Normal) after_command(1);
        return 1;
    }
    if (flow != Flow::Normal) return 1;
    if (argv.empty()) {
        int status = 0;
        for (const std::string& word : node.assigns) {
            if (!assign(word)) {
                // A failed assignment (a readonly variable) ends the script.
                if (flow == Flow::Normal) {
                    flow = Flow::Exit;
                    if (!shared_state) st.last_status = 1;
                }
                return 1;
            }
            if (flow != Flow::Normal) return 1;
        }
        if (st.options.xtrace && !node.assigns.empty()) {
            std::string text = "+";
            for (const std::string& word : node.assigns) {
                std::size_t eq = Parser::assignment_prefix(word);
                std::string value;
                expand_single(std::string_view(word).substr(eq), value);
                text += ' ' + word.substr(0, eq) + quote_for_trace(value);
            }
            write_out(2, text + "\n");
        }
        if (!node.redirects.empty()) {
            Fds scratch = fds;
            if (!apply_redirects(node.redirects, scratch)) status = 1;
        }
        if (status == 0 && subst_status >= 0) status = subst_status;
        after_command(status);
        return status;
    }

    // Assignments before a command: for a utility they are its environment;
    // for a function or builtin they hold while it runs (kept after a special
    // builtin, as bash does outside POSIX mode only for those).
    std::vector<std::string> env_extra;
    std::vector<std::pair<std::string, std::optional<Variable>>> restore;
    const std::string& name = argv[0];
    bool is_function = st.functions.count(name) != 0;
    Builtin builtin = is_function ? nullptr : find_builtin(name);
    bool special = builtin != nullptr && is_special_builtin(name);
    for (const std::string& word : node.assigns) {
        std::size_t eq = Parser::assignment_prefix(word);
        std::string var = word.substr(0, eq - 1);
        if (!var.empty() && var.back() == '+') var.pop_back();
        if (!is_function && builtin == nullptr) {
            std::string value;
            if (!expand_single(std::string_view(word).substr(eq), value)) return 1;
            env_extra.push_back(var + "=" + value);
            continue;
        }
        if (!special) {
            auto it = st.vars.find(var);
            restore.emplace_back(var, it == st.vars.end() ? std::nullopt
                                                          : std::optional<Variable>(it->second));
        }
        if (!assign(word, false, !special)) return 1;
    }
    if (st.options.xtrace) {
        std::vector<std::string> traced;
        for (const std::string& extra : env_extra)
            traced.push_back(extra);
        traced.insert(traced.end(), argv.begin(), argv.end());
        xtrace(traced);
    }
    if (name == "exec" && argv.size() == 1) {
        int status = apply_redirects(node.redirects, fds) ? 0 : 1;
        after_command(status);
        return status;
    }
    Fds saved = fds;
    int status;
    if (!apply_redirects(node.redirects, fds)) {
        status = 1;
    } else {
        if (declaration) {
            sources.resize(argv.size());
            declaration_sources_ = std::move(sources);
        }
        status = run_command(argv, &env_extra);
        declaration_sources_.clear();
        for (int fd : {1, 2}) {
            const StreamPtr& now = fds[static_cast<std::size_t>(fd)];
            if (now && now != saved[static_cast<std::size_t>(fd)]) {
                std::string error = now->write_error();
                if (!error.empty()) {
                    fds[2] = saved[2];
                    diag(argv[0] + ": write error: " + error);
                    if (status == 0) status = 1;
                    break;
                }
            }
        }
    }
    fds = std::move(saved);
    // $_: the last argument of the last simple command.
    if (!shared_state) st.vars["_"].value = argv.back();
    for (auto it = restore.rbegin(); it != restore.rend(); ++it) {
        if (it->second) {
            st.vars[it->first] = std::move(*it->second);
        } else {
            st.vars.erase(it->first);
        }
    }
    if (flow == Flow::Stop || flow == Flow::Exit) return status;
    after_command(status);
    return status;
}

namespace {

// A ByteSource/ByteSink a utility hands to `run` seen as a descriptor.
class BorrowedStream final : public Stream {
public:
    BorrowedStream(ByteSource* in, ByteSink* out) : in_(in), out_(out) {}
    std::ptrdiff_t read(std::span<char> buffer) override {
        return in_ ? in_->read(buffer) : -1;
    }
    bool write(std::string_view bytes) override { return out_ && out_->write(bytes); }

private:
    ByteSource* in_;
    ByteSink* out_;
};

}  // namespace

int Interp::run_command(std::vector<std::string>& argv,
                        const std::vector<std::string>* env_extra) {
    const std::string name = argv[0];
    if (auto it = st.functions.find(name); it != st.functions.end()) {
        NodePtr body = it->second;
        return call_function(body, argv);
    }
    if (Builtin builtin = find_builtin(name)) return (this->*builtin)(argv);
    if (CommandFunction utility = find_command(name)) {
        Environment env;
        for (const std::string& entry : environment()) {
            std::size_t eq = entry.find('=');
            env.emplace_back(entry.substr(0, eq), entry.substr(eq + 1));
        }
        if (env_extra != nullptr) {
            for (const std::string& entry : *env_extra) {
                std::size_t eq = entry.find('=');
                std::string key = entry.substr(0, eq);
                auto found = std::find_if(env.begin(), env.end(),
                                          [&](const auto& kv) { return kv.first == key; });
                if (found != env.end()) {
                    found->second = entry.substr(eq + 1);
                } else {
                    env.emplace_back(key, entry.substr(eq + 1));
                }
            }
        }
        NullStream closed_in;
        NullStream closed_out;
        CommandContext ctx;
        ctx.fs = run.fs;
        ctx.cwd = st.cwd;
        ctx.env = &env;
        ctx.in = fds[0] ? static_cast<ByteSource*>(fds[0].get()) : &closed_in;
        ctx.out = fds[1] ? static_cast<ByteSink*>(fds[1].get()) : &closed_out;
        ctx.err = fds[2] ? static_cast<ByteSink*>(fds[2].get()) : &closed_out;
        ctx.now_ns = run.now_ns;
        ctx.should_stop = [this] { return stopping(); };
        ctx.run = [this](const std::vector<std::string>& args, ByteSource& in, ByteSink& out,
                         ByteSink& err) {
            if (args.empty()) return 0;
            Interp child(st, *this);
            child.shared_state = shared_state;
            child.fds[0] = std::make_shared<BorrowedStream>(&in, nullptr);
            child.fds[1] = std::make_shared<BorrowedStream>(nullptr, &out);
            child.fds[2] = std::make_shared<BorrowedStream>(nullptr, &err);
            std::vector<std::string> copy = args;
            int status = child.run_command(copy, nullptr);
            if (child.flow == Flow::Stop) flow = Flow::Stop;
            return status;
        };
        return utility(ctx, argv);
    }
    if (name.find('/') != std::string::npos) {
        auto found = run.fs->stat(absolute(name));
        if (!found) {
            diag(name + ": No such file or directory");
            return 127;
        }
        diag(name + ": cannot execute: running programs is not supported");
        return 126;
    }
    diag(name + ": command not found");
    return 127;
}

int Interp::call_function(const NodePtr& body, std::vector<std::string>& argv) {
    if (call_depth + 1 > static_cast<int>(run.limits.max_call_depth)) {
        run.limit_reached("max_call_depth");
        flow = Flow::Stop;
        return 1;
    }
    std::vector<std::string> saved(argv.begin() + 1, argv.end());
    std::swap(saved, st.positional);
    st.frames.emplace_back();
    ++call_depth;
    int saved_loops = loop_depth;
    loop_depth = 0;
    int status = exec(*body);
    loop_depth = saved_loops;
    --call_depth;
    if (flow == Flow::Return) {
        flow = Flow::Normal;
        status = st.last_status;
    }
    auto frame = std::move(st.frames.back());
    st.frames.pop_back();
    for (auto it = frame.rbegin(); it != frame.rend(); ++it) {
        if (it->second) {
            st.vars[it->first] = std::move(*it->second);
        } else {
            st.vars.erase(it->first);
        }
    }
    std::swap(saved, st.positional);
    return status;
}

// --- Redirections ------------------------------------------------------------

bool Interp::apply_redirects(const std::vector<Redirect>& redirects, Fds& into) {
    using K = Redirect::Kind;
    for (const Redirect& r : redirects) {
        bool reads = r.kind == K::In || r.kind == K::ReadWrite || r.kind == K::DupIn ||
                     r.kind == K::HereDoc || r.kind == K::HereString;
        int fd = r.fd >= 0 ? r.fd : (reads ? 0 : 1);
        if (fd > 9) {
            diag(std::to_string(fd) + ": Bad file descriptor");
            return false;
        }
        auto slot = static_cast<std::size_t>(fd);
        if (r.kind == K::HereDoc) {
            std::string body;
            if (r.quoted_body) {
                body = r.target;
            } else if (!expand_heredoc(r.target, body)) {
                return false;
            }
            into[slot] = std::make_shared<StringSource>(std::move(body));
            continue;
        }
        std::string target;
        if (r.kind == K::HereString || r.kind == K::DupIn || r.kind == K::DupOut) {
            if (!expand_single(r.target, target)) return false;
        } else {
            // A file's name is expanded as a word; it must come to exactly one.
            std::vector<std::string> words;
            if (!expand_words({r.target}, words)) return false;
            if (words.size() != 1) {
                diag(r.target + ": ambiguous redirect");
                return false;
            }
            target = std::move(words[0]);
        }
        if (r.kind == K::HereString) {
            target += '\n';
            into[slot] = std::make_shared<StringSource>(std::move(target));
            continue;
        }
        if (r.kind == K::DupIn || r.kind == K::DupOut) {
            if (target == "-") {
                into[slot] = nullptr;
                continue;
            }
            bool number = !target.empty() && std::all_of(target.begin(), target.end(), [](char c) {
                return std::isdigit(static_cast<unsigned char>(c));
            });
            if (number) {
                std::size_t from = target.size() > 2 ? 99 : std::stoul(target);
                if (from > 9 || !into[from]) {
                    diag(target + ": Bad file descriptor");
                    return false;
                }
                into[slot] = into[from];
                continue;
            }
            if (r.kind == K::DupIn) {
                diag(target + ": ambiguous redirect");
                return false;
            }
        }
        // A path: the few device names, else a file of the tree.
        StreamPtr stream;
        if (target == "/dev/null") {
            stream = std::make_shared<NullStream>();
        } else if (target == "/dev/stdin") {
            stream = into[0];
        } else if (target == "/dev/stdout") {
            stream = into[1];
        } else if (target == "/dev/stderr") {
            stream = into[2];
        } else if (target.starts_with("/dev/fd/") && target.size() == 9 &&
                   std::isdigit(static_cast<unsigned char>(target[8]))) {
            stream = into[static_cast<std::size_t>(target[8] - '0')];
        } else if (target.empty()) {
            diag(": No such file or directory");
            return false;
        } else if (r.kind == K::In) {
            auto handle = FileSystem::open(run.fs, absolute(target),
                                           FileHandleType(FileHandleType::READ), Creation::Never);
            if (!handle) {
                diag(target + ": " + std::string(errno_text(handle.error())));
                return false;
            }
            std::string data;
            char buffer[65536];
            for (;;) {
                auto got = handle->read(std::span(reinterpret_cast<std::uint8_t*>(buffer),
                                                  sizeof buffer));
                if (!got) {
                    diag(target + ": " + std::string(errno_text(got.error())));
                    return false;
                }
                if (*got == 0) break;
                data.append(buffer, *got);
            }
            stream = std::make_shared<StringSource>(std::move(data));
        } else {
            if (st.options.noclobber && r.kind == K::Out && !r.clobber) {
                auto existing = run.fs->stat(absolute(target));
                if (existing && !existing->is_directory) {
                    diag(target + ": cannot overwrite existing file");
                    return false;
                }
            }
            std::uint32_t mode = FileHandleType::WRITE;
            if (r.kind == K::ReadWrite) mode |= FileHandleType::READ;
            auto handle = FileSystem::open(run.fs, absolute(target), FileHandleType(mode),
                                           Creation::IfMissing);
            if (!handle) {
                diag(target + ": " + std::string(errno_text(handle.error())));
                return false;
            }
            bool append = r.kind == K::Append || r.kind == K::AppendErr;
            Status positioned = append ? handle->seek(SeekOrigin::End, 0) : Status();
            if (!append && r.kind != K::ReadWrite) {
                auto cut = handle->truncate(0);
                if (!cut) positioned = cut.error();
            }
            if (!positioned) {
                diag(target + ": " + std::string(errno_text(positioned.error())));
                return false;
            }
            stream = std::make_shared<FileSink>(std::move(*handle));
        }
        if (r.kind == K::OutErr || r.kind == K::AppendErr ||
            (r.kind == K::DupOut && r.fd < 0)) {
            into[1] = stream;
            into[2] = stream;
        } else {
            into[slot] = std::move(stream);
        }
    }
    return true;
}

}  // namespace halvorn::agentsh
