#include "tokenizer/utf8.h"

#include <cstdint>
#include <cstring>

namespace zeq::utf8 {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Outcome of reading one sequence at `i` (bytes[i] >= 0x80).
struct Step {
  std::size_t length;  // bytes consumed: the sequence, or the ill-formed stretch
  bool valid;
  bool truncated;      // the text ends inside a sequence that was fine so far
};

// Reads the non-ASCII sequence at `i` following the table of well-formed
// UTF-8 sequences: the second byte's range depends on the lead byte
// (E0: A0-BF, ED: 80-9F, F0: 90-BF, F4: 80-8F), later bytes are 80-BF.
Step read_sequence(const unsigned char* s, std::size_t n, std::size_t i) {
  const unsigned char lead = s[i];
  std::size_t need;  // continuation bytes
  unsigned char lo = 0x80, hi = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 2;
    if (lead == 0xE0) lo = 0xA0;
    if (lead == 0xED) hi = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 3;
    if (lead == 0xF0) lo = 0x90;
    if (lead == 0xF4) hi = 0x8F;
  } else {
    return {1, false, false};  // 80-C1, F5-FF cannot begin a sequence
  }
  for (std::size_t k = 1; k <= need; ++k) {
    if (i + k >= n) return {k, false, true};
    const unsigned char c = s[i + k];
    if (c < lo || c > hi) return {k, false, false};
    lo = 0x80;
    hi = 0xBF;
  }
  return {need + 1, true, false};
}

}  // namespace

std::size_t valid_char_length(std::string_view bytes) {
  if (bytes.empty()) return 0;
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  if (s[0] < 0x80) return 1;
  const Step step = read_sequence(s, bytes.size(), 0);
  return step.valid ? step.length : 0;
}

std::string Utf8Error::to_string() const {
  if (error_len == 0) {
    return "incomplete utf-8 byte sequence from index " + std::to_string(valid_up_to);
  }
  return "invalid utf-8 sequence of " + std::to_string(error_len) +
         " bytes from index " + std::to_string(valid_up_to);
}

std::optional<Utf8Error> validate(std::string_view bytes) {
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    // ASCII runs, eight bytes at a time.
    while (i + 8 <= n) {
      std::uint64_t w;
      std::memcpy(&w, s + i, 8);
      if (w & 0x8080808080808080ull) break;
      i += 8;
    }
    if (i >= n) break;
    if (s[i] < 0x80) {
      ++i;
      continue;
    }
    const Step step = read_sequence(s, n, i);
    if (!step.valid) return Utf8Error{i, step.truncated ? 0 : step.length};
    i += step.length;
  }
  return std::nullopt;
}

void append_lossy(std::string_view bytes, std::string& out) {
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  std::size_t run = 0;  // start of the pending stretch of good bytes
  while (i < n) {
    if (s[i] < 0x80) {
      ++i;
      continue;
    }
    const Step step = read_sequence(s, n, i);
    if (step.valid) {
      i += step.length;
      continue;
    }
    out.append(bytes.data() + run, i - run);
    out.append(kReplacement);
    i += step.length;
    run = i;
  }
  out.append(bytes.data() + run, n - run);
}

}  // namespace zeq::utf8
