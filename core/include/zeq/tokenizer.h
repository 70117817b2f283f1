// zeq: a unigram subword tokenizer. This header is everything a caller
// needs: load a vocabulary file, encode text through a Session, decode ids,
// look pieces up. The tables, the trie and the lattice stay behind it.
//
// Ownership and threads. A Tokenizer is immutable once loaded: any number of
// threads may read one at once, and nothing in it takes a lock. Encoding
// needs scratch state that grows with use (a cache of words seen before, the
// lattice of a word, the normalised text), which a Session owns. A Session
// serves one caller at a time: a thread that encodes uses a Session of its
// own, so that the hot path shares nothing mutable and needs no lock.
#ifndef ZEQ_TOKENIZER_H_
#define ZEQ_TOKENIZER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "zeq/error.h"

namespace zeq {

// A token id as stored in the vocabulary file and handed to callers.
using TokenId = std::uint32_t;

class Model;
class SessionState;

// A stretch [begin, end) of a text, in bytes.
struct Span {
  std::size_t begin;
  std::size_t end;
  bool operator==(const Span&) const = default;
};

// What a caller that learns ids one at a time can ask for before decoding
// them: the memory decoding each id will read. No effect on results.
class DecodePrefetch {
 public:
  DecodePrefetch(const void* base, std::size_t count, std::size_t stride)
      : base_(static_cast<const char*>(base)), count_(count), stride_(stride) {}
  void operator()(TokenId id) const {
    if (id < count_) __builtin_prefetch(base_ + std::size_t{id} * stride_);
  }

 private:
  const char* base_;
  std::size_t count_;
  std::size_t stride_;
};

class Tokenizer {
 public:
  // The header and the piece records of the file at `path` (bytes passed to
  // the OS unchanged). Whatever follows the last record is ignored, so the
  // result tokenizes as the records alone say, whatever the file's options.
  static Result<Tokenizer> load_records(std::string_view path);
  // The whole file at `path`, or the bytes of one: the records and, when
  // present, the options section that reproduces a converted model (its
  // normaliser, its unknown and byte fallback rules, its special pieces).
  // Bytes after the last record that are not a well-formed section are an
  // error. Sizes read from the input never size an allocation beyond what
  // the input holds.
  static Result<Tokenizer> load(std::string_view path);
  static Result<Tokenizer> load_from_bytes(std::string_view data);

  Tokenizer(Tokenizer&&) noexcept;
  Tokenizer& operator=(Tokenizer&&) noexcept;
  ~Tokenizer();

  std::uint64_t vocab_size() const;
  TokenId pad_id() const;
  TokenId unk_id() const;
  TokenId bos_id() const;
  TokenId eos_id() const;
  // Whether the file had an options section.
  bool has_options() const;

  // Text of the record at position `id`, or nothing past the end.
  std::optional<std::string_view> id_to_piece(TokenId id) const;
  // Stored id of the last record with exactly this text, or nothing.
  std::optional<TokenId> piece_to_id(std::string_view piece) const;
  // The piece text at position `id`, or "<unk>" at or past the end. Views
  // live as long as the tokenizer.
  std::string_view piece_or_unk(TokenId id) const;

  // The text of `ids`, written over `out` (whose capacity is reused). Never
  // fails: ids that name nothing add nothing. Without options: special ids
  // add nothing, byte pieces their bytes (ill-formed UTF-8 repaired with
  // U+FFFD), a marker at the very start is dropped and every other one
  // becomes a space. With options, the source model's rules (see
  // docs/file-format.md): control pieces add nothing, unk_id its surface.
  void decode_into(std::span<const TokenId> ids, std::string& out) const;
  std::string decode(std::span<const TokenId> ids) const;
  DecodePrefetch decode_prefetch() const;

  // The core's own code and tests reach the model through this.
  const Model& model() const { return *model_; }

 private:
  explicit Tokenizer(std::unique_ptr<const Model> model);
  std::unique_ptr<const Model> model_;
};

// A token of a detailed encoding: its id, where it came from in the
// caller's text, and where it lies in the normalised text.
struct TokenSpans {
  std::vector<TokenId> ids;
  std::vector<Span> source;      // in the caller's text; see Session::encode_detailed
  std::vector<Span> normalized;  // in Session::normalized()
  void clear() {
    ids.clear();
    source.clear();
    normalized.clear();
  }
};

class Session {
 public:
  // Borrows `tokenizer`, which must outlive the session. Allocates nothing
  // until the first call.
  explicit Session(const Tokenizer& tokenizer);
  Session(Session&&) noexcept;
  Session& operator=(Session&&) noexcept;
  ~Session();

  // Ids of `text` (UTF-8), nothing added (no bos/eos), written over `ids`.
  // Words seen in earlier calls come from the session's cache (bounded, 6
  // MiB at most); results are the same with or without it. Throws
  // InternalFault only for text that is not UTF-8 in a way that reaches
  // past a word's end, and never for a tokenizer with options (whose
  // normaliser repairs such text).
  void encode(std::string_view text, std::vector<TokenId>& ids);

  // The same ids, each with its span in `text`: the smallest stretch of the
  // caller's bytes whose normalisation holds the token, as Hugging Face's
  // offsets are (tokens of one character that normalises to several share
  // its span; a marker put in front of the text comes with the first
  // character), and its stretch of normalized(). Slower than encode: no
  // cache.
  void encode_detailed(std::string_view text, TokenSpans& out);

  // The normalised form of `text` that segmentation reads: without
  // options, every space a SPACE_MARKER (U+2581) and one marker in front
  // unless the text begins with a space or a marker.
  void normalize(std::string_view text, std::string& out);
  // The normalised text of the last encode_detailed call.
  std::string_view normalized() const;

  // Gives back memory held beyond a small working set (after a huge call).
  void trim();

 private:
  std::unique_ptr<SessionState> state_;
};

}  // namespace zeq

#endif  // ZEQ_TOKENIZER_H_
