// A slow, obviously-correct model of the tokenizer for the fuzz targets to
// compare the real one against: a trie of std::maps, a lattice of
// std::optional cells and byte-at-a-time UTF-8 handling, each written
// straight from the rules with no fast paths. Every difference between the
// two is a bug in one of them.
#ifndef ZEQ_FUZZ_REFERENCE_H_
#define ZEQ_FUZZ_REFERENCE_H_

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "model_calls.h"
#include "tokenizer/model.h"
#include "tokenizer/vocab.h"
#include "tokenizer/word_cache.h"

namespace zeq::fuzz {

inline constexpr std::string_view kMarker = "\xE2\x96\x81";

[[noreturn]] inline void fail(const char* what, const std::string& detail = {}) {
  std::fprintf(stderr, "\n*** invariant broken: %s\n%s\n", what, detail.c_str());
  std::fflush(stderr);
  std::abort();
}

inline std::string hex(std::string_view s, std::size_t limit = 96) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < s.size() && i < limit; ++i) {
    const auto b = static_cast<unsigned char>(s[i]);
    out += digits[b >> 4];
    out += digits[b & 15];
    out += ' ';
  }
  if (s.size() > limit) out += "...";
  return out;
}

inline std::string ids_text(const std::vector<TokenId>& ids, std::size_t limit = 32) {
  std::string out = "[";
  for (std::size_t i = 0; i < ids.size() && i < limit; ++i) {
    if (i) out += ", ";
    out += std::to_string(ids[i]);
  }
  if (ids.size() > limit) out += ", ...";
  return out + "] (" + std::to_string(ids.size()) + " ids)";
}

// ---------------------------------------------------------------- UTF-8

// One step of reading well-formed UTF-8 (the Unicode Standard's Table 3-7)
// at `i`: either a whole character of `length` bytes, or an ill-formed
// stretch (its maximal subpart) of `length` bytes, `truncated` when the
// input ended while every byte so far still fitted.
struct Utf8Step {
  bool ok;
  bool truncated;
  std::size_t length;
};

inline Utf8Step utf8_step(std::string_view s, std::size_t i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  std::size_t n;
  unsigned lo = 0x80, hi = 0xBF;  // limits of the second byte
  if (b0 < 0x80) return {true, false, 1};
  if (b0 >= 0xC2 && b0 <= 0xDF) n = 2;
  else if (b0 == 0xE0) n = 3, lo = 0xA0;
  else if (b0 == 0xED) n = 3, hi = 0x9F;
  else if (b0 >= 0xE1 && b0 <= 0xEF) n = 3;
  else if (b0 == 0xF0) n = 4, lo = 0x90;
  else if (b0 == 0xF4) n = 4, hi = 0x8F;
  else if (b0 >= 0xF1 && b0 <= 0xF3) n = 4;
  else return {false, false, 1};  // 80-C1, F5-FF cannot begin a sequence
  for (std::size_t k = 1; k < n; ++k) {
    if (i + k >= s.size()) return {false, true, k};
    const auto b = static_cast<unsigned char>(s[i + k]);
    const unsigned l = k == 1 ? lo : 0x80, h = k == 1 ? hi : 0xBF;
    if (b < l || b > h) return {false, false, k};
  }
  return {true, false, n};
}

// Nothing for well-formed input, else the loader's message for it.
inline std::optional<std::string> utf8_error(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    const Utf8Step st = utf8_step(s, i);
    if (st.ok) {
      i += st.length;
      continue;
    }
    if (st.truncated) return "incomplete utf-8 byte sequence from index " + std::to_string(i);
    return "invalid utf-8 sequence of " + std::to_string(st.length) + " bytes from index " +
           std::to_string(i);
  }
  return std::nullopt;
}

// Every maximal ill-formed subpart becomes U+FFFD.
inline std::string utf8_lossy(std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size();) {
    const Utf8Step st = utf8_step(s, i);
    if (st.ok) out.append(s.substr(i, st.length));
    else out += "\xEF\xBF\xBD";
    i += st.length;
  }
  return out;
}

