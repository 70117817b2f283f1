// A model's text normaliser: SentencePiece's Normalizer::Normalize, with the
// same output bytes and the same alignment (its norm_to_orig).
//
// The text is cut into pieces from left to right. At each position the
// piece is, in this order of preference:
//   1. the longest verbatim text (SentencePiece's user-defined symbols)
//      that starts there, copied unchanged;
//   2. the longest key of the character map that starts there, replaced
//      by its text;
//   3. the well-formed UTF-8 character there, unchanged; or, when the
//      bytes there are not one, a single byte replaced by U+FFFD.
// Then the white space rules act on the pieces' texts, where white space
// means the byte 0x20 only:
//   remove_extra_whitespaces  pieces that are exactly " " are dropped at the
//                             start; a piece's leading spaces are dropped
//                             after a piece that ended in one; trailing
//                             spaces (or markers, see below) are cut at the
//                             end, the dummy prefix included
//   add_dummy_prefix          one space goes in front of the first piece
//   escape_whitespaces        every space is written as U+2581 instead
//
// The alignment holds, for each output byte, the offset in the input of
// the piece it came from, then one final offset. As in SentencePiece it is
// empty when the input is empty or holds only pieces that are " " under
// remove_extra_whitespaces; otherwise it has one entry more than the
// output has bytes and never decreases.
#ifndef ZEQ_TOKENIZER_NORMALIZER_H_
#define ZEQ_TOKENIZER_NORMALIZER_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tokenizer/byte_trie.h"
#include "tokenizer/charsmap.h"

namespace zeq {

struct NormalizerFlags {
  bool add_dummy_prefix = true;
  bool remove_extra_whitespaces = true;
  bool escape_whitespaces = true;
};

class Normalizer {
 public:
  // Checks `charsmap` (see charsmap.h; empty means no character map, every
  // character standing for itself) and keeps a copy of it and of the
  // verbatim texts (empty ones are ignored). Fails with CharsMap's one-line
  // reason. O(blob size + verbatim bytes), plus 128 x 128 trie steps to
  // build the ASCII table.
  static std::expected<Normalizer, std::string> create(std::string_view charsmap,
                                                       NormalizerFlags flags,
                                                       const std::vector<std::string>& verbatim);

  // Writes the normalised `input` into `out` (cleared first) and, when
  // `alignment` is given, the alignment into it (cleared first). Any bytes
  // are accepted. Every piece consumes at least one byte and its text
  // grows at most threefold (escaped spaces, U+FFFD), so the output has at
  // most 3 x input length x max(1, longest replacement or verbatim text)
  // + 3 bytes. Both buffers keep their capacity, so a caller that passes
  // the same ones again allocates only when a result outgrows them. Runs
  // of ASCII bytes go through a table of 128 precomputed pieces, one
  // look-up per byte; other characters cost a walk of the verbatim trie and
  // the character map each.
  void normalize(std::string_view input, std::string& out,
                 std::vector<std::size_t>* alignment) const;

  // The same result as normalize, computed without the ASCII table. For
  // tests that hold the table to the general path.
  void normalize_without_table(std::string_view input, std::string& out,
                               std::vector<std::size_t>* alignment) const;

 private:
  // What one ASCII byte does when the byte after it is ASCII or the text
  // ends there: the character map cannot match more than that byte then.
  enum class AsciiAction : std::uint8_t {
    kSame,   // the byte itself, not a space
    kCopy,   // one other byte out, not a space: `byte`
    kSpace,  // the piece is " "
    kDrop,   // the piece is empty
    kSlow,   // anything else: take the general path
  };
  struct AsciiRule {
    AsciiAction action = AsciiAction::kSlow;
    char byte = 0;
  };

  // A piece of the input: its text and the input bytes it consumes.
  struct Piece {
    std::string_view text;
    std::size_t consumed;
  };

  class Writer;

  Normalizer(std::optional<CharsMap> charsmap, NormalizerFlags flags, ByteTrie verbatim,
             bool has_verbatim)
      : charsmap_(std::move(charsmap)),
        flags_(flags),
        verbatim_(std::move(verbatim)),
        has_verbatim_(has_verbatim) {}

  void build_ascii_table();
  // plain_: every character of 2 or 3 bytes that no key of the character
  // map or verbatim text starts with.
  void build_plain_table();
  // Whether the well-formed character of `length` (2 or 3) bytes at `s` is
  // plain: it stands for itself whatever follows it.
  bool plain(const unsigned char* s, std::size_t length) const {
    const std::uint32_t cp = length == 2 ? (s[0] & 0x1Fu) << 6 | (s[1] & 0x3Fu)
                                         : (s[0] & 0x0Fu) << 12 | (s[1] & 0x3Fu) << 6 | (s[2] & 0x3Fu);
    return (plain_[cp >> 6] >> (cp & 63)) & 1;
  }
  // The piece at the start of `rest` (not empty), by the general rules.
  Piece next_piece(std::string_view rest) const;
  std::size_t verbatim_length(std::string_view rest) const;

  template <bool kUseTable>
  void run(std::string_view input, std::string& out, std::vector<std::size_t>* alignment) const;

  std::optional<CharsMap> charsmap_;
  NormalizerFlags flags_;
  ByteTrie verbatim_;
  bool has_verbatim_;
  std::array<AsciiRule, 128> ascii_{};
  // By byte: whether it is ASCII with the action kSame. The scan over a run
  // of such bytes tests one entry per byte.
  std::array<bool, 256> same_{};
  // Whether every printable ASCII byte but the space (0x21-0x7E) is kSame,
  // as with SentencePiece's own rule sets: then runs are found 16 bytes at
  // a time.
  bool printable_same_ = false;
  // By code point below U+10000, one bit each (8 KiB): the character is
  // plain (see build_plain_table), so a run of such characters is copied
  // without a look-up.
  std::array<std::uint64_t, 1024> plain_{};
};

}  // namespace zeq

#endif  // ZEQ_TOKENIZER_NORMALIZER_H_
