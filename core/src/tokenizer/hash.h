// The byte-string hash of the core's private tables (never iterated, so the
// function and its order carry no meaning outside them).
#ifndef ZEQ_TOKENIZER_HASH_H_
#define ZEQ_TOKENIZER_HASH_H_

#include <cstdint>
#include <cstring>
#include <string_view>

namespace zeq {

// FNV-style mixing of 8-byte words, finished with a multiply-xorshift.
// Texts here are short; this is quick and spreads well enough for
// open-addressing tables at load factor 1/2.
inline std::uint64_t hash_bytes(std::string_view text) {
  std::uint64_t h = 0xcbf29ce484222325ull ^ text.size();
  std::size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    std::uint64_t w;
    std::memcpy(&w, text.data() + i, 8);
    h = (h ^ w) * 0x100000001b3ull;
    h ^= h >> 29;
  }
  // The last 0-7 bytes, read with fixed-size loads (a variable-length copy
  // would cost a library call per word).
  const std::size_t rest = text.size() - i;
  const char* p = text.data() + i;
  std::uint64_t tail = 0;
  if (rest >= 4) {
    std::uint32_t lo, hi;
    std::memcpy(&lo, p, 4);
    std::memcpy(&hi, p + rest - 4, 4);
    tail = (std::uint64_t{hi} << 32) | lo;
  } else if (rest > 0) {
    tail = std::uint64_t{static_cast<unsigned char>(p[0])} |
           std::uint64_t{static_cast<unsigned char>(p[rest / 2])} << 8 |
           std::uint64_t{static_cast<unsigned char>(p[rest - 1])} << 16;
  }
  h = (h ^ tail) * 0x9E3779B97F4A7C15ull;
  return h ^ (h >> 32);
}

}  // namespace zeq

#endif  // ZEQ_TOKENIZER_HASH_H_
