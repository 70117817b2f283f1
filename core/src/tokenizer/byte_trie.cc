#include "tokenizer/byte_trie.h"

#include <algorithm>
#include <new>
#include <utility>

namespace zeq {
namespace {

// The children of the node spelled by keys[lo, hi), sorted keys that share
// their first `depth` bytes. The keys that end at the node sort first and
// are passed over; the others form one run of equal bytes at `depth` per
// child. Fills `bytes` with the child bytes and `starts` with where each
// run starts, then `hi`; returns the first key that does not end here.
std::size_t child_runs(const std::vector<ByteTrie::Key>& keys, std::size_t lo, std::size_t hi,
                       std::size_t depth, std::vector<unsigned char>& bytes,
                       std::vector<std::size_t>& starts) {
  while (lo < hi && keys[lo].text.size() == depth) ++lo;
  bytes.clear();
  starts.clear();
  for (std::size_t i = lo; i < hi; ++i) {
    const auto c = static_cast<unsigned char>(keys[i].text[depth]);
    if (bytes.empty() || bytes.back() != c) {
      bytes.push_back(c);
      starts.push_back(i);
    }
  }
  starts.push_back(hi);
  return lo;
}

}  // namespace

// Places the nodes of the trie into the double array. Keys are sorted so
// that every node's keys form one contiguous range, whose distinct bytes at
// the node's depth are its children; a depth-first walk with an explicit
// stack (a long piece must not turn into deep recursion) gives each node a
// base where all of its children find free slots.
class ByteTrieBuilder {
 public:
  explicit ByteTrieBuilder(ByteTrie& trie) : slots_(trie.slots_) {}

  // Places the nodes of `keys` (sorted here) and leaves in `placed` the
  // piece and depth of every node.
  void build(std::vector<ByteTrie::Key>& keys, std::size_t& node_count,
             ByteTrie::Placed& placed) {
    sort_keys(keys);
    grow(1 + 256);
    take(ByteTrie::kRoot);
    node_count = 1;

    struct Frame {
      std::uint32_t node;
      std::size_t lo, hi, depth;  // keys[lo, hi) spell the node's path so far
    };
    std::vector<Frame> stack{{ByteTrie::kRoot, 0, keys.size(), 0}};
    std::vector<unsigned char> bytes;
    std::vector<std::size_t> starts;
    while (!stack.empty()) {
      const Frame f = stack.back();
      stack.pop_back();
      // Keys that end here sort first; the last of them (in file order,
      // kept by the stable sort) is the node's piece.
      const std::size_t lo = child_runs(keys, f.lo, f.hi, f.depth, bytes, starts);
      // A taken slot is off the free list for good, so its two list links
      // can hold what the links pass needs of the node instead.
      piece_of(f.node) =
          lo > f.lo ? static_cast<std::uint32_t>(lo - 1) : ByteTrie::Placed::kNoPiece;
      depth_of(f.node) = static_cast<std::uint32_t>(f.depth);  // a piece is < 2^32 bytes
      if (lo == f.hi) continue;

      const std::uint32_t base = find_base(bytes);
      slots_[f.node].base = base;
      for (std::size_t k = 0; k < bytes.size(); ++k) {
        const std::uint32_t child = base + bytes[k];
        take(child);
        slots_[child].check = f.node;
        stack.push_back({child, starts[k], starts[k + 1], f.depth + 1});
      }
      node_count += bytes.size();
      max_base_ = std::max(max_base_, base);
    }
    // Keep the array reaching 256 slots past the largest base, and no more.
    const std::size_t size = std::max<std::size_t>(max_base_ + 256 + 1, last_used_ + 1);
    slots_.resize(size);
    slots_.shrink_to_fit();
    next_.resize(size);
    prev_.resize(size);
    placed.piece = std::move(next_);
    placed.depth = std::move(prev_);
  }

 private:
  static constexpr std::uint32_t kNone = 0xFFFFFFFFu;
  // Free slots tried as the home of a node's first child before giving up
  // and placing the children past the end of the array. Bounds the build
  // time on hostile vocabularies at the cost of a few unused slots.
  static constexpr int kMaxCandidates = 512;
  // A free slot that failed this often as a candidate leaves the candidate
  // list (it stays free, so a later node's child may still land on it).
  // Without this, the few holes that fit nothing are rescanned by every node.
  static constexpr std::uint8_t kMaxFailures = 8;

