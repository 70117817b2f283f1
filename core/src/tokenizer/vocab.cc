#include "tokenizer/vocab.h"

#include <bit>
#include <cstring>

namespace zeq {
namespace {

constexpr std::uint32_t kEmptySlot = 0xFFFFFFFFu;

// FNV-1a over 8-byte words, finished with a multiply-xorshift mix. Piece
// texts are short; this is quick and spreads well enough for a table at
// load factor 1/2. The hash function is private: the table is never
// iterated, so its order has no meaning.
std::uint64_t hash_text(std::string_view text) {
  std::uint64_t h = 0xcbf29ce484222325ull ^ text.size();
  std::size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    std::uint64_t w;
    std::memcpy(&w, text.data() + i, 8);
    h = (h ^ w) * 0x100000001b3ull;
    h ^= h >> 29;
  }
  std::uint64_t tail = 0;
  if (text.size() > i) std::memcpy(&tail, text.data() + i, text.size() - i);
  h = (h ^ tail) * 0x9E3779B97F4A7C15ull;
  return h ^ (h >> 32);
}

}  // namespace

Vocab Vocab::from_entries(std::vector<PieceEntry> entries, TokenId pad_id,
                          TokenId unk_id, TokenId bos_id, TokenId eos_id) {
  Vocab v;
  v.pieces_ = std::move(entries);
  v.pad_id_ = pad_id;
  v.unk_id_ = unk_id;
  v.bos_id_ = bos_id;
  v.eos_id_ = eos_id;

  // Sized once for every entry at load factor <= 1/2: no rehashing.
  const std::size_t capacity = std::bit_ceil(2 * v.pieces_.size() + 2);
  v.slots_.assign(capacity, kEmptySlot);
  for (std::size_t pos = 0; pos < v.pieces_.size(); ++pos) {
    const std::string_view text = v.pieces_[pos].text;
    // Either the slot of an equal earlier text (a later record wins) or the
    // empty slot where the text goes.
    v.slots_[v.slot_of(text, hash_text(text))] = static_cast<std::uint32_t>(pos);
  }
  return v;
}

std::size_t Vocab::slot_of(std::string_view text, std::uint64_t hash) const {
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    const std::uint32_t pos = slots_[i];
    if (pos == kEmptySlot || pieces_[pos].text == text) return i;
  }
}

std::optional<TokenId> Vocab::find(std::string_view text) const {
  if (slots_.empty()) return std::nullopt;
  const std::uint32_t pos = slots_[slot_of(text, hash_text(text))];
  if (pos == kEmptySlot) return std::nullopt;
  return pieces_[pos].id;
}

}  // namespace zeq
