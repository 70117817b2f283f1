// The vocabulary tables: every record of a vocabulary file in file order,
// a map from piece text to stored id, and the four special ids.
//
// Two notions of id meet here. A *position* indexes `pieces()` (used by
// id_to_piece, decode and encode_pieces); a *stored id* is the `id` field of
// a record (returned by find, held by the segmentation model, emitted by
// encode). They agree for files whose record i carries id i; nothing checks it.
#ifndef ZEQ_TOKENIZER_VOCAB_H_
#define ZEQ_TOKENIZER_VOCAB_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tokenizer/types.h"

namespace zeq {

// One record of a vocabulary file, exactly as stored.
struct PieceEntry {
  std::string text;  // UTF-8, may be empty, may hold SPACE_MARKER
  TokenId id;
  float score;       // bit for bit as stored (NaN, infinities, -0.0 kept)
};

class Vocab {
 public:
  // Takes the records in file order. For texts that occur more than once,
  // the last record's id is the one `find` returns; `pieces` keeps them all.
  // Cannot fail. O(total text bytes).
  static Vocab from_entries(std::vector<PieceEntry> entries, TokenId pad_id,
                            TokenId unk_id, TokenId bos_id, TokenId eos_id);

  Vocab(Vocab&&) noexcept = default;
  Vocab& operator=(Vocab&&) noexcept = default;

  const std::vector<PieceEntry>& pieces() const { return pieces_; }
  std::size_t size() const { return pieces_.size(); }

  // Stored id of the last record whose text is exactly `text` (byte
  // comparison, no normalisation); nothing if no record has it.
  // One hash of `text` plus byte comparisons of equal-length candidates.
  std::optional<TokenId> find(std::string_view text) const;

  TokenId pad_id() const { return pad_id_; }
  TokenId unk_id() const { return unk_id_; }
  TokenId bos_id() const { return bos_id_; }
  TokenId eos_id() const { return eos_id_; }

  // True when `id` is one of the four special ids.
  bool is_special(TokenId id) const {
    return id == pad_id_ || id == unk_id_ || id == bos_id_ || id == eos_id_;
  }

 private:
  Vocab() = default;

  std::size_t slot_of(std::string_view text, std::uint64_t hash) const;

  std::vector<PieceEntry> pieces_;
  // Open-addressing table (linear probing, power-of-two size, load <= 1/2)
  // of positions into pieces_; kEmptySlot marks a free slot. Each key's slot
  // holds the position of the last record with that text, which makes the
  // stored id of that record the value of the map. Keys are the records'
  // own texts, so the table copies no strings.
  std::vector<std::uint32_t> slots_;
  TokenId pad_id_ = 0;
  TokenId unk_id_ = 0;
  TokenId bos_id_ = 0;
  TokenId eos_id_ = 0;
};

}  // namespace zeq

#endif  // ZEQ_TOKENIZER_VOCAB_H_
