// Decoding in the core alone: zeq's own rules, and the rules of a model
// converted with an options section (control pieces, the unknown surface,
// byte runs read one character at a time, leading markers).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "model_calls.h"
#include "test_util.h"
#include "tokenizer/model.h"

namespace zeq {
namespace {

#define M "\xE2\x96\x81"

// Specials at 0-3; byte pieces for C3, A9, E2, 96, 81 and 41 at 4-9; words from 10.
std::vector<PieceEntry> entries() {
  return {{"<unk>", 0, 0.f}, {"<s>", 1, 0.f},   {"</s>", 2, 0.f},    {"<pad>", 3, 0.f},
          {"<0xC3>", 4, 0.f}, {"<0xA9>", 5, 0.f}, {"<0xE2>", 6, 0.f}, {"<0x96>", 7, 0.f},
          {"<0x81>", 8, 0.f}, {"<0x41>", 9, 0.f}, {M "Hello", 10, -1.f}, {M, 11, -2.f},
          {"world", 12, -3.f}, {"<mask>", 13, 0.f}};
}
const testing::Specials kSpecials{3, 0, 1, 2};

std::string decode(const Model& m, std::vector<TokenId> ids) { return testing::decode(m, ids); }

TEST(Decode, OwnRules) {
  const Model m = testing::make_model(entries(), kSpecials);
  EXPECT_EQ(decode(m, {10, 11, 12}), "Hello world");
  EXPECT_EQ(decode(m, {1, 11, 12, 2, 0, 3}), "world");         // specials add nothing; a leading marker goes
  EXPECT_EQ(decode(m, {4, 5, 11, 4}), "\xC3\xA9 \xEF\xBF\xBD");  // bytes joined, a lone lead repaired
  EXPECT_EQ(decode(m, {6, 7, 8, 12}), "world");                  // a marker spelled in bytes, at the start
  EXPECT_EQ(decode(m, {12, 6, 7, 8, 12}), "world world");
  EXPECT_EQ(decode(m, {6, 7, 12}), "\xEF\xBF\xBDworld");         // one maximal ill-formed part, one U+FFFD
  EXPECT_EQ(decode(m, {12, 999, 0xFFFFFFFF, 13}), "world<mask>");  // ids past the end add nothing
  EXPECT_EQ(decode(m, {}), "");
}

Model with_options(bool remove_extra_whitespaces) {
  ModelOptions o;
  o.normalizer.remove_extra_whitespaces = remove_extra_whitespaces;
  o.byte_fallback = true;
  for (std::uint32_t b = 4; b <= 9; ++b) o.kinds.emplace_back(b, PieceKind::Byte);
  o.kinds.emplace_back(13, PieceKind::Control);
  o.unknown_surface = "<?>";
  auto m = Model::from_vocab(Vocab::from_entries(entries(), 3, 0, 1, 2), std::move(o));
  if (!m) throw std::runtime_error(m.error());
  return std::move(*m);
}

TEST(Decode, SourceRules) {
  const Model m = with_options(true);
  EXPECT_EQ(decode(m, {10, 11, 12}), "Hello world");
  EXPECT_EQ(decode(m, {13, 0, 12}), "<?>world");                   // control: nothing; unk: its surface
  EXPECT_EQ(decode(m, {6, 7, 8, 12}), M "world");                  // a marker spelled in bytes stays one
  EXPECT_EQ(decode(m, {6, 7, 12}), "\xEF\xBF\xBD\xEF\xBF\xBDworld");  // each byte that starts nothing: U+FFFD
  // Folded white space drops the leading marker of every piece until text begins.
  EXPECT_EQ(decode(m, {11, 11, 10}), "Hello");
  EXPECT_EQ(decode(with_options(false), {11, 11, 10}), "  Hello");  // only the first
  EXPECT_EQ(decode(m, {1, 10, 2}), "Hello");
}

TEST(Decode, ByteTextsAreBytesWhenTheModelFallsBackToBytes) {
  // A tokenizer.json's byte pieces are ordinary pieces: with byte fallback,
  // their texts still decode as bytes.
  ModelOptions o;
  o.byte_fallback = true;
  auto m = Model::from_vocab(Vocab::from_entries(entries(), 3, 0, 1, 2), std::move(o));
  ASSERT_TRUE(m.has_value());
  EXPECT_EQ(decode(*m, {12, 4, 5, 9}), "world\xC3\xA9" "A");
  o = ModelOptions();
  m = Model::from_vocab(Vocab::from_entries(entries(), 3, 0, 1, 2), std::move(o));
  EXPECT_EQ(decode(*m, {12, 9}), "world<0x41>");
}

}  // namespace
}  // namespace zeq
