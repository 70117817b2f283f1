#include "tokenizer/encode.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
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

// How words are segmented without options: each on its own, its ids
// depending on its bytes alone, so that the cache keeps them as they are.
class OwnWords {
 public:
  OwnWords(const Model& model, Lattice& lattice) : model_(model), lattice_(lattice) {}

  // Segments `body` onto `ids`, keeping the result in `cache` at `probe`.
  void segment(std::string_view body, std::vector<TokenId>& ids, WordCache* cache,
               const WordCache::Probe* probe) {
    const std::size_t start = ids.size();
    segment_body(model_, body, ids, lattice_);
    if (probe != nullptr) cache->insert(*probe, body, std::span<const TokenId>(ids).subspan(start));
  }
  // The cache appended what it keeps for `body` from `start` on.
  void found(std::string_view, std::vector<TokenId>&, std::size_t) {}
  void bare(std::string_view word, std::vector<TokenId>& ids) { segment_word(model_, word, ids, lattice_); }

 private:
  const Model& model_;
  Lattice& lattice_;
};

// The float nearest below `x` (or equal): a margin kept in less precision
// must not grow.
float float_below(double x) {
  float f = static_cast<float>(x);
  if (static_cast<double>(f) > x) f = std::nextafter(f, -std::numeric_limits<float>::infinity());
  return f;
}

// How words are segmented with options: scored as the source scores the
// whole line (SourceWord), from the best score of the text before each.
// A word is segmented, and cached, as if that score were 0, with the margin
// of its nearest decision and its score from 0 kept after its ids; the
// result holds for any start score whose rounding cannot move a candidate
// by that margin, and a word whose margin is too small for the score it
// starts from is segmented again from that score. The exact running score,
// carried token by token as the source's sum runs, is worked out only then
// (most lines have no such word); the sum of the words' scores from 0 is
// near enough to judge the rounding by.
class SourceWords {
 public:
  SourceWords(const Model& model, Lattice& lattice) : model_(model), lattice_(lattice) {}

  void segment(std::string_view body, std::vector<TokenId>& ids, WordCache* cache,
               const WordCache::Probe* probe) {
    const std::size_t start = ids.size();
    SourceWord word;
    segment_body(model_, body, ids, lattice_, nullptr, &word);
    if (probe != nullptr) {
      ids.push_back(std::bit_cast<TokenId>(float_below(word.margin)));
      ids.push_back(std::bit_cast<TokenId>(word.end));
      cache->insert(*probe, body, std::span<const TokenId>(ids).subspan(start));
      ids.resize(ids.size() - 2);
    }
    settle(body, ids, start, word.margin, word.end);
  }
  void found(std::string_view body, std::vector<TokenId>& ids, std::size_t start) {
    const float score = std::bit_cast<float>(ids.back());
    const float margin = std::bit_cast<float>(ids[ids.size() - 2]);
    ids.resize(ids.size() - 2);
    settle(body, ids, start, margin, score);
  }
  void bare(std::string_view word, std::vector<TokenId>& ids) {
    SourceWord w;  // the text's first word: the running score is 0
    segment_word(model_, word, ids, lattice_, nullptr, &w);
    exact_ = approximate_ = w.end;
    exact_upto_ = ids.size();
  }

