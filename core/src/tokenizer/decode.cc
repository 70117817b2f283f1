#include <cstring>
#include <string>

#include "tokenizer/tokenizer.h"
#include "tokenizer/utf8.h"

namespace zeq {

std::string Tokenizer::decode(std::span<const TokenId> ids) const {
  // 1. Collect bytes: special ids add nothing, byte-token ids their byte,
  //    other positions their piece text, anything else nothing. Sized in a
  //    first pass so that the copy pass never reallocates.
  const std::size_t n = decode_table_.size();
  auto piece = [&](TokenId id) { return id < n ? decode_table_[id] : decode_piece(id); };
  std::size_t size = 0;
  for (TokenId id : ids) size += piece(id).size();
  std::string raw;
  raw.resize_and_overwrite(size, [&](char* w, std::size_t) {
    for (TokenId id : ids) {
      const std::string_view p = piece(id);
      if (!p.empty()) std::memcpy(w, p.data(), p.size());  // an empty view may be null
      w += p.size();
    }
    return size;
  });

  // 2. Ill-formed stretches become U+FFFD (a valid buffer is left as is).
  std::string text;
  if (utf8::validate(raw)) {
    text.reserve(raw.size() + raw.size() / 2);
    utf8::append_lossy(raw, text);
  } else {
    text = std::move(raw);
  }

  // 3. A marker at the very start is dropped, every other one becomes a
  //    space. In place: the text only shrinks. A marker always starts with
  //    0xE2, so runs without that byte are moved in bulk.
  const std::size_t len = text.size();
  char* s = text.data();
  std::size_t read = 0, write = 0;
  if (text.starts_with(SPACE_MARKER)) read = SPACE_MARKER.size();
  while (read < len) {
    const void* hit = std::memchr(s + read, '\xE2', len - read);
    const std::size_t at = hit ? static_cast<std::size_t>(static_cast<const char*>(hit) - s) : len;
    std::memmove(s + write, s + read, at - read);
    write += at - read;
    read = at;
    if (read == len) break;
    if (std::string_view(s + read, len - read).starts_with(SPACE_MARKER)) {
      s[write++] = ' ';
      read += SPACE_MARKER.size();
    } else {
      s[write++] = s[read++];
    }
  }
  text.resize(write);
  return text;
}

}  // namespace zeq
