// Text normalisation and word splitting ahead of segmentation.
#ifndef ZEQ_TOKENIZER_NORMALIZE_H_
#define ZEQ_TOKENIZER_NORMALIZE_H_

#include <string>
#include <string_view>
#include <vector>

namespace zeq {

// Writes into `out` (cleared first) the text with every U+0020 turned into
// SPACE_MARKER and one SPACE_MARKER put in front unless the result already
// starts with one. The empty text stays empty. No other character changes.
void normalize(std::string_view text, std::string& out);
std::string normalize(std::string_view text);

// The word of `normalized` that starts at `pos`: from there up to (not
// including) the next SPACE_MARKER after it, or to the end. Advances `pos`
// past it. Every word of a normalised text starts with exactly one marker.
std::string_view next_word(std::string_view normalized, std::size_t& pos);

// All words of `normalized`, in order, as views into it.
std::vector<std::string_view> split_words(std::string_view normalized);

}  // namespace zeq

#endif  // ZEQ_TOKENIZER_NORMALIZE_H_
