// The agent shell's utilities against GNU's own tools: each row runs once
// through the command table on a fresh tree and once as the real program in
// a temporary directory holding the same files, and the two must agree on
// stdout, the status, the first word of stderr and the tree left behind.
// Output that depends on the host (owners, times) is masked on both sides.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <regex.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "agentsh/command.hpp"
#include "agentsh/commands/support/regex.hpp"
#include "agentsh/shell.hpp"
#include "fs/file_system.hpp"

extern char** environ;

namespace halvorn::agentsh {
namespace {

namespace stdfs = std::filesystem;

// The tree every row starts from: a path ending in '/' is a directory.
const std::vector<std::pair<std::string, std::string>> kTree = {
    {"a.txt", "alpha\nbeta\ngamma\nalpha beta\n"},
    {"b.txt", "one\ntwo\nthree\nfour\nfive\nsix\nseven\neight\nnine\nten\neleven\ntwelve\n"},
    {"nums", "10\n2\n33\n-4\n2\n1.5\n1k\n2M\n"},
    {"words", "b\na\nc\na\nB\nb\nb\n"},
    {"tabs", "x\ty\tz\n\x01\x7f\xc3\xa9 end\n\n\n\nlast"},
    {"empty", ""},
    {"csv", "id,name,score\n1,ann,90\n2,bob,75\n3,cy,82\n"},
    {"src/", ""},
    {"src/main.py", "import os\n# TODO fix\ndef main():\n    print('hi')  # TODO\n"},
    {"src/util.py", "def helper(x):\n    return x * 2\n"},
    {"src/app/", ""},
    {"src/app/core.py", "class Core:\n    pass\n"},
    {"docs/", ""},
    {"docs/readme.md", "# Title\nSome TODO text\n"},
    {"emptydir/", ""},
    {"a2.txt", "alpha\nBETA\ngamma\nalpha beta\ndelta\n"},
    {"noeol", "alpha\nbeta"},
    {"left", "apple 1\nbanana 2\ncherry 3\nfig 4\n"},
    {"right", "apple red\ncherry dark\ndate brown\nfig green\nfig purple\n"},
    {"long", "the quick brown fox jumps over the lazy dog and keeps running far away\n"},
    {"src2/", ""},
    {"src2/main.py", "import os\n# TODO fix\ndef main():\n    print('hello')\n"},
    {"src2/util.py", "def helper(x):\n    return x * 2\n"},
    {"src2/new.py", "x = 1\n"},
    {"src2/app/", ""},
};

struct Outcome {
    std::string out, err;
    int status = 0;
    std::string tree;
};

class StringSource : public ByteSource {
public:
    explicit StringSource(std::string data) : data_(std::move(data)) {}
    std::ptrdiff_t read(std::span<char> buffer) override {
        std::size_t n = std::min(buffer.size(), data_.size() - at_);
        std::copy_n(data_.data() + at_, n, buffer.data());
        at_ += n;
        return static_cast<std::ptrdiff_t>(n);
    }

private:
    std::string data_;
    std::size_t at_ = 0;
};

class StringSink : public ByteSink {
public:
    bool write(std::string_view bytes) override {
        text.append(bytes);
        return true;
    }
    std::string text;
};

// Splits a row's command line: words on spaces, '...' quoted as in sh.
std::vector<std::string> split(const std::string& line) {
    std::vector<std::string> words;
    std::string word;
    bool in_word = false, quoted = false;
    for (char c : line) {
        if (quoted) {
            if (c == '\'') quoted = false;
            else word += c;
        } else if (c == '\'') {
            quoted = in_word = true;
        } else if (c == ' ') {
            if (in_word) words.push_back(word);
            word.clear();
            in_word = false;
        } else {
            word += c;
            in_word = true;
        }
    }
    if (in_word) words.push_back(word);
    return words;
}

std::string dump_ours(const std::shared_ptr<FileSystem>& fs, const std::string& dir, const std::string& shown) {
    std::string text;
    auto listing = fs->ls(dir);
    if (!listing) return text;
    std::vector<std::string> files = listing->files, dirs = listing->directories;
    std::vector<std::pair<std::string, bool>> all;
    for (auto& f : files) all.emplace_back(f, false);
    for (auto& d : dirs) all.emplace_back(d, true);
    std::sort(all.begin(), all.end());
    for (auto& [name, is_dir] : all) {
        std::string path = (dir == "/" ? "/" : dir + "/") + name;
        std::string rel = shown + name;
        if (is_dir) {
            text += rel + "/\n" + dump_ours(fs, path, rel + "/");
        } else {
            auto handle = FileSystem::open(fs, path,
                                           FileHandleType(FileHandleType::READ), false);
            std::string body;
            if (handle) {
                std::vector<std::uint8_t> buf(1 << 16);
                for (;;) {
                    auto got = handle->read(buf);
                    if (!got || *got == 0) break;
                    body.append(reinterpret_cast<char*>(buf.data()), *got);
                }
            }
            text += rel + "=" + body + "\n";
        }
    }
    return text;
}

std::string dump_real(const stdfs::path& dir, const std::string& shown) {
    std::vector<std::pair<std::string, bool>> all;
    for (auto& e : stdfs::directory_iterator(dir))
        all.emplace_back(e.path().filename().string(), e.is_directory());
    std::sort(all.begin(), all.end());
    std::string text;
    for (auto& [name, is_dir] : all) {
        std::string rel = shown + name;
        if (is_dir) {
            text += rel + "/\n" + dump_real(dir / name, rel + "/");
        } else {
            std::ifstream in(dir / name, std::ios::binary);
            std::stringstream body;
            body << in.rdbuf();
            text += rel + "=" + body.str() + "\n";
        }
    }
    return text;
}

std::shared_ptr<FileSystem> seeded_tree() {
    auto fs = FileSystem::create();
    for (auto& [path, body] : kTree) {
        if (path.ends_with('/')) {
            EXPECT_TRUE(fs->mkdir("/" + path.substr(0, path.size() - 1)).ok());
            continue;
        }
        auto handle = FileSystem::open(fs, "/" + path, FileHandleType(FileHandleType::WRITE),
                                       Creation::IfMissing);
        EXPECT_TRUE(handle.ok());
        auto wrote = handle->write(std::span<const std::uint8_t>(
            reinterpret_cast<const std::uint8_t*>(body.data()), body.size()));
        EXPECT_TRUE(wrote.ok());
    }
    return fs;
}

Outcome run_ours(const std::vector<std::string>& argv, const std::string& input) {
    auto fs = seeded_tree();
    StringSource in(input);
    StringSink out, err;
    // The same variables the real tool is given.
    Environment env = {{"LC_ALL", "C.UTF-8"}, {"PATH", "/usr/bin:/bin"}, {"TZ", "UTC"},
                       {"POSIXLY_CORRECT_UNSET", "1"}};
    CommandContext ctx;
    ctx.fs = fs;
    ctx.cwd = "/";
    ctx.env = &env;
    ctx.in = &in;
    ctx.out = &out;
    ctx.err = &err;
    ctx.should_stop = [] { return false; };
    ctx.run = [&ctx](const std::vector<std::string>& args, ByteSource& i, ByteSink& o,
                     ByteSink& e) {
        CommandFunction f = find_command(args[0]);
        if (!f) {
            e.write(args[0] + ": command not found\n");
            return 127;
        }
        CommandContext inner = ctx;
        inner.in = &i;
        inner.out = &o;
        inner.err = &e;
        return f(inner, args);
    };
    Outcome outcome;
    CommandFunction f = find_command(argv[0]);
    if (!f) {
        outcome.status = -1;
        return outcome;
    }
    outcome.status = f(ctx, argv);
    outcome.out = out.text;
    outcome.err = err.text;
    outcome.tree = dump_ours(fs, "/", "");
    return outcome;
}

std::string slurp_fd(int fd) {
    std::string text;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) break;
        text.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return text;
}

Outcome run_real(const std::vector<std::string>& argv, const std::string& input) {
    stdfs::path dir = stdfs::temp_directory_path() /
                      ("halvorn-cmds-" + std::to_string(::getpid()));
    stdfs::remove_all(dir);
    stdfs::create_directories(dir);
    for (auto& [path, body] : kTree) {
        if (path.ends_with('/')) {
            stdfs::create_directories(dir / path);
            continue;
        }
        std::ofstream(dir / path, std::ios::binary) << body;
    }
    std::string in_path = (dir.parent_path() / ("halvorn-cmds-in-" + std::to_string(::getpid())));
    std::string out_path = in_path + ".out", err_path = in_path + ".err";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // The input comes through a pipe, as it does in a pipeline.
    int pipe_fds[2];
    EXPECT_EQ(::pipe(pipe_fds), 0);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[0], 0);
    posix_spawn_file_actions_addclose(&actions, pipe_fds[0]);
    posix_spawn_file_actions_addclose(&actions, pipe_fds[1]);
    posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<std::string> env_strings = {"LC_ALL=C.UTF-8", "PATH=/usr/bin:/bin", "TZ=UTC",
                                            "POSIXLY_CORRECT_UNSET=1"};
    std::vector<char*> env;
    for (auto& e : env_strings) env.push_back(e.data());
    env.push_back(nullptr);
    pid_t pid = 0;
    Outcome outcome;
    if (posix_spawnp(&pid, argv[0].c_str(), &actions, nullptr, args.data(), env.data()) != 0) {
        outcome.status = -2;
        return outcome;
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipe_fds[0]);
    for (std::size_t at = 0; at < input.size();) {
        ssize_t n = ::write(pipe_fds[1], input.data() + at, input.size() - at);
        if (n <= 0) break;
        at += static_cast<std::size_t>(n);
    }
    ::close(pipe_fds[1]);
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    outcome.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    outcome.out = slurp_fd(::open(out_path.c_str(), O_RDONLY));
    outcome.err = slurp_fd(::open(err_path.c_str(), O_RDONLY));
    outcome.tree = dump_real(dir, "");
    // Absolute names the real tool prints start at the temporary directory,
    // the tree's at its root.
    for (std::size_t at; (at = outcome.out.find(dir.string() + "/")) != std::string::npos;)
        outcome.out.erase(at, dir.string().size());
    stdfs::remove_all(dir);
    stdfs::remove(out_path);
    stdfs::remove(err_path);
    return outcome;
}

