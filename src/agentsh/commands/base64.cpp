// base64: bytes to RFC 4648 text wrapped at -w columns (76; 0 for none), or
// back with -d (newlines skipped, -i skipping any other stray byte too).
#include <array>
#include <cstdlib>

#include "agentsh/commands/registry.hpp"
#include "agentsh/commands/support/io.hpp"
#include "agentsh/commands/support/options.hpp"

namespace halvorn::agentsh::cmd {
namespace {

enum Id { kDecode, kIgnoreGarbage, kWrap };
constexpr OptionDef kOptions[] = {
    {'d', "decode", Arg::None, kDecode},
    {'i', "ignore-garbage", Arg::None, kIgnoreGarbage},
    {'w', "wrap", Arg::Required, kWrap},
};

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string encode(std::string_view bytes) {
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const auto v = (static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16) |
                       (static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8) |
                       static_cast<unsigned char>(bytes[i + 2]);
        for (int shift = 18; shift >= 0; shift -= 6)
            text += kAlphabet[(v >> shift) & 63];
    }
    const std::size_t rest = bytes.size() - i;
    if (rest) {
        std::uint32_t v = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
        if (rest == 2)
            v |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
        text += kAlphabet[(v >> 18) & 63];
        text += kAlphabet[(v >> 12) & 63];
        text += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
        text += '=';
    }
    return text;
}

// The decoded bytes; false at the first byte that cannot belong (the bytes
// before it are still given, as GNU writes them before failing).
bool decode(std::string_view text, bool ignore_garbage, std::string& bytes) {
    std::array<int, 256> value{};
    value.fill(-1);
    for (std::size_t k = 0; k < kAlphabet.size(); ++k)
        value[static_cast<unsigned char>(kAlphabet[k])] = static_cast<int>(k);
    std::uint32_t acc = 0;
    int have = 0, pad = 0;
    for (unsigned char c : text) {
        if (c == '\n') continue;
        if (c == '=') {
            if (have < 2) return false;
            ++pad;
            if (have + pad == 4) {
                if (have == 2) bytes += static_cast<char>(acc >> 4);
                if (have == 3) {
                    bytes += static_cast<char>(acc >> 10);
                    bytes += static_cast<char>((acc >> 2) & 0xff);
                }
                acc = 0;
                have = pad = 0;
            }
            continue;
        }
        if (value[c] < 0) {
            if (ignore_garbage) continue;
            // What the quad so far holds is written before failing.
            if (have == 2) bytes += static_cast<char>(acc >> 4);
            if (have == 3) {
                bytes += static_cast<char>(acc >> 10);
                bytes += static_cast<char>((acc >> 2) & 0xff);
            }
            return false;
        }
        if (pad) return false;
        acc = (acc << 6) | static_cast<std::uint32_t>(value[c]);
        if (++have == 4) {
            bytes += static_cast<char>(acc >> 16);
            bytes += static_cast<char>((acc >> 8) & 0xff);
            bytes += static_cast<char>(acc & 0xff);
            acc = 0;
            have = 0;
        }
    }
    if (pad) return false;
    // Unpadded tails decode as far as they go, then count as invalid.
    if (have == 2) bytes += static_cast<char>(acc >> 4);
    if (have == 3) {
        bytes += static_cast<char>(acc >> 10);
        bytes += static_cast<char>((acc >> 2) & 0xff);
    }
    return have == 0;
}

}  // namespace

int base64_main(CommandContext& ctx, const std::vector<std::string>& argv) {
    auto args = parse_options(ctx, argv, kOptions);
    if (!args) return 1;
    bool decoding = false, ignore_garbage = false;
    std::size_t wrap = 76;
    for (const auto& o : args->options) {
        if (o.id == kDecode) decoding = true;
        if (o.id == kIgnoreGarbage) ignore_garbage = true;
        if (o.id == kWrap) {
            char* end = nullptr;
            long long w = std::strtoll(o.value.c_str(), &end, 10);
            if (o.value.empty() || *end != '\0' || w < 0) {
                write_text(*ctx.err, "base64: invalid wrap size: " + quote(o.value) + "\n");
                return 1;
            }
            wrap = static_cast<std::size_t>(w);
        }
    }
    if (args->operands.size() > 1) {
        usage_error(ctx, "base64", "extra operand " + quote(args->operands[1]));
        return 1;
    }
    const std::string operand = args->operands.empty() ? "-" : args->operands[0];
    auto bytes = read_file(ctx, operand);
    if (!bytes) {
        report(ctx, "base64", quote(operand), bytes.error());
        return 1;
    }
    Output out(*ctx.out);
    if (decoding) {
        std::string decoded;
        const bool ok = decode(*bytes, ignore_garbage, decoded);
        out.put(decoded);
        if (!ok) {
            out.flush();
            write_text(*ctx.err, "base64: invalid input\n");
            return 1;
        }
        return 0;
    }
    const std::string text = encode(*bytes);
    // Unwrapped output ends without a newline, as GNU's does.
    if (wrap == 0) return out.put(text) ? 0 : 1;
    for (std::size_t at = 0; at < text.size(); at += wrap) {
        out.put(std::string_view(text).substr(at, wrap));
        out.put('\n');
    }
    return 0;
}

}  // namespace halvorn::agentsh::cmd
