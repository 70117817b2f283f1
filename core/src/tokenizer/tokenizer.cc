#include "tokenizer/tokenizer.h"

#include <algorithm>
#include <limits>

#include "tokenizer/segment.h"

namespace zeq {

std::string byte_piece_text(unsigned char b) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  return std::string{'<', '0', 'x', kHex[b >> 4], kHex[b & 0xF], '>'};
}

Tokenizer Tokenizer::from_vocab(Vocab vocab) {
  Tokenizer t(std::move(vocab));
  const Vocab& v = t.vocab_;

  // Trie keys: every record whose stored id is not special, in file order.
  // The running minimum starts at the largest finite float, and only a
  // strictly smaller score replaces it, so NaN never does.
  constexpr float kLargest = std::numeric_limits<float>::max();
  float m = kLargest;
  std::vector<ByteTrie::Key> keys;
  keys.reserve(v.size());
  for (const PieceEntry& e : v.pieces()) {
    if (v.is_special(e.id)) continue;
    keys.push_back({e.text, e.id, e.score});
    if (e.score < m) m = e.score;
  }
  t.min_score_ = (m == kLargest) ? 0.0f : m;
  t.trie_ = ByteTrie::build(std::move(keys));

  // Byte pieces are found by their exact text, so the id is that of the
  // last record carrying it; a shared id maps back to the largest byte.
  for (int b = 0; b < 256; ++b) {
    const auto byte = static_cast<unsigned char>(b);
    if (auto id = v.find(byte_piece_text(byte))) {
      t.byte_fallback_.set(byte, *id);
      auto it = std::find_if(t.byte_tokens_.begin(), t.byte_tokens_.end(),
                             [&](const auto& p) { return p.first == *id; });
      if (it != t.byte_tokens_.end()) it->second = byte;
      else t.byte_tokens_.emplace_back(*id, byte);
    }
  }
  std::sort(t.byte_tokens_.begin(), t.byte_tokens_.end());

  // Decode's rules in their order: special ids add nothing, byte tokens
  // their byte, every other position its piece text.
  for (std::size_t pos = 0; pos < v.size(); ++pos) {
    const auto id = static_cast<TokenId>(pos);
    if (v.is_special(id)) {
      t.decode_table_.add_nothing();
    } else if (auto b = t.byte_token(id)) {
      t.decode_table_.add_byte(*b);
    } else {
      t.decode_table_.add_piece(v.pieces()[pos].text);
    }
  }
  t.decode_table_.finish();

  t.unk_id_ = v.unk_id();
  t.word_start_ = find_word_start(t);
  return t;
}

std::optional<unsigned char> Tokenizer::byte_token(TokenId id) const {
  auto it = std::lower_bound(byte_tokens_.begin(), byte_tokens_.end(), id,
                             [](const auto& p, TokenId v) { return p.first < v; });
  if (it == byte_tokens_.end() || it->first != id) return std::nullopt;
  return it->second;
}

}  // namespace zeq
