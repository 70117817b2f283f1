#include "tokenizer/encode.h"

#include <algorithm>
#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

#include "tokenizer/segment.h"
#include "tokenizer/words.h"

namespace zeq {

namespace {

// The first word of a text that begins with no separator, when it is read
// as it is: segmented from the root. Returns the rest of the text.
template <class Segment>
std::string_view take_bare_word(std::string_view text, Segment&& segment) {
  const std::size_t sep = find_separator(text, 0);
  if (sep != 0) segment(text.substr(0, sep));
  return text.substr(sep);
}

}  // namespace

void encode_words(const Model& model, std::string_view text, FirstWord first, WordCache* cache,
                  Lattice& lattice, std::vector<TokenId>& ids) {
  ids.clear();
  ids.reserve(text.size() / 3 + 1);
  if (first == FirstWord::Bare) {
    text = take_bare_word(text, [&](std::string_view word) { segment_word(model, word, ids, lattice); });
  }
  // Words come straight from the text, and a body is segmented as the
  // marker's known state followed by its bytes: no word is copied. A word
  // the cache does not give is segmented, and kept if the cache holds such
  // words (`probe` is where its look-up ended).
  auto segment = [&](std::string_view body, const WordCache::Probe* probe) {
    const std::size_t start = ids.size();
    segment_body(model, body, ids, lattice);
    if (probe != nullptr) cache->insert(*probe, body, std::span<const TokenId>(ids).subspan(start));
  };
  if (cache == nullptr) {
    for_each_word_body(text, [&](std::string_view body) { segment(body, nullptr); });
    return;
  }
  // A look-up waits on memory twice, for the table slot and then for the
  // stored word, and the words of a text are independent: so words go in
  // batches, whose slots are all asked for as the words are found, then
  // the stored words of their first candidates, and only then are the
  // words looked up, in text order (a word met twice in a batch finds the
  // first one's insertion). The waits overlap instead of adding up.
  struct Pending {  // trivial: the batch is not cleared at every call
    const char* data;
    std::size_t size;
    std::uint32_t hash;  // meaningful if the cache holds the word
    std::string_view body() const { return {data, size}; }
  };
  constexpr std::size_t kBatch = 32;
  Pending batch[kBatch];
  std::size_t pending = 0;
  auto flush = [&] {
    for (std::size_t i = 0; i < pending; ++i) {
      if (WordCache::holds(batch[i].body())) cache->prefetch_entry(batch[i].hash);
    }
    for (std::size_t i = 0; i < pending; ++i) {
      const Pending& word = batch[i];
      if (!WordCache::holds(word.body())) {
        segment(word.body(), nullptr);
        continue;
      }
      if (cache->lookup_first(word.body(), word.hash, ids)) continue;
      const WordCache::Probe probe = cache->lookup(word.body(), word.hash, ids);
      if (!probe.hit) segment(word.body(), &probe);
    }
    pending = 0;
  };
  for_each_word_body(text, [&](std::string_view body) {
    std::uint32_t hash = 0;
    if (WordCache::holds(body)) {
      hash = WordCache::hash(body);
      cache->prefetch(hash);
    }
    batch[pending++] = {body.data(), body.size(), hash};
    if (pending == kBatch) flush();
  });
  flush();
}

void encode_words_with_lengths(const Model& model, std::string_view text, FirstWord first,
                               Lattice& lattice, std::vector<TokenId>& ids,
                               std::vector<std::uint32_t>& lengths) {
  ids.clear();
  lengths.clear();
  if (first == FirstWord::Bare) {
    text = take_bare_word(text, [&](std::string_view word) {
      segment_word(model, word, ids, lattice, &lengths);
    });
  }
  for_each_word_body(text, [&](std::string_view body) {
    segment_body(model, body, ids, lattice, &lengths);
  });
}

void merge_unknown_runs(std::vector<TokenId>& ids, TokenId unk) {
  auto both_unknown = [unk](TokenId a, TokenId b) { return a == unk && b == unk; };
  ids.erase(std::unique(ids.begin(), ids.end(), both_unknown), ids.end());
}

}  // namespace zeq
