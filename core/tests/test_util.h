// Helpers shared by the core tests.
#ifndef ZEQ_CORE_TESTS_TEST_UTIL_H_
#define ZEQ_CORE_TESTS_TEST_UTIL_H_

#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "model_calls.h"
#include "tokenizer/model.h"
#include "tokenizer/vocab.h"
#include "words_oracle.h"

namespace zeq::testing {

struct Specials {
  TokenId pad = 1000, unk = 0, bos = 1001, eos = 1002;
};

inline Model make_model(std::vector<PieceEntry> entries, Specials s = {}) {
  return Model::from_vocab(Vocab::from_entries(std::move(entries), s.pad, s.unk, s.bos, s.eos));
}

inline constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
inline constexpr float kInf = std::numeric_limits<float>::infinity();

}  // namespace zeq::testing

#endif  // ZEQ_CORE_TESTS_TEST_UTIL_H_
