// Viterbi segmentation of one word into the ids of its best-scoring pieces.
#ifndef ZEQ_TOKENIZER_SEGMENT_H_
#define ZEQ_TOKENIZER_SEGMENT_H_

#include <cstdint>
#include <limits>
#include <string_view>
#include <vector>

#include "tokenizer/lattice.h"
#include "tokenizer/model.h"
#include "tokenizer/types.h"

namespace zeq {

// Score of a fallback step is min_score - FALLBACK_PENALTY (single precision).
inline constexpr float FALLBACK_PENALTY = 10.0f;

// A word segmented with options is scored as SentencePiece scores a line:
// its sums run on from the best score of the text before the word instead
// of from 0. Which of two nearly equal candidates wins can then depend on
// that start score, since each sum rounds to a float near it; `margin`
// tells how near the nearest call was, so that a word segmented from 0 can
// be trusted from any start score far enough from it (see encode.cc).
struct SourceWord {
  float start = 0.0f;  // in: the best score of the text before the word
  float end = 0.0f;    // out: the best score at the word's end
  // out: the least difference between two candidates of any decision
  double margin = std::numeric_limits<double>::infinity();
};

// Appends the ids of `word` (well-formed UTF-8, normally starting with
// SPACE_MARKER) in text order to `out`; earlier entries of `out` are left
// alone. An empty word appends nothing. With `lengths`, appends each id's
// length in bytes of the word there too. Throws InternalFault, leaving
// `out` with an unspecified tail, for a word that ends inside a character
// whose lead byte has no byte token. One pass over the word: O(len)
// automaton steps (amortised) plus one offer per occurrence of a piece in
// the word.
//
// A character that no piece covers is one fallback step: without options,
// the byte piece of each of its bytes (a step each) or one unk_id; with
// options, one step for the character, which becomes unk_id or, with byte
// fallback, the byte pieces of its bytes.
//
// With options, `source` must be given (and is ignored without).
void segment_word(const Model& model, std::string_view word, std::vector<TokenId>& out,
                  Lattice& lattice, std::vector<std::uint32_t>* lengths = nullptr,
                  SourceWord* source = nullptr);

// segment_word of SPACE_MARKER followed by `body`, without the caller
// spelling that word out: how encoding segments every word of a text.
void segment_body(const Model& model, std::string_view body, std::vector<TokenId>& out,
                  Lattice& lattice, std::vector<std::uint32_t>* lengths = nullptr,
                  SourceWord* source = nullptr);

// The state of the forward pass after a word's leading SPACE_MARKER, for
// Model::build (everything else of the model set already).
WordStart find_word_start(const Model& model);

}  // namespace zeq

#endif  // ZEQ_TOKENIZER_SEGMENT_H_
