#include <cstring>
#include <string>

#include "tokenizer/tokenizer.h"
#include "tokenizer/utf8.h"

namespace zeq {

DecodeTable::Slot Tokenizer::decode_slot_past_end(TokenId id) const {
  if (!vocab_.is_special(id)) {
    if (auto b = byte_token(id)) return {0, 3, DecodeTable::Kind::Byte, *b};
  }
  return {0, 0, DecodeTable::Kind::Nothing, 0};  // no position: nothing else applies
}

namespace {

// Copies `s`, writing a space for every SPACE_MARKER, and returns the end.
char* copy_markers_as_spaces(char* w, std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    if (s.substr(i, SPACE_MARKER.size()) == SPACE_MARKER) {
      *w++ = ' ';
      i += SPACE_MARKER.size();
    } else {
      *w++ = s[i++];
    }
  }
  return w;
}

}  // namespace

// The result is as if all contributions were joined into one byte buffer,
// repaired as UTF-8 (each maximal ill-formed subpart becoming U+FFFD), and
// then a marker at the very start dropped and every other marker turned
// into a space. Piece texts are well-formed and start at a character
// boundary, so repair and marker rewriting work run by run: piece texts
// come from the table already rewritten, and each run of byte-token bytes
// is repaired and rewritten on its own when a piece (or the end) closes it.
std::string Tokenizer::decode(std::span<const TokenId> ids) const {
  // Upper bound of the output: the piece texts, and 3 bytes per byte-token
  // byte (a lone ill-formed byte becomes the 3-byte U+FFFD).
  std::size_t bound = 0;
  for (TokenId id : ids) bound += decode_slot(id).length;

  std::string run;       // pending byte-token bytes
  std::string repaired;  // a run after UTF-8 repair
  std::string text;
  text.resize_and_overwrite(bound + DecodeTable::kPadding, [&](char* const begin, std::size_t) {
    char* w = begin;
    bool at_start = true;  // no character written yet
    auto flush_run = [&] {
      if (run.empty()) return;
      std::string_view fixed = run;
      if (utf8::validate(run)) {
        repaired.clear();
        utf8::append_lossy(run, repaired);
        fixed = repaired;
      }
      if (at_start && fixed.starts_with(SPACE_MARKER)) fixed.remove_prefix(SPACE_MARKER.size());
      w = copy_markers_as_spaces(w, fixed);
      at_start = false;
      run.clear();
    };
    for (TokenId id : ids) {
      const DecodeTable::Slot s = decode_slot(id);
      if (s.kind == DecodeTable::Kind::Byte) {
        run.push_back(static_cast<char>(s.byte));
        continue;
      }
      // An empty piece adds nothing, and must not split a run of bytes.
      if (s.kind == DecodeTable::Kind::Nothing || s.length == 0) continue;
      if (!run.empty()) flush_run();
      const char* t = decode_table_.text(s);
      std::size_t n = s.length;
      if (at_start && s.byte != 0) {  // drop the leading marker, now a space
        ++t;
        --n;
      }
      at_start = false;
      // Short texts move as one fixed 16-byte block: the table's texts and
      // this buffer both have kPadding bytes to spare at their ends.
      std::memcpy(w, t, DecodeTable::kPadding);
      if (n > DecodeTable::kPadding) std::memcpy(w, t, n);
      w += n;
    }
    flush_run();
    return static_cast<std::size_t>(w - begin);
  });
  return text;
}

}  // namespace zeq
