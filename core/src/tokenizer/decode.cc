#include <cstring>
#include <string>

#include "tokenizer/model.h"
#include "tokenizer/utf8.h"

namespace zeq {

const DecodeTable::Slot& Model::decode_slot_past_end(TokenId id) const {
  if (!vocab_.is_special(id)) {
    if (auto b = byte_token(id)) return DecodeTable::byte_slot_of(*b);
  }
  return DecodeTable::nothing_slot_ref();  // no position: nothing else applies
}

namespace {

// Writes a run of byte-token bytes at w, repaired and with markers as
// spaces (a marker at the very start dropped), empties it, returns the end.
[[gnu::noinline]] char* flush_run(std::string& run, char* w, bool at_start) {
  std::string_view fixed = run;
  std::string repaired;
  if (utf8::validate(run)) {
    utf8::append_lossy(run, repaired);
    fixed = repaired;
  }
  if (at_start && fixed.starts_with(SPACE_MARKER)) fixed.remove_prefix(SPACE_MARKER.size());
  w = DecodeTable::copy_markers_as_spaces(w, fixed);
  run.clear();
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
void Model::decode_into(std::span<const TokenId> ids, std::string& out) const {
  if (source_) {
    decode_source(ids, out);
    return;
  }
  // An upper bound of the output. Each id adds at most the table's longest
  // text (3 bytes for a byte-token byte: a lone ill-formed byte becomes the
  // 3-byte U+FFFD), which is bound enough for a short list; a long one (or
  // a vocabulary with a huge piece) adds up the lengths of its own slots
  // instead, so the buffer never grows far past the output.
  constexpr std::size_t kQuickBound = std::size_t{1} << 16;
  const std::size_t longest = decode_table_.max_length();
  std::size_t bound = 0;
  if (ids.size() <= kQuickBound / longest) {
    bound = ids.size() * longest;
  } else {
    for (TokenId id : ids) bound += decode_table_.entry(decode_slot(id)).length;
  }

  out.clear();  // nothing to keep if the buffer must grow
  out.resize_and_overwrite(bound + DecodeTable::kPadding, [&](char* begin, std::size_t) {
    return static_cast<std::size_t>(write_decoded(ids, begin) - begin);
  });
}

namespace {

// Copies a piece text of n bytes (table and output both padded).
inline char* copy_piece(char* w, const char* t, std::size_t n) {
  // Short texts move as one fixed 16-byte block: the table's texts and
  // the output buffer both have kPadding bytes to spare at their ends.
  std::memcpy(w, t, DecodeTable::kPadding);
  if (n > DecodeTable::kPadding) [[unlikely]] std::memcpy(w, t, n);
  return w + n;
}

}  // namespace

// The common case, a piece id, is one table load and one copy in the loop
// below (from the slot itself for a short piece, else from the arena);
// everything else (the start, byte tokens, ids that add nothing, long
// pieces) goes through write_slow.
char* Model::write_decoded(std::span<const TokenId> ids, char* w) const {
  const DecodeTable::Slot* const slots = decode_table_.slots();
  const std::size_t table_size = decode_table_.size();
  const std::size_t n = ids.size();
  const char* const texts = decode_table_.text_base();
  bool at_start = true;  // nothing written yet
  std::size_t i = 0;
  // The start goes through write_slow: the first piece drops its leading
  // marker.
  if (n != 0) {
    const SlowStep step = write_slow(ids, 0, w, at_start);
    i = step.next;
    w = step.w;
  }
  while (i < n) {
    const TokenId id = ids[i];
    if (id < table_size) [[likely]] {
      // A copy: the compiler must otherwise assume that the store through
      // w changes the slot, and read it again after the store.
      const DecodeTable::Slot s = slots[id];
      if (s.is_inline()) [[likely]] {
        std::memcpy(w, &s, sizeof s);  // the text, then bytes the next copy overwrites
        w += s.inline_length();
        ++i;
        continue;
      }
      if (s.tag == DecodeTable::kArenaPiece) {
        w = copy_piece(w, texts + s.offset, s.length);
        ++i;
        continue;
      }
    }
    const SlowStep step = write_slow(ids, i, w, at_start);
    i = step.next;
    w = step.w;
  }
  return w;
}

Model::SlowStep Model::write_slow(std::span<const TokenId> ids, std::size_t i, char* w,
                                          bool& at_start) const {
  std::string run;  // byte-token bytes, repaired together when closed
  for (; i < ids.size(); ++i) {
    const DecodeTable::Slot& slot = decode_slot(ids[i]);
    const DecodeTable::Entry s = decode_table_.entry(slot);
    if (s.kind == DecodeTable::Kind::Byte) {
      run.push_back(static_cast<char>(s.byte));
      continue;
    }
    if (s.kind == DecodeTable::Kind::Nothing) continue;  // never splits a run
    if (!run.empty()) {
      w = flush_run(run, w, at_start);
      at_start = false;  // the run's bytes came first, even if they wrote nothing
    }
    // A piece: the caller copies a plain one, unless it is the first
    // contribution (its leading marker, a space in the table, is dropped)
    // or a long one (kLongPiece).
    if (!at_start && slot.is_plain_piece()) return {i, w};
    const std::size_t drop = at_start && s.marker ? 1 : 0;
    at_start = false;
    return {i + 1, copy_piece(w, s.text + drop, s.length - drop)};
  }
  if (!run.empty()) {
    w = flush_run(run, w, at_start);
    at_start = false;
  }
  return {i, w};
}

}  // namespace zeq
