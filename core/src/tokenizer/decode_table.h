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
#include <vector>

#include "tokenizer/types.h"

namespace zeq {

class DecodeTable {
 public:
  enum class Kind : std::uint8_t {
    Nothing,  // special ids, and ids that name nothing
    Byte,     // a byte token: one raw byte
    Piece,    // piece text, markers already turned into spaces; never empty
  };

  // One position's entry, in the table's own compact form.
  struct Slot {
    std::uint64_t offset;  // Kind::Piece: into the text arena
    // Kind::Piece: text length; Kind::Byte: 3, the most its byte can grow
    // to in repair (as U+FFFD); Kind::Nothing: 0. So the lengths of a
    // call's slots add up to a bound of its output.
    std::uint32_t length;
    Kind kind;
    unsigned char byte;  // Kind::Byte: the byte; Kind::Piece: 1 if the text began with a marker
  };

  // Entries are added for positions 0, 1, 2, ... in order.
  void add_nothing() { slots_.push_back({0, 0, Kind::Nothing, 0}); }
  void add_byte(unsigned char b) { slots_.push_back({0, 3, Kind::Byte, b}); }
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
  // The text of a Kind::Piece slot, markers as spaces. At least kPadding
  // bytes may be read from its start, whatever its length.
  const char* text(const Slot& s) const { return text_.data() + s.offset; }
  // Where the texts start: text(s) is text_base() + s.offset.
  const char* text_base() const { return text_.data(); }

  // Bytes that may be read past the end of any piece text (the arena is
  // padded), so that short pieces can be copied with fixed-size moves.
  static constexpr std::size_t kPadding = 16;

 private:
  std::vector<Slot> slots_;
  std::string text_;  // every piece text, markers as spaces, then padding
  std::size_t max_length_ = 3;
};

}  // namespace zeq

#endif  // ZEQ_TOKENIZER_DECODE_TABLE_H_