// The longest well-formed prefix.
inline std::string_view utf8_prefix(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const Utf8Step st = utf8_step(s, i);
    if (!st.ok) break;
    i += st.length;
  }
  return s.substr(0, i);
}

inline bool utf8_valid(std::string_view s) { return utf8_prefix(s).size() == s.size(); }

// ---------------------------------------------------------------- model

class Reference {
 public:
  Reference(std::vector<PieceEntry> pieces, TokenId pad, TokenId unk, TokenId bos, TokenId eos)
      : pieces_(std::move(pieces)), pad_(pad), unk_(unk), bos_(bos), eos_(eos) {
    for (const PieceEntry& e : pieces_) {
      ids_by_piece_[e.text] = e.id;  // the last record wins
      if (!special(e.id)) stored_.insert(e.id);
    }
    children_.emplace_back();
    terminal_.emplace_back();
    scores_.push_back(0.0f);
    float m = 3.4028235e38f;
    for (const PieceEntry& e : pieces_) {
      if (special(e.id)) continue;
      std::uint32_t node = 0;
      for (char ch : e.text) {
        const auto c = static_cast<unsigned char>(ch);
        auto it = children_[node].find(c);
        if (it == children_[node].end()) {
          const auto fresh = static_cast<std::uint32_t>(children_.size());
          children_[node][c] = fresh;
          children_.emplace_back();
          terminal_.emplace_back();
          scores_.push_back(0.0f);
          node = fresh;
        } else {
          node = it->second;
        }
      }
      terminal_[node] = e.id;
      scores_[node] = e.score;
      if (e.score < m) m = e.score;
    }
    min_score_ = m == 3.4028235e38f ? 0.0f : m;
    for (int b = 0; b < 256; ++b) {
      auto it = ids_by_piece_.find(byte_piece_text(static_cast<unsigned char>(b)));
      if (it == ids_by_piece_.end()) continue;
      byte_fallback_[b] = it->second;
      byte_tokens_[it->second] = static_cast<unsigned char>(b);  // the largest byte wins
    }
  }

  bool special(TokenId id) const { return id == pad_ || id == unk_ || id == bos_ || id == eos_; }
  const std::vector<PieceEntry>& pieces() const { return pieces_; }
  std::size_t node_count() const { return children_.size(); }
  float min_score() const { return min_score_; }
  const std::array<std::optional<TokenId>, 256>& byte_fallback() const { return byte_fallback_; }
  std::optional<unsigned char> byte_token(TokenId id) const {
    auto it = byte_tokens_.find(id);
    if (it == byte_tokens_.end()) return std::nullopt;
    return it->second;
  }
  std::optional<TokenId> piece_to_id(const std::string& text) const {
    auto it = ids_by_piece_.find(text);
    if (it == ids_by_piece_.end()) return std::nullopt;
    return it->second;
  }
  // The stored id of some record that is not special.
  bool is_stored(TokenId id) const { return stored_.count(id) != 0; }

  // Encoding: normalise, split before every marker, segment each word.
  // `fault` is set instead of ids when a word ends inside a character whose
  // lead byte has no byte token (impossible for well-formed text).
  std::vector<TokenId> encode(std::string_view text, bool* fault = nullptr) const {
    std::vector<TokenId> out;
    if (text.empty()) return out;
    std::string norm;
    for (char ch : text) {
      if (ch == ' ') norm += kMarker;
      else norm += ch;
    }
    if (!(norm.size() >= 3 && norm.compare(0, 3, kMarker) == 0)) norm.insert(0, kMarker);
    std::vector<std::string> words;
    std::string current;
    for (std::size_t i = 0; i < norm.size();) {
      const std::size_t len = std::min<std::size_t>(utf8_step(norm, i).length, norm.size() - i);
      const std::string_view ch(norm.data() + i, len);
      if (ch == kMarker && !current.empty()) {
        words.push_back(current);
        current.clear();
      }
      current += ch;
      i += len;
    }
    if (!current.empty()) words.push_back(current);
    for (const std::string& w : words) {
      if (!segment(w, out)) {
        if (fault) *fault = true;
        return {};
      }
    }
    return out;
  }

