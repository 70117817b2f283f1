#include "tokenizer/normalizer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "charsmap_builder.h"
#include "tokenizer/utf8.h"

namespace zeq {
namespace {

using testing::CharsMapRule;
using Alignment = std::vector<std::size_t>;

const std::vector<CharsMapRule> kRules = {
    {"\t", " "},     {"x", ""},         {"\uff21", "A"},  {"\u2026", "..."},
    {"ab", "X"},     {"e\u0301", "\u00e9"}, {"\u3000", " "}, {"q", "  q "}};

NormalizerFlags flags_of(std::string_view letters) {
  return {letters.find('d') != std::string_view::npos, letters.find('r') != std::string_view::npos,
          letters.find('e') != std::string_view::npos};
}

Normalizer make(std::string_view flags, const std::vector<std::string>& verbatim = {},
                const std::string& blob = testing::charsmap_blob(kRules)) {
  auto n = Normalizer::create(blob, flags_of(flags), verbatim);
  if (!n) throw std::runtime_error(n.error());
  return std::move(*n);
}

std::string run(const Normalizer& n, std::string_view text, Alignment* alignment = nullptr) {
  std::string out = "left over";
  n.normalize(text, out, alignment);
  return out;
}

// Checks what holds for every result and that the table changes nothing.
void check_consistent(const Normalizer& n, std::string_view text) {
  std::string out, slow_out;
  Alignment alignment{7, 7}, slow_alignment;
  n.normalize(text, out, &alignment);
  n.normalize_without_table(text, slow_out, &slow_alignment);
  ASSERT_EQ(out, slow_out) << text;
  ASSERT_EQ(alignment, slow_alignment) << text;
  if (alignment.empty()) {
    ASSERT_TRUE(out.empty());
    return;
  }
  ASSERT_EQ(alignment.size(), out.size() + 1);
  ASSERT_TRUE(std::is_sorted(alignment.begin(), alignment.end()));
  ASSERT_LE(alignment.back(), text.size());
}

struct Case {
  const char* flags;
  std::string input, output;
};

class WhiteSpace : public ::testing::TestWithParam<Case> {};

TEST_P(WhiteSpace, FollowsTheFlags) {
  EXPECT_EQ(run(make(GetParam().flags), GetParam().input), GetParam().output);
}

INSTANTIATE_TEST_SUITE_P(
    Normalizer, WhiteSpace,
    ::testing::Values(Case{"dre", "  a  b ", "\u2581a\u2581b"}, Case{"dre", "\t\u3000 hi", "\u2581hi"},
                      Case{"dre", "", ""}, Case{"dre", "   ", ""}, Case{"dre", "q", "\u2581q"},
                      Case{"dre", "xxx", ""}, Case{"dre", "a\u2581", "\u2581a"},
                      Case{"", "  a  b ", "  a  b "}, Case{"", "q", "  q "}, Case{"d", " a", "  a"},
                      Case{"e", " a\tb", "\u2581a\u2581b"}, Case{"r", "  a   b  ", "a b"},
                      Case{"dr", "  a ", " a"}, Case{"re", " a  b", "a\u2581b"}));

TEST(Normalizer, AlignsEachOutputByteWithItsPiece) {
  const Normalizer n = make("dre");
  const std::vector<std::pair<std::string, Alignment>> cases = {
      {"\uff21b  c", {0, 0, 0, 0, 3, 4, 4, 4, 6, 7}},
      {" a x ", {1, 1, 1, 1, 2}},  // the cut trailing marker gives back its offset
      {"\xff\u2026", {0, 0, 0, 0, 0, 0, 1, 1, 1, 4}},
      {"ab", {0, 0, 0, 0, 2}},
      {"be\u0301", {0, 0, 0, 0, 1, 1, 4}},  // the run of plain bytes stops before "e"
      {"  ", {}}};
  for (const auto& [text, want] : cases) {
    Alignment got{9, 9};
    run(n, text, &got);
    EXPECT_EQ(got, want) << text;
  }
}

TEST(Normalizer, MalformedBytesBecomeOneReplacementEach) {
  const Normalizer n = make("", {}, "");
  const std::string r = "\xEF\xBF\xBD";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"\xff", r}, {r, r}, {"\xed\xa0\x80", r + r + r}, {"\xc0\x80", r + r},
      {"\xf4\x90\x80\x80", r + r + r + r}, {"a\xe2\x96", "a" + r + r},
      {"\xf0\x9f\x99\x82 ", "\xf0\x9f\x99\x82 "}};
  for (const auto& [text, want] : cases) EXPECT_EQ(run(n, text), want);
}

