// Byte trie over piece texts, stored as a double array, that doubles as a
// matching automaton (Aho-Corasick) over the same nodes.
//
// Every node is one 8-byte slot: `base` and `check` (the parent's index). The child of node s for byte c is
// t = base(s) + c when check[t] == s: one add, one load and one compare,
// where a map per node (the obvious layout) costs a hash and a pointer
// chase. Each node's failure link and first output sit in a parallel
// array, and the pieces themselves (id, score, length, next output) in a
// dense array of 16-byte records, shortest pieces first: the walk reads
// the slots at every byte, so they hold nothing else, and the records
// most matches reach share a few cache lines.
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
  static constexpr std::uint32_t kNoOutput = 0xFFFFFFFFu;

  // A piece the automaton reports: its stored id and score, its length in
  // bytes, and the next (shorter) piece that ends at the same place.
  struct Output {
    float score;
    TokenId id;
    std::uint32_t length;
    std::uint32_t next;  // index of the next output, or kNoOutput
  };

  // One piece to insert: its text, stored id and score.
  struct Key {
    std::string_view text;
    TokenId id;
    float score;
  };

  // Builds the trie. For keys with equal text the last one in `keys` is the
  // node's piece. An empty text is no piece: nothing ever reports it.
  // Iterative (no recursion on text length). Throws std::bad_alloc when the
  // texts would need more than 2^31 nodes. O(n log n) in the key count for
  // the sort plus about linear in total text bytes for the placement and
  // the links.
  static ByteTrie build(std::vector<Key> keys);

  ByteTrie() = default;

  // Child of `node` for byte `c`, or kNoNode. `node` must be a node index.
  std::uint32_t child(std::uint32_t node, unsigned char c) const {
    const std::uint32_t t = slots_[node].base + c;
    return slots_[t].check == node ? t : kNoNode;
  }

  // Matching. The state after reading some text is the node of the longest
  // suffix of that text that spells the start of a piece (the root if
  // none does). `next` moves it over one more byte, following failure
  // links (to the node of the longest proper suffix) while the node has no
  // child for the byte: amortised O(1) per byte.
  std::uint32_t next(std::uint32_t node, unsigned char c) const {
    for (;;) {
      const std::uint32_t t = child(node, c);
      if (t != kNoNode) return t;
      if (node == kRoot) return kRoot;
      node = links_[node].fail;
    }
  }
  // Asks the processor for the slot and the links of the child of `node`
  // for byte `c`, where it would be: the memory a step to it reads, if
  // the child exists. No effect on results.
  void prefetch_child(std::uint32_t node, unsigned char c) const {
    const std::uint32_t t = slots_[node].base + c;
    __builtin_prefetch(&slots_[t]);
    __builtin_prefetch(&links_[t]);
  }
  // The pieces that end the text read into `state`, longest first: the
  // first is output(first_output(state)), each next one output(o.next) of
  // the one o before, until kNoOutput. The node's own piece, if it has one,
  // is the first, of a length equal to the node's depth.
  std::uint32_t first_output(std::uint32_t state) const { return links_[state].output; }
  const Output& output(std::uint32_t index) const { return outputs_[index]; }

  // Number of nodes, the root included.
  std::size_t node_count() const { return node_count_; }

 private:
  // The largest base: slot indices (base + byte) stay below 2^31 + 256.
  static constexpr std::uint32_t kMaxBase = 0x7FFFFFFFu;
  static constexpr std::uint32_t kFree = 0xFFFFFFFFu;  // check of a free slot

  struct Slot {
    std::uint32_t base = 0;       // children at base + byte
    std::uint32_t check = kFree;  // index of the parent node
  };
  struct Link {
    std::uint32_t fail = kRoot;
    // The node's own piece if it has one, else the first output of its
    // failure target.
    std::uint32_t output = kNoOutput;
  };

  // What the builder leaves of the nodes it placed, by slot (meaningful at
  // nodes only): the key of the node's piece (kNoPiece if none) and its
  // depth.
  struct Placed {
    static constexpr std::uint32_t kNoPiece = 0xFFFFFFFFu;
    std::vector<std::uint32_t> piece;
    std::vector<std::uint32_t> depth;
  };

  friend class ByteTrieBuilder;

  // Sets links_ and outputs_ for the placed nodes; `keys` sorted as the
  // builder left them. Linear in the total key length.
  void link_nodes(const std::vector<Key>& keys, const Placed& placed);

  std::vector<Slot> slots_;
  std::vector<Link> links_;       // by slot index; meaningful at nodes only
  std::vector<Output> outputs_;   // one per non-empty piece, by depth (breadth first)
  std::size_t node_count_ = 0;
};

}  // namespace zeq

#endif  // ZEQ_TOKENIZER_BYTE_TRIE_H_
