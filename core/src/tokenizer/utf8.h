// UTF-8 helpers: validation with a precise error position, and lossy
// conversion that replaces each maximal ill-formed subpart by U+FFFD.
#ifndef ZEQ_TOKENIZER_UTF8_H_
#define ZEQ_TOKENIZER_UTF8_H_

#include <cstddef>
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

}  // namespace zeq::utf8

#endif  // ZEQ_TOKENIZER_UTF8_H_
