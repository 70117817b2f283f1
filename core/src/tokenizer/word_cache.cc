#include "tokenizer/word_cache.h"

#include <algorithm>
#include <cstring>

#include "tokenizer/hash.h"

namespace zeq {
namespace {

// 4-byte units that hold n bytes.
constexpr std::size_t units(std::size_t n) { return (n + 3) / 4; }

}  // namespace

WordCache::Probe WordCache::lookup(std::string_view body, std::vector<TokenId>& out) const {
  const auto hash = static_cast<std::uint32_t>(hash_bytes(body));
  if (slots_.empty()) return {false, hash, 0};
  const std::size_t mask = slots_.size() - 1;
  std::size_t i = hash & mask;
  const std::size_t key_len = body.size() + 1;
  for (; slots_[i].key_len != 0; i = (i + 1) & mask) {
    const Slot& s = slots_[i];
    if (s.hash != hash || s.key_len != key_len) continue;
    const std::uint32_t* stored = arena_.data() + s.offset;
    if (!body.empty() && std::memcmp(stored, body.data(), body.size()) != 0) continue;
    // Words are one or two ids as a rule: plain appends beat a range insert.
    const std::uint32_t* ids = stored + units(body.size());
    for (std::size_t k = 0; k < s.id_count; ++k) out.push_back(ids[k]);
    return {true, hash, i};
  }
  return {false, hash, i};
}

void WordCache::insert(const Probe& probe, std::string_view body, std::span<const TokenId> ids) {
  if (body.size() > kMaxWordBytes || ids.size() > 0xFFFF) return;
  const std::size_t size = units(body.size()) + ids.size();
  std::size_t i = probe.slot;
  const std::size_t table = slots_.size();
  const bool full = count_ + 1 > kMaxEntries || (arena_.size() + size) * 4 > kMaxArenaBytes;
  if (slots_.empty() || full) {
    clear();
  } else {
    grow_if_needed();
  }
  if (full || slots_.size() != table) {
    // The probe's slot belongs to the table as it was: find the new one.
    const std::size_t mask = slots_.size() - 1;
    for (i = probe.hash & mask; slots_[i].key_len != 0; i = (i + 1) & mask) {
    }
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
  slots_[i] = Slot{probe.hash, static_cast<std::uint32_t>(offset),
                   static_cast<std::uint16_t>(body.size() + 1), static_cast<std::uint16_t>(ids.size())};
  ++count_;
}

void WordCache::grow_if_needed() {
  if (2 * (count_ + 1) <= slots_.size() || slots_.size() >= 2 * kMaxEntries) return;
  std::vector<Slot> old(2 * slots_.size());
  old.swap(slots_);
  const std::size_t mask = slots_.size() - 1;
  for (const Slot& s : old) {
    if (s.key_len == 0) continue;
    std::size_t i = s.hash & mask;
    while (slots_[i].key_len != 0) i = (i + 1) & mask;
    slots_[i] = s;
  }
}

void WordCache::clear() {
  slots_.assign(kMinSlots, Slot{});
  arena_.clear();
  count_ = 0;
}

}  // namespace zeq
