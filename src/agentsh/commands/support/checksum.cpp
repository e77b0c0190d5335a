#include "agentsh/commands/support/checksum.hpp"

#include "agentsh/commands/support/io.hpp"
#include "agentsh/commands/support/options.hpp"

namespace halvorn::agentsh::cmd {

void BlockDigest::update(std::string_view bytes) {
    length_ += bytes.size();
    for (char c : bytes) {
        block_[filled_++] = static_cast<unsigned char>(c);
        if (filled_ == 64) {
            compress();
            filled_ = 0;
        }
    }
}

std::string BlockDigest::finish() {
    const std::uint64_t bits = length_ * 8;
    update(std::string_view("\x80", 1));
    while (filled_ != 56)
        update(std::string_view("\0", 1));
    for (int k = 0; k < 8; ++k)
        block_[filled_++] = static_cast<unsigned char>(bits >> (8 * (big_endian_ ? 7 - k : k)));
    compress();
    std::string out;
    for (std::uint32_t word : state())
        for (int k = 0; k < 4; ++k)
            out += static_cast<char>((word >> (8 * (big_endian_ ? 3 - k : k))) & 0xff);
    return out;
}
namespace {

enum Id { kBinary, kCheck, kTag, kText, kZero, kIgnoreMissing, kQuiet, kStatus, kStrict, kWarn };
constexpr OptionDef kOptions[] = {
    {'b', "binary", Arg::None, kBinary}, {'c', "check", Arg::None, kCheck},
    {0, "tag", Arg::None, kTag},         {'t', "text", Arg::None, kText},
    {'z', "zero", Arg::None, kZero},     {0, "ignore-missing", Arg::None, kIgnoreMissing},
    {0, "quiet", Arg::None, kQuiet},     {0, "status", Arg::None, kStatus},
    {0, "strict", Arg::None, kStrict},   {'w', "warn", Arg::None, kWarn},
};

Result<std::string> digest_of(CommandContext& ctx, std::string_view operand,
                              const DigestKind& kind) {
    auto source = open_input(ctx, operand);
    if (!source) return source.error();
    auto digest = kind.make();
    std::string buffer(64 * 1024, '\0');
    for (;;) {
        if (stopped(ctx)) return IoError::InvalidFileDescriptor;
        std::ptrdiff_t got = (*source)->read(std::span<char>(buffer.data(), buffer.size()));
        if (got < 0) return IoError::InvalidFileDescriptor;
        if (got == 0) break;
        digest->update(std::string_view(buffer.data(), static_cast<std::size_t>(got)));
    }
    const std::string raw = digest->finish();
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : raw) {
        hex += kHex[c >> 4];
        hex += kHex[c & 15];
    }
    return hex;
}

std::string plural(std::uint64_t n, std::string_view one, std::string_view many) {
    return std::to_string(n) + " " + std::string(n == 1 ? one : many);
}

struct CheckFlags {
    bool ignore_missing = false, quiet = false, status_only = false, strict = false, warn = false;
};

int check_lists(CommandContext& ctx, const std::vector<std::string>& lists, const DigestKind& kind,
                const CheckFlags& flags) {
    const std::string name(kind.name);
    Output out(*ctx.out);
    int status = 0;
    for (const auto& list : lists) {
        auto text = read_file(ctx, list);
        if (!text) {
            out.flush();
            report(ctx, name, quote(list), text.error());
            status = 1;
            continue;
        }
        std::uint64_t bad_lines = 0, failed = 0, unreadable = 0, good = 0, line_number = 0;
        std::string_view rest(*text);
        while (!rest.empty()) {
            std::size_t nl = rest.find('\n');
            std::string_view line = rest.substr(0, nl);
            rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
            ++line_number;
            // "DIGEST  NAME" or "DIGEST *NAME", or the --tag form "TAG (NAME) = DIGEST".
            std::string digest, file;
            const std::string tag_prefix = std::string(kind.tag) + " (";
            if (line.starts_with(tag_prefix)) {
                std::size_t close = line.rfind(") = ");
                if (close != std::string_view::npos && close >= tag_prefix.size()) {
                    file = line.substr(tag_prefix.size(), close - tag_prefix.size());
                    digest = line.substr(close + 4);
                }
            } else if (line.size() > kind.hex_length + 2 &&
                       (line[kind.hex_length + 1] == ' ' || line[kind.hex_length + 1] == '*') &&
                       line[kind.hex_length] == ' ') {
                digest = line.substr(0, kind.hex_length);
                file = line.substr(kind.hex_length + 2);
            }
            bool hex_ok = digest.size() == kind.hex_length;
            for (char& c : digest) {
                if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
                if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) hex_ok = false;
            }
            if (!hex_ok || file.empty()) {
                ++bad_lines;
                if (flags.warn) {
                    out.flush();
                    write_text(*ctx.err, name + ": " + list + ": " + std::to_string(line_number) +
                                             ": improperly formatted " + std::string(kind.tag) +
                                             " checksum line\n");
                }
                continue;
            }
            auto actual = digest_of(ctx, file, kind);
            if (!actual) {
                if (flags.ignore_missing && actual.error().kind() == IoError::InodeNotFound)
                    continue;
                ++unreadable;
                out.flush();
                report(ctx, name, file, actual.error());
                if (!flags.status_only) out.put(file + ": FAILED open or read\n");
                continue;
            }
            if (*actual == digest) {
                ++good;
                if (!flags.quiet && !flags.status_only) out.put(file + ": OK\n");
            } else {
                ++failed;
                if (!flags.status_only) out.put(file + ": FAILED\n");
            }
        }
        out.flush();
        if (good + failed + unreadable == 0) {
            if (!flags.status_only)
                write_text(*ctx.err, name + ": " + list + ": no properly formatted " +
                                         std::string(kind.tag) + " checksum lines found\n");
            status = 1;
            continue;
        }
        if (!flags.status_only) {
            if (bad_lines)
                write_text(*ctx.err, name +
                                         ": WARNING: " + plural(bad_lines, "line is", "lines are") +
                                         " improperly formatted\n");
            if (unreadable)
                write_text(*ctx.err, name + ": WARNING: " +
                                         plural(unreadable, "listed file", "listed files") +
                                         " could not be read\n");
            if (failed)
                write_text(*ctx.err, name + ": WARNING: " +
                                         plural(failed, "computed checksum", "computed checksums") +
                                         " did NOT match\n");
        }
        if (failed || unreadable || (flags.strict && bad_lines)) status = 1;
    }
    return status;
}

}  // namespace

