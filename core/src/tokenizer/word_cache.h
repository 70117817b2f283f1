// A bounded cache from word to ids, owned by a caller that encodes many
// texts with one tokenizer. Every word starts with SPACE_MARKER; the cache
// is keyed by the rest of the word (its body), which may be empty.
//
// The segmentation of a word depends on nothing but the word's bytes, and
// natural text repeats the same words over and over: looking a word up costs
// one hash and one compare, while segmenting it costs a trie walk from every
// character. Results are identical with or without the cache.
//
// Not thread-safe: one cache must not be used by two threads at once. The
// tokenizer itself stays immutable; the cache is the caller's state.
#ifndef ZEQ_TOKENIZER_WORD_CACHE_H_
#define ZEQ_TOKENIZER_WORD_CACHE_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tokenizer/types.h"

namespace zeq {

class WordCache {
 public:
  // Longest word body kept. Longer words are rarer and cost more to compare;
  // they are segmented every time.
  static constexpr std::size_t kMaxWordBytes = 64;

  WordCache() = default;

  // Where a word is, or would go: the result of a look-up.
  struct Probe {
    bool hit;
    std::uint32_t hash;
    std::size_t slot;
  };

  // Looks the word with body `body` (at most kMaxWordBytes long) up; on a
  // hit appends its ids to `out`. One hash, one compare per candidate.
  Probe lookup(std::string_view body, std::vector<TokenId>& out) const;

  // Remembers `ids` as the segmentation of the word with body `body`, after
  // a missed look-up whose probe is given. When the cache is full it is emptied first, so it
  // never outgrows the bounds below.
  void insert(const Probe& probe, std::string_view body, std::span<const TokenId> ids);

  std::size_t size() const { return count_; }

  // Bounds: at most kMaxEntries words and kMaxArenaBytes of words and ids,
  // in a table of up to 2 * kMaxEntries 12-byte slots; 4.5 MiB in all. The
  // table starts at kMinSlots on first use and doubles as words arrive, so
  // a tokenizer that sees few words keeps little. Half the bounds (32768
  // words) cost 14% more instructions on shuffled multilingual lines, where
  // the vocabulary of words is large.
  static constexpr std::size_t kMaxEntries = 1 << 16;
  static constexpr std::size_t kMaxArenaBytes = 3 << 20;
  static constexpr std::size_t kMinSlots = 1 << 10;

 private:
  struct Slot {
    std::uint32_t hash = 0;
    std::uint32_t offset = 0;    // into arena_: word bytes (padded), then ids
    std::uint16_t key_len = 0;   // body length + 1; 0: free slot
    std::uint16_t id_count = 0;
  };

  void clear();
  // Doubles the table (up to its bound) when it is half full.
  void grow_if_needed();

  std::vector<Slot> slots_;   // open addressing, power-of-two size
  // Words and ids, in 4-byte units so that the ids are real TokenIds.
  std::vector<std::uint32_t> arena_;
  std::size_t count_ = 0;
};

}  // namespace zeq

#endif  // ZEQ_TOKENIZER_WORD_CACHE_H_
