// The model's operations as tests and fuzz targets call them: one call at a
// time, each with scratch state of its own.
#ifndef ZEQ_TESTING_MODEL_CALLS_H_
#define ZEQ_TESTING_MODEL_CALLS_H_

#include <string>
#include <string_view>
#include <vector>

#include "tokenizer/encode.h"
#include "tokenizer/model.h"
#include "tokenizer/word_cache.h"

namespace zeq::testing {

// zeq's own encoding of `text` (no options), with or without a word cache.
inline std::vector<TokenId> encode(const Model& m, std::string_view text, WordCache* cache = nullptr) {
  Lattice lattice;
  std::vector<TokenId> ids;
  encode_words(m, text, FirstWord::Marked, cache, lattice, ids);
  return ids;
}

// encode, then each id read as a position: its piece text, or "<unk>".
inline std::vector<std::string_view> encode_pieces(const Model& m, std::string_view text,
                                                   WordCache* cache = nullptr) {
  std::vector<std::string_view> pieces;
  for (TokenId id : encode(m, text, cache)) pieces.push_back(m.piece_or_unk(id));
  return pieces;
}

inline std::string decode(const Model& m, const std::vector<TokenId>& ids) {
  std::string out;
  m.decode_into(ids, out);
  return out;
}

}  // namespace zeq::testing

#endif  // ZEQ_TESTING_MODEL_CALLS_H_
