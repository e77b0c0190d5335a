// file: what a file holds, told apart only as empty, a directory, text
// (ASCII, UTF-8 or another 8-bit encoding, with its line ends) or data.
// Scripts, sources and formats are not recognised: they are called text.
#include "agentsh/commands/registry.hpp"
#include "agentsh/commands/support/io.hpp"
#include "agentsh/commands/support/options.hpp"

namespace halvorn::agentsh::cmd {
namespace {

enum Id { kBrief };
constexpr OptionDef kOptions[] = {{'b', "brief", Arg::None, kBrief}};

// The bytes GNU's classifier takes for text: BEL to CR, ESC and the
// printable ones.
bool text_byte(unsigned char c) {
    return (c >= 7 && c <= 13) || c == 27 || (c >= 32 && c < 127);
}

// The encoding's name, or empty when the bytes are no text.
std::string_view encoding(std::string_view bytes) {
    bool ascii = true, utf8 = true, eight_bit = true;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c < 128) {
            if (!text_byte(c)) return {};
            continue;
        }
        ascii = false;
        if (c < 0xa0) eight_bit = false;
        const std::size_t n = (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (n == 0 || i + n > bytes.size()) {
            utf8 = false;
            continue;
        }
        bool ok = true;
        for (std::size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(bytes[i + k]) & 0xc0) != 0x80) ok = false;
        if (!ok) {
            utf8 = false;
            continue;
        }
        i += n - 1;
    }
    if (ascii) return "ASCII text";
    if (utf8) return "Unicode text, UTF-8 text";
    if (eight_bit) return "ISO-8859 text";
    return {};
}

std::string describe(std::string_view bytes) {
    if (bytes.empty()) return "empty";
    std::string_view kind = encoding(bytes);
    if (kind.empty()) return "data";
    std::string text(kind);
    std::size_t longest = 0, current = 0, lf = 0, cr = 0, crlf = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        if (c == '\n' || c == '\r') {
            longest = std::max(longest, current);
            current = 0;
            if (c == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') {
                ++crlf;
                ++i;
            } else {
                ++(c == '\n' ? lf : cr);
            }
            continue;
        }
        ++current;
    }
    longest = std::max(longest, current);
    if (longest > 300) text += ", with very long lines (" + std::to_string(longest) + ")";
    std::vector<std::string_view> ends;
    if (cr) ends.push_back("CR");
    if (crlf) ends.push_back("CRLF");
    if (lf && (cr || crlf)) ends.push_back("LF");
    if (ends.empty() && !lf) text += ", with no line terminators";
    if (!ends.empty()) {
        text += ", with ";
        for (std::size_t k = 0; k < ends.size(); ++k) {
            if (k) text += ", ";
            text += ends[k];
        }
        text += " line terminators";
    }
    return text;
}

}  // namespace

int file_main(CommandContext& ctx, const std::vector<std::string>& argv) {
    auto args = parse_options(ctx, argv, kOptions);
    if (!args) return 1;
    const bool brief = !args->options.empty();
    if (args->operands.empty()) {
        write_text(*ctx.err,
                   "Usage: file [-bcCdEhikLlNnprsSvzZ0] [--apple] [--extension] "
                   "[--mime-encoding] [--mime-type] [-e <testname>] [-F <separator>] "
                   " [-f <namefile>] [-m <magicfiles>] [-P <parameter=value>] "
                   "[--exclude-quiet] <file> ...\n       file -C [-m <magicfiles>]\n"
                   "       file [--help]\n");
        return 1;
    }
    std::size_t width = 0;
    for (const auto& operand : args->operands)
        width = std::max(width,
                         operand == "-" ? std::string_view("/dev/stdin").size() : operand.size());
    Output out(*ctx.out);
    for (const auto& operand : args->operands) {
        std::string description;
        auto node = operand == "-" ? Result<NodeStatus>(IoError::InodeNotFound)
                                   : stat_operand(ctx, operand);
        if (operand != "-" && node && node->is_directory) {
            description = "directory";
        } else {
            auto bytes = read_file(ctx, operand);
            description = bytes ? describe(*bytes)
                                : "cannot open `" + operand + "' (" +
                                      std::string(error_text(bytes.error())) + ")";
        }
        const std::string name = operand == "-" ? "/dev/stdin" : operand;
        if (!brief) {
            out.put(name + ":");
            out.put(std::string(width - name.size() + 1, ' '));
        }
        out.put(description + "\n");
    }
    return 0;
}

}  // namespace halvorn::agentsh::cmd
