// Fuzz target: arbitrary bytes as text to encode and as ids to decode, on
// fixed vocabularies built in memory.
//
// Input: one selector byte, then the payload. The selector picks the
// vocabulary (all 256 byte pieces, none, a few, or one with odd records),
// how the payload becomes text (the longest well-formed UTF-8 prefix, or
// every ill-formed stretch replaced by U+FFFD: the two ways a caller holding
// arbitrary bytes gets a Python str) and how it becomes ids (raw 32-bit
// words, or words folded into the range of real ids), and whether the
// text is also encoded through a fresh word cache and whether a few
// identities of word splitting are checked. Every operation is compared
// with the reference model, encoding also through a word cache that lives
// for the whole run; InternalFault must never escape for well-formed text.
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "reference.h"
#include "zeq/error.h"
#include "model_calls.h"
#include "tokenizer/model.h"
#include "tokenizer/word_cache.h"

namespace {

using namespace zeq;
using namespace zeq::fuzz;

struct Fixture {
  zeq::Model tok;
  Reference ref;
  // Kept for the whole run, so that it fills up and starts over many times.
  // A failure through it may depend on earlier inputs; the same check with
  // a fresh cache follows, and reproduces alone whatever does not.
  mutable WordCache cache;
};

constexpr TokenId kUnk = 0, kBos = 1, kEos = 2, kPad = 3;

const char* const kWords[] = {
    "\xE2\x96\x81", "\xE2\x96\x81" "a", "a", "b", "ab", "\xE2\x96\x81the", "the", "\xE2\x96\x81Hello",
    "\xE2\x96\x81world", "\xC3\xA9", "\xE2\x96\x81\xC3\xA9", "\xE6\x97\xA5\xE6\x9C\xAC",
    "\xE2\x96\x81\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E", "\xE8\xAA\x9E", "\xF0\x9F\x99\x82",
    "\xE2\x96\x81\xE2\x96\x81", "a\xE2\x96\x81" "b", "a b", "\t", "\n", "x", "xx", "xxx", "xxxx",
    "\xD0\xBF\xD1\x80\xD0\xB8", "\xE2\x96\x81\xD0\xBF\xD1\x80\xD0\xB8", ".", ",", "\xE2\x96\x81.", "1", "12",
};

std::vector<PieceEntry> specials() {
  return {{"<unk>", kUnk, 0.0f}, {"<s>", kBos, 0.0f}, {"</s>", kEos, 0.0f}, {"<pad>", kPad, 0.0f}};
}

void add_words(std::vector<PieceEntry>& v) {
  float score = -2.0f;
  for (const char* w : kWords) {
    v.push_back({w, static_cast<TokenId>(v.size()), score});
    score -= 0.37f;
  }
}

Fixture make(std::vector<PieceEntry> v) {
  Reference ref(v, kPad, kUnk, kBos, kEos);
  return {zeq::Model::from_vocab(Vocab::from_entries(std::move(v), kPad, kUnk, kBos, kEos)), std::move(ref), {}};
}

const std::vector<Fixture>& models() {
  static const std::vector<Fixture> all = [] {
    std::vector<Fixture> m;
    {  // 0: every byte piece, records carry their positions as ids
      auto v = specials();
      for (int b = 0; b < 256; ++b) v.push_back({byte_piece_text(static_cast<unsigned char>(b)), static_cast<TokenId>(v.size()), 0.0f});
      add_words(v);
      m.push_back(make(std::move(v)));
    }
    {  // 1: no byte pieces: uncovered characters become unk_id
      auto v = specials();
      add_words(v);
      m.push_back(make(std::move(v)));
    }
    {  // 2: a few byte pieces: lead bytes with and without their continuations
      auto v = specials();
      for (int b : {0x41, 0xC3, 0xA9, 0xE2, 0x96, 0xF0, 0x9F, 0x80, 0x20, 0x00}) {
        v.push_back({byte_piece_text(static_cast<unsigned char>(b)), static_cast<TokenId>(v.size()), -1.0f});
      }
      add_words(v);
      m.push_back(make(std::move(v)));
    }
    {  // 3: odd records: NaN and infinite scores, duplicate texts and ids,
       // ids beyond the records, byte pieces sharing an id or a special id,
       // an empty text
      auto v = specials();
      for (int b = 0; b < 256; ++b) v.push_back({byte_piece_text(static_cast<unsigned char>(b)), static_cast<TokenId>(v.size()), 0.0f});
      add_words(v);
      const float nan = std::numeric_limits<float>::quiet_NaN();
      const float inf = std::numeric_limits<float>::infinity();
      v.push_back({"a", 9999, nan});
      v.push_back({"b", 7, -inf});
      v.push_back({"xx", 3, -1.0f});  // id of pad: not in the trie
      v.push_back({"", 12, -0.5f});
      v.push_back({"<0x41>", kBos, 0.0f});   // byte piece with a special id
      v.push_back({"<0x42>", 70, 0.0f});     // two byte pieces, one id
      v.push_back({"<0x43>", 70, 0.0f});
      v.push_back({"<0x0a>", 71, 0.0f});     // not a byte piece (lower case)
      v.push_back({"\xE2\x96\x81" "ab", 4000000000u, inf});
      m.push_back(make(std::move(v)));
    }
    return m;
  }();
  return all;
}

std::uint32_t u32_at(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t mode = data[0];
  const Fixture& m = models()[mode & 3];
  const std::string_view payload(reinterpret_cast<const char*>(data + 1), size - 1);

  const std::string text = (mode & 4) ? utf8_lossy(payload) : std::string(utf8_prefix(payload));
  std::vector<TokenId> ids;
  const auto fold = static_cast<TokenId>(m.tok.vocab_size() + 4);
  for (std::size_t i = 0; i + 4 <= payload.size(); i += 4) {
    const std::uint32_t w = u32_at(data + 1 + i);
    ids.push_back((mode & 8) ? w : w % fold);
  }
  try {
    if (mode & 32) {  // a fresh cache costs two megabytes of table: half of the time
      WordCache fresh;
      check_against(m.tok, m.ref, text, ids, &fresh);
    }
    check_against(m.tok, m.ref, text, ids, &m.cache);
    check_round_trip(m.tok, m.ref, text);
    // Words are segmented alone: a text is the sum of its space-led parts.
    if (!text.empty() && (mode & 16)) {
      const std::vector<TokenId> a = testing::encode(m.tok, text);
      std::vector<TokenId> b = testing::encode(m.tok, " " + text);
      if (text.starts_with(' ') || text.starts_with(kMarker) ? false : a != b) {
        fail("a leading space changed the ids", hex(text));
      }
      const std::vector<TokenId> twice = testing::encode(m.tok, text + " " + text);
      b.insert(b.begin(), a.begin(), a.end());
      if (twice != b) fail("encode(t + ' ' + t) != encode(t) + encode(' ' + t)", hex(text));
    }
  } catch (const InternalFault& e) {
    fail("InternalFault for well-formed text", std::string(e.what()) + "\ntext: " + hex(text));
  }
  return 0;
}