std::string first_word(const std::string& text) { return text.substr(0, text.find(' ')); }

// Every match of an extended POSIX pattern (`^` at each line's start)
// replaced by what `replace` makes of its groups. The C library's engine:
// libstdc++'s <regex> trips -Werror=maybe-uninitialized in sanitizer builds.
std::string replace_all(const std::string& text, const char* pattern,
                        const std::function<std::string(const std::string&, const regmatch_t*)>& replace) {
    regex_t re;
    EXPECT_EQ(regcomp(&re, pattern, REG_EXTENDED | REG_NEWLINE), 0) << pattern;
    std::string out;
    std::size_t at = 0;
    regmatch_t groups[3];
    while (at <= text.size() &&
           regexec(&re, text.c_str() + at, 3, groups, at > 0 && text[at - 1] != '\n' ? REG_NOTBOL : 0) == 0) {
        const std::string rest = text.substr(at);
        out.append(rest, 0, static_cast<std::size_t>(groups[0].rm_so));
        out += replace(rest, groups);
        const auto end = static_cast<std::size_t>(groups[0].rm_eo);
        if (end == static_cast<std::size_t>(groups[0].rm_so)) {  // empty match: step over a byte
            if (end < rest.size()) out += rest[end];
            at += end + 1;
        } else {
            at += end;
        }
    }
    if (at < text.size()) out.append(text, at);
    regfree(&re);
    return out;
}

