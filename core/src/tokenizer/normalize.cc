#include "tokenizer/normalize.h"

#include <algorithm>
#include <cstring>

#include "tokenizer/types.h"

namespace zeq {
namespace {

char* copy(char* w, std::string_view s) {
  std::memcpy(w, s.data(), s.size());
  return w + s.size();
}

}  // namespace

void normalize(std::string_view text, std::string& out) {
  out.clear();
  if (text.empty()) return;
  const bool starts_with_marker =
      text.starts_with(' ') || text.starts_with(SPACE_MARKER);
  // Exact size: the text, two more bytes per space, and the leading marker.
  const std::size_t spaces = static_cast<std::size_t>(std::count(text.begin(), text.end(), ' '));
  const std::size_t size = text.size() + 2 * spaces + (starts_with_marker ? 0 : 3);
  out.resize_and_overwrite(size, [&](char* w, std::size_t) {
    if (!starts_with_marker) w = copy(w, SPACE_MARKER);
    // Copy the runs between spaces in bulk; only U+0020 changes.
    std::string_view rest = text;
    for (;;) {
      const std::size_t space = rest.find(' ');
      if (space == std::string_view::npos) {
        copy(w, rest);
        return size;
      }
      w = copy(copy(w, rest.substr(0, space)), SPACE_MARKER);
      rest.remove_prefix(space + 1);
    }
  });
}

std::string normalize(std::string_view text) {
  std::string out;
  normalize(text, out);
  return out;
}

std::string_view next_word(std::string_view normalized, std::size_t& pos) {
  const std::size_t start = pos;
  // The next cut is in front of the next marker after the word's first
  // character (a word's own leading marker does not cut).
  std::size_t search = start + 1;
  std::size_t end = normalized.size();
  while (search < normalized.size()) {
    const void* hit = std::memchr(normalized.data() + search, '\xE2', normalized.size() - search);
    if (hit == nullptr) break;
    const std::size_t at = static_cast<const char*>(hit) - normalized.data();
    if (normalized.substr(at, 3) == SPACE_MARKER) {
      end = at;
      break;
    }
    search = at + 1;
  }
  pos = end;
  return normalized.substr(start, end - start);
}

std::vector<std::string_view> split_words(std::string_view normalized) {
  std::vector<std::string_view> words;
  for (std::size_t pos = 0; pos < normalized.size();) {
    words.push_back(next_word(normalized, pos));
  }
  return words;
}

}  // namespace zeq
