// Viterbi segmentation of one word into the ids of its best-scoring pieces.
#ifndef ZEQ_TOKENIZER_SEGMENT_H_
#define ZEQ_TOKENIZER_SEGMENT_H_

#include <cstdint>
#include <string_view>
#include <vector>

#include "tokenizer/tokenizer.h"
#include "tokenizer/types.h"

namespace zeq {

// Score of a fallback step is min_score - FALLBACK_PENALTY (single precision).
inline constexpr float FALLBACK_PENALTY = 10.0f;

// Best segmentation found so far of the first k bytes of a word.
// The start of the last piece is kept as its distance back from k rather
// than as an absolute offset: a piece is at most 2^32 - 1 bytes long, so the
// distance always fits in 32 bits whatever the word's length, and 0 can mean
// "unreached" since every step covers at least one byte.
// A trivial type: all-zero bytes are the unreached cell {0, 0.0f, 0}.
struct LatticeCell {
  std::uint32_t back_distance;  // 0: unreached (cell 0 is the start)
  float score;
  TokenId id;
};

// Lattice buffer, reusable across words so that a whole encode call
// allocates it once (grown to the longest word).
class Lattice {
 public:
  // Makes cells 0..len unreached; returns them.
  LatticeCell* reset(std::size_t len);

 private:
  std::vector<LatticeCell> cells_;
};

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

}  // namespace zeq

#endif  // ZEQ_TOKENIZER_SEGMENT_H_
