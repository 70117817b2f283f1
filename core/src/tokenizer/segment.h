// Viterbi segmentation of one word into the ids of its best-scoring pieces.
#ifndef ZEQ_TOKENIZER_SEGMENT_H_
#define ZEQ_TOKENIZER_SEGMENT_H_

#include <cstdint>
#include <string_view>
#include <vector>

#include "tokenizer/lattice.h"
#include "tokenizer/model.h"
#include "tokenizer/types.h"

namespace zeq {

// Score of a fallback step is min_score - FALLBACK_PENALTY (single precision).
inline constexpr float FALLBACK_PENALTY = 10.0f;

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
void segment_word(const Model& model, std::string_view word, std::vector<TokenId>& out,
                  Lattice& lattice, std::vector<std::uint32_t>* lengths = nullptr);

// segment_word of SPACE_MARKER followed by `body`, without the caller
// spelling that word out: how encoding segments every word of a text.
void segment_body(const Model& model, std::string_view body, std::vector<TokenId>& out,
                  Lattice& lattice, std::vector<std::uint32_t>* lengths = nullptr);

// The state of the forward pass after a word's leading SPACE_MARKER, for
// Model::build (everything else of the model set already).
WordStart find_word_start(const Model& model);

}  // namespace zeq

#endif  // ZEQ_TOKENIZER_SEGMENT_H_
