// Viterbi segmentation of one word into the ids of its best-scoring pieces.
#ifndef ZEQ_TOKENIZER_SEGMENT_H_
#define ZEQ_TOKENIZER_SEGMENT_H_

#include <cstdint>
#include <string_view>
#include <vector>

#include "tokenizer/lattice.h"
#include "tokenizer/tokenizer.h"
#include "tokenizer/types.h"

namespace zeq {

// Score of a fallback step is min_score - FALLBACK_PENALTY (single precision).
inline constexpr float FALLBACK_PENALTY = 10.0f;

// Appends the ids of `word` (well-formed UTF-8, normally starting with
// SPACE_MARKER) in text order to `out`; earlier entries of `out` are left
// alone. An empty word appends nothing. Throws InternalFault, leaving `out`
// with an unspecified tail, for a word that ends inside a character whose
// lead byte has no byte token. One pass over the word: O(len) automaton
// steps (amortised) plus one offer per occurrence of a piece in the word.
void segment_word(const Tokenizer& tokenizer, std::string_view word,
                  std::vector<TokenId>& out, Lattice& lattice);
void segment_word(const Tokenizer& tokenizer, std::string_view word,
                  std::vector<TokenId>& out);

// segment_word of SPACE_MARKER followed by `body`, without the caller
// spelling that word out: how encoding segments every word of a text.
void segment_body(const Tokenizer& tokenizer, std::string_view body,
                  std::vector<TokenId>& out, Lattice& lattice);

// The state of the forward pass after a word's leading SPACE_MARKER, for
// Tokenizer::from_vocab (everything else of the tokenizer set already).
WordStart find_word_start(const Tokenizer& tokenizer);

}  // namespace zeq

#endif  // ZEQ_TOKENIZER_SEGMENT_H_
