// SentencePiece's precompiled character map ("precompiled_charsmap"): the
// rule set of its normaliser, compiled into one blob.
//
// Layout, numbers little-endian:
//   u32 trie_size            bytes of the trie: at least 1024 and a
//                            multiple of 1024 (256 units)
//   trie                     a darts-clone double array of 4-byte units
//                            whose keys are the texts to replace
//   texts                    replacement texts, each ending in a NUL; the
//                            blob's last byte is a NUL
//
// A key's value is the offset of its replacement in `texts`. The blob's
// layout is checked once, at construction; the trie's units are not: a
// crafted trie can point anywhere, so every unit a lookup reaches is
// bounds-checked when it is read, and a lookup reads at most one unit pair
// per byte of the text it is given.
#ifndef ZEQ_TOKENIZER_CHARSMAP_H_
#define ZEQ_TOKENIZER_CHARSMAP_H_

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace zeq {

class CharsMap {
 public:
  // The longest key that is a prefix of a text, and what replaces it.
  struct Match {
    std::size_t length = 0;        // 0: no key applies
    std::string_view replacement;  // view into the map; may be empty
  };

  // Checks the layout of `blob` and keeps a copy of it. On failure returns
  // a one-line reason starting with "character map: ". An empty blob is
  // refused too: "no character map" is the caller's to represent.
  static std::expected<CharsMap, std::string> from_blob(std::string_view blob);

  // The longest key that `text` starts with. length is 0 when no key
  // matches, or when the longest one's value lies outside the texts (the
  // text's own character then stands, as in SentencePiece). When several
  // keys match, the longest wins even if a shorter one has a usable value.
  // O(length of the longest key) for a trie from SentencePiece's builder
  // (keys of a few characters); O(text.size()) at worst, as a crafted trie
  // can hold a path that loops on itself, so that a normaliser calling this
  // at every position of n bytes may take O(n^2) steps (SentencePiece too).
  Match longest_match(std::string_view text) const;

  // Whether the trie has a path for every byte of `prefix`, i.e. some key
  // may start with it. Follows the same bounds rules as longest_match.
  bool has_path(std::string_view prefix) const;

 private:
  CharsMap(std::string blob, std::size_t unit_count)
      : blob_(std::move(blob)), unit_count_(unit_count) {}

  static constexpr std::size_t kSizeField = 4;
  static constexpr std::size_t kUnitSize = 4;

  std::uint32_t unit(std::size_t index) const {
    const auto* p =
        reinterpret_cast<const unsigned char*>(blob_.data()) + kSizeField + index * kUnitSize;
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
  }
  std::string_view texts() const {
    return std::string_view(blob_).substr(kSizeField + unit_count_ * kUnitSize);
  }

  // Walks `key` from the root. Returns the number of bytes walked before
  // the trie had no child (key.size() when it had all of them); when
  // `best` is given, records there the longest key end met on the way and
  // that key's value.
  struct KeyEnd {
    std::size_t length = 0;
    std::uint32_t value = 0;
  };
  std::size_t walk(std::string_view key, KeyEnd* best) const;

  std::string blob_;
  std::size_t unit_count_;  // units in the trie; at least 256
};

}  // namespace zeq

#endif  // ZEQ_TOKENIZER_CHARSMAP_H_
