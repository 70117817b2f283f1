// The loaded model behind a zeq::Tokenizer: vocabulary tables, the
// segmentation model built from them and, for a file with an options
// section, the source model's normaliser and rules. Immutable after it is
// built; every operation only reads it, so any number of threads may use
// one at once.
#ifndef ZEQ_TOKENIZER_MODEL_H_
#define ZEQ_TOKENIZER_MODEL_H_

#include <array>
#include <expected>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tokenizer/byte_trie.h"
#include "tokenizer/decode_table.h"
#include "tokenizer/lattice.h"
#include "tokenizer/normalizer.h"
#include "tokenizer/options.h"
#include "tokenizer/types.h"
#include "tokenizer/vocab.h"

namespace zeq {

// Text of the byte piece of byte value b: "<0x" + two upper-case hex
// digits + ">", e.g. "<0x0A>". Only this exact form names a byte piece.
std::string byte_piece_text(unsigned char b);

// 256 optional ids indexed by byte value: the byte piece of each byte.
class ByteFallbackTable {
 public:
  bool has(unsigned char b) const { return present_[b]; }
  TokenId id(unsigned char b) const { return ids_[b]; }
  void set(unsigned char b, TokenId id) { present_[b] = true; ids_[b] = id; }

 private:
  std::array<TokenId, 256> ids_{};
  std::array<bool, 256> present_{};
};

// What a model built from an options section keeps of it.
struct SourceRules {
  Normalizer normalizer;
  NormalizerFlags flags;
  bool byte_fallback = false;
  bool merge_unknown_runs = false;
  // Kind of every position; empty when every record is ordinary.
  std::vector<PieceKind> kinds;
  std::string unknown_surface;

  PieceKind kind(std::size_t position) const {
    return position < kinds.size() ? kinds[position] : PieceKind::Ordinary;
  }
};

class Model {
 public:
  // Builds the trie over every record whose stored id is not one of the four
  // special ids, the least score among them (0.0 when there is none or all
  // are NaN, +inf or the largest finite float), the byte-fallback table and
  // the id-to-byte map. Takes the vocabulary over. Cannot fail (short of
  // memory exhaustion).
  static Model from_vocab(Vocab vocab);
  // The same for a file with an options section: the trie holds only the
  // ordinary and user-defined pieces among those records (user-defined ones
  // scored to be kept whole), the least score is that of the ordinary ones,
  // and the normaliser and fallback rules are the section's. Fails, with a
  // one-line reason, when the section's character map is broken.
  static std::expected<Model, std::string> from_vocab(Vocab vocab, ModelOptions options);

  Model(Model&&) noexcept = default;
  Model& operator=(Model&&) noexcept = default;

  // The text a piece list shows for `id`: the piece text at that position,
  // or "<unk>" for a position at or past the end.
  std::string_view piece_or_unk(TokenId id) const {
    return id < vocab_.size() ? std::string_view(vocab_.pieces()[id].text) : std::string_view("<unk>");
  }

  // --- Decoding (decode.cc, decode_source.cc) ---

  // Joins what each id contributes (special ids: nothing; byte-token ids:
  // their byte; other positions: the piece text; the rest: nothing), repairs
  // ill-formed UTF-8 with U+FFFD, drops a SPACE_MARKER at the very start and
  // turns every other one into a space; with options, the source model's
  // rules instead (decode_source.cc). Writes over `out`, whose capacity is
  // reused. Never fails.
  void decode_into(std::span<const TokenId> ids, std::string& out) const;
  // What a caller that learns ids one by one can ask for before decoding
  // them: each id's table slot.
  DecodePrefetch decode_prefetch() const {
    return DecodePrefetch(decode_table_.slots(), decode_table_.size(), sizeof(DecodeTable::Slot));
  }

  // --- Look-ups ---

  // Text of the record at position `id`, or nothing past the end.
  std::optional<std::string_view> id_to_piece(TokenId id) const {
    if (id >= vocab_.size()) return std::nullopt;
    return std::string_view(vocab_.pieces()[id].text);
  }
  // Stored id of the last record with exactly this text, or nothing.
  std::optional<TokenId> piece_to_id(std::string_view piece) const {
    return vocab_.find(piece);
  }
  std::uint64_t vocab_size() const { return vocab_.size(); }

  // --- The model, read by segmentation and tests ---

  const Vocab& vocab() const { return vocab_; }
  const ByteTrie& trie() const { return trie_; }
  const ByteFallbackTable& byte_fallback() const { return byte_fallback_; }
  // Byte value of a byte-piece id (for ids shared by several byte pieces,
  // the largest byte), or nothing.
  std::optional<unsigned char> byte_token(TokenId id) const;
  float min_score() const { return min_score_; }
  TokenId unk_id() const { return unk_id_; }
  // Where segmentation stands after a word's leading SPACE_MARKER.
  const WordStart& word_start() const { return word_start_; }

  // --- Options (null or default for a file without a section) ---

  // The source model's rules, or null.
  const SourceRules* source() const { return source_ ? &*source_ : nullptr; }
  // With options: the source's running score after `ids`, the tokens of one
  // word as segmentation gave them, from `score`: each step's score added
  // in single precision, one step for each piece, each unknown character
  // and each character that fell back to bytes. O(ids).
  float source_score_after(float score, std::span<const TokenId> ids) const;

 private:
  explicit Model(Vocab vocab) : vocab_(std::move(vocab)) {}

  // The tables every model has; `kinds` (by position, or empty) keeps
  // control, unused and byte pieces out of the trie and scores user-defined
  // ones as the source does.
  void build(const std::vector<PieceKind>& kinds);
  // source_steps_, once build has run.
  void build_source_steps();

  // What decode does with `id` (see decode).
  const DecodeTable::Slot& decode_slot(TokenId id) const {
    if (id < decode_table_.size()) return decode_table_.slot(id);
    return decode_slot_past_end(id);
  }
  const DecodeTable::Slot& decode_slot_past_end(TokenId id) const;
  // Writes the decoded text of `ids` at w (room for the bound decode_into
  // works out, plus DecodeTable::kPadding); returns its end.
  char* write_decoded(std::span<const TokenId> ids, char* w) const;
  // From ids[i] on, writes at w what is not a plain piece copy: runs of
  // byte tokens (repaired), ids that add nothing, and the first
  // contribution of the text. Returns the index of the next piece to copy
  // plainly (or the end) and the new end of the output; updates at_start.
  struct SlowStep {
    std::size_t next;
    char* w;
  };
  SlowStep write_slow(std::span<const TokenId> ids, std::size_t i, char* w, bool& at_start) const;
  // decode_into with the source model's rules.
  void decode_source(std::span<const TokenId> ids, std::string& out) const;

  Vocab vocab_;
  ByteTrie trie_;
  ByteFallbackTable byte_fallback_;
  // ByteTokenMap: (id, byte) pairs sorted by id, at most 256 of them.
  std::vector<std::pair<TokenId, unsigned char>> byte_tokens_;
  // What decode does with each position below vocab_size.
  DecodeTable decode_table_;
  float min_score_ = 0.0f;
  TokenId unk_id_ = 0;
  WordStart word_start_;
  std::optional<SourceRules> source_;
  // With options, what each position adds to the source's running score:
  // its step's score, or nothing (a byte after the first of a character
  // that fell back to bytes).
  struct SourceStep {
    float score;
    bool counts;
  };
  std::vector<SourceStep> source_steps_;
};

}  // namespace zeq

#endif  // ZEQ_TOKENIZER_MODEL_H_