  std::vector<std::string> encode_pieces(std::string_view text) const {
    std::vector<std::string> out;
    for (TokenId id : encode(text)) out.push_back(id < pieces_.size() ? pieces_[id].text : "<unk>");
    return out;
  }

  std::string decode(const std::vector<TokenId>& ids) const {
    std::string raw;
    for (TokenId id : ids) {
      if (special(id)) continue;
      if (auto b = byte_token(id)) raw += static_cast<char>(*b);
      else if (id < pieces_.size()) raw += pieces_[id].text;
    }
    const std::string text = utf8_lossy(raw);
    std::string out;
    std::size_t i = 0;
    if (text.compare(0, 3, kMarker) == 0) i = 3;
    while (i < text.size()) {
      if (text.compare(i, 3, kMarker) == 0) {
        out += ' ';
        i += 3;
      } else {
        out += text[i++];
      }
    }
    return out;
  }

 private:
  struct Cell {
    std::optional<std::size_t> back;
    float score = 0.0f;
    TokenId id = 0;
  };

  static std::size_t char_length(unsigned char b) {
    return b < 0xC0 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
  }

  static void offer(Cell& cell, std::size_t p, float s, TokenId t) {
    if (!cell.back || s > cell.score) cell = Cell{p, s, t};
  }

  bool segment(const std::string& word, std::vector<TokenId>& out) const {
    const std::size_t len = word.size();
    if (len == 0) return true;
    std::vector<Cell> cells(len + 1);
    cells[0].back = 0;
    const float fallback = min_score_ - 10.0f;
    for (std::size_t p = 0; p < len;) {
      const auto lead = static_cast<unsigned char>(word[p]);
      const std::size_t c = char_length(lead);
      if (!cells[p].back) {
        p += c;
        continue;
      }
      const float s = cells[p].score;
      bool covered = false;
      std::uint32_t node = 0;
      for (std::size_t i = 1; i <= len - p; ++i) {
        auto it = children_[node].find(static_cast<unsigned char>(word[p + i - 1]));
        if (it == children_[node].end()) break;
        node = it->second;
        if (terminal_[node]) {
          offer(cells[p + i], p, s + scores_[node], *terminal_[node]);
          if (i == c) covered = true;
        }
      }
      if (covered) {
        p += c;
      } else if (byte_fallback_[lead]) {
        offer(cells[p + 1], p, s + fallback, *byte_fallback_[lead]);
        p += 1;
      } else {
        if (p + c > len) return false;
        offer(cells[p + c], p, s + fallback, unk_);
        p += c;
      }
    }
    const std::size_t first = out.size();
    for (std::size_t g = len;;) {
      if (!cells[g].back) {
        out.push_back(unk_);
        break;
      }
      out.push_back(cells[g].id);
      if (*cells[g].back == 0) break;
      g = *cells[g].back;
    }
    std::reverse(out.begin() + static_cast<std::ptrdiff_t>(first), out.end());
    return true;
  }

  std::vector<PieceEntry> pieces_;
  TokenId pad_, unk_, bos_, eos_;
  std::map<std::string, TokenId> ids_by_piece_;
  std::set<TokenId> stored_;
  std::vector<std::map<unsigned char, std::uint32_t>> children_;
  std::vector<std::optional<TokenId>> terminal_;
  std::vector<float> scores_;
  float min_score_ = 0.0f;
  std::array<std::optional<TokenId>, 256> byte_fallback_{};
  std::map<TokenId, unsigned char> byte_tokens_;
};

// ---------------------------------------------------------------- checks

