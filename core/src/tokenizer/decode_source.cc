// Decoding with the rules of the model a file was converted from (a file
// with an options section), which differ from zeq's own in four ways:
// control pieces add nothing and unk_id adds its surface; a run of byte
// pieces is read one character at a time, each byte that starts no
// well-formed character becoming U+FFFD on its own; markers spelled by
// byte pieces stay markers; and the leading marker is dropped from every
// piece until the text has begun when the normaliser folds white space.
#include <optional>

#include "tokenizer/model.h"
#include "tokenizer/utf8.h"

namespace zeq {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// The byte a "<0xHH>" text names.
std::optional<unsigned char> byte_of(std::string_view text) {
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  if (text.size() != 6 || !text.starts_with("<0x") || text[5] != '>') return std::nullopt;
  const int hi = digit(text[3]), lo = digit(text[4]);
  if (hi < 0 || lo < 0) return std::nullopt;
  return static_cast<unsigned char>(hi * 16 + lo);
}

// Appends `run` read one character at a time: a well-formed character as
// it is, any other byte as U+FFFD.
void append_bytes(std::string_view run, std::string& out) {
  for (std::size_t i = 0; i < run.size();) {
    const std::size_t n = utf8::valid_char_length(run.substr(i));
    if (n == 0) {
      out += kReplacement;
      ++i;
    } else {
      out.append(run.substr(i, n));
      i += n;
    }
  }
}

// `piece` with every marker written as a space.
void append_with_spaces(std::string_view piece, std::string& out) {
  for (std::size_t at; (at = piece.find(SPACE_MARKER)) != std::string_view::npos;) {
    out.append(piece.substr(0, at));
    out += ' ';
    piece.remove_prefix(at + SPACE_MARKER.size());
  }
  out.append(piece);
}

}  // namespace

void Model::decode_source(std::span<const TokenId> ids, std::string& out) const {
  const SourceRules& rules = *source_;
  const Vocab& v = vocab_;
  const bool drop_leading_marker =
      rules.flags.add_dummy_prefix || rules.flags.remove_extra_whitespaces;
  out.clear();
  std::string run;  // byte pieces not yet written
  bool at_start = true;          // the leading marker may still be dropped
  bool dropped_marker = false;   // the last piece's leading marker was dropped
  for (const TokenId id : ids) {
    if (id >= v.size()) continue;  // names nothing
    const std::string_view text = v.pieces()[id].text;
    const PieceKind kind = rules.kind(id);
    // A byte piece: one of kind byte, or (for a model that falls back to
    // bytes) any "<0xHH>" piece, as a tokenizer.json's pieces are.
    if (kind == PieceKind::Byte || (rules.byte_fallback && kind == PieceKind::Ordinary)) {
      if (auto b = byte_of(text)) {
        run.push_back(static_cast<char>(*b));
        continue;
      }
      if (kind == PieceKind::Byte) continue;  // not <0xHH>: nothing to add
    }
    append_bytes(run, out);
    run.clear();
    if (dropped_marker || !out.empty()) at_start = false;
    dropped_marker = false;
    if (kind == PieceKind::Control || (id != v.unk_id() && v.is_special(id))) continue;
    if (id == v.unk_id()) {
      out += rules.unknown_surface;
      continue;
    }
    std::string_view piece = text;
    if (at_start && drop_leading_marker && piece.starts_with(SPACE_MARKER)) {
      piece.remove_prefix(SPACE_MARKER.size());
      // Folded white space drops every leading marker, not only the first.
      dropped_marker = !rules.flags.remove_extra_whitespaces;
    }
    append_with_spaces(piece, out);
  }
  append_bytes(run, out);
}

}  // namespace zeq
