#include "tokenizer/vocab.h"

#include <bit>

#include "tokenizer/hash.h"

namespace zeq {
namespace {

constexpr std::uint32_t kEmptySlot = 0xFFFFFFFFu;

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
    v.slots_[v.slot_of(text, hash_bytes(text))] = static_cast<std::uint32_t>(pos);
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
  const std::uint32_t pos = slots_[slot_of(text, hash_bytes(text))];
  if (pos == kEmptySlot) return std::nullopt;
  return pieces_[pos].id;
}

}  // namespace zeq
