#include <string>

#include "tokenizer/tokenizer.h"
#include "tokenizer/utf8.h"

namespace zeq {

std::string Tokenizer::decode(std::span<const TokenId> ids) const {
  // 1. Collect bytes: special ids add nothing, byte-token ids their byte,
  //    other positions their piece text, anything else nothing.
  std::string raw;
  const auto& entries = vocab_.pieces();
  for (TokenId id : ids) {
    if (vocab_.is_special(id)) continue;
    if (auto b = byte_token(id)) {
      raw.push_back(static_cast<char>(*b));
    } else if (id < entries.size()) {
      raw.append(entries[id].text);
    }
  }

  // 2. Ill-formed stretches become U+FFFD (a valid buffer is left as is).
  std::string text;
  if (utf8::validate(raw)) {
    utf8::append_lossy(raw, text);
  } else {
    text = std::move(raw);
  }

  // 3. A marker at the very start is dropped, every other one becomes a
  //    space. Done in place: the text only shrinks.
  std::size_t read = 0, write = 0;
  if (text.starts_with(SPACE_MARKER)) read = SPACE_MARKER.size();
  while (read < text.size()) {
    if (text.compare(read, SPACE_MARKER.size(), SPACE_MARKER) == 0) {
      text[write++] = ' ';
      read += SPACE_MARKER.size();
    } else {
      text[write++] = text[read++];
    }
  }
  text.resize(write);
  return text;
}

}  // namespace zeq
