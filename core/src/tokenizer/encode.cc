#include "tokenizer/normalize.h"
#include "tokenizer/segment.h"
#include "tokenizer/tokenizer.h"

namespace zeq {

std::vector<TokenId> Tokenizer::encode(std::string_view text, WordCache* cache) const {
  std::vector<TokenId> ids;
  ids.reserve(text.size() / 3 + 1);
  // Words come straight from the text (no normalised copy of it); only a
  // word that must be segmented is spelled out, marker first, in one
  // buffer that every word of the call reuses, as is the lattice.
  std::string word;
  Lattice lattice;
  for_each_word_body(text, [&](std::string_view body) {
    WordCache::Probe probe{};
    const bool cacheable = cache != nullptr && body.size() <= WordCache::kMaxWordBytes;
    if (cacheable) {
      probe = cache->lookup(body, ids);
      if (probe.hit) return;
    }
    word.assign(SPACE_MARKER);
    word.append(body);
    const std::size_t first = ids.size();
    segment_word(*this, word, ids, lattice);
    if (cacheable) cache->insert(probe, body, std::span<const TokenId>(ids).subspan(first));
  });
  return ids;
}

std::vector<std::string_view> Tokenizer::encode_pieces(std::string_view text,
                                                      WordCache* cache) const {
  const std::vector<TokenId> ids = encode(text, cache);
  std::vector<std::string_view> pieces;
  pieces.reserve(ids.size());
  for (TokenId id : ids) pieces.push_back(piece_or_unk(id));
  return pieces;
}

}  // namespace zeq
