#include "tokenizer/word_cache.h"

#include <gtest/gtest.h>

#include <random>

#include "test_util.h"
#include "tokenizer/words.h"

namespace zeq {
namespace {

using testing::encode;

#define M "\xE2\x96\x81"

// Random texts over an alphabet that stresses word boundaries: spaces,
// markers, bytes of a marker on their own, multi-byte characters.
std::string random_text(std::mt19937& rng) {
  static const char* const kParts[] = {" ", " ", "a", "b", "ab", M, "\xE2", "\xE2\x96", "\xC3\xA9", "\t", "\xE2\x82\xAC"};
  std::string t;
  const int n = static_cast<int>(rng() % 12);
  for (int i = 0; i < n; ++i) t += kParts[rng() % std::size(kParts)];
  return t;
}

TEST(WordBodies, MatchSplitWordsOfTheNormalisedText) {
  std::mt19937 rng(11);
  for (int round = 0; round < 5000; ++round) {
    const std::string text = random_text(rng);
    std::vector<std::string> expected;
    const std::string normalized = testing::normalize(text);
    for (std::string_view w : testing::split_words(normalized)) {
      ASSERT_TRUE(w.starts_with(SPACE_MARKER)) << text;
      expected.emplace_back(w.substr(SPACE_MARKER.size()));
    }
    std::vector<std::string> got;
    for_each_word_body(text, [&](std::string_view body) { got.emplace_back(body); });
    ASSERT_EQ(got, expected) << "text: " << text;
  }
}

// Byte pieces for every byte plus a few words, so every text encodes.
Model cache_test_tokenizer() {
  std::vector<PieceEntry> entries;
  for (int b = 0; b < 256; ++b) entries.push_back({byte_piece_text(static_cast<unsigned char>(b)), static_cast<TokenId>(b + 10), -8.0f});
  entries.push_back({M, 300, -2.0f});
  entries.push_back({M "ab", 301, -3.0f});
  entries.push_back({"a", 302, -4.0f});
  entries.push_back({"\xC3\xA9", 303, -4.0f});
  return testing::make_model(std::move(entries));
}

TEST(WordCache, CachedEncodeEqualsUncachedAcrossEvictions) {
  const Model t = cache_test_tokenizer();
  WordCache cache;
  std::mt19937 rng(5);
  // Enough distinct words to fill the cache several times over.
  for (int round = 0; round < 3 * static_cast<int>(WordCache::kMaxEntries); ++round) {
    std::string text = random_text(rng) + std::to_string(round % (WordCache::kMaxEntries + 7));
    ASSERT_EQ(encode(t, text, &cache), encode(t, text)) << text;
  }
  EXPECT_LE(cache.size(), WordCache::kMaxEntries);
  // Long words bypass the cache and still encode the same.
  const std::string long_word(WordCache::kMaxWordBytes + 1, 'a');
  EXPECT_EQ(encode(t, long_word, &cache), encode(t, long_word));
}

TEST(WordCache, LongTextsEncodeTheSameAcrossBatchesAndSweeps) {
  // Texts of up to a few hundred words, looked up in batches: the same
  // word twice within a batch (the second must find the first's entry),
  // words past the cacheable length between them, and enough fresh words
  // that sweeps happen in the middle of a text.
  const Model t = cache_test_tokenizer();
  WordCache cache;
  std::mt19937 rng(7);
  const std::string long_word(WordCache::kMaxWordBytes + 1, 'b');
  std::size_t fresh = 0;
  while (fresh < 3 * WordCache::kMaxEntries) {
    std::string text;
    const int words = static_cast<int>(rng() % 300);
    for (int i = 0; i < words; ++i) {
      const unsigned pick = rng() % 9;
      if (pick < 4) text += " w" + std::to_string(rng() % 20);
      else if (pick < 7) text += " f" + std::to_string(fresh++);
      else if (pick == 7) text += " " + long_word;
      else text += M + random_text(rng);
    }
    ASSERT_EQ(encode(t, text, &cache), encode(t, text)) << text;
  }
  EXPECT_LE(cache.size(), WordCache::kMaxEntries);
}

TEST(WordCache, EmptyBodyIsAKeyOfItsOwn) {
  WordCache cache;
  std::vector<TokenId> out;
  auto probe = cache.lookup("", out);
  ASSERT_FALSE(probe.hit);
  cache.insert(probe, "", std::vector<TokenId>{7});
  probe = cache.lookup("a", out);
  ASSERT_FALSE(probe.hit);
  cache.insert(probe, "a", std::vector<TokenId>{8, 9});
  EXPECT_TRUE(cache.lookup("", out).hit);
  EXPECT_TRUE(cache.lookup("a", out).hit);
  EXPECT_FALSE(cache.lookup("b", out).hit);
  EXPECT_EQ(out, (std::vector<TokenId>{7, 8, 9}));
}

TEST(WordCache, SweepKeepsTheWordsUsedAgain) {
  WordCache cache;
  std::vector<TokenId> out;
  auto word = [](std::size_t k) { return "w" + std::to_string(k); };
  for (std::size_t k = 0; k < WordCache::kMaxEntries; ++k) {
    const std::string w = word(k);
    const auto probe = cache.lookup(w, out);
    ASSERT_FALSE(probe.hit);
    cache.insert(probe, w, std::vector<TokenId>{static_cast<TokenId>(k), 1});
  }
  ASSERT_EQ(cache.size(), WordCache::kMaxEntries);
  for (std::size_t k = 0; k < 100; ++k) ASSERT_TRUE(cache.lookup(word(k), out).hit);
  // Full: the next word sweeps out all but the hundred used again.
  const auto probe = cache.lookup("new", out);
  cache.insert(probe, "new", std::vector<TokenId>{7});
  EXPECT_EQ(cache.size(), 101u);
  for (std::size_t k = 0; k < 50; ++k) {
    out.clear();
    ASSERT_TRUE(cache.lookup(word(k), out).hit);
    ASSERT_EQ(out, (std::vector<TokenId>{static_cast<TokenId>(k), 1}));
  }
  EXPECT_FALSE(cache.lookup(word(100), out).hit);
  // Survivors start the next round unmarked: the sweep after the next fill
  // keeps only the fifty looked up since.
  for (std::size_t k = 0; cache.size() < WordCache::kMaxEntries; ++k) {
    const std::string w = "x" + std::to_string(k);
    cache.insert(cache.lookup(w, out), w, std::vector<TokenId>{1});
  }
  cache.insert(cache.lookup("last", out), "last", std::vector<TokenId>{2});
  EXPECT_EQ(cache.size(), 51u);
  EXPECT_TRUE(cache.lookup(word(0), out).hit);
  EXPECT_FALSE(cache.lookup(word(50), out).hit);
}

// When more than three quarters of the words came back since the last
// sweep, a sweep would free too little: the cache starts over instead. With
// every word used, the kept words would fill the arena anyway; with four in
// five, only the three-quarters rule empties it.
class WordCacheUsedAgain : public ::testing::TestWithParam<int> {};

TEST_P(WordCacheUsedAgain, EmptiedWhenMoreThanThreeQuartersCameBack) {
  const int percent = GetParam();
  WordCache cache;
  std::vector<TokenId> out;
  for (std::size_t k = 0; k < WordCache::kMaxEntries; ++k) {
    const std::string w = std::to_string(k);
    cache.insert(cache.lookup(w, out), w, std::vector<TokenId>{3});
    if (k % 100 < static_cast<std::size_t>(percent)) {
      ASSERT_TRUE(cache.lookup(w, out).hit);
    }
  }
  cache.insert(cache.lookup("more", out), "more", std::vector<TokenId>{4});
  if (percent > 75) {
    EXPECT_EQ(cache.size(), 1u);
  } else {
    EXPECT_GT(cache.size(), WordCache::kMaxEntries * static_cast<std::size_t>(percent) / 100);
  }
}

INSTANTIATE_TEST_SUITE_P(Shares, WordCacheUsedAgain, ::testing::Values(100, 80, 70));

}  // namespace
}  // namespace zeq
