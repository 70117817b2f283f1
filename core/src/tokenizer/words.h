// How encoding cuts a text into words: at every space and every
// SPACE_MARKER, each word being a marker followed by its body.
#ifndef ZEQ_TOKENIZER_WORDS_H_
#define ZEQ_TOKENIZER_WORDS_H_

#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "tokenizer/types.h"

namespace zeq {

// Offset of the next word separator in `text` at or after `from`: a space
// or a SPACE_MARKER. text.size() when there is none.
//
// Words are a few bytes long, so this runs once every few bytes: 16 bytes
// are tested at once for a space or a marker's lead byte E2 (SSE2, part of
// every x86-64), and only an E2 found there is checked for the rest of the
// marker. The last 0-15 bytes, and other processors, go byte by byte.
inline std::size_t find_separator(std::string_view text, std::size_t from) {
  const char* s = text.data();
  const std::size_t n = text.size();
  auto is_separator = [&](std::size_t i) {
    return s[i] == ' ' ||
           (s[i] == '\xE2' && i + 2 < n && s[i + 1] == '\x96' && s[i + 2] == '\x81');
  };
  std::size_t i = from;
#if defined(__SSE2__)
  const __m128i space = _mm_set1_epi8(' ');
  const __m128i lead = _mm_set1_epi8('\xE2');
  for (; i + 16 <= n; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
    auto hits = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, space), _mm_cmpeq_epi8(v, lead))));
    for (; hits != 0; hits &= hits - 1) {
      const std::size_t k = i + static_cast<std::size_t>(__builtin_ctz(hits));
      if (is_separator(k)) return k;
    }
  }
#endif
  for (; i < n; ++i) {
    if (is_separator(i)) return i;
  }
  return n;
}

// Visits the words of `text` in order, without building its normalised
// form (every space a marker, a marker in front unless the text begins
// with a space or one): every word is SPACE_MARKER followed by a body, and
// `visit` receives the body as a view into `text`. Each space or marker of
// the text starts a word whose body runs to the next one; a text that does
// not start with one gets a first word of its own (the marker put in
// front). One pass, no allocation.
template <class Visit>
void for_each_word_body(std::string_view text, Visit&& visit) {
  std::size_t sep = find_separator(text, 0);
  if (sep != 0) visit(text.substr(0, sep));
  while (sep < text.size()) {
    const std::size_t body = sep + (text[sep] == ' ' ? 1 : SPACE_MARKER.size());
    sep = find_separator(text, body);
    visit(text.substr(body, sep - body));
  }
}

}  // namespace zeq

#endif  // ZEQ_TOKENIZER_WORDS_H_