TEST(Normalizer, VerbatimTextsWinOverTheMapAndKeepTheirBytes) {
  const Normalizer n = make("dre", {"ab", "<", "<s>", "\uff21", ""});
  EXPECT_EQ(run(n, "ab"), "\u2581ab");
  EXPECT_EQ(run(n, "\uff21"), "\u2581\uff21");
  EXPECT_EQ(run(n, "<s>x<x"), "\u2581<s><");
}

TEST(Normalizer, ChecksTheBlob) {
  const std::string good = testing::charsmap_blob({});  // 4 + 1024 + 1 bytes
  auto with_size = [&](std::uint32_t size) {
    std::string b = good;
    for (int i = 0; i < 4; ++i) b[i] = static_cast<char>(size >> (8 * i));
    return b;
  };
  const std::string p = "character map: ";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {std::string(4, '\0'), p + "blob of 4 bytes is too short to hold a trie"},
      {with_size(2048), p + "trie size 2048 exceeds the 1025 bytes after it"},
      {with_size(1000), p + "trie size 1000 is not a multiple of 1024"},
      {with_size(0), p + "trie size 0 is below 1024"},
      {good.substr(0, good.size() - 1), p + "the replacement texts do not end with a NUL byte"},
      {good.substr(0, good.size() - 1) + "x", p + "the replacement texts do not end with a NUL byte"}};
  for (const auto& [blob, message] : cases) {
    auto n = Normalizer::create(blob, {}, {});
    ASSERT_FALSE(n.has_value());
    EXPECT_EQ(n.error(), message);
  }
  EXPECT_TRUE(Normalizer::create(good, {}, {}).has_value());
}

TEST(Normalizer, TheLongestKeyWinsEvenWithAValuePastTheTexts) {
  auto [units, texts] = testing::charsmap_parts({{"a", "Z"}, {"ab", "Y"}});
  const Normalizer n = make("", {}, testing::charsmap_blob(units, texts));
  EXPECT_EQ(run(n, "ab a"), "Y Z");
  for (auto& u : units) {
    if ((u & 0x80000000u) && (u & 0x7FFFFFFFu) == 2) u = 0x80000000u | 1000;  // "ab"'s value
  }
  const Normalizer broken = make("", {}, testing::charsmap_blob(units, texts));
  EXPECT_EQ(run(broken, "ab a"), "ab Z");
}

TEST(Normalizer, TableMatchesTheGeneralPath) {
  const std::vector<std::string> alphabet = {
      "a", "b", "e", "\u0301", " ", "  ", "\t", "x", "q", "\uff21", "\xff", "<s>", "<", "s", "y", "\u2026", "\0",
      "be\u0301", "Hello,world.12345678"};
  std::mt19937 rng(7);
  for (const char* flags : {"", "d", "r", "e", "dr", "de", "re", "dre"}) {
    // With no map every printable byte stands for itself: the case that
    // finds runs 16 bytes at a time.
    for (const Normalizer& n : {make(flags, {}, ""), make(flags), make(flags, {"<s>", "a b", "y"})}) {
      for (int i = 0; i < 300; ++i) {
        std::string text;
        for (int k = rng() % 10; k > 0; --k) text += alphabet[rng() % alphabet.size()];
        check_consistent(n, text);
      }
    }
  }
  const Normalizer n = make("dre");
  for (int a = 0; a < 128; ++a) {
    for (int b = 0; b < 128; ++b) check_consistent(n, std::string{char(a), char(b)});
  }
}

TEST(Normalizer, CraftedTriesStayInsideTheBlob) {
  // A node for "a" whose child for "a" is itself: every walk ends with the text.
  std::vector<std::uint32_t> loop(512, 1);
  loop[0] = 256u << 10;
  loop[256 ^ 'a'] = 'a' | ('a' << 10) | (1u << 8);  // with a key end, at 256
  loop[256] = 0x80000000u;                            // replaced by ""
  EXPECT_EQ(run(make("", {}, testing::charsmap_blob(loop, std::string(1, '\0'))), "baaab"), "bb");

  std::mt19937 rng(11);
  for (int round = 0; round < 64; ++round) {
    std::vector<std::uint32_t> units(256 * (1 + round % 3));
    for (auto& u : units) u = rng() & (round % 2 ? 0xFFFFFFFFu : 0x000FC3FFu);
    const Normalizer n = make("dre", {}, testing::charsmap_blob(units, std::string("ab\0c\0", 5)));
    std::string text;
    for (int k = 0; k < 64; ++k) text += static_cast<char>(rng());
    check_consistent(n, text);
  }
}

}  // namespace
}  // namespace zeq