std::string group(const std::string& text, const regmatch_t& m) {
    return text.substr(static_cast<std::size_t>(m.rm_so), static_cast<std::size_t>(m.rm_eo - m.rm_so));
}

// Masks what the host decides: owners, link counts aside, and times.
std::string mask_host(const std::string& text) {
    std::string masked = replace_all(
        text, "^([-dl][-rwxsStT]{9}) +([0-9]+) +[^ ]+ +[^ ]+ +",
        [](const std::string& t, const regmatch_t* g) { return group(t, g[1]) + " " + group(t, g[2]) + " U G "; });
    masked = replace_all(masked,
                         "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{9} [-+][0-9]{4}",
                         [](const std::string&, const regmatch_t*) { return std::string("STAMP"); });
    return replace_all(masked, "[A-Z][a-z]{2} [ 0-9][0-9] ([0-9]{2}:[0-9]{2}| [0-9]{4})",
                       [](const std::string&, const regmatch_t*) { return std::string("TIME"); });
}

struct Row {
    const char* line;
    std::string input = "";
    // The real tool walks directories in the disk's order: compare lines
    // as sets.
    bool unordered = false;
};

std::string sorted_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    std::string out;
    for (auto& line : lines) out += line + "\n";
    return out;
}

void check_rows(const std::vector<Row>& rows) {
    ::umask(022);
    ::signal(SIGPIPE, SIG_IGN);  // a tool may leave its input unread
    int passed = 0;
    for (const auto& row : rows) {
        auto argv = split(row.line);
        Outcome ours = run_ours(argv, row.input);
        Outcome real = run_real(argv, row.input);
        SCOPED_TRACE(row.line);
        if (row.unordered) {
            ours.out = sorted_lines(ours.out);
            real.out = sorted_lines(real.out);
        }
        EXPECT_EQ(mask_host(ours.out), mask_host(real.out));
        EXPECT_EQ(ours.status, real.status);
        EXPECT_EQ(first_word(ours.err), first_word(real.err)) << ours.err << "\n" << real.err;
        EXPECT_EQ(ours.tree, real.tree);
        if (mask_host(ours.out) == mask_host(real.out) && ours.status == real.status &&
            first_word(ours.err) == first_word(real.err) && ours.tree == real.tree)
            ++passed;
    }
    ::testing::Test::RecordProperty("rows_passed", passed);
}

TEST(AgentshCommands, Cat) {
    check_rows({
        {"cat a.txt"},
        {"cat -n a.txt b.txt"},
        {"cat -A tabs"},
        {"cat -v tabs"},
        {"cat -b tabs"},
        {"cat -s -E tabs"},
        {"cat - a.txt", "from stdin\n"},
        {"cat missing a.txt"},
        {"cat src"},
        {"cat a.txt/"},
        {"cat -z a.txt"},
        {"cat --nope"},
        {"cat empty /dev/null"},
    });
}

