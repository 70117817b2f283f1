#include "tokenizer/normalize.h"
#include "tokenizer/segment.h"
#include "tokenizer/tokenizer.h"

namespace zeq {

std::vector<TokenId> Tokenizer::encode(std::string_view text) const {
  std::vector<TokenId> ids;
  ids.reserve(text.size() / 3 + 1);
  // One normalised buffer and one lattice serve every word of the call;
  // words are views into the buffer.
  std::string normalized;
  normalize(text, normalized);
  Lattice lattice;
  for (std::size_t pos = 0; pos < normalized.size();) {
    segment_word(*this, next_word(normalized, pos), ids, lattice);
  }
  return ids;
}

std::vector<std::string_view> Tokenizer::encode_pieces(std::string_view text) const {
  static constexpr std::string_view kUnknown = "<unk>";
  const std::vector<TokenId> ids = encode(text);
  std::vector<std::string_view> pieces;
  pieces.reserve(ids.size());
  const auto& entries = vocab_.pieces();
  for (TokenId id : ids) {
    pieces.push_back(id < entries.size() ? std::string_view(entries[id].text) : kUnknown);
  }
  return pieces;
}

}  // namespace zeq
