#include "tokenizer/segment.h"

#include <gtest/gtest.h>

#include <random>

#include "test_util.h"
#include "zeq/error.h"

namespace zeq {
namespace {

using testing::make_model;

#define M "\xE2\x96\x81"

struct SplitCase {
  std::string text, normalized;
  std::vector<std::string> words;
};

TEST(Normalize, TableOfTextsAndWords) {
  const std::vector<SplitCase> cases = {
      {"", "", {}},
      {"Hello world", M "Hello" M "world", {M "Hello", M "world"}},
      {" Hello", M "Hello", {M "Hello"}},
      {"a  b", M "a" M M "b", {M "a", M, M "b"}},
      {"a ", M "a" M, {M "a", M}},
      {" ", M, {M}},
      {"  ", M M, {M, M}},
      {"a", M "a", {M "a"}},
      {"x" M "y", M "x" M "y", {M "x", M "y"}},
      {M "x", M "x", {M "x"}},
      {"\xE2\x96", M "\xE2\x96", {M "\xE2\x96"}},  // shorter than a marker
      {"a\tb\nc\xC2\xA0" "d", M "a\tb\nc\xC2\xA0" "d", {M "a\tb\nc\xC2\xA0" "d"}},
  };
  for (const auto& c : cases) {
    const std::string n = testing::normalize(c.text);
    EXPECT_EQ(n, c.normalized) << c.text;
    const auto words = testing::split_words(n);
    EXPECT_EQ(std::vector<std::string>(words.begin(), words.end()), c.words) << c.text;
  }
}

// The small vocabulary of the worked examples: min score -5, fallback -15.
std::vector<PieceEntry> example_entries(float ab = -4.5f, float b = -5.0f) {
  return {{M, 5, -2.0f},       {M "a", 6, -3.0f},       {"a", 7, -4.0f},
          {"b", 8, b},         {"ab", 9, ab},           {"<0xC3>", 100, -1.0f},
          {"<0xA9>", 101, -1.0f}};
}

std::vector<TokenId> segment(const Model& t, std::string_view word,
                             std::vector<TokenId> out = {}) {
  Lattice lattice;
  segment_word(t, word, out, lattice);
  return out;
}

TEST(SegmentWord, WorkedExamples) {
  const auto t = make_model(example_entries());
  EXPECT_EQ(segment(t, M "ab"), (std::vector<TokenId>{5, 9}));
  EXPECT_EQ(segment(t, M "\xC3\xA9"), (std::vector<TokenId>{5, 100, 101}));
  EXPECT_EQ(segment(t, M), (std::vector<TokenId>{5}));
  EXPECT_EQ(segment(t, ""), (std::vector<TokenId>{}));
  EXPECT_EQ(segment(t, M "ab", {1, 2}), (std::vector<TokenId>{1, 2, 5, 9}));

  // Equal scores: the earlier offer (the longer last piece) keeps the cell.
  const auto tie = make_model(example_entries(-5.0f, -4.0f));
  EXPECT_EQ(segment(tie, M "ab"), (std::vector<TokenId>{5, 9}));

  auto no_a9 = example_entries();
  no_a9.pop_back();
  EXPECT_EQ(segment(make_model(no_a9), M "\xC3\xA9"), (std::vector<TokenId>{5, 100, 0}));
  auto no_c3 = example_entries();
  no_c3.erase(no_c3.end() - 2);
  EXPECT_EQ(segment(make_model(no_c3), M "\xC3\xA9"), (std::vector<TokenId>{5, 0}));

  // Without [▁] and without byte tokens, [▁a] beats unk + [a].
  EXPECT_EQ(segment(make_model({{M "a", 6, -3.0f}, {"a", 7, -4.0f}, {"b", 8, -5.0f}}), M "a"),
            (std::vector<TokenId>{6}));

  // A word without the marker is read from the very start.
  EXPECT_EQ(segment(t, "ab"), (std::vector<TokenId>{9}));
}

TEST(SegmentWord, MarkerCoveredByByteTokensOnly) {
  // Every cell the marker reaches (1, 2 and 3) counts for the rest of the
  // word, and a piece may still span the marker from cell 0.
  const auto t = make_model({{"<0xE2>", 1, -1.0f}, {"<0x96>", 2, -1.0f}, {"<0x81>", 3, -1.0f},
                                 {M "a", 6, -3.0f}, {"a", 7, -4.0f}, {"b", 8, -5.0f}});
  EXPECT_EQ(segment(t, M "b"), (std::vector<TokenId>{1, 2, 3, 8}));
  EXPECT_EQ(segment(t, M "ab"), (std::vector<TokenId>{6, 8}));
  EXPECT_EQ(segment(t, M), (std::vector<TokenId>{1, 2, 3}));
}

TEST(SegmentWord, WordEndingInsideAnUncoveredCharacterIsAFault) {
  const auto t = make_model({{M, 5, -2.0f}});
  std::vector<TokenId> out;
  Lattice lattice;
  EXPECT_THROW(segment_word(t, M "\xE2\x82", out, lattice), InternalFault);
  // With a byte token for the lead byte the same word is segmented byte by byte.
  const auto bytes = make_model({{M, 5, -2.0f}, {"<0xE2>", 6, 0.f}, {"<0x82>", 7, 0.f}});
  EXPECT_EQ(segment(bytes, M "\xE2\x82"), (std::vector<TokenId>{5, 6, 7}));
}

TEST(SegmentWord, BodySegmentsAsTheWordWithItsMarker) {
  // Pieces that span the marker, byte tokens for every byte (so that bodies
  // cut inside a character still segment), and a reused lattice holding
  // the cells of longer words before.
  std::vector<PieceEntry> entries = example_entries();
  for (int b = 0; b < 256; ++b) {
    const auto byte = static_cast<unsigned char>(b);
    entries.push_back({byte_piece_text(byte), static_cast<TokenId>(200 + b), -1.0f});
  }
  entries.push_back({M "b" M, 10, -6.0f});
  entries.push_back({"\x96\x81" "a", 11, -1.0f});
  const auto t = make_model(entries);
  static const char* const kParts[] = {"a", "b", "ab", M, "\xC3\xA9", "\xE2", "\xE2\x96", "\xC3"};
  Lattice lattice;
  // The cells past the last whole character, left reached by a longer word.
  for (const char* body : {"aaaa", "a\xC3", "abab", "b\xE2\x96"}) {
    std::vector<TokenId> from_body;
    segment_body(t, body, from_body, lattice);
    ASSERT_EQ(from_body, segment(t, M + std::string(body))) << body;
  }
  std::mt19937 rng(3);
  for (int round = 0; round < 3000; ++round) {
    std::string body;
    const int n = static_cast<int>(rng() % 9);
    for (int i = 0; i < n; ++i) body += kParts[rng() % std::size(kParts)];
    std::vector<TokenId> from_body;
    segment_body(t, body, from_body, lattice);
    ASSERT_EQ(from_body, segment(t, M + body)) << body;
  }
}

TEST(SegmentWord, LatticeIsReusedAcrossWordsOfDifferentLengths) {
  const auto t = make_model(example_entries());
  Lattice lattice;
  std::vector<TokenId> out;
  segment_word(t, M "ab" "ab" "ab" "ab", out, lattice);
  segment_word(t, M "ab", out, lattice);
  EXPECT_EQ(out, (std::vector<TokenId>{5, 9, 9, 9, 9, 5, 9}));
}

}  // namespace
}  // namespace zeq