TEST(AgentshCommands, Grep) {
    check_rows({
        {"grep alpha a.txt"},
        {"grep -n a a.txt b.txt"},
        {"grep -c e b.txt"},
        {"grep -v a a.txt"},
        {"grep -i ALPHA a.txt"},
        {"grep -w alpha a.txt"},
        {"grep -x alpha a.txt"},
        {"grep -o 'a[a-z]' a.txt"},
        {"grep -E 'al+pha|gam+a' a.txt"},
        {"grep '\\(a\\)l\\1' a.txt"},
        {"grep -E '(l)\\1' a.txt"},
        {"grep -F 'a.' a.txt"},
        {"grep -e one -e two b.txt"},
        {"grep -l TODO src/main.py a.txt docs/readme.md"},
        {"grep -L TODO src/main.py a.txt"},
        {"grep -rn TODO .", "", true},
        {"grep -rn TODO", "", true},
        {"grep -r --include=*.py def src", "", true},
        {"grep -r --exclude=*.py TODO .", "", true},
        {"grep -h TODO src/main.py docs/readme.md"},
        {"grep -H alpha a.txt"},
        {"grep -q alpha a.txt"},
        {"grep nothing a.txt"},
        {"grep alpha missing a.txt"},
        {"grep -s alpha missing"},
        {"grep alpha src"},
        {"grep -A1 -n five b.txt"},
        {"grep -B2 nine b.txt"},
        {"grep -C1 -e three -e eight b.txt"},
        {"grep -m2 e b.txt"},
        {"grep -c x", "x\ny\nxx\n"},
        {"grep '[[:digit:]]' nums"},
        {"grep -E '^[0-9]+$' nums"},
        {"grep '\\<t' b.txt"},
        {"grep -ow 'alpha' a.txt"},
        {"grep 'a[' a.txt"},
        {"grep -E 'a{1' a.txt"},
        {"grep"},
        {"grep -j x a.txt"},
        {"grep -n '' empty tabs"},
        {"grep -c '' tabs"},
        {"grep -oi 'A[LB]' a.txt"},
        {"grep -xF alpha a.txt b.txt"},
        {"grep -wc beta a.txt"},
        {"grep -vc e b.txt"},
        {"grep -n -e alpha -e gamma -v a.txt"},
        {"grep -rl TODO src docs", "", true},
        {"grep -rh TODO --include=*.md .", "", true},
        {"grep -r TODO --exclude-dir=app src", "", true},
        {"grep -rc TODO src", "", true},
        {"grep -E '(^| )beta' a.txt"},
        {"grep '^$' tabs"},
        {"grep -n . tabs"},
        {"grep -A 1 alpha a.txt"},
        {"grep -B1 -A1 -n e b.txt"},
        {"grep -m1 -c e b.txt"},
        {"grep -f words a.txt"},
        {"grep -w 'al.*' a.txt"},
        {"grep -o 'x*' a.txt"},
        {"grep -i 'É' tabs"},
        {"grep -L alpha a.txt b.txt missing"},
        {"grep -q nothing a.txt missing"},
        {"grep -q alpha missing a.txt"},
        {"grep -e"},
        {"grep abc", std::string("abc\0def\nabc\n", 12)},
        {"grep -c abc", std::string("abc\0def\nabc\n", 12)},
    });
}

TEST(AgentshCommands, Files) {
    check_rows({
        {"mkdir new"},
        {"mkdir -p src/app/x/y docs"},
        {"mkdir -pv p/q/r"},
        {"mkdir src"},
        {"mkdir a.txt/x"},
        {"mkdir no/such"},
        {"mkdir -p a.txt/x"},
        {"mkdir"},
        {"rmdir emptydir"},
        {"rmdir src"},
        {"rmdir a.txt missing"},
        {"rm a.txt b.txt"},
        {"rm missing"},
        {"rm -f missing a.txt"},
        {"rm src"},
        {"rm -r src"},
        {"rm -rf docs src/app missing"},
        {"rm -d emptydir"},
        {"rm -d src"},
        {"rm -rf ."},
        {"rm"},
        {"rm -f"},
        {"touch a.txt new1 new2"},
        {"touch -c nothere"},
        {"touch no/such"},
        {"mv a.txt moved.txt"},
        {"mv a.txt b.txt src"},
        {"mv src docs"},
        {"mv src src/app"},
        {"mv missing x"},
        {"mv a.txt"},
        {"mv"},
        {"mv a.txt b.txt nums"},
        {"mv src a.txt"},
        {"mv a.txt src/app/"},
        {"mv -n a.txt b.txt"},
        {"mv a.txt a.txt"},
        {"cp a.txt copy.txt"},
        {"cp a.txt b.txt"},
        {"cp -n a.txt b.txt"},
        {"cp src dst"},
        {"cp -r src src_copy"},
        {"cp -r src docs"},
        {"cp -a src/app emptydir"},
        {"cp a.txt b.txt src"},
        {"cp a.txt a.txt"},
        {"cp missing x"},
        {"cp a.txt no/such"},
        {"cp -v a.txt c.txt"},
    });
}

TEST(AgentshCommands, HeadTailWcTee) {
    check_rows({
        {"head b.txt"},
        {"head -n 3 b.txt"},
        {"head -n3 a.txt b.txt"},
        {"head -5 b.txt"},
        {"head -n -9 b.txt"},
        {"head -c 5 a.txt"},
        {"head -c -20 a.txt"},
        {"head -n 2", "x\ny\nz\n"},
        {"head -n x a.txt"},
        {"head missing a.txt"},
        {"head -q -n1 a.txt b.txt"},
        {"head -v -n1 a.txt"},
        {"tail b.txt"},
        {"tail -n 2 b.txt"},
        {"tail -n +10 b.txt"},
        {"tail -3 b.txt"},
        {"tail -c 6 a.txt"},
        {"tail -c +30 a.txt"},
        {"tail -n 1 tabs"},
        {"tail -n1 a.txt b.txt"},
        {"tail -n 0 a.txt"},
        {"tail missing"},
        {"tail -c 3", "abcdef\n"},
        {"tail -c +3", "abcdef\n"},
        {"tail -c 100", "abc"},
        {"wc a.txt"},
        {"wc -l a.txt"},
        {"wc -l a.txt b.txt"},
        {"wc -c a.txt"},
        {"wc -w b.txt tabs"},
        {"wc -m tabs"},
        {"wc a.txt b.txt empty tabs"},
        {"wc -lc a.txt"},
        {"wc", "hello world\nbye\n"},
        {"wc -l", "a\nb\n"},
        {"wc -l - a.txt", "a\nb\n"},
        {"wc missing a.txt"},
        {"wc src a.txt"},
        {"wc -L a.txt"},
        {"tee out.txt", "data\n"},
        {"tee -a a.txt b.txt", "more\n"},
        {"tee no/such x.txt", "data\n"},
    });
}

