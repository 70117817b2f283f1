#include "tokenizer/decode_table.h"

#include <algorithm>

namespace zeq {

void DecodeTable::add_piece(std::string_view text) {
  if (text.empty()) {
    add_nothing();
    return;
  }
  const bool starts_with_marker = text.starts_with(SPACE_MARKER);
  const std::uint64_t offset = text_.size();
  // A piece is well-formed UTF-8, so every E2 96 81 in it is a marker.
  for (std::size_t i = 0; i < text.size();) {
    if (text.substr(i, SPACE_MARKER.size()) == SPACE_MARKER) {
      text_.push_back(' ');
      i += SPACE_MARKER.size();
    } else {
      text_.push_back(text[i++]);
    }
  }
  const std::size_t length = text_.size() - offset;
  max_length_ = std::max(max_length_, length);
  slots_.push_back({offset, static_cast<std::uint32_t>(length), Kind::Piece,
                    static_cast<unsigned char>(starts_with_marker)});
}

void DecodeTable::finish() {
  text_.append(kPadding, '\0');
  text_.shrink_to_fit();
  slots_.shrink_to_fit();
}

}  // namespace zeq
