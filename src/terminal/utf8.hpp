// Turning file bytes into text for display, without ever failing.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace halvorn::terminal {

// Returns `bytes` as UTF-8 text. Well-formed UTF-8 passes unchanged; each
// maximal subpart of an ill-formed sequence (the longest prefix of a valid
// sequence that is present, or else a single byte) becomes one U+FFFD. This
// is the substitution most decoders agree on, so the same bytes show the same
// number of replacement characters wherever they are viewed.
std::string decode_utf8_lossy(std::span<const std::uint8_t> bytes);

}  // namespace halvorn::terminal