TEST(AgentshCommands, SortUniqCutTr) {
    check_rows({
        {"sort words"},
        {"sort -r words"},
        {"sort -u words"},
        {"sort -f words"},
        {"sort -n nums"},
        {"sort -rn nums"},
        {"sort -h nums"},
        {"sort -g nums"},
        {"sort -t , -k 3 -n csv"},
        {"sort -t, -k2,2 csv"},
        {"sort -k2 a.txt"},
        {"sort -V", "v1.10\nv1.2\nv1.1a\nv1.1\nv2\n"},
        {"sort -k1.2 words a.txt"},
        {"sort -b", "  b\na\n c\n"},
        {"sort -u -k1,1", "a 1\nb 2\na 3\n"},
        {"sort -s -k1,1", "b 2\na 3\nb 1\na 0\n"},
        {"sort -nr -k2", "x 10\ny 9\nz 100\n"},
        {"sort missing"},
        {"sort -c words"},
        {"sort -o out.txt words"},
        {"sort -t ab words"},
        {"sort -t, -k3,3nr -k2 csv"},
        {"sort -k2,2 -k1,1r", "b x\na y\nc x\n"},
        {"sort -rn -k1,1", "3 a\n10 b\n3 c\n"},
        {"sort -n", "1e3\n-0\n0\n.5\n-.5\n007\n 8\nabc\n"},
        {"sort -h", "1K\n512\n2M\n1G\n-1K\n1.5K\n"},
        {"sort a.txt b.txt -r"},
        {"sort -uf words"},
        {"sort -z", "b\0a\0"},
        {"uniq words"},
        {"uniq -c words"},
        {"uniq -d words"},
        {"uniq -u words"},
        {"uniq -i words"},
        {"uniq -ic words"},
        {"uniq -f 1", "x a\ny a\nz b\n"},
        {"uniq -s 1 -w 1", "xa1\nya2\nzb3\n"},
        {"uniq words out.txt"},
        {"uniq missing"},
        {"cut -d , -f 2 csv"},
        {"cut -d, -f1,3 csv"},
        {"cut -d, -f2- csv"},
        {"cut -c 1-3 a.txt"},
        {"cut -b 2,4 a.txt"},
        {"cut -c -2 b.txt"},
        {"cut -f 2 tabs"},
        {"cut -s -f 2 tabs"},
        {"cut -d, --complement -f 2 csv"},
        {"cut -d, -f 1,3 --output-delimiter=: csv"},
        {"cut -d ' ' -f 2 a.txt"},
        {"cut a.txt"},
        {"cut -f 0 a.txt"},
        {"cut -d ab -f 1 a.txt"},
        {"tr a-z A-Z", "hello World\n"},
        {"tr -d aeiou", "education\n"},
        {"tr -s ' '", "a   b    c\n"},
        {"tr -s a-z", "aabbccdd  ee\n"},
        {"tr '[:lower:]' '[:upper:]'", "mixed Case 12\n"},
        {"tr -cd '[:digit:]\\n'", "a1b2c3\n"},
        {"tr -c a-z _", "ab-cd ef\n"},
        {"tr abc x", "aabbcc\n"},
        {"tr '\\n' ' '", "a\nb\nc\n"},
        {"tr -ds a b", "aabbcc\n"},
        {"tr"},
        {"tr a"},
        {"tr -d a b"},
        {"tr z-a x"},
    });
}

TEST(AgentshCommands, Ls) {
    check_rows({
        {"ls"},
        {"ls -1 src"},
        {"ls -l"},
        {"ls -la src"},
        {"ls -lA"},
        {"ls -lh"},
        {"ls -R"},
        {"ls -R src"},
        {"ls -lR docs"},
        {"ls -d src docs"},
        {"ls -ld src"},
        {"ls -F"},
        {"ls -r"},
        {"ls -S"},
        {"ls -lS src"},
        {"ls a.txt src docs/readme.md"},
        {"ls -l a.txt b.txt"},
        {"ls missing a.txt"},
        {"ls a.txt/"},
        {"ls emptydir"},
        {"ls -l emptydir"},
        {"ls -a emptydir"},
        {"ls --bogus"},
    });
}