 private:
  // ids[start, end) are the word's ids from a start score of 0, its nearest
  // decision `margin` apart, its score from 0 `score`: kept, or replaced by
  // the word segmented from the running score.
  void settle(std::string_view body, std::vector<TokenId>& ids, std::size_t start, double margin,
              float score) {
    if (start == 0 || trusted(margin, body.size())) {
      approximate_ += score;
      return;
    }
    exact_ = model_.source_score_after(exact_, std::span<const TokenId>(ids).subspan(exact_upto_, start - exact_upto_));
    ids.resize(start);
    SourceWord w{exact_};
    segment_body(model_, body, ids, lattice_, nullptr, &w);
    exact_ = approximate_ = w.end;
    exact_upto_ = ids.size();
  }
  // Whether a decision `margin` apart in a word of `bytes` bytes (after its
  // marker) comes out the same from the running score as from 0. Each sum
  // rounds to a float near the running score, off by at most half its
  // spacing there; a path through the word adds at most one sum a byte, and
  // a decision compares two of them. The words' own scores stay far below
  // kWordScore a byte, and the approximate running score is off by far less
  // than the margin of 2 taken here.
  bool trusted(double margin, std::size_t bytes) const {
    constexpr double kWordScore = 64.0;
    const double steps = static_cast<double>(bytes + SPACE_MARKER.size() + 1);
    const double magnitude = std::fabs(static_cast<double>(approximate_)) + kWordScore * steps;
    const double spacing = magnitude * 0x1p-23;
    return margin > 4.0 * steps * spacing;
  }

  const Model& model_;
  Lattice& lattice_;
  float approximate_ = 0.0f;  // the sum of the words' scores from 0
  float exact_ = 0.0f;        // the source's running score after ids[0, exact_upto_)
  std::size_t exact_upto_ = 0;
};

template <class Words>
void encode_with(Words words, std::string_view text, FirstWord first, WordCache* cache,
                 std::vector<TokenId>& ids) {
  ids.clear();
  ids.reserve(text.size() / 3 + 1);
  if (first == FirstWord::Bare) {
    text = take_bare_word(text, [&](std::string_view word) { words.bare(word, ids); });
  }
  // Words come straight from the text, and a body is segmented as the
  // marker's known state followed by its bytes: no word is copied. A word
  // the cache does not give is segmented, and kept if the cache holds such
  // words (the probe is where its look-up ended).
  if (cache == nullptr) {
    for_each_word_body(text, [&](std::string_view body) { words.segment(body, ids, nullptr, nullptr); });
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
        words.segment(word.body(), ids, cache, nullptr);
        continue;
      }
      const std::size_t start = ids.size();
      if (cache->lookup_first(word.body(), word.hash, ids)) {
        words.found(word.body(), ids, start);
        continue;
      }
      const WordCache::Probe probe = cache->lookup(word.body(), word.hash, ids);
      if (probe.hit) {
        words.found(word.body(), ids, start);
      } else {
        words.segment(word.body(), ids, cache, &probe);
      }
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

}  // namespace

void encode_words(const Model& model, std::string_view text, FirstWord first, WordCache* cache,
                  Lattice& lattice, std::vector<TokenId>& ids) {
  if (model.source() == nullptr) {
    encode_with(OwnWords(model, lattice), text, first, cache, ids);
  } else {
    encode_with(SourceWords(model, lattice), text, first, cache, ids);
  }
}

void encode_words_with_lengths(const Model& model, std::string_view text, FirstWord first,
                               Lattice& lattice, std::vector<TokenId>& ids,
                               std::vector<std::uint32_t>& lengths) {
  ids.clear();
  lengths.clear();
  // Every word from the running score of the source, if there is one: no
  // cache here, so nothing needs a start score of 0.
  SourceWord running;
  SourceWord* source = model.source() != nullptr ? &running : nullptr;
  auto next = [&] { running.start = running.end; };
  if (first == FirstWord::Bare) {
    text = take_bare_word(text, [&](std::string_view word) {
      segment_word(model, word, ids, lattice, &lengths, source);
      next();
    });
  }
  for_each_word_body(text, [&](std::string_view body) {
    segment_body(model, body, ids, lattice, &lengths, source);
    next();
  });
}

void merge_unknown_runs(std::vector<TokenId>& ids, TokenId unk) {
  auto both_unknown = [unk](TokenId a, TokenId b) { return a == unk && b == unk; };
  ids.erase(std::unique(ids.begin(), ids.end(), both_unknown), ids.end());
}

}  // namespace zeq
