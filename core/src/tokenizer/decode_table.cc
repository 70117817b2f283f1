#include "tokenizer/decode_table.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <new>

namespace zeq {

const DecodeTable::Slot& DecodeTable::byte_slot_of(unsigned char b) {
  static constexpr std::array<Slot, 256> kSlots = [] {
    std::array<Slot, 256> slots{};
    for (std::size_t i = 0; i < slots.size(); ++i) slots[i] = byte_slot(static_cast<unsigned char>(i));
    return slots;
  }();
  return kSlots[b];
}

const DecodeTable::Slot& DecodeTable::nothing_slot_ref() {
  static constexpr Slot kSlot = nothing_slot();
  return kSlot;
}

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
  if (length <= kInlineMax) {
    // Held in the slot: the arena gives the text back.
    Slot s{0, 0, 0, static_cast<std::uint8_t>(length | (starts_with_marker ? kInlineMarker : 0))};
    std::memcpy(reinterpret_cast<char*>(&s), text_.data() + offset, length);
    text_.resize(offset);
    slots_.push_back(s);
    return;
  }
  if (offset <= UINT32_MAX && length <= UINT16_MAX) {
    slots_.push_back({static_cast<std::uint32_t>(offset), static_cast<std::uint16_t>(length), marker,
                      kArenaPiece});
    return;
  }
  if (long_.size() > UINT32_MAX) throw std::bad_alloc();  // 2^32 pieces of 64 KiB: cannot be
  slots_.push_back({static_cast<std::uint32_t>(long_.size()), 0, marker, kLongPiece});
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
  size_ = slots_.size();
  // kPadding bytes may be read from an inline text too (the last slot's
  // runs into these).
  slots_.insert(slots_.end(), kPadding / sizeof(Slot), nothing_slot());
  text_.append(kPadding, '\0');
  text_.shrink_to_fit();
  slots_.shrink_to_fit();
  long_.shrink_to_fit();
}

}  // namespace zeq