TEST(AgentshCommands, Sed) {
    check_rows({
        {"sed s/a/X/ a.txt"},
        {"sed s/a/X/g a.txt"},
        {"sed s/a/X/2 a.txt"},
        {"sed -n s/alpha/A/p a.txt"},
        {"sed s/ALPHA/x/I a.txt"},
        {"sed -E 's/(a)(l)/\\2\\1/' a.txt"},
        {"sed 's/\\(.\\)\\(.\\)/\\2\\1/' a.txt"},
        {"sed 's/[aeiou]/<&>/g' a.txt"},
        {"sed 's|/|_|g'", "a/b/c\n"},
        {"sed 's/x*/-/g'", "abc\n"},
        {"sed 's/a.*/\\U&/' a.txt"},
        {"sed 's/b/\\n/' a.txt"},
        {"sed -n 3p b.txt"},
        {"sed -n '$p' b.txt"},
        {"sed -n 2,4p b.txt"},
        {"sed -n '/three/,/six/p' b.txt"},
        {"sed -n '/four/,+2p' b.txt"},
        {"sed -n '0,/e/p' b.txt"},
        {"sed -n '1~3p' b.txt"},
        {"sed '2,$d' b.txt"},
        {"sed '/e/d' b.txt"},
        {"sed '/e/!d' b.txt"},
        {"sed 3q b.txt"},
        {"sed 3Q b.txt"},
        {"sed '2a\\\nadded' a.txt"},
        {"sed '2a added line' a.txt"},
        {"sed '1i top' a.txt"},
        {"sed '2,3c changed' a.txt"},
        {"sed '$a end' a.txt"},
        {"sed -n '$=' b.txt"},
        {"sed = a.txt"},
        {"sed 'n;d' b.txt"},
        {"sed 'N;s/\\n/+/' b.txt"},
        {"sed '$!N;P;D' words"},
        {"sed -e s/a/b/ -e s/b/c/ a.txt"},
        {"sed 's/a/b/;s/l/L/g' a.txt"},
        {"sed '/alpha/{s/a/A/;s/p/P/}' a.txt"},
        {"sed 'y/abc/xyz/' a.txt"},
        {"sed -n 'h;n;G;p' b.txt"},
        {"sed ':a;N;$!ba;s/\\n/,/g' words"},
        {"sed 's/x/y/;ta;s/$/ no/;b;:a;s/$/ yes/'", "x\nz\n"},
        {"sed p tabs"},
        {"sed -n p tabs"},
        {"sed '$d' tabs"},
        {"sed -i s/alpha/omega/ a.txt"},
        {"sed -i -e 1d a.txt b.txt"},
        {"sed -i.bak s/a/b/ a.txt"},
        {"sed -s -n '$p' a.txt b.txt"},
        {"sed -n '$p' a.txt b.txt"},
        {"sed s/a/b/ missing a.txt"},
        {"sed -i s/a/b/ missing"},
        {"sed 's/a/b' a.txt"},
        {"sed 'k' a.txt"},
        {"sed"},
        {"sed -E 's/a{1/x/' a.txt"},
        {"sed 's/[0-9]\\+/N/g' nums"},
        {"sed -E 's/^-?[0-9]+$/int/' nums"},
    });
}

TEST(AgentshCommands, FindXargs) {
    check_rows({
        {"find . -name *.py", "", true},
        {"find src", "", true},
        {"find src/", "", true},
        {"find . -type d", "", true},
        {"find . -maxdepth 1 -type f", "", true},
        {"find . -mindepth 2", "", true},
        {"find . -iname *.PY -o -name *.md", "", true},
        {"find . -path */app/*", "", true},
        {"find . -empty", "", true},
        {"find . -size +40c -type f", "", true},
        {"find . -size -1k", "", true},
        {"find . ! -name *.py -type f", "", true},
        {"find . ( -name a.txt -o -name b.txt ) -print", "", true},
        {"find src/app -name *.py -print0"},
        {"find src -name *.py -exec wc -l {} ;", "", true},
        {"find src -name *.py -exec cat {} +", "", true},
        {"find . -name *.py -delete", "", true},
        {"find src -delete", "", true},
        {"find docs -type f -exec grep -l TODO {} ;", "", true},
        {"find missing"},
        {"find . -bogus"},
        {"find . -name"},
        {"find . -type q"},
        {"find src -prune"},
        {"xargs wc -l", "a.txt\nb.txt\n"},
        {"xargs -n 1 head -n 1", "a.txt b.txt\n"},
        {"xargs -I X cp X X.bak", "a.txt\nb.txt\n"},
        {"xargs -0 cat", "a.txt\0b.txt"},
        {"xargs -r cat", ""},
        {"xargs cat", "'a.txt' \"b.txt\"\n"},
        {"xargs cat", "missing\n"},
        {"xargs grep -l alpha", "a.txt b.txt\n"},
        {"xargs -n 0 cat", "a.txt\n"},
        {"xargs cat", "'a.txt\n"},
        {"xargs rm", "a.txt\nsrc/util.py\n"},
    });
}

