// What decode adds for each position of the vocabulary, worked out at load.
//
// Decoding joins piece texts and byte-token bytes, repairs ill-formed UTF-8
// and turns SPACE_MARKER into spaces. A piece text is well-formed UTF-8 and
// starts at a character boundary, so repair never joins its bytes with a
// neighbour's, and a marker can never be spelled half by a piece and half
// by something else. The marker-to-space rewrite of piece texts can
// therefore be done once here; at decode time a piece is one copy, and
// only runs of byte-token bytes still need repair and rewriting.
#ifndef ZEQ_TOKENIZER_DECODE_TABLE_H_
#define ZEQ_TOKENIZER_DECODE_TABLE_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tokenizer/types.h"

namespace zeq {

class DecodeTable {
 public:
  enum class Kind : std::uint8_t {
    Nothing,    // special ids, and ids that name nothing
    Byte,       // a byte token: one raw byte
    Piece,      // piece text, markers already turned into spaces; never empty
    LongPiece,  // a piece whose offset or length does not fit a Slot
  };

  // One position's entry, 8 bytes so that the table of a 32,000-piece
  // vocabulary stays in a quarter of a megabyte: decode reads one entry
  // per id at random, and a table twice the size falls out of the
  // processor's caches sooner (measured: decode after another tokenizer
  // has run is about a sixth slower than when the table is warm).
  struct Slot {
    std::uint32_t offset;  // Kind::Piece: into the text arena; LongPiece: into long_
    // Kind::Piece: text length; Kind::Byte: 3, the most its byte can grow
    // to in repair (as U+FFFD); others: 0 (a LongPiece's is in long_).
    std::uint16_t length;
    Kind kind;
    unsigned char byte;  // Kind::Byte: the byte; Piece kinds: 1 if the text began with a marker
  };
  static_assert(sizeof(Slot) == 8);

  // A slot with a LongPiece resolved: what the rare paths work with.
  struct Entry {
    std::uint64_t offset;
    std::uint64_t length;  // summed over a call's ids: a bound of its output
    Kind kind;             // never LongPiece
    unsigned char byte;
  };
  Entry entry(const Slot& s) const {
    if (s.kind != Kind::LongPiece) return {s.offset, s.length, s.kind, s.byte};
    const auto& [offset, length] = long_[s.offset];
    return {offset, length, Kind::Piece, s.byte};
  }

  // Entries are added for positions 0, 1, 2, ... in order.
  void add_nothing() { slots_.push_back({0, 0, Kind::Nothing, 0}); }
  // (Byte slots are also made for ids past the table, see Tokenizer.)
  static constexpr Slot byte_slot(unsigned char b) { return {0, 3, Kind::Byte, b}; }
  void add_byte(unsigned char b) { slots_.push_back(byte_slot(b)); }
  // An empty text adds nothing, like Kind::Nothing (it must not split a
  // run of byte-token bytes either), and is stored as such.
  void add_piece(std::string_view text);
  // Call once after the last entry.
  void finish();

  std::size_t size() const { return slots_.size(); }
  // The largest length of any slot (at least 3, a byte's worst case).
  std::size_t max_length() const { return max_length_; }
  const Slot& slot(std::size_t pos) const { return slots_[pos]; }
  const Slot* slots() const { return slots_.data(); }
  // The text of a Kind::Piece entry, markers as spaces. At least kPadding
  // bytes may be read from its start, whatever its length.
  const char* text(const Entry& e) const { return text_.data() + e.offset; }
  // Where the texts start: a Kind::Piece slot's text is at
  // text_base() + offset.
  const char* text_base() const { return text_.data(); }

  // Copies `text` to w with a space for every SPACE_MARKER; returns the
  // end. Used for piece texts at load and for repaired byte runs at decode.
  static char* copy_markers_as_spaces(char* w, std::string_view text);

  // Bytes that may be read past the end of any piece text (the arena is
  // padded), so that short pieces can be copied with fixed-size moves.
  static constexpr std::size_t kPadding = 16;

 private:
  std::vector<Slot> slots_;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> long_;  // offset, length
  std::string text_;  // every piece text, markers as spaces, then padding
  std::size_t max_length_ = 3;
};

}  // namespace zeq

#endif  // ZEQ_TOKENIZER_DECODE_TABLE_H_
