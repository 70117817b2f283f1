#include "tokenizer/segment.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "tokenizer/error.h"
#include "tokenizer/utf8.h"

namespace zeq {

LatticeCell* Lattice::reset(std::size_t len) {
  if (cells_.size() < len + 1) cells_.resize(len + 1);
  static_assert(std::is_trivial_v<LatticeCell>);
  std::memset(cells_.data(), 0, (len + 1) * sizeof(LatticeCell));
  return cells_.data();
}

namespace {

// Offer cell e the candidate (start e - distance, score s, id t). An
// unreached cell takes anything; a reached one only a strictly greater
// score, so between equal scores the earlier offer stays and a NaN never
// replaces anything.
inline void offer(LatticeCell& cell, std::uint32_t distance, float s, TokenId t) {
  if (cell.back_distance == 0 || s > cell.score) {
    cell.back_distance = distance;
    cell.score = s;
    cell.id = t;
  }
}

}  // namespace

void segment_word(const Tokenizer& tokenizer, std::string_view word,
                  std::vector<TokenId>& out, Lattice& lattice) {
  const std::size_t len = word.size();
  if (len == 0) return;
  const auto* bytes = reinterpret_cast<const unsigned char*>(word.data());
  const ByteTrie& trie = tokenizer.trie();
  const ByteFallbackTable& byte_fallback = tokenizer.byte_fallback();
  const float fallback_score = tokenizer.min_score() - FALLBACK_PENALTY;
  LatticeCell* cells = lattice.reset(len);

  // Forward pass. Cell 0 is the empty prefix: reached, score 0.
  std::size_t p = 0;
  while (p < len) {
    const std::size_t c = utf8::char_length(bytes[p]);
    if (p != 0 && cells[p].back_distance == 0) {
      p += c;  // unreached: cannot happen for well-formed words
      continue;
    }
    const float s = cells[p].score;

    // Every piece that starts at p. The walk goes on through nodes without
    // a piece and ends at the first missing child or at the word's end. It
    // runs in two legs: through the bytes of the character at p, after
    // which a piece ending there (exactly c bytes) tells whether the
    // character is covered, then on without that question. A piece is at
    // most 2^32 - 1 bytes long (its length field), so the distance of every
    // offer fits in 32 bits.
    std::uint32_t node = ByteTrie::kRoot;
    LatticeCell* const from = cells + p;
    const unsigned char* const start = bytes + p;
    const std::size_t max_i = len - p;
    // One step of the walk, to `depth`: false at a missing child.
    auto step = [&](std::size_t depth) {
      node = trie.child(node, start[depth - 1]);
      if (node == ByteTrie::kNoNode) return false;
      if (trie.has_terminal(node)) {
        offer(from[depth], static_cast<std::uint32_t>(depth), s + trie.score(node),
              trie.terminal(node));
      }
      return true;
    };
    std::size_t i = 1;
    if (c == 1) {  // the usual case, ASCII: one step
      if (step(1)) i = 2;
    } else {
      const std::size_t leg = std::min(c, max_i);
      while (i <= leg && step(i)) ++i;
    }
    const bool covered = i == c + 1 && trie.has_terminal(node);
    if (i == c + 1) {
      while (i <= max_i && step(i)) ++i;
    }

    if (covered) {
      p += c;
    } else if (byte_fallback.has(bytes[p])) {
      offer(cells[p + 1], 1, s + fallback_score, byte_fallback.id(bytes[p]));
      p += 1;
    } else {
      if (p + c > len) {
        throw InternalFault("lattice index out of range: word ends inside a character");
      }
      offer(cells[p + c], static_cast<std::uint32_t>(c), s + fallback_score, tokenizer.unk_id());
      p += c;
    }
  }

  // Backtrack from the end, then put this word's ids in text order.
  const std::size_t first = out.size();
  std::size_t g = len;
  for (;;) {
    const LatticeCell& cell = cells[g];
    if (cell.back_distance == 0) {
      out.push_back(tokenizer.unk_id());
      break;
    }
    out.push_back(cell.id);
    g -= cell.back_distance;
    if (g == 0) break;
  }
  std::reverse(out.begin() + static_cast<std::ptrdiff_t>(first), out.end());
}

void segment_word(const Tokenizer& tokenizer, std::string_view word,
                  std::vector<TokenId>& out) {
  Lattice lattice;
  segment_word(tokenizer, word, out, lattice);
}

}  // namespace zeq