  // Sorts keys by text; equal texts keep their order (the later record must
  // come last). An 8-byte big-endian prefix of each text is sorted first,
  // by a stable radix sort (11 bits a pass, passes over bits that are the
  // same in every key skipped); only runs of equal prefixes, texts that
  // agree on their first 8 bytes, are then compared in full.
  static void sort_keys(std::vector<ByteTrie::Key>& keys) {
    struct Sortable {
      std::uint64_t prefix;
      std::uint32_t index;
    };
    std::vector<Sortable> order(keys.size()), spare(keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) {
      std::uint64_t prefix = 0;
      const std::string_view t = keys[i].text;
      for (std::size_t k = 0; k < 8; ++k) {
        prefix = (prefix << 8) | (k < t.size() ? static_cast<unsigned char>(t[k]) : 0);
      }
      order[i] = {prefix, static_cast<std::uint32_t>(i)};
    }
    constexpr int kBits = 11;
    constexpr std::size_t kBuckets = std::size_t{1} << kBits;
    std::vector<std::size_t> start(kBuckets);
    for (int shift = 0; shift < 64; shift += kBits) {
      std::fill(start.begin(), start.end(), 0);
      for (const Sortable& s : order) ++start[(s.prefix >> shift) & (kBuckets - 1)];
      if (!order.empty() &&
          start[(order[0].prefix >> shift) & (kBuckets - 1)] == order.size()) {
        continue;  // every key has these bits: the pass would change nothing
      }
      std::size_t sum = 0;
      for (std::size_t& n : start) sum += std::exchange(n, sum);
      for (const Sortable& s : order) spare[start[(s.prefix >> shift) & (kBuckets - 1)]++] = s;
      order.swap(spare);
    }
    auto by_text = [&](const Sortable& a, const Sortable& b) {
      const int c = keys[a.index].text.compare(keys[b.index].text);
      return c != 0 ? c < 0 : a.index < b.index;
    };
    for (std::size_t lo = 0; lo < order.size();) {
      std::size_t hi = lo + 1;
      while (hi < order.size() && order[hi].prefix == order[lo].prefix) ++hi;
      if (hi - lo > 1) std::sort(order.begin() + static_cast<std::ptrdiff_t>(lo),
                                 order.begin() + static_cast<std::ptrdiff_t>(hi), by_text);
      lo = hi;
    }
    std::vector<ByteTrie::Key> sorted;
    sorted.reserve(keys.size());
    for (const Sortable& s : order) sorted.push_back(keys[s.index]);
    keys.swap(sorted);
  }

  // Makes slots [0, size) exist, growing geometrically; new slots join the
  // free list in index order.
  void grow(std::size_t size) {
    if (size > std::size_t{ByteTrie::kMaxBase} + 257) throw std::bad_alloc();
    const std::size_t old = used_.size();
    if (size <= old) return;
    size = std::max(size, old + old / 2);
    next_.resize(size, kNone);
    prev_.resize(size, kNone);
    used_.resize(size, 0);
    failures_.resize(size, 0);
    slots_.resize(size);
    for (std::size_t i = old; i < size; ++i) {
      const auto idx = static_cast<std::uint32_t>(i);
      prev_[i] = tail_;
      if (tail_ == kNone) head_ = idx; else next_[tail_] = idx;
      tail_ = idx;
    }
  }

  void unlink(std::uint32_t i) {
    if (prev_[i] == kNone) head_ = next_[i]; else next_[prev_[i]] = next_[i];
    if (next_[i] == kNone) tail_ = prev_[i]; else prev_[next_[i]] = prev_[i];
    prev_[i] = next_[i] = i;  // marks "not in the list"
  }

  void take(std::uint32_t i) {
    used_[i] = 1;
    last_used_ = std::max<std::size_t>(last_used_, i);
    if (next_[i] != i) unlink(i);
  }

  bool fits(std::uint32_t base, const std::vector<unsigned char>& bytes) const {
    for (unsigned char c : bytes) {
      const std::size_t t = std::size_t{base} + c;
      if (t < used_.size() && used_[t]) return false;
    }
    return true;
  }

