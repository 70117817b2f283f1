// Byte trie over piece texts, stored as a double array.
//
// Every node is one 8-byte slot: `base` (with the terminal flag in its top
// bit) and `check` (the parent's index); the id and score of the piece that
// ends at a node sit in a parallel array that is read only at terminals.
// The child of node s for byte c is t = base(s) + c when check[t] == s. One
// walk step is therefore one add, one load and one compare; a map per node
// (the obvious layout) costs a hash and a pointer chase per step. Keeping
// the terminal data out of the walked array halves the bytes the walk
// touches (the walk is bound by memory latency, not by instructions).
//
// Node 0 is the root. The array always extends 256 slots past the largest
// base, so base(s) + c is inside the array for every node and byte.
#ifndef ZEQ_TOKENIZER_BYTE_TRIE_H_
#define ZEQ_TOKENIZER_BYTE_TRIE_H_

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "tokenizer/types.h"

namespace zeq {

class ByteTrie {
 public:
  static constexpr std::uint32_t kRoot = 0;
  static constexpr std::uint32_t kNoNode = 0xFFFFFFFFu;

  // One piece to insert: its text, stored id and score.
  struct Key {
    std::string_view text;
    TokenId id;
    float score;
  };

  // Builds the trie. For keys with equal text the last one in `keys` sets
  // the terminal id and score. An empty text marks the root as terminal.
  // Iterative (no recursion on text length). Throws std::bad_alloc when the
  // texts would need more than 2^31 nodes. O(n log n) in the key count for
  // the sort plus about linear in total text bytes for the placement.
  static ByteTrie build(std::vector<Key> keys);

  ByteTrie() = default;

  // Child of `node` for byte `c`, or kNoNode. `node` must be a node index.
  std::uint32_t child(std::uint32_t node, unsigned char c) const {
    const std::uint32_t t = (slots_[node].base & kBaseMask) + c;
    return slots_[t].check == node ? t : kNoNode;
  }
  bool has_terminal(std::uint32_t node) const {
    return (slots_[node].base & kTerminalBit) != 0;
  }
  // Meaningful only when has_terminal(node).
  TokenId terminal(std::uint32_t node) const { return pieces_[node].id; }
  float score(std::uint32_t node) const { return pieces_[node].score; }

  // Number of nodes, the root included.
  std::size_t node_count() const { return node_count_; }
  // Bytes held by the array.
  std::size_t memory_bytes() const {
    return slots_.capacity() * sizeof(Slot) + pieces_.capacity() * sizeof(Piece);
  }

 private:
  static constexpr std::uint32_t kTerminalBit = 0x80000000u;
  static constexpr std::uint32_t kBaseMask = 0x7FFFFFFFu;
  static constexpr std::uint32_t kFree = 0xFFFFFFFFu;  // check of a free slot

  struct Slot {
    std::uint32_t base = 0;       // children at base + byte; top bit: terminal
    std::uint32_t check = kFree;  // index of the parent node
  };
  struct Piece {
    TokenId id = 0;
    float score = 0.0f;
  };

  friend class ByteTrieBuilder;

  std::vector<Slot> slots_;
  std::vector<Piece> pieces_;  // by slot index; meaningful at terminals only
  std::size_t node_count_ = 0;
};

}  // namespace zeq

#endif  // ZEQ_TOKENIZER_BYTE_TRIE_H_
