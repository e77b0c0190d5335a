#include "terminal/utf8.hpp"

#include <cstddef>
#include <cstring>

namespace halvorn::terminal {

namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";

// Length of the ASCII run at the start of `bytes`, eight bytes at a time while
// it can: file contents are mostly plain text.
std::size_t ascii_run(const std::uint8_t* bytes, std::size_t size) {
    constexpr std::uint64_t kHighBits = 0x8080808080808080u;
    std::size_t n = 0;
    for (; n + 8 <= size; n += 8) {
        std::uint64_t chunk;
        std::memcpy(&chunk, bytes + n, sizeof chunk);
        if (chunk & kHighBits) break;
    }
    while (n < size && bytes[n] < 0x80)
        ++n;
    return n;
}

// What a lead byte demands: the number of continuation bytes and the range
// allowed for the first of them. The narrowed ranges after E0, ED, F0 and F4
// exclude overlong forms, surrogates and values beyond U+10FFFF, so they are
// checked right at the second byte; later bytes are always 80..BF.
struct Lead {
    int continuation_count;  // 0 for a byte that can never start a sequence
    std::uint8_t low;
    std::uint8_t high;
};

Lead classify(std::uint8_t b) {
    if (b >= 0xC2 && b <= 0xDF) return {1, 0x80, 0xBF};
    if (b == 0xE0) return {2, 0xA0, 0xBF};
    if (b == 0xED) return {2, 0x80, 0x9F};
    if (b >= 0xE1 && b <= 0xEF) return {2, 0x80, 0xBF};
    if (b == 0xF0) return {3, 0x90, 0xBF};
    if (b >= 0xF1 && b <= 0xF3) return {3, 0x80, 0xBF};
    if (b == 0xF4) return {3, 0x80, 0x8F};
    return {0, 0, 0};  // 80..C1 and F5..FF
}

}  // namespace

std::string decode_utf8_lossy(std::span<const std::uint8_t> bytes) {
    const std::uint8_t* data = bytes.data();
    const std::size_t size = bytes.size();
    std::string out;
    out.reserve(size);

    std::size_t i = 0;
    while (i < size) {
        if (data[i] < 0x80) {
            const std::size_t run = ascii_run(data + i, size - i);
            out.append(reinterpret_cast<const char*>(data + i), run);
            i += run;
            continue;
        }

        const Lead lead = classify(data[i]);
        if (lead.continuation_count == 0) {
            out += kReplacement;
            ++i;
            continue;
        }

        // Walk the continuation bytes; the first that does not fit ends the
        // maximal subpart and is left for the next round, never swallowed.
        std::size_t end = i + 1;
        std::uint8_t low = lead.low;
        std::uint8_t high = lead.high;
        int remaining = lead.continuation_count;
        while (remaining > 0 && end < size && data[end] >= low && data[end] <= high) {
            ++end;
            --remaining;
            low = 0x80;
            high = 0xBF;
        }
        if (remaining == 0) {
            out.append(reinterpret_cast<const char*>(data + i), end - i);
        } else {
            out += kReplacement;
        }
        i = end;
    }
    return out;
}

}  // namespace halvorn::terminal
