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
  if (slots_.empty() || count_ + 1 > kMaxEntries || (arena_.size() + size) * 4 > kMaxArenaBytes) {
    clear();
    i = probe.hash & (slots_.size() - 1);
  }
  const std::size_t offset = arena_.size();
  arena_.resize(offset + size);
  if (!body.empty()) std::memcpy(arena_.data() + offset, body.data(), body.size());
  std::copy(ids.begin(), ids.end(),
            arena_.begin() + static_cast<std::ptrdiff_t>(offset + units(body.size())));
  slots_[i] = Slot{probe.hash, static_cast<std::uint32_t>(offset),
                   static_cast<std::uint16_t>(body.size() + 1), static_cast<std::uint16_t>(ids.size())};
  ++count_;
}

void WordCache::clear() {
  if (slots_.empty()) {
    slots_.resize(2 * kMaxEntries);
    arena_.reserve(kMaxArenaBytes / 4);
  } else {
    std::fill(slots_.begin(), slots_.end(), Slot{});
    arena_.clear();
  }
  count_ = 0;
}

}  // namespace zeq
