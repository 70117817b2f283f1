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

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tokenizer/types.h"

namespace zeq {

class DecodeTable {
 public:
  // What a position adds, once its slot is resolved.
  enum class Kind : std::uint8_t {
    Nothing,  // special ids, and ids that name nothing
    Byte,     // a byte token: one raw byte
    Piece,    // piece text, markers already turned into spaces; never empty
  };
  struct Entry {
    const char* text;      // Kind::Piece: the text; kPadding bytes may be read from it
    std::uint64_t length;  // summed over a call's ids: a bound of its output
    Kind kind;
    bool marker;           // Kind::Piece: the text began with a marker
    unsigned char byte;    // Kind::Byte: the byte
  };

  // One position's slot, 8 bytes, so that the table of a 32,000-piece
  // vocabulary stays in a quarter of a megabyte: decode reads one slot per
  // id at random, and a table twice the size falls out of the processor's
  // caches sooner (docs/experiments.md, "decode table").
  //
  // A piece of up to 7 bytes (most ids of a text) is held in the slot
  // itself, so that its copy waits on one load instead of two: the text
  // fills the slot's first bytes, and the tag, its last byte, is below
  // kInlineEnd and gives the length (low 3 bits) and whether the text
  // began with a marker (kInlineMarker). Every other slot has one of the
  // tags below and the fields.
  struct Slot {
    std::uint32_t offset;  // kArenaPiece: into the text arena; kLongPiece: into long_
    // kArenaPiece: text length; kByte: 3, the most its byte can grow to in
    // repair (as U+FFFD); others: 0 (a kLongPiece's is in long_).
    std::uint16_t length;
    unsigned char byte;    // kByte: the byte; kArenaPiece, kLongPiece: 1 if the text began with a marker
    std::uint8_t tag;

    bool is_inline() const { return tag < kInlineEnd; }
    std::size_t inline_length() const { return tag & kInlineLengthMask; }
    bool inline_marker() const { return (tag & kInlineMarker) != 0; }
    // An inline slot's text. kPadding bytes may be read from here (the
    // slot's own, then the next slots': the table is padded).
    const char* inline_text() const { return reinterpret_cast<const char*>(this); }
    // A piece the decode loop copies as it is (inline or in the arena).
    bool is_plain_piece() const { return tag <= kArenaPiece; }
  };
  static_assert(sizeof(Slot) == 8 && offsetof(Slot, tag) == 7);  // 7 bytes of text, then the tag
  static constexpr std::size_t kInlineMax = 7;
  static constexpr std::uint8_t kInlineLengthMask = 7;
  static constexpr std::uint8_t kInlineMarker = 8;
  static constexpr std::uint8_t kInlineEnd = 16;
  static constexpr std::uint8_t kArenaPiece = kInlineEnd;  // text in the arena
  static constexpr std::uint8_t kLongPiece = 17;   // offset or length too big for a slot
  static constexpr std::uint8_t kByte = 18;
  static constexpr std::uint8_t kNothing = 19;

  Entry entry(const Slot& s) const {
    if (s.is_inline()) return {s.inline_text(), s.inline_length(), Kind::Piece, s.inline_marker(), 0};
    switch (s.tag) {
      case kArenaPiece:
        return {text_.data() + s.offset, s.length, Kind::Piece, s.byte != 0, 0};
      case kLongPiece: {
        const auto& [offset, length] = long_[s.offset];
        return {text_.data() + offset, length, Kind::Piece, s.byte != 0, 0};
      }
      case kByte:
        return {nullptr, s.length, Kind::Byte, false, s.byte};
      default:
        return {nullptr, 0, Kind::Nothing, false, 0};
    }
  }

  // Entries are added for positions 0, 1, 2, ... in order.
  void add_nothing() { slots_.push_back(nothing_slot()); }
  void add_byte(unsigned char b) { slots_.push_back(byte_slot(b)); }
  // An empty text adds nothing, like Kind::Nothing (it must not split a
  // run of byte-token bytes either), and is stored as such.
  void add_piece(std::string_view text);
  // Call once after the last entry.
  void finish();

  // Slots for ids past the table (see Tokenizer), living for the program.
  static const Slot& byte_slot_of(unsigned char b);
  static const Slot& nothing_slot_ref();

  std::size_t size() const { return size_; }
  // The largest length of any entry (at least 3, a byte's worst case).
  std::size_t max_length() const { return max_length_; }
  const Slot& slot(std::size_t pos) const { return slots_[pos]; }
  const Slot* slots() const { return slots_.data(); }
  // Where the arena's texts start: a kArenaPiece slot's text is at
  // text_base() + offset, and kPadding bytes may be read from it.
  const char* text_base() const { return text_.data(); }

  // Copies `text` to w with a space for every SPACE_MARKER; returns the
  // end. Used for piece texts at load and for repaired byte runs at decode.
  static char* copy_markers_as_spaces(char* w, std::string_view text);

  // Bytes that may be read from the start of any piece text, whatever its
  // length (the arena and the slots are padded), so that short pieces can
  // be copied with fixed-size moves.
  static constexpr std::size_t kPadding = 16;

 private:
  static constexpr Slot nothing_slot() { return {0, 0, 0, kNothing}; }
  static constexpr Slot byte_slot(unsigned char b) { return {0, 3, b, kByte}; }

  std::vector<Slot> slots_;  // size_ slots, then kPadding bytes of padding slots
  std::size_t size_ = 0;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> long_;  // offset, length
  std::string text_;  // every piece text too long to inline, markers as spaces, then padding
  std::size_t max_length_ = 3;
};

}  // namespace zeq

#endif  // ZEQ_TOKENIZER_DECODE_TABLE_H_
