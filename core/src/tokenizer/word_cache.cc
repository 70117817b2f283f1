#include "tokenizer/word_cache.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace zeq {

WordCache::Probe WordCache::lookup(std::string_view body, std::uint32_t hash,
                                   std::vector<TokenId>& out) {
  if (!slots_) return {false, hash, 0};
  constexpr std::size_t mask = kSlots - 1;
  const std::uint16_t tag = tag_of(hash);
  std::size_t i = hash & mask;
  for (; slots_[i].key_len != 0; i = (i + 1) & mask) {
    if (take_if_same(slots_[i], body, tag, out)) return {true, hash, i};
  }
  return {false, hash, i};
}

void WordCache::insert(const Probe& probe, std::string_view body, std::span<const TokenId> ids) {
  if (!holds(body) || ids.size() >= kUsed) return;
  const std::size_t size = units(body.size()) + ids.size();
  auto full = [&] {
    return count_ + 1 > kMaxEntries || (arena_.size() + size) * 4 > kMaxArenaBytes;
  };
  std::size_t i = probe.slot;
  if (!slots_) {
    slots_ = new_table();
    i = free_slot(probe.hash);
  } else if (full()) {
    sweep(true);
    if (full()) sweep(false);  // the words kept fill the arena: start over
    i = free_slot(probe.hash);  // the probe's slot belonged to the old table
  }
  const std::size_t offset = arena_.size();
  if (arena_.capacity() < offset + size) {
    // Grow geometrically, but never past the bound.
    arena_.reserve(std::min(std::max(2 * arena_.capacity(), offset + size), kMaxArenaBytes / 4));
  }
  arena_.resize(offset + size);
  if (!body.empty()) std::memcpy(arena_.data() + offset, body.data(), body.size());
  std::copy(ids.begin(), ids.end(),
            arena_.begin() + static_cast<std::ptrdiff_t>(offset + units(body.size())));
  slots_[i] = Slot{static_cast<std::uint32_t>(offset), tag_of(probe.hash),
                   static_cast<std::uint8_t>(body.size() + 1), static_cast<std::uint8_t>(ids.size())};
  ++count_;
}

WordCache::Table WordCache::new_table() {
  // calloc: fresh pages come zeroed from the system and cost memory only
  // once written, where a vector would write every zero itself.
  auto* slots = static_cast<Slot*>(std::calloc(kSlots, sizeof(Slot)));
  if (slots == nullptr) throw std::bad_alloc();
  return Table(slots);
}

std::size_t WordCache::free_slot(std::uint32_t hash) const {
  constexpr std::size_t mask = kSlots - 1;
  std::size_t i = hash & mask;
  while (slots_[i].key_len != 0) i = (i + 1) & mask;
  return i;
}

void WordCache::sweep(bool keep_used) {
  Table old = new_table();
  old.swap(slots_);
  std::vector<std::uint32_t> old_arena;
  old_arena.swap(arena_);
  count_ = 0;
  std::size_t kept = 0;
  if (keep_used) {
    for (std::size_t k = 0; k < kSlots; ++k) {
      kept += (old[k].key_len != 0 && (old[k].ids & kUsed) != 0);
    }
    if (4 * kept > 3 * kMaxEntries) kept = 0;  // too little would be freed
  }
  if (kept == 0) return;
  arena_.reserve(old_arena.capacity());
  for (std::size_t k = 0; k < kSlots; ++k) {
    const Slot& s = old[k];
    if (s.key_len == 0 || (s.ids & kUsed) == 0) continue;
    const std::size_t n = s.ids & ~kUsed;
    const std::size_t size = units(s.key_len - 1u) + n;
    const std::uint32_t* from = old_arena.data() + s.offset;
    const std::size_t offset = arena_.size();
    arena_.insert(arena_.end(), from, from + size);
    const std::string_view body(reinterpret_cast<const char*>(from), s.key_len - 1u);
    slots_[free_slot(hash(body))] =
        Slot{static_cast<std::uint32_t>(offset), s.tag, s.key_len, static_cast<std::uint8_t>(n)};
    ++count_;
  }
}

}  // namespace zeq
