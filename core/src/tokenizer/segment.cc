#include "tokenizer/segment.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "zeq/error.h"
#include "tokenizer/utf8.h"

namespace zeq {

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

// zeq's own arithmetic: every sum in single precision.
struct OwnScoring {
  void piece(LatticeCell& to, std::uint32_t length, const LatticeCell& from, float score, TokenId id) {
    offer(to, length, from.score + score, id);
  }
  void fallback(LatticeCell& to, std::uint32_t length, const LatticeCell& from, float score, TokenId id) {
    offer(to, length, from.score + score, id);
  }
};

// The same sums for a model with options, keeping the least margin of its
// decisions (see SourceWord).
struct SourceScoring {
 public:
  double margin = std::numeric_limits<double>::infinity();

  void piece(LatticeCell& to, std::uint32_t length, const LatticeCell& from, float score, TokenId id) {
    offer_noting_margin(to, length, from.score + score, id);
  }
  void fallback(LatticeCell& to, std::uint32_t length, const LatticeCell& from, float score, TokenId id) {
    offer_noting_margin(to, length, from.score + score, id);
  }

 private:
  void offer_noting_margin(LatticeCell& to, std::uint32_t length, float s, TokenId id) {
    if (to.back_distance != 0) {
      margin = std::min(margin, std::fabs(static_cast<double>(s) - static_cast<double>(to.score)));
    }
    offer(to, length, s, id);
  }
};

// The fallback step of the uncovered character of c bytes at p, whose
// bytes in the word end at e (p + c, or the word's end if it is cut short):
// its lead byte's byte token, then one step per further byte (byte token,
// or unk_id for a byte without one); or, without a byte token for the lead
// byte, one unk_id step over the whole character. With options, always the
// one unk_id step: the backtrack turns it into byte pieces where the source
// falls back to bytes, so that a character costs one step as there.
template <class Scoring>
void fall_back(const Model& model, const unsigned char* bytes, LatticeCell* cells, std::size_t p,
               std::size_t c, std::size_t e, float fallback_score, Scoring& scoring) {
  const ByteFallbackTable& byte_fallback = model.byte_fallback();
  if (model.source() == nullptr && byte_fallback.has(bytes[p])) {
    scoring.fallback(cells[p + 1], 1, cells[p], fallback_score, byte_fallback.id(bytes[p]));
    for (std::size_t q = p + 1; q < e; ++q) {
      const TokenId t = byte_fallback.has(bytes[q]) ? byte_fallback.id(bytes[q]) : model.unk_id();
      scoring.fallback(cells[q + 1], 1, cells[q], fallback_score, t);
    }
    return;
  }
  if (p + c > e) {
    throw InternalFault("lattice index out of range: word ends inside a character");
  }
  scoring.fallback(cells[p + c], static_cast<std::uint32_t>(c), cells[p], fallback_score, model.unk_id());
}

// The forward pass over the `len` bytes at `bytes`, which follow the
// `origin` bytes of the word read already: `node` is the automaton's state
// after them, and `cells` is the cell where bytes[0] starts, with cells
// -origin..0 final. Returns the state after the last byte read.
//
// One character at a time. The automaton reads every byte once; after the
// last byte of the character that ends at e, its output chain holds every
// piece that ends at e, longest first, i.e. by increasing start. Every cell
// a piece starts from is final by then (offers only go forward), and each
// cell gets its offers in the order of their start, the fallback step of
// the character last: the same order as offering from each start in turn,
// so ties go the same way. Offers never reach past the character's end, so
// its cells are made unreached just before it rather than the whole
// lattice before the word.
template <class Scoring>
std::uint32_t forward(const Model& model, const unsigned char* bytes, std::size_t len,
                      LatticeCell* cells, std::size_t origin, std::uint32_t node, Scoring& scoring) {
  const ByteTrie& trie = model.trie();
  const float fallback_score = model.min_score() - FALLBACK_PENALTY;
  std::size_t p = 0;
  while (p < len) {
    const std::size_t c = utf8::char_length(bytes[p]);
    if (c > len - p) {
      // The word ends inside this character (ill-formed): no piece can end
      // in it, only a fallback step can cover it.
      for (std::size_t q = p + 1; q <= len; ++q) cells[q] = LatticeCell{};
      fall_back(model, bytes, cells, p, c, len, fallback_score, scoring);
      break;
    }
    const std::size_t e = p + c;
    cells[e] = LatticeCell{};
    for (std::size_t q = p + 1; q < e; ++q) cells[q] = LatticeCell{};
    for (std::size_t k = p; k < e; ++k) node = trie.next(node, bytes[k]);
    // The next character's first step is asked for before this character's
    // pieces are read: their loop ends in a branch that is often
    // mispredicted and resolves late (it waits on the records), and the
    // step's own loads would only start once it has.
    if (e < len) trie.prefetch_child(node, bytes[e]);
    bool covered = false;
    LatticeCell& to = cells[e];
    // A piece is never longer than the text read, origin + e.
    const std::size_t from_word_start = origin + e;
    for (std::uint32_t o = trie.first_output(node); o != ByteTrie::kNoOutput;) {
      const ByteTrie::Output& piece = trie.output(o);
      o = piece.next;
      const std::uint32_t length = piece.length;
      const std::ptrdiff_t start = static_cast<std::ptrdiff_t>(e) - std::ptrdiff_t{length};
      const LatticeCell& from = cells[start];
      // A start inside a character is never reached in a well-formed word.
      if (length != from_word_start && from.back_distance == 0) continue;
      scoring.piece(to, length, from, piece.score, piece.id);
      if (length == c) covered = true;
    }
    if (!covered) fall_back(model, bytes, cells, p, c, e, fallback_score, scoring);
    p = e;
  }
  return node;
}

bool starts_with_marker(std::string_view word) {
  return word.size() >= SPACE_MARKER.size() &&
         std::memcmp(word.data(), SPACE_MARKER.data(), SPACE_MARKER.size()) == 0;
}

// Appends, in reverse text order, the ids of the path that ends at cell g
// (and, with `lengths`, their lengths), back to the start of the word.
// With options and byte fallback, the one step of an uncovered character
// (an unk_id: the unknown piece itself is special, so never matched)
// becomes the byte pieces of its bytes.
// The word's bytes are the `origin` bytes of the marker (or none) followed
// by `rest`.
template <bool kExpandBytes>
void backtrack(const Model& model, std::size_t origin, const unsigned char* rest,
               const LatticeCell* cells, std::size_t g, std::vector<TokenId>& out,
               std::vector<std::uint32_t>* lengths) {
  const TokenId unk = model.unk_id();
  for (;;) {
    const LatticeCell& cell = cells[g];
    if (cell.back_distance == 0) {
      out.push_back(unk);
      if (lengths != nullptr) lengths->push_back(static_cast<std::uint32_t>(g));
      return;
    }
    if (kExpandBytes && cell.id == unk) {
      const ByteFallbackTable& bytes = model.byte_fallback();
      for (std::size_t q = g; q-- > g - cell.back_distance;) {
        const auto b = q < origin ? static_cast<unsigned char>(SPACE_MARKER[q]) : rest[q - origin];
        out.push_back(bytes.has(b) ? bytes.id(b) : unk);
        if (lengths != nullptr) lengths->push_back(1);
      }
    } else {
      out.push_back(cell.id);
      if (lengths != nullptr) lengths->push_back(cell.back_distance);
    }
    g -= cell.back_distance;
    if (g == 0) return;
  }
}

// Segments the word made of `origin` bytes already read and the `len`
// bytes at `rest`: the marker (origin 3, from the model's word start) or
// nothing (origin 0, from the root).
void segment_rest(const Model& model, std::size_t origin, const unsigned char* rest,
                  std::size_t len, std::vector<TokenId>& out, Lattice& lattice,
                  std::vector<std::uint32_t>* lengths, SourceWord* source) {
  const std::size_t word_len = origin + len;
  LatticeCell* cells = lattice.room(word_len);
  std::uint32_t node = ByteTrie::kRoot;
  double margin = std::numeric_limits<double>::infinity();
  if (origin != 0) {
    const WordStart& start = model.word_start();
    std::memcpy(cells, start.cells, sizeof start.cells);
    node = start.node;
    margin = start.margin;
  } else {
    cells[0] = LatticeCell{0, source != nullptr ? source->start : 0.0f, 0};
  }
  if (model.source() != nullptr) {
    SourceScoring scoring;
    forward(model, rest, len, cells + origin, origin, node, scoring);
    if (source != nullptr) {
      source->end = cells[word_len].score;
      source->margin = std::min(margin, scoring.margin);
    }
  } else {
    OwnScoring scoring;
    forward(model, rest, len, cells + origin, origin, node, scoring);
  }

  // Backtrack from the end, then put this word's ids in text order.
  const std::size_t first = out.size();
  const std::size_t first_length = lengths != nullptr ? lengths->size() : 0;
  const SourceRules* rules = model.source();
  if (rules != nullptr && rules->byte_fallback) {
    backtrack<true>(model, origin, rest, cells, word_len, out, lengths);
  } else {
    backtrack<false>(model, origin, rest, cells, word_len, out, lengths);
  }
  std::reverse(out.begin() + static_cast<std::ptrdiff_t>(first), out.end());
  if (lengths != nullptr) {
    std::reverse(lengths->begin() + static_cast<std::ptrdiff_t>(first_length), lengths->end());
  }
}

// Whether a word that starts with the marker may begin from the model's
// word start, which was worked out from a start score of 0.
bool from_word_start(const SourceWord* source) {
  return source == nullptr || std::bit_cast<std::uint32_t>(source->start) == 0;
}

}  // namespace

