// What a Session owns: the per-caller scratch state of encoding.
#ifndef ZEQ_TOKENIZER_SESSION_STATE_H_
#define ZEQ_TOKENIZER_SESSION_STATE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tokenizer/lattice.h"
#include "tokenizer/model.h"
#include "tokenizer/word_cache.h"
#include "zeq/tokenizer.h"

namespace zeq {

class SessionState {
 public:
  explicit SessionState(const Model& model) : model(model) {}

  void encode(std::string_view text, std::vector<TokenId>& ids);
  void encode_detailed(std::string_view text, TokenSpans& out);
  // The text segmentation reads, into `out`; with `alignment`, the offset in
  // `text` each byte of it comes from, and one more for its end.
  void normalize(std::string_view text, std::string& out, std::vector<std::size_t>* alignment);
  void trim();

  const Model& model;
  WordCache cache;
  Lattice lattice;
  std::string normalized;
  std::vector<std::size_t> alignment;
  std::vector<std::uint32_t> lengths;

 private:
  std::vector<std::size_t> alignment_ends_;
};

}  // namespace zeq

#endif  // ZEQ_TOKENIZER_SESSION_STATE_H_
