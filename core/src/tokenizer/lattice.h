// The lattice of a word's segmentation: one cell per byte position.
#ifndef ZEQ_TOKENIZER_LATTICE_H_
#define ZEQ_TOKENIZER_LATTICE_H_

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "tokenizer/types.h"

namespace zeq {

// Best segmentation found so far of the first k bytes of a word.
// The start of the last piece is kept as its distance back from k rather
// than as an absolute offset: a piece is at most 2^32 - 1 bytes long, so the
// distance always fits in 32 bits whatever the word's length, and 0 can mean
// "unreached" since every step covers at least one byte.
// A trivial type: all-zero bytes are the unreached cell {0, 0.0f, 0}.
struct LatticeCell {
  std::uint32_t back_distance;  // 0: unreached (cell 0 is the start)
  float score;
  TokenId id;
};

// Lattice buffer, reusable across words so that a whole encode call
// allocates it once (grown to the longest word).
class Lattice {
 public:
  // At least len + 1 cells, holding whatever they held: segmentation makes
  // each cell unreached itself before it can be offered anything.
  LatticeCell* room(std::size_t len) {
    if (cells_.size() < len + 1) cells_.resize(len + 1);
    return cells_.data();
  }
  // Frees the buffer if it holds more than len + 1 cells.
  void release_over(std::size_t len) {
    if (cells_.capacity() > len + 1) cells_ = std::vector<LatticeCell>();
  }

 private:
  std::vector<LatticeCell> cells_;
};

// Where every word's forward pass stands once its leading SPACE_MARKER is
// read: the automaton's state and cells 0..3. Neither depends on the rest
// of the word (offers only go forward), so a tokenizer works them out once
// and each word that starts with the marker begins from there.
struct WordStart {
  std::uint32_t node = 0;
  LatticeCell cells[SPACE_MARKER.size() + 1] = {};
  // With options: the least margin of the marker's own decisions (see
  // SourceWord in segment.h).
  double margin = std::numeric_limits<double>::infinity();
};

}  // namespace zeq

#endif  // ZEQ_TOKENIZER_LATTICE_H_
