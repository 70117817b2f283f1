#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

#include "tokenizer/normalize.h"
#include "tokenizer/segment.h"
#include "tokenizer/tokenizer.h"

namespace zeq {

namespace {

// The lattice of encode calls. Each thread keeps its own across calls, so
// that a call allocates nothing once it has grown to its words.
thread_local Lattice t_lattice;

// At most the lattice of a word this long (a 12-byte cell per byte, 48 KiB)
// stays with a thread between calls; a thread pool must not keep one long
// word's lattice per thread.
constexpr std::size_t kKeptWordBytes = std::size_t{1} << 12;

}  // namespace

std::vector<TokenId> Tokenizer::encode(std::string_view text, WordCache* cache) const {
  std::vector<TokenId> ids;
  encode_into(text, cache, ids);
  return ids;
}

void Tokenizer::encode_into(std::string_view text, WordCache* cache,
                            std::vector<TokenId>& ids) const {
  ids.clear();
  ids.reserve(text.size() / 3 + 1);
  // Words come straight from the text (no normalised copy of it, and no
  // copy of a word either: a body is segmented as the marker's known state
  // followed by its bytes), in the thread's lattice. That is reached at the
  // first word the cache does not have (a thread_local in a shared object
  // is reached through a call) and trimmed when the call ends.
  class LazyLattice {
   public:
    Lattice& get() {
      if (lattice_ == nullptr) lattice_ = &t_lattice;
      return *lattice_;
    }
    ~LazyLattice() {
      if (lattice_ != nullptr) lattice_->release_over(kKeptWordBytes);
    }

   private:
    Lattice* lattice_ = nullptr;
  } thread_lattice;
  // A word the cache does not give: segmented, and kept if the cache holds
  // such words (`probe` is where its look-up ended).
  auto segment = [&](std::string_view body, const WordCache::Probe* probe) {
    const std::size_t first = ids.size();
    segment_body(*this, body, ids, thread_lattice.get());
    if (probe != nullptr) cache->insert(*probe, body, std::span<const TokenId>(ids).subspan(first));
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

std::vector<std::string_view> Tokenizer::encode_pieces(std::string_view text,
                                                      WordCache* cache) const {
  const std::vector<TokenId> ids = encode(text, cache);
  std::vector<std::string_view> pieces;
  pieces.reserve(ids.size());
  for (TokenId id : ids) pieces.push_back(piece_or_unk(id));
  return pieces;
}

}  // namespace zeq