  // A base such that base + c is free for every child byte c; the array is
  // grown so that it still reaches 256 slots past that base.
  std::uint32_t find_base(const std::vector<unsigned char>& bytes) {
    const unsigned char first = bytes.front();
    std::size_t base = std::max(used_.size(), std::size_t{first}) - first;
    int tried = 0;
    for (std::uint32_t q = head_; q != kNone && tried < kMaxCandidates;) {
      const std::uint32_t next = next_[q];
      if (q >= first && fits(q - first, bytes)) {
        base = q - first;
        break;
      }
      ++tried;
      if (++failures_[q] >= kMaxFailures) unlink(q);
      q = next;
    }
    if (base > ByteTrie::kMaxBase) throw std::bad_alloc();
    grow(base + 256 + 1);
    return static_cast<std::uint32_t>(base);
  }

  std::vector<ByteTrie::Slot>& slots_;
  // Doubly linked list of free slots; at a taken slot, the node's piece and
  // depth once the node has been placed (piece_of, depth_of).
  std::vector<std::uint32_t> next_, prev_;
  std::uint32_t& piece_of(std::uint32_t node) { return next_[node]; }
  std::uint32_t& depth_of(std::uint32_t node) { return prev_[node]; }
  std::vector<unsigned char> used_;
  std::vector<std::uint8_t> failures_;
  std::uint32_t head_ = kNone, tail_ = kNone;
  std::uint32_t max_base_ = 0;
  std::size_t last_used_ = 0;
};

// Failure links and outputs, breadth first: a node's failure target is
// shallower, so its failure link and output are final when the node's are
// set. The nodes are taken by depth (a counting sort of the depths the
// builder left), and a node's byte is its offset from its parent's base.
// Work is linear in the total key length (the classic bound: along one
// key's path the depth of the failure state rises by at most one per
// byte). Outputs are numbered in the same order, so short pieces come
// first.
void ByteTrie::link_nodes(const std::vector<Key>& keys, const Placed& placed) {
  links_.assign(slots_.size(), Link{});
  outputs_.clear();
  outputs_.reserve(keys.size());
  auto is_node = [&](std::size_t i) { return i == kRoot || slots_[i].check != kFree; };
  std::size_t max_depth = 0;
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    if (is_node(i)) max_depth = std::max<std::size_t>(max_depth, placed.depth[i]);
  }
  std::vector<std::uint32_t> first(max_depth + 2, 0);  // node counts fit (see grow)
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    if (is_node(i)) ++first[placed.depth[i] + 1];
  }
  for (std::size_t d = 1; d < first.size(); ++d) first[d] += first[d - 1];
  std::vector<std::uint32_t> by_depth(first.back());
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    if (is_node(i)) by_depth[first[placed.depth[i]]++] = static_cast<std::uint32_t>(i);
  }
  for (const std::uint32_t node : by_depth) {
    const std::uint32_t piece = placed.piece[node];
    const Key* key = piece != Placed::kNoPiece ? &keys[piece] : nullptr;
    if (node == kRoot) continue;  // the empty piece is never reported
    const std::uint32_t parent = slots_[node].check;
    const auto c = static_cast<unsigned char>(node - slots_[parent].base);
    std::uint32_t fail = kRoot;
    if (parent != kRoot) {
      for (std::uint32_t f = links_[parent].fail;; f = links_[f].fail) {
        const std::uint32_t t = child(f, c);
        if (t != kNoNode) {
          fail = t;
          break;
        }
        if (f == kRoot) break;
      }
    }
    links_[node].fail = fail;
    links_[node].output = links_[fail].output;
    if (key != nullptr) {
      outputs_.push_back({key->score, key->id, placed.depth[node], links_[fail].output});
      links_[node].output = static_cast<std::uint32_t>(outputs_.size() - 1);
    }
  }
}

ByteTrie ByteTrie::build(std::vector<Key> keys) {
  ByteTrie trie;
  Placed placed;
  ByteTrieBuilder(trie).build(keys, trie.node_count_, placed);
  trie.link_nodes(keys, placed);
  return trie;
}

}  // namespace zeq
