// UTF-8 helpers: validation with a precise error position, and lossy
// conversion that replaces each maximal ill-formed subpart by U+FFFD.
#ifndef ZEQ_TOKENIZER_UTF8_H_
#define ZEQ_TOKENIZER_UTF8_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zeq::utf8 {

// Where and how a byte string first fails to be well-formed UTF-8.
struct Utf8Error {
  std::size_t valid_up_to;  // length of the longest valid prefix
  // Length (1 to 3) of the maximal ill-formed subpart at valid_up_to, or
  // 0 when the text ends inside an otherwise well-formed sequence.
  std::size_t error_len;

  // "invalid utf-8 sequence of N bytes from index I" or
  // "incomplete utf-8 byte sequence from index I".
  std::string to_string() const;
};

// Returns nothing when `bytes` is well-formed UTF-8. O(n).
std::optional<Utf8Error> validate(std::string_view bytes);

// Appends `bytes` to `out`, replacing every maximal ill-formed subpart
// (and a sequence cut short by the end) with U+FFFD. O(n).
void append_lossy(std::string_view bytes, std::string& out);

// Length of the well-formed character at the start of `bytes`, or 0 when
// it does not start with one (or is empty). O(1).
std::size_t valid_char_length(std::string_view bytes);

// Length of the character whose first byte is `lead`, judged from that byte
// alone: 1 for 0x00-0xBF (continuation bytes included), 2 for 0xC0-0xDF,
// 3 for 0xE0-0xEF, 4 for 0xF0-0xFF.
inline std::size_t char_length(unsigned char lead) {
  if (lead < 0xC0) return 1;
  if (lead < 0xE0) return 2;
  if (lead < 0xF0) return 3;
  return 4;
}

// Length (1 to 4) of the well-formed character that `text` starts with, or
// 0 when the text is empty or does not start with one: a lead byte whose
// continuation bytes are missing or wrong, an overlong form, a surrogate or
// a code point past U+10FFFF. O(1).
inline std::size_t leading_char_length(std::string_view text) {
  if (text.empty()) return 0;
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  const unsigned char lead = s[0];
  if (lead < 0x80) return 1;
  auto trail = [&](std::size_t i) { return (s[i] & 0xC0) == 0x80; };
  if ((lead & 0xE0) == 0xC0) {
    return n >= 2 && trail(1) && lead >= 0xC2 ? 2 : 0;
  }
  if ((lead & 0xF0) == 0xE0) {
    if (n < 3 || !trail(1) || !trail(2)) return 0;
    const std::uint32_t cp = (lead & 0x0Fu) << 12 | (s[1] & 0x3Fu) << 6 | (s[2] & 0x3Fu);
    return cp >= 0x800 && (cp < 0xD800 || cp > 0xDFFF) ? 3 : 0;
  }
  if ((lead & 0xF8) == 0xF0) {
    if (n < 4 || !trail(1) || !trail(2) || !trail(3)) return 0;
    const std::uint32_t cp = (lead & 0x07u) << 18 | (s[1] & 0x3Fu) << 12 |
                             (s[2] & 0x3Fu) << 6 | (s[3] & 0x3Fu);
    return cp >= 0x10000 && cp <= 0x10FFFF ? 4 : 0;
  }
  return 0;
}

}  // namespace zeq::utf8

#endif  // ZEQ_TOKENIZER_UTF8_H_