WordStart find_word_start(const Model& model) {
  WordStart start;
  const auto* marker = reinterpret_cast<const unsigned char*>(SPACE_MARKER.data());
  if (model.source() != nullptr) {
    SourceScoring scoring;
    start.node = forward(model, marker, SPACE_MARKER.size(), start.cells, 0, ByteTrie::kRoot, scoring);
    start.margin = scoring.margin;
  } else {
    OwnScoring scoring;
    start.node = forward(model, marker, SPACE_MARKER.size(), start.cells, 0, ByteTrie::kRoot, scoring);
  }
  return start;
}

void segment_word(const Model& model, std::string_view word, std::vector<TokenId>& out,
                  Lattice& lattice, std::vector<std::uint32_t>* lengths, SourceWord* source) {
  if (word.empty()) {
    if (source != nullptr) source->end = source->start;
    return;
  }
  // Every word of a normalised text starts with the marker, whose part of
  // the pass is the same in every word: it is taken from the model, so
  // that the first byte of the body is walked from a known state at once.
  // (A word without it, or one that starts from another score, is read
  // from the start.)
  const std::size_t origin = starts_with_marker(word) && from_word_start(source) ? SPACE_MARKER.size() : 0;
  const auto* bytes = reinterpret_cast<const unsigned char*>(word.data());
  segment_rest(model, origin, bytes + origin, word.size() - origin, out, lattice, lengths, source);
}

void segment_body(const Model& model, std::string_view body, std::vector<TokenId>& out,
                  Lattice& lattice, std::vector<std::uint32_t>* lengths, SourceWord* source) {
  if (!from_word_start(source)) {
    std::string word(SPACE_MARKER);
    word += body;
    segment_word(model, word, out, lattice, lengths, source);
    return;
  }
  segment_rest(model, SPACE_MARKER.size(), reinterpret_cast<const unsigned char*>(body.data()),
               body.size(), out, lattice, lengths, source);
}

}  // namespace zeq
