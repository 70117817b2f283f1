#include <gtest/gtest.h>

#include <cmath>

#include "test_util.h"
#include "tokenizer/model.h"

namespace zeq {
namespace {

using testing::kInf;
using testing::kNaN;
using testing::make_model;

TEST(Vocab, LastDuplicateWinsAndAllRecordsStay) {
  for (auto [first, second] : {std::pair{5u, 7u}, std::pair{7u, 5u}}) {
    const Vocab v = Vocab::from_entries({{"a", first, 0.f}, {"a", second, 0.f}}, 0, 0, 0, 0);
    EXPECT_EQ(v.size(), 2u);
    EXPECT_EQ(v.find("a"), second);
  }
  const Vocab v = Vocab::from_entries({{"", 3, 0.f}, {"\xE2\x96\x81" "b", 4, 0.f}}, 0, 0, 0, 0);
  EXPECT_EQ(v.find(""), 3u);
  EXPECT_EQ(v.find("\xE2\x96\x81" "b"), 4u);
  EXPECT_EQ(v.find("b"), std::nullopt);
  EXPECT_EQ(Vocab::from_entries({}, 1, 2, 3, 4).find(""), std::nullopt);
}

struct MinScoreCase {
  const char* name;
  std::vector<float> scores;
  float expected;
};

class MinScore : public ::testing::TestWithParam<MinScoreCase> {};

TEST_P(MinScore, FollowsTheRunningMinimum) {
  std::vector<PieceEntry> entries;
  TokenId id = 10;
  for (float s : GetParam().scores) entries.push_back({"p" + std::to_string(id), id++, s});
  const float got = make_model(std::move(entries)).min_score();
  const float want = GetParam().expected;
  EXPECT_TRUE(got == want && std::signbit(got) == std::signbit(want)) << got;
}

INSTANTIATE_TEST_SUITE_P(
    Rules, MinScore,
    ::testing::Values(MinScoreCase{"none", {}, 0.0f},
                      MinScoreCase{"single", {2.5f}, 2.5f},
                      MinScoreCase{"all_nan", {kNaN, kNaN}, 0.0f},
                      MinScoreCase{"nan_skipped", {kNaN, -3.0f, kNaN}, -3.0f},
                      MinScoreCase{"pos_inf_ignored", {kInf}, 0.0f},
                      MinScoreCase{"largest_finite", {3.4028235e38f}, 0.0f},
                      MinScoreCase{"neg_inf", {-1.0f, -kInf}, -kInf},
                      MinScoreCase{"first_zero_sign_stays", {-0.0f, 0.0f}, -0.0f}),
    [](const auto& info) { return info.param.name; });

TEST(Model, SpecialIdsStayOutOfTheTrieAndTheMinimum) {
  // "eos" text with the eos id, and an ordinary text carrying the pad id.
  const auto t = make_model({{"a", 1000, -50.0f}, {"b", 1002, -60.0f}, {"c", 7, -2.0f}});
  EXPECT_EQ(t.trie().child(ByteTrie::kRoot, 'a'), ByteTrie::kNoNode);
  EXPECT_EQ(t.trie().child(ByteTrie::kRoot, 'b'), ByteTrie::kNoNode);
  EXPECT_NE(t.trie().child(ByteTrie::kRoot, 'c'), ByteTrie::kNoNode);
  EXPECT_EQ(t.min_score(), -2.0f);
}

TEST(Model, ByteTablesUseExactUpperCaseTexts) {
  const auto t = make_model({{"<0x41>", 70, 0.f},
                                 {"<0x0a>", 71, 0.f},
                                 {"<0xA>", 72, 0.f},
                                 {"<0x041>", 73, 0.f},
                                 {"<0x42>", 80, 0.f},
                                 {"<0x43>", 80, 0.f},
                                 {"<0xFF>", 90, 0.f},
                                 {"<0xFF>", 91, 0.f}});
  EXPECT_TRUE(t.byte_fallback().has(0x41));
  EXPECT_EQ(t.byte_fallback().id(0x41), 70u);
  EXPECT_EQ(t.byte_token(70), std::optional<unsigned char>(0x41));
  EXPECT_FALSE(t.byte_fallback().has(0x0A));
  EXPECT_EQ(t.byte_token(71), std::nullopt);
  EXPECT_EQ(t.byte_token(72), std::nullopt);
  // Two byte pieces share id 80: both table entries hold it, the larger byte wins.
  EXPECT_EQ(t.byte_fallback().id(0x42), 80u);
  EXPECT_EQ(t.byte_fallback().id(0x43), 80u);
  EXPECT_EQ(t.byte_token(80), std::optional<unsigned char>(0x43));
  // A duplicated byte piece takes the last record's id.
  EXPECT_EQ(t.byte_fallback().id(0xFF), 91u);
  EXPECT_EQ(t.byte_token(90), std::nullopt);
  // Byte pieces are trie texts too.
  EXPECT_NE(t.trie().child(ByteTrie::kRoot, '<'), ByteTrie::kNoNode);
  EXPECT_EQ(byte_piece_text(0x0A), "<0x0A>");
  EXPECT_EQ(byte_piece_text(0xFF), "<0xFF>");
}

TEST(Model, SpecialByteGetsFallbackEntry) {
  // A byte piece whose id is special is skipped from the trie but still a byte token.
  const auto t = make_model({{"<0x00>", 0, 0.f}});
  EXPECT_EQ(t.byte_fallback().id(0), 0u);
  EXPECT_EQ(t.trie().child(ByteTrie::kRoot, '<'), ByteTrie::kNoNode);
}

}  // namespace
}  // namespace zeq
