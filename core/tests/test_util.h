// Helpers shared by the core tests.
#ifndef ZEQ_CORE_TESTS_TEST_UTIL_H_
#define ZEQ_CORE_TESTS_TEST_UTIL_H_

#include <limits>
#include <string>
#include <vector>

#include "tokenizer/tokenizer.h"
#include "tokenizer/vocab.h"

namespace zeq::testing {

struct Specials {
  TokenId pad = 1000, unk = 0, bos = 1001, eos = 1002;
};

inline Tokenizer make_tokenizer(std::vector<PieceEntry> entries, Specials s = {}) {
  return Tokenizer::from_vocab(
      Vocab::from_entries(std::move(entries), s.pad, s.unk, s.bos, s.eos));
}

inline constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
inline constexpr float kInf = std::numeric_limits<float>::infinity();

}  // namespace zeq::testing

#endif  // ZEQ_CORE_TESTS_TEST_UTIL_H_
