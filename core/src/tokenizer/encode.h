// Encoding a text word by word, the step every Session call ends in.
#ifndef ZEQ_TOKENIZER_ENCODE_H_
#define ZEQ_TOKENIZER_ENCODE_H_

#include <cstddef>
#include <string_view>
#include <vector>

#include "tokenizer/lattice.h"
#include "tokenizer/model.h"
#include "tokenizer/word_cache.h"

namespace zeq {

// How the first word of a text that does not begin with a separator is read.
enum class FirstWord {
  Marked,  // as if a marker stood in front (zeq's own rule)
  Bare,    // as it is, from the trie's root (a normaliser without a dummy prefix)
};

// Ids of the words of `text`, cut as words.h says, written over `ids`.
// With a cache, words seen before are looked up instead of segmented again
// (same result); the cache serves this model alone. Throws InternalFault
// for text that is not UTF-8 in a way that reaches past a word's end.
void encode_words(const Model& model, std::string_view text, FirstWord first, WordCache* cache,
                  Lattice& lattice, std::vector<TokenId>& ids);

// The same ids with each one's length in bytes of the normalised text
// (`text` with a marker in front per FirstWord), appended; no cache.
void encode_words_with_lengths(const Model& model, std::string_view text, FirstWord first,
                               Lattice& lattice, std::vector<TokenId>& ids,
                               std::vector<std::uint32_t>& lengths);

// Drops every unk_id that follows another.
void merge_unknown_runs(std::vector<TokenId>& ids, TokenId unk);

}  // namespace zeq

#endif  // ZEQ_TOKENIZER_ENCODE_H_
