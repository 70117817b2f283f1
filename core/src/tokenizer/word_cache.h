// A bounded cache from word to ids, owned by a caller that encodes many
// texts with one tokenizer. Every word starts with SPACE_MARKER; the cache
// is keyed by the rest of the word (its body), which may be empty.
//
// The segmentation of a word depends on nothing but the word's bytes, and
// natural text repeats the same words over and over: looking a word up costs
// one hash and one compare, while segmenting it costs an automaton step per
// byte and a lattice offer per piece found. Results are identical with or
// without the cache.
//
// Not thread-safe: one cache must not be used by two threads at once. The
// tokenizer itself stays immutable; the cache is the caller's state.
#ifndef ZEQ_TOKENIZER_WORD_CACHE_H_
#define ZEQ_TOKENIZER_WORD_CACHE_H_

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "tokenizer/hash.h"
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

  // Whether a word with body `body` is ever kept (look it up only then).
  static bool holds(std::string_view body) { return body.size() <= kMaxWordBytes; }

  // The hash under which `body` is looked up.
  static std::uint32_t hash(std::string_view body) {
    return static_cast<std::uint32_t>(hash_bytes(body));
  }

  // Asks the processor to fetch the table slot of `hash` ahead of its
  // look-up: the table is too big for its caches, and a look-up otherwise
  // starts with a wait on memory. No effect on results.
  void prefetch(std::uint32_t hash) const {
    if (slots_) __builtin_prefetch(&slots_[hash & (kSlots - 1)]);
  }

  // Asks for the stored word of the first candidate in the slot of `hash`,
  // if there is one: a look-up's second wait. Reads the slot, so it pays
  // once prefetch(hash) has had time to bring it. No effect on results.
  void prefetch_entry(std::uint32_t hash) const {
    if (!slots_) return;
    const Slot& s = slots_[hash & (kSlots - 1)];
    if (s.key_len != 0) __builtin_prefetch(arena_.data() + s.offset);
  }

  // Looks the word with body `body` (one the cache holds(), hash `hash`)
  // up; on a hit appends its ids to `out` and marks the word as
  // used. One compare per candidate.
  Probe lookup(std::string_view body, std::uint32_t hash, std::vector<TokenId>& out);

  // The common case of lookup(), inline: true, with the same effects, when
  // the word is the first candidate of its slot; false (and no effect)
  // when lookup() has to decide.
  bool lookup_first(std::string_view body, std::uint32_t hash, std::vector<TokenId>& out) {
    return slots_ && take_if_same(slots_[hash & (kSlots - 1)], body, tag_of(hash), out);
  }
  Probe lookup(std::string_view body, std::vector<TokenId>& out) {
    return lookup(body, hash(body), out);
  }

  // Remembers `ids` as the segmentation of the word with body `body`, after
  // a missed look-up whose probe is given (and no other change since).
  // When the cache is full it first sweeps out every word not used since
  // the last sweep, so it never outgrows the bounds below.
  void insert(const Probe& probe, std::string_view body, std::span<const TokenId> ids);

  std::size_t size() const { return count_; }

  // Bounds: at most kMaxEntries words and kMaxArenaBytes of words and ids,
  // in a table of 2 * kMaxEntries 8-byte slots; 6 MiB in all. The table is
  // made whole on first use, zero-filled by the system (calloc), so its
  // pages take memory only once words land in them; it never has to be
  // rehashed as it fills.
  //
  // When it is full, a word that was looked up again since the last sweep
  // survives the sweep, so the frequent words of a language stay while
  // one-off words (names, numbers, typos) make room; the sizes and this
  // rule were chosen by measuring how much text still had to be segmented
  // (docs/experiments.md, "word cache"). If a sweep would keep more than
  // three quarters of the bound, the cache is emptied instead, so that a
  // sweep always frees enough room to pay for itself.
  static constexpr std::size_t kMaxEntries = 1 << 17;
  static constexpr std::size_t kMaxArenaBytes = 4 << 20;
  static constexpr std::size_t kSlots = 2 * kMaxEntries;

 private:
  struct Slot {
    std::uint32_t offset = 0;   // into arena_: word bytes (padded), then ids
    std::uint16_t tag = 0;      // high bits of the hash
    std::uint8_t key_len = 0;   // body length + 1; 0: free slot
    std::uint8_t ids = 0;       // id count, plus kUsed once looked up again
  };
  static_assert(sizeof(Slot) == 8);
  static_assert(kMaxWordBytes + 1 <= 0xFF);
  static constexpr std::uint8_t kUsed = 0x80;
  // A body of n bytes has at most n + 3 ids (one per byte, its marker's
  // three included), so the count fits beside the flag.
  static_assert(kMaxWordBytes + 3 < kUsed);

  // 4-byte units that hold n bytes.
  static constexpr std::size_t units(std::size_t n) { return (n + 3) / 4; }
  static constexpr std::uint16_t tag_of(std::uint32_t hash) {
    return static_cast<std::uint16_t>(hash >> 16);
  }

  template <class T>
  static T load(const char* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
  }
  // Whether the n bytes at a and b are equal. Fixed-size loads that may
  // overlap, never reaching past either end: words are short, and a call to
  // memcmp costs more than the comparison itself.
  static bool same_bytes(const char* a, const char* b, std::size_t n) {
    if (n >= 8) {
      for (std::size_t i = 0; i + 8 < n; i += 8) {
        if (load<std::uint64_t>(a + i) != load<std::uint64_t>(b + i)) return false;
      }
      return load<std::uint64_t>(a + n - 8) == load<std::uint64_t>(b + n - 8);
    }
    if (n >= 4) {
      return load<std::uint32_t>(a) == load<std::uint32_t>(b) &&
             load<std::uint32_t>(a + n - 4) == load<std::uint32_t>(b + n - 4);
    }
    if (n == 0) return true;
    // n is 1, 2 or 3: these three bytes are all of them.
    return a[0] == b[0] && a[n / 2] == b[n / 2] && a[n - 1] == b[n - 1];
  }
  // The hit of a look-up: if candidate `s` holds `body` (tag `tag`), marks
  // it used, appends its ids to `out` and returns true.
  bool take_if_same(Slot& s, std::string_view body, std::uint16_t tag,
                    std::vector<TokenId>& out) {
    if (s.tag != tag || s.key_len != body.size() + 1) return false;
    const std::uint32_t* stored = arena_.data() + s.offset;
    if (!same_bytes(reinterpret_cast<const char*>(stored), body.data(), body.size())) return false;
    s.ids |= kUsed;
    // Words are one or two ids as a rule: plain appends beat a range insert.
    const std::uint32_t* ids = stored + units(body.size());
    const std::size_t n = s.ids & ~kUsed;
    for (std::size_t k = 0; k < n; ++k) out.push_back(ids[k]);
    return true;
  }

  struct FreeSlots {
    void operator()(Slot* slots) const { std::free(slots); }
  };
  using Table = std::unique_ptr<Slot[], FreeSlots>;
  // kSlots free slots (all-zero bytes). Throws std::bad_alloc.
  static Table new_table();

  // Empties the cache, keeping its words marked used when `keep_used`.
  void sweep(bool keep_used);
  // Free slot for `hash` in the table.
  std::size_t free_slot(std::uint32_t hash) const;

  Table slots_;  // open addressing, kSlots slots; null until first use
  // Words and ids, in 4-byte units so that the ids are real TokenIds.
  std::vector<std::uint32_t> arena_;
  std::size_t count_ = 0;
};

}  // namespace zeq

#endif  // ZEQ_TOKENIZER_WORD_CACHE_H_
