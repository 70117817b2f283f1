// Builds character map blobs (see tokenizer/charsmap.h) for tests and the
// fuzzer: a darts-clone double array in its simplest placement, one block
// of 256 units per node that has children or a key end, so that the child
// for byte c sits at block + c and the key end's leaf at block + 0. A
// unit that holds no node gets a label other than the byte that leads to
// it, as darts-clone's own builder does, so that no walk goes through it.
#ifndef ZEQ_CORE_TESTS_CHARSMAP_BUILDER_H_
#define ZEQ_CORE_TESTS_CHARSMAP_BUILDER_H_

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace zeq::testing {

struct CharsMapRule {
  std::string key;  // not empty, no NUL byte
  std::string replacement;
};

// The units of the trie for `rules` (a later rule with the same key wins)
// and the texts; keys that are empty or hold a NUL are skipped. Only for
// small rule sets: offsets must stay below 2^21 units.
inline std::pair<std::vector<std::uint32_t>, std::string> charsmap_parts(
    const std::vector<CharsMapRule>& rules) {
  struct Node {
    std::map<unsigned char, std::size_t> children;
    std::int64_t value = -1;
  };
  std::vector<Node> nodes(1);
  std::string texts;
  for (const auto& rule : rules) {
    if (rule.key.empty() || rule.key.find('\0') != std::string::npos) continue;
    std::size_t node = 0;
    for (const unsigned char c : rule.key) {
      auto [it, added] = nodes[node].children.try_emplace(c, nodes.size());
      if (added) nodes.emplace_back();
      node = it->second;
    }
    nodes[node].value = static_cast<std::int64_t>(texts.size());
    texts += rule.replacement + '\0';
  }
  texts += '\0';
  std::vector<std::uint32_t> units;
  auto add_block = [&] {
    const std::size_t block = units.size();
    for (std::size_t i = 0; i < 256; ++i) units.push_back(static_cast<std::uint32_t>(i ^ 1));
    return block;
  };
  add_block();
  units[0] = 0;  // the root
  std::vector<std::pair<std::size_t, std::size_t>> todo{{0, 0}};  // node, unit position
  for (std::size_t i = 0; i < todo.size(); ++i) {
    const auto [node, pos] = todo[i];
    const Node& n = nodes[node];
    if (n.children.empty() && n.value < 0) continue;
    const std::size_t block = add_block();
    units[pos] |= static_cast<std::uint32_t>(pos ^ block) << 10 | (n.value >= 0 ? 1u << 8 : 0u);
    units[block] = n.value >= 0 ? 0x80000000u | static_cast<std::uint32_t>(n.value) : 1u;
    for (const auto& [c, child] : n.children) {
      units[block + c] = c;
      todo.emplace_back(child, block + c);
    }
  }
  return {std::move(units), std::move(texts)};
}

inline std::string charsmap_blob(const std::vector<std::uint32_t>& units, const std::string& texts) {
  std::string blob;
  auto put = [&](std::uint32_t v) {
    for (int i = 0; i < 4; ++i) blob += static_cast<char>(v >> (8 * i));
  };
  put(static_cast<std::uint32_t>(units.size() * 4));
  for (const std::uint32_t u : units) put(u);
  return blob + texts;
}

inline std::string charsmap_blob(const std::vector<CharsMapRule>& rules) {
  const auto [units, texts] = charsmap_parts(rules);
  return charsmap_blob(units, texts);
}

}  // namespace zeq::testing

#endif  // ZEQ_CORE_TESTS_CHARSMAP_BUILDER_H_