// Compares every operation of `tok` with the reference on `text` and `ids`
// and checks the promises that hold for any vocabulary.
// With a cache, encoding through it must give the same ids as without one,
// both when the text's words are new to it and when they are not.
inline void check_against(const Model& tok, const Reference& ref, std::string_view text,
                          const std::vector<TokenId>& ids, WordCache* cache = nullptr) {
  const std::vector<TokenId> got = testing::encode(tok, text);
  const std::vector<TokenId> want = ref.encode(text);
  if (got != want) {
    fail("encode differs from the reference",
         "text: " + hex(text) + "\ngot:  " + ids_text(got) + "\nwant: " + ids_text(want));
  }
  if (cache != nullptr) {
    for (int round = 0; round < 2; ++round) {
      const std::vector<TokenId> cached = testing::encode(tok, text, cache);
      if (cached != got) {
        fail("encode through the word cache differs",
             "text: " + hex(text) + "\nround " + std::to_string(round) + ", " +
                 std::to_string(cache->size()) + " words cached\ngot:  " + ids_text(cached) +
                 "\nwant: " + ids_text(got));
      }
    }
    if (testing::encode_pieces(tok, text, cache) != testing::encode_pieces(tok, text)) {
      fail("encode_pieces through the word cache differs", hex(text));
    }
  }
  const std::vector<std::string_view> pieces = testing::encode_pieces(tok, text);
  if (pieces.size() != got.size()) fail("encode_pieces and encode differ in length", hex(text));
  const auto& entries = tok.vocab().pieces();
  for (std::size_t i = 0; i < got.size(); ++i) {
    const std::string_view expect =
        got[i] < entries.size() ? std::string_view(entries[got[i]].text) : "<unk>";
    if (pieces[i] != expect) fail("encode_pieces entry is not the text at the id's position", hex(text));
  }
  for (TokenId id : got) {
    // Every id is a non-special piece's stored id, a byte token's id or unk_id.
    if (id != tok.unk_id() && !tok.byte_token(id) && !ref.is_stored(id)) {
      fail("encode emitted an id that names no piece", std::to_string(id));
    }
  }
  for (const std::vector<TokenId>* seq : {&got, &ids}) {
    const std::string out = testing::decode(tok, *seq);
    const std::string expect = ref.decode(*seq);
    if (out != expect) {
      fail("decode differs from the reference",
           "ids: " + ids_text(*seq) + "\ngot:  " + hex(out) + "\nwant: " + hex(expect));
    }
    if (!utf8_valid(out)) fail("decode returned ill-formed UTF-8", hex(out));
  }
  for (TokenId id : ids) {
    const auto piece = tok.id_to_piece(id);
    if (piece.has_value() != (id < entries.size()) ||
        (piece && *piece != entries[id].text)) {
      fail("id_to_piece is not the text at that position", std::to_string(id));
    }
  }
}

// Promise of the decoder: decode(encode(t)) == t for a t that does not begin
// with a space, holds no U+2581, is all covered by pieces or byte pieces
// (no unk_id among its ids), when no emitted id is special, and the
// vocabulary's records carry their positions as ids. A byte piece's text
// written out literally in t may be segmented as that piece and comes back
// as its byte, so texts holding "<0x" are left out too.
inline void check_round_trip(const Model& tok, const Reference& ref, std::string_view text) {
  if (text.starts_with(' ') || text.find(kMarker) != std::string_view::npos ||
      text.find("<0x") != std::string_view::npos) {
    return;
  }
  const auto& entries = tok.vocab().pieces();
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].id != i) return;
  }
  const std::vector<TokenId> ids = testing::encode(tok, text);
  for (TokenId id : ids) {
    if (ref.special(id)) return;
  }
  const std::string back = testing::decode(tok, ids);
  if (back != text) {
    fail("decode(encode(t)) != t", "t:    " + hex(text) + "\nback: " + hex(back) + "\nids: " + ids_text(ids));
  }
}

}  // namespace zeq::fuzz

#endif  // ZEQ_FUZZ_REFERENCE_H_
