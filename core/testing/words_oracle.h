// The word rules of encoding written the slow, obvious way: the normalised
// text spelled out, then cut into words. Tests compare the fused word
// reader of the product (tokenizer/words.h) against these.
#ifndef ZEQ_TESTING_WORDS_ORACLE_H_
#define ZEQ_TESTING_WORDS_ORACLE_H_

#include <string>
#include <string_view>
#include <vector>

namespace zeq::testing {

inline constexpr std::string_view kMarker = "\xE2\x96\x81";

// The text with every U+0020 turned into the marker and one marker put in
// front unless the result already starts with one. The empty text stays
// empty. No other character changes.
inline std::string normalize(std::string_view text) {
  if (text.empty()) return {};
  std::string out;
  if (!text.starts_with(' ') && !text.starts_with(kMarker)) out += kMarker;
  for (char c : text) {
    if (c == ' ') out += kMarker;
    else out += c;
  }
  return out;
}

// The word of `normalized` that starts at `pos`: up to (not including) the
// next marker after its first byte, or to the end. Advances `pos` past it.
inline std::string_view next_word(std::string_view normalized, std::size_t& pos) {
  const std::size_t start = pos;
  std::size_t end = normalized.find(kMarker, start + 1);
  if (end == std::string_view::npos) end = normalized.size();
  pos = end;
  return normalized.substr(start, end - start);
}

// Every word of a normalised text, in order, as views into it.
inline std::vector<std::string_view> split_words(std::string_view normalized) {
  std::vector<std::string_view> words;
  for (std::size_t pos = 0; pos < normalized.size();) words.push_back(next_word(normalized, pos));
  return words;
}

}  // namespace zeq::testing

#endif  // ZEQ_TESTING_WORDS_ORACLE_H_
