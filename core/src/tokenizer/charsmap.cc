#include "tokenizer/charsmap.h"

namespace zeq {
namespace {

constexpr std::size_t kTrieAlignment = 1024;

// Fields of a darts-clone unit. A unit reached by byte c belongs to the
// node for c when its label is c; a leaf unit's label has the top bit set,
// so it never equals a byte. has_leaf says that the node's child for the
// terminating byte 0 is a leaf, whose value is the key's value.
bool has_leaf(std::uint32_t unit) { return ((unit >> 8) & 1) != 0; }
std::uint32_t value(std::uint32_t unit) { return unit & 0x7FFFFFFFu; }
std::uint32_t label(std::uint32_t unit) { return unit & 0x800000FFu; }
std::size_t offset(std::uint32_t unit) {
  return static_cast<std::size_t>(unit >> 10) << ((unit & (1u << 9)) >> 6);
}

}  // namespace

std::expected<CharsMap, std::string> CharsMap::from_blob(std::string_view blob) {
  const std::string prefix = "character map: ";
  if (blob.size() <= kSizeField) {
    return std::unexpected(prefix + "blob of " + std::to_string(blob.size()) +
                           " bytes is too short to hold a trie");
  }
  const auto* b = reinterpret_cast<const unsigned char*>(blob.data());
  const std::uint32_t trie_size = static_cast<std::uint32_t>(b[0]) |
                                  static_cast<std::uint32_t>(b[1]) << 8 |
                                  static_cast<std::uint32_t>(b[2]) << 16 |
                                  static_cast<std::uint32_t>(b[3]) << 24;
  const std::string size_text = "trie size " + std::to_string(trie_size);
  if (trie_size > blob.size() - kSizeField) {
    return std::unexpected(prefix + size_text + " exceeds the " +
                           std::to_string(blob.size() - kSizeField) + " bytes after it");
  }
  if (trie_size % kTrieAlignment != 0) {
    return std::unexpected(prefix + size_text + " is not a multiple of 1024");
  }
  if (trie_size == 0) return std::unexpected(prefix + size_text + " is below 1024");
  if (blob.size() == kSizeField + trie_size || blob.back() != '\0') {
    return std::unexpected(prefix + "the replacement texts do not end with a NUL byte");
  }
  return CharsMap(std::string(blob), trie_size / kUnitSize);
}

std::size_t CharsMap::walk(std::string_view key, KeyEnd* best) const {
  std::size_t node = offset(unit(0));
  for (std::size_t i = 0; i < key.size(); ++i) {
    const auto c = static_cast<unsigned char>(key[i]);
    node ^= c;
    if (node >= unit_count_) return i;
    const std::uint32_t u = unit(node);
    if (label(u) != c) return i;
    node ^= offset(u);
    // A leaf past the trie is read as no key end, as no well-formed trie
    // has one.
    if (best != nullptr && has_leaf(u) && node < unit_count_) {
      *best = KeyEnd{i + 1, value(unit(node))};
    }
  }
  return key.size();
}

CharsMap::Match CharsMap::longest_match(std::string_view text) const {
  KeyEnd best;
  walk(text, &best);
  const std::string_view all = texts();
  if (best.length == 0 || best.value >= all.size()) return {};
  // The texts end in a NUL, so every value below their size starts a
  // NUL-terminated replacement inside them.
  const std::string_view rest = all.substr(best.value);
  return Match{best.length, rest.substr(0, rest.find('\0'))};
}

bool CharsMap::has_path(std::string_view prefix) const {
  return walk(prefix, nullptr) == prefix.size();
}

}  // namespace zeq
