#include "tokenizer/byte_trie.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>

namespace zeq {
namespace {

// Follows `text` from the root; kNoNode when some byte has no child.
std::uint32_t walk(const ByteTrie& trie, std::string_view text) {
  std::uint32_t node = ByteTrie::kRoot;
  for (unsigned char c : text) {
    node = trie.child(node, c);
    if (node == ByteTrie::kNoNode) break;
  }
  return node;
}

// The piece spelled by the node that `text` leads to, if it has one: the
// first of the node's outputs when it is as long as the text.
std::optional<ByteTrie::Output> own_piece(const ByteTrie& trie, std::string_view text) {
  const std::uint32_t node = walk(trie, text);
  if (node == ByteTrie::kNoNode) return std::nullopt;
  const std::uint32_t o = trie.first_output(node);
  if (o == ByteTrie::kNoOutput || trie.output(o).length != text.size()) return std::nullopt;
  return trie.output(o);
}

TEST(ByteTrie, PrefixesBecomeNodesAndLastDuplicateWins) {
  std::vector<ByteTrie::Key> keys = {{"ab", 1, -1.0f}, {"a", 2, -2.0f},
                                     {"x", 4, -5.0f}, {"x", 9, -1.0f}};
  const ByteTrie trie = ByteTrie::build(keys);
  EXPECT_EQ(trie.node_count(), 4u);  // root, a, ab, x
  const auto a = own_piece(trie, "a"), ab = own_piece(trie, "ab"), x = own_piece(trie, "x");
  ASSERT_TRUE(a && ab && x);
  EXPECT_EQ(a->id, 2u);
  EXPECT_EQ(a->score, -2.0f);
  EXPECT_EQ(ab->id, 1u);
  EXPECT_EQ(x->id, 9u);
  EXPECT_EQ(x->score, -1.0f);
  EXPECT_FALSE(own_piece(trie, ""));
  EXPECT_EQ(walk(trie, "b"), ByteTrie::kNoNode);
  EXPECT_EQ(walk(trie, "abc"), ByteTrie::kNoNode);
}

TEST(ByteTrie, EmptyTextIsNoPiece) {
  const ByteTrie trie = ByteTrie::build({{"", 3, -7.0f}});
  EXPECT_EQ(trie.node_count(), 1u);
  EXPECT_EQ(trie.first_output(ByteTrie::kRoot), ByteTrie::kNoOutput);
  for (int c = 0; c < 256; ++c) EXPECT_EQ(trie.child(ByteTrie::kRoot, c), ByteTrie::kNoNode);
}

TEST(ByteTrie, EmptyTrieHasNoChildren) {
  const ByteTrie trie = ByteTrie::build({});
  for (int c = 0; c < 256; ++c) EXPECT_EQ(trie.child(ByteTrie::kRoot, c), ByteTrie::kNoNode);
}

// Random key sets against a reference: every prefix of a key is a node,
// terminals match the last key with that text, and nothing else is reachable.
// Every third round the keys share a 6-byte stem, so that many agree on
// their first 8 bytes (and differ, or not, only after them or in NULs).
TEST(ByteTrie, MatchesReferenceOnRandomKeys) {
  std::mt19937 rng(7);
  for (int round = 0; round < 60; ++round) {
    const int alphabet = round % 2 ? 256 : 4;  // dense and sparse fan-out
    const std::string stem = round % 3 == 2 ? std::string("st\0em\0", 6) : std::string();
    std::vector<std::string> texts;
    std::vector<ByteTrie::Key> keys;
    std::map<std::string, std::pair<TokenId, float>> last;
    std::set<std::string> prefixes;
    for (int i = 0; i < 300; ++i) {
      std::string t(rng() % 7, '\0');
      for (char& ch : t) ch = static_cast<char>(rng() % alphabet);
      texts.push_back(stem.substr(0, rng() % (stem.size() + 1)) + t);
    }
    for (std::size_t i = 0; i < texts.size(); ++i) {
      keys.push_back({texts[i], static_cast<TokenId>(i), static_cast<float>(i)});
      last[texts[i]] = {static_cast<TokenId>(i), static_cast<float>(i)};
      for (std::size_t n = 0; n <= texts[i].size(); ++n) prefixes.insert(texts[i].substr(0, n));
    }
    const ByteTrie trie = ByteTrie::build(keys);
    EXPECT_EQ(trie.node_count(), prefixes.size());
    for (const auto& p : prefixes) {
      const auto node = walk(trie, p);
      ASSERT_NE(node, ByteTrie::kNoNode);
      auto it = last.find(p);
      const auto piece = own_piece(trie, p);
      ASSERT_EQ(piece.has_value(), it != last.end() && !p.empty());
      if (piece) {
        EXPECT_EQ(piece->id, it->second.first);
        EXPECT_EQ(piece->score, it->second.second);
      }
      for (int c = 0; c < 256; ++c) {
        const bool expect = prefixes.count(p + static_cast<char>(c)) != 0;
        EXPECT_EQ(trie.child(node, c) != ByteTrie::kNoNode, expect);
      }
    }
  }
}

// The pieces that end the text read so far, as (length, id), in the order
// the automaton gives them.
std::vector<std::pair<std::uint32_t, TokenId>> outputs(const ByteTrie& trie, std::uint32_t state) {
  std::vector<std::pair<std::uint32_t, TokenId>> found;
  for (std::uint32_t o = trie.first_output(state); o != ByteTrie::kNoOutput;) {
    const ByteTrie::Output& piece = trie.output(o);
    found.emplace_back(piece.length, piece.id);
    o = piece.next;
  }
  return found;
}

// After each byte of a random text, the automaton lists exactly the
// non-empty pieces that end there, longest first, with their ids. Small
// alphabets make pieces overlap and nest; the empty piece never shows.
TEST(ByteTrie, MatchingListsEveryPieceEndingHereLongestFirst) {
  std::mt19937 rng(11);
  for (int round = 0; round < 60; ++round) {
    const int alphabet = 2 + round % 3;
    std::vector<std::string> texts;
    std::vector<ByteTrie::Key> keys;
    std::map<std::string, TokenId> last;
    for (int i = 0; i < 40; ++i) {
      std::string t(rng() % 6, '\0');
      for (char& ch : t) ch = static_cast<char>('a' + rng() % alphabet);
      texts.push_back(t);
    }
    for (std::size_t i = 0; i < texts.size(); ++i) {
      keys.push_back({texts[i], static_cast<TokenId>(i), 0.0f});
      last[texts[i]] = static_cast<TokenId>(i);
    }
    const ByteTrie trie = ByteTrie::build(keys);
    std::string text(200, '\0');
    for (char& ch : text) ch = static_cast<char>('a' + rng() % (alphabet + 1));
    std::uint32_t state = ByteTrie::kRoot;
    for (std::size_t e = 1; e <= text.size(); ++e) {
      state = trie.next(state, static_cast<unsigned char>(text[e - 1]));
      std::vector<std::pair<std::uint32_t, TokenId>> expected;
      for (std::size_t n = e; n >= 1; --n) {
        const auto it = last.find(text.substr(e - n, n));
        if (it != last.end()) expected.emplace_back(static_cast<std::uint32_t>(n), it->second);
      }
      ASSERT_EQ(outputs(trie, state), expected) << "round " << round << " at " << e;
    }
  }
}

// A very long piece must not recurse per byte while building.
TEST(ByteTrie, LongPieceBuildsIteratively) {
  const std::string longest(1 << 20, 'a');
  const ByteTrie trie = ByteTrie::build({{longest, 5, -1.0f}, {"ab", 6, -1.0f}});
  EXPECT_EQ(trie.node_count(), longest.size() + 2);
  EXPECT_EQ(own_piece(trie, longest)->id, 5u);
  // Its failure links are linked in linear time too, and matching finds it.
  std::uint32_t state = ByteTrie::kRoot;
  for (unsigned char c : longest) state = trie.next(state, c);
  ASSERT_EQ(outputs(trie, state).size(), 1u);
  EXPECT_EQ(outputs(trie, state)[0], std::make_pair(static_cast<std::uint32_t>(longest.size()), 5u));
}

}  // namespace
}  // namespace zeq
