#include "tokenizer/decode_table.h"

#include <algorithm>
#include <cstdint>
#include <new>

namespace zeq {

void DecodeTable::add_piece(std::string_view text) {
  if (text.empty()) {
    add_nothing();
    return;
  }
  const bool starts_with_marker = text.starts_with(SPACE_MARKER);
  const std::uint64_t offset = text_.size();
  // A piece is well-formed UTF-8, so every E2 96 81 in it is a marker.
  text_.resize(offset + text.size());
  char* const end = copy_markers_as_spaces(text_.data() + offset, text);
  text_.resize(static_cast<std::size_t>(end - text_.data()));
  const std::size_t length = text_.size() - offset;
  max_length_ = std::max(max_length_, length);
  const auto marker = static_cast<unsigned char>(starts_with_marker);
  if (offset <= UINT32_MAX && length <= UINT16_MAX) {
    slots_.push_back({static_cast<std::uint32_t>(offset), static_cast<std::uint16_t>(length),
                      Kind::Piece, marker});
    return;
  }
  if (long_.size() > UINT32_MAX) throw std::bad_alloc();  // 2^32 pieces of 64 KiB: cannot be
  slots_.push_back({static_cast<std::uint32_t>(long_.size()), 0, Kind::LongPiece, marker});
  long_.emplace_back(offset, length);
}

char* DecodeTable::copy_markers_as_spaces(char* w, std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    if (text.substr(i, SPACE_MARKER.size()) == SPACE_MARKER) {
      *w++ = ' ';
      i += SPACE_MARKER.size();
    } else {
      *w++ = text[i++];
    }
  }
  return w;
}

void DecodeTable::finish() {
  text_.append(kPadding, '\0');
  text_.shrink_to_fit();
  slots_.shrink_to_fit();
  long_.shrink_to_fit();
}

}  // namespace zeq