// A session of the kind an agent runs while fixing a bug, through the
// shell and its utilities and through bash with GNU's tools: the same
// bytes out and err, the same status, the same tree.
TEST(AgentshCommands, AgentSession) {
    const std::string script = R"(mkdir -p proj/pkg && cd proj
cat > pkg/calc.py <<'PY'
def add(a, b):
    return a - b  # TODO fix

def mul(a, b):
    return a * b
PY
cat > pkg/util.py <<PY
import os
# TODO: docs for $HOME_UNSET
def name():
    return "util"
PY
printf 'b\na\nc\na\nb\na\n' > names.txt
ls -la pkg | wc -l
grep -rn TODO .
grep -rc TODO pkg | sort
sed -i 's/a - b/a + b/' pkg/calc.py
grep -n 'return' pkg/calc.py
find . -name '*.py' | sort
find . -name '*.py' | sort | xargs wc -l
sort names.txt | uniq -c | sort -rn | head -n 2
echo data | tee out.txt
cat out.txt | wc -c
cp -r pkg pkg_copy && ls pkg_copy
cp pkg/calc.py /tmp_missing/x; echo "cp $?"
mv out.txt moved.txt && ls
rm -rf pkg_copy && ls
head -n 2 pkg/calc.py; tail -n 1 pkg/util.py
cut -d' ' -f1 names.txt | tr a-z A-Z | sort -u
test -f moved.txt && echo yes
wc -l pkg/*.py
grep -E 'def (add|mul)' -o pkg/calc.py
sed -n '2,3p' pkg/util.py
find . -type f -name '*.txt' -exec grep -l a {} \; | sort
touch a b c; ls
rmdir nothere; echo $?
grep nothing names.txt; echo $?
grep x missing.txt; echo $?
cat -n names.txt | head -3
ls -1 | sort -r | head -n 3
grep -c '' pkg/calc.py pkg/util.py
sed -E 's/(def) ([a-z]+)/\2 \1/' pkg/calc.py | head -n 1
)";
    auto fs = seeded_tree();
    Shell shell(fs, {}, "/", {});
    RunResult ours;
    ASSERT_TRUE(shell.run(script, "", ours));
    Outcome real = run_real({"bash", "-c", script}, "");
    EXPECT_EQ(ours.out, real.out);
    EXPECT_EQ(ours.err, real.err);
    EXPECT_EQ(ours.status, real.status);
    EXPECT_EQ(dump_ours(fs, "/", ""), real.tree);
}

// The bounds of the pattern engine: what would take the host hours ends
// with an answer at once, and a cancelled search ends between batches.
TEST(AgentshCommands, RegexBounds) {
    using cmd::Regex;
    std::string error;
    EXPECT_EQ(Regex::compile("\\(a\\{1,1000\\}\\)\\{1000\\}", cmd::RegexSyntax::Basic, false,
                             cmd::RegexDialect::Grep, error),
              nullptr);
    EXPECT_EQ(error, "regular expression too big");

    auto backref = Regex::compile("\\(.*\\)\\(.*\\)\\(.*\\)\\1\\2\\3c", cmd::RegexSyntax::Basic,
                                  false, cmd::RegexDialect::Grep, error);
    ASSERT_NE(backref, nullptr);
    cmd::RegexMatch match;
    const std::string long_line(100'000, 'a');
    EXPECT_EQ(backref->search(long_line, 0, match, {}), cmd::SearchResult::TooCostly);
    EXPECT_EQ(backref->search("xyxyc", 0, match, {}), cmd::SearchResult::Found);

    auto quadratic = Regex::compile("\\(a\\|b\\)*c", cmd::RegexSyntax::Basic, false,
                                    cmd::RegexDialect::Grep, error);
    ASSERT_NE(quadratic, nullptr);
    const std::string huge(10'000'000, 'a');
    int asked = 0;
    EXPECT_EQ(quadratic->search(huge, 0, match, [&] { return ++asked > 3; }),
              cmd::SearchResult::Stopped);
}

TEST(AgentshCommands, Names) {
    check_rows({
        {"basename /a/b/c.txt .txt"},
        {"basename a/b/"},
        {"basename /"},
        {"basename -a x/y z"},
        {"basename -s .py src/main.py src/util.py"},
        {"basename .txt .txt"},
        {"basename a b c"},
        {"basename"},
        {"dirname /a/b/c a/b/ a / //x//y"},
        {"dirname"},
        {"realpath a.txt src/../docs ./src/app/"},
        {"realpath missing"},
        {"realpath -e missing"},
        {"realpath no/such"},
        {"realpath a.txt/x"},
        {"realpath -m no/such/../x"},
        {"realpath --relative-to=src/app docs/readme.md a.txt src"},
        {"realpath -q missing/x a.txt"},
        {"readlink a.txt"},
        {"readlink -f src/./app/../util.py"},
        {"readlink -e missing"},
        {"readlink -m x/../y"},
        {"readlink"},
        {"which cat grep echo nosuchcmd"},
        {"which -s cat"},
        {"which -a cat"},
    });
}

TEST(AgentshCommands, Text) {
    check_rows({
        {"seq 5"},
        {"seq 2 4"},
        {"seq 10 -3 1"},
        {"seq -2 2"},
        {"seq 1 0.5 3"},
        {"seq 0.1 0.1 0.5"},
        {"seq -w 8 11"},
        {"seq -s , 3"},
        {"seq -f %03g 3"},
        {"seq 5 1"},
        {"seq 1 0 3"},
        {"seq x"},
        {"seq"},
        {"tac a.txt"},
        {"tac tabs"},
        {"tac", "1\n2\n"},
        {"tac -s , csv"},
        {"tac missing"},
        {"rev tabs a.txt"},
        {"rev", "abc\ndef"},
        {"rev missing"},
        {"nl a.txt"},
        {"nl tabs"},
        {"nl -ba -nrz -w3 -s: tabs"},
        {"nl -bn a.txt"},
        {"nl -nln -v10 -i5 b.txt"},
        {"nl -bx a.txt"},
        {"printenv TZ PATH"},
        {"printenv NOPE TZ"},
        {"printenv"},
        {"env"},
        {"env -i A=1 B=2"},
        {"env -u TZ"},
        {"env -i X=5 printenv X"},
        {"env A=1 cat a.txt"},
        {"sleep 0"},
        {"sleep 0.01 0s"},
        {"sleep x"},
        {"sleep"},
    });
}

TEST(AgentshCommands, Columns) {
    check_rows({
        {"paste a.txt b.txt"},
        {"paste -d , a.txt csv words"},
        {"paste -s a.txt words"},
        {"paste -s -d '\\n,' b.txt"},
        {"paste - -", "1\n2\n3\n"},
        {"paste missing a.txt"},
        {"comm left right"},
        {"comm -12 left right"},
        {"comm -3 a.txt a2.txt"},
        {"comm words a.txt"},
        {"comm --nocheck-order words a.txt"},
        {"comm left"},
        {"join left right"},
        {"join -a1 -a2 left right"},
        {"join -v2 left right"},
        {"join -t , -1 1 -2 1 csv csv"},
        {"join -o 2.2,1.1,0 left right"},
        {"join -e X -o 1.2,2.2 -a1 left right"},
        {"join right left"},
        {"join words a.txt"},
        {"fold -w 20 long"},
        {"fold -s -w 20 long"},
        {"fold -w5 tabs"},
        {"fold -b -w 3 a.txt"},
        {"fold -w 0 a.txt"},
        {"expand tabs"},
        {"expand -t 4 tabs"},
        {"expand -t 2,5 tabs"},
        {"expand -i", "\tx\ty\n"},
    });
}

TEST(AgentshCommands, Digests) {
    check_rows({
        {"base64 a.txt"},
        {"base64 -w 10 b.txt"},
        {"base64 -w 0 tabs"},
        {"base64 empty"},
        {"base64 -d", "YWxwaGEK\nYmV0YQo=\n"},
        {"base64 -d", "YW*xw\n"},
        {"base64 -di", "YW*xwaGEK\n"},
        {"base64 missing"},
        {"md5sum a.txt empty tabs"},
        {"md5sum missing a.txt"},
        {"md5sum", "from stdin\n"},
        {"sha256sum a.txt b.txt empty"},
        {"sha256sum --tag a.txt"},
        {"md5sum -c", "95803961ee23e0f4b383149c8ba230ae  a.txt\nd41d8cd98f00b204e9800998ecf8427f  empty\n"},
        {"sha256sum -c", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855  empty\n0000  bad\n"},
        {"md5sum -c", "d41d8cd98f00b204e9800998ecf8427e  missing\n"},
        {"md5sum --quiet -c", "d41d8cd98f00b204e9800998ecf8427e  empty\n"},
        {"cmp a.txt a.txt"},
        {"cmp a.txt a2.txt"},
        {"cmp -s a.txt a2.txt"},
        {"cmp -l a.txt a2.txt"},
        {"cmp -b a.txt a2.txt"},
        {"cmp noeol a.txt"},
        {"cmp a.txt noeol"},
        {"cmp empty a.txt"},
        {"cmp a.txt missing"},
        {"cmp a.txt", "alpha\nbeta\n"},
    });
}

TEST(AgentshCommands, Files2) {
    check_rows({
        {"file a.txt empty tabs src nums missing"},
        {"file -b a.txt noeol"},
        {"du -s src", "", true},
        {"du src", "", true},
        {"du -a src", "", true},
        {"du -sh src docs a.txt"},
        {"du -c a.txt b.txt"},
        {"du -b a.txt empty"},
        {"du missing"},
        {"stat -c '%n %s %F %a %A %h' a.txt empty src emptydir"},
        {"stat -c %N a.txt"},
        {"stat --printf '%s|%n\\n' b.txt"},
        {"stat missing"},
        {"mktemp XX"},
        {"mktemp -p missing"},
        {"date -d @0"},
        {"date -u -d @86400 +%F"},
        {"date -d '2024-03-01 10:20'"},
        {"date -d @0 -R"},
        {"date -d @0 -I"},
        {"date -d @0 -Iseconds"},
        {"date -d @1.5 '+%s %N %3N %:z %z %Z %j %-d %e %H:%M'"},
        {"date -d xx"},
        {"date -d @0 x"},
    });
}

TEST(AgentshCommands, Diff) {
    check_rows({
        {"diff a.txt a.txt"},
        {"diff a.txt a2.txt"},
        {"diff -u a.txt a2.txt"},
        {"diff -U1 b.txt a.txt"},
        {"diff a.txt noeol"},
        {"diff -u noeol a.txt"},
        {"diff empty a.txt"},
        {"diff -u a.txt empty"},
        {"diff -q a.txt a2.txt"},
        {"diff -s a.txt a.txt"},
        {"diff -i a.txt a2.txt"},
        {"diff -w a.txt a.txt"},
        {"diff src src2"},
        {"diff -r src src2"},
        {"diff -ru src src2"},
        {"diff -rq src src2"},
        {"diff -rN src src2"},
        {"diff src/main.py src2"},
        {"diff a.txt missing"},
        {"diff -N a.txt missing"},
        {"diff a.txt"},
        {"diff - a.txt", "alpha\nbeta\n"},
        {"diff words nums"},
        {"diff b.txt words"},
        {"diff left right"},
        {"diff -u words nums"},
        {"diff nums words"},
    });
}

// What no GNU tool can be compared on: the endless and the waiting
// utilities end when their reader goes or the run is stopped.
TEST(AgentshCommands, EndlessAndWaitingStop) {
    class ClosingSink : public ByteSink {
    public:
        bool write(std::string_view bytes) override {
            if (text.size() >= 100) return false;
            text.append(bytes);
            return true;
        }
        std::string text;
    };
    StringSource in("");
    ClosingSink out;
    StringSink err;
    CommandContext ctx;
    ctx.fs = FileSystem::create();
    ctx.cwd = "/";
    ctx.in = &in;
    ctx.out = &out;
    ctx.err = &err;
    ctx.should_stop = [] { return false; };
    EXPECT_EQ(find_command("yes")(ctx, {"yes", "ok"}), 1);
    EXPECT_TRUE(out.text.starts_with("ok\nok\n"));
    int asked = 0;
    ctx.should_stop = [&] { return ++asked > 2; };
    EXPECT_EQ(find_command("sleep")(ctx, {"sleep", "1d"}), 130);
    EXPECT_EQ(find_command("yes")(ctx, {"yes"}), 130);
}

}  // namespace
}  // namespace halvorn::agentsh