int checksum_main(CommandContext& ctx, const std::vector<std::string>& argv,
                  const DigestKind& kind) {
    auto args = parse_options(ctx, argv, kOptions);
    if (!args) return 1;
    bool check = false, tag = false, binary = false;
    char end = '\n';
    CheckFlags flags;
    for (const auto& o : args->options) {
        switch (o.id) {
            case kBinary:
                binary = true;
                break;
            case kText:
                binary = false;
                break;
            case kCheck:
                check = true;
                break;
            case kTag:
                tag = true;
                break;
            case kZero:
                end = '\0';
                break;
            case kIgnoreMissing:
                flags.ignore_missing = true;
                break;
            case kQuiet:
                flags.quiet = true;
                break;
            case kStatus:
                flags.status_only = true;
                break;
            case kStrict:
                flags.strict = true;
                break;
            case kWarn:
                flags.warn = true;
                break;
        }
    }
    if (args->operands.empty()) args->operands.push_back("-");
    if (check) return check_lists(ctx, args->operands, kind, flags);
    Output out(*ctx.out);
    int status = 0;
    for (const auto& operand : args->operands) {
        auto digest = digest_of(ctx, operand, kind);
        if (!digest) {
            out.flush();
            report(ctx, kind.name, quote(operand), digest.error());
            status = 1;
            continue;
        }
        if (tag)
            out.put(std::string(kind.tag) + " (" + operand + ") = " + *digest);
        else
            out.put(*digest + (binary ? " *" : "  ") + operand);
        if (!out.put(end)) return 1;
    }
    return status;
}

}  // namespace halvorn::agentsh::cmd
