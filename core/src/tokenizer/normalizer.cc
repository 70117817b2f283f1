#include "tokenizer/normalizer.h"

#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "tokenizer/types.h"
#include "tokenizer/utf8.h"

namespace zeq {
namespace {

// What a byte that does not start a well-formed character turns into.
constexpr std::string_view kReplacementChar = "\xEF\xBF\xBD";

}  // namespace

// Appends to the output and, when asked for, to the alignment: every byte
// written is aligned with the input offset of the piece it comes from.
class Normalizer::Writer {
 public:
  Writer(std::string& out, std::vector<std::size_t>* alignment, bool escape)
      : out_(out), alignment_(alignment), escape_(escape) {}

  // input[from, to), unchanged and free of spaces.
  void span(std::string_view input, std::size_t from, std::size_t to) {
    out_.append(input.data() + from, to - from);
    if (alignment_ != nullptr) {
      for (std::size_t i = from; i < to; ++i) alignment_->push_back(i);
    }
  }

  // input[from, to): whole characters, unchanged and free of spaces; every
  // byte of a character is aligned with the character's start.
  void characters(std::string_view input, std::size_t from, std::size_t to) {
    out_.append(input.data() + from, to - from);
    if (alignment_ != nullptr) {
      std::size_t start = from;
      for (std::size_t i = from; i < to; ++i) {
        if ((static_cast<unsigned char>(input[i]) & 0xC0) != 0x80) start = i;
        alignment_->push_back(start);
      }
    }
  }

  void byte(char c, std::size_t at) {
    out_.push_back(c);
    if (alignment_ != nullptr) alignment_->push_back(at);
  }

  // One space: a marker when spaces are escaped.
  void space(std::size_t at) {
    if (escape_) {
      out_.append(SPACE_MARKER);
      if (alignment_ != nullptr) alignment_->insert(alignment_->end(), SPACE_MARKER.size(), at);
    } else {
      byte(' ', at);
    }
  }

  void text(std::string_view text, std::size_t at) {
    for (const char c : text) {
      if (c == ' ') {
        space(at);
      } else {
        byte(c, at);
      }
    }
  }

 private:
  std::string& out_;
  std::vector<std::size_t>* alignment_;
  bool escape_;
};

std::expected<Normalizer, std::string> Normalizer::create(
    std::string_view charsmap, NormalizerFlags flags, const std::vector<std::string>& verbatim) {
  std::optional<CharsMap> map;
  if (!charsmap.empty()) {
    auto checked = CharsMap::from_blob(charsmap);
    if (!checked) return std::unexpected(std::move(checked.error()));
    map = std::move(*checked);
  }
  std::vector<ByteTrie::Key> keys;
  for (const std::string& text : verbatim) {
    if (!text.empty()) keys.push_back(ByteTrie::Key{text, 0, 0.0f});
  }
  const bool has_verbatim = !keys.empty();
  Normalizer normalizer(std::move(map), flags, ByteTrie::build(std::move(keys)), has_verbatim);
  normalizer.build_ascii_table();
  normalizer.build_plain_table();
  return normalizer;
}

void Normalizer::build_ascii_table() {
  for (unsigned c = 0; c < ascii_.size(); ++c) {
    const char byte = static_cast<char>(c);
    if (has_verbatim_ && verbatim_.child(ByteTrie::kRoot, static_cast<unsigned char>(c)) !=
                             ByteTrie::kNoNode) {
      continue;  // a verbatim text may start here
    }
    std::string_view text(&byte, 1);
    if (charsmap_) {
      bool longer_key = false;
      for (unsigned next = 0; next < 0x80 && !longer_key; ++next) {
        const char pair[2] = {byte, static_cast<char>(next)};
        longer_key = charsmap_->has_path(std::string_view(pair, 2));
      }
      if (longer_key) continue;
      const CharsMap::Match m = charsmap_->longest_match(text);
      if (m.length != 0) text = m.replacement;
    }
    if (text.empty()) {
      ascii_[c] = {AsciiAction::kDrop, 0};
    } else if (text == " ") {
      ascii_[c] = {AsciiAction::kSpace, ' '};
    } else if (text.size() == 1) {
      ascii_[c] = {text[0] == byte ? AsciiAction::kSame : AsciiAction::kCopy, text[0]};
      same_[c] = text[0] == byte;
    }
  }
  printable_same_ = true;
  for (unsigned c = 0x21; c < 0x7F; ++c) printable_same_ = printable_same_ && same_[c];
}

std::size_t Normalizer::verbatim_length(std::string_view rest) const {
  std::size_t longest = 0;
  std::uint32_t node = ByteTrie::kRoot;
  for (std::size_t i = 0; i < rest.size(); ++i) {
    node = verbatim_.child(node, static_cast<unsigned char>(rest[i]));
    if (node == ByteTrie::kNoNode) break;
    // The node spells a verbatim text when its first output is as long as
    // the path to it (outputs come longest first).
    const std::uint32_t o = verbatim_.first_output(node);
    if (o != ByteTrie::kNoOutput && verbatim_.output(o).length == i + 1) longest = i + 1;
  }
  return longest;
}

void Normalizer::build_plain_table() {
  for (std::uint32_t cp = 0x80; cp < 0x10000; ++cp) {
    if (cp >= 0xD800 && cp < 0xE000) continue;  // surrogates are not characters
    char bytes[3];
    std::size_t n;
    if (cp < 0x800) {
      bytes[0] = static_cast<char>(0xC0 | (cp >> 6));
      bytes[1] = static_cast<char>(0x80 | (cp & 0x3F));
      n = 2;
    } else {
      bytes[0] = static_cast<char>(0xE0 | (cp >> 12));
      bytes[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      bytes[2] = static_cast<char>(0x80 | (cp & 0x3F));
      n = 3;
    }
    const std::string_view text(bytes, n);
    if (charsmap_ && charsmap_->has_path(text)) continue;
    if (has_verbatim_) {
      std::uint32_t node = ByteTrie::kRoot;
      for (char b : text) {
        if (node != ByteTrie::kNoNode) node = verbatim_.child(node, static_cast<unsigned char>(b));
      }
      if (node != ByteTrie::kNoNode) continue;
    }
    plain_[cp >> 6] |= std::uint64_t{1} << (cp & 63);
  }
}

Normalizer::Piece Normalizer::next_piece(std::string_view rest) const {
  if (has_verbatim_) {
    if (const std::size_t n = verbatim_length(rest); n != 0) return {rest.substr(0, n), n};
  }
  if (charsmap_) {
    if (const CharsMap::Match m = charsmap_->longest_match(rest); m.length != 0) {
      return {m.replacement, m.length};
    }
  }
  const std::size_t n = utf8::leading_char_length(rest);
  if (n == 0) return {kReplacementChar, 1};
  return {rest.substr(0, n), n};
}

template <bool kUseTable>
void Normalizer::run(std::string_view input, std::string& out,
                     std::vector<std::size_t>* alignment) const {
  out.clear();
  if (alignment != nullptr) alignment->clear();
  const bool fold = flags_.remove_extra_whitespaces;
  std::size_t pos = 0;
  if (fold) {
    while (pos < input.size()) {
      const Piece p = next_piece(input.substr(pos));
      if (p.text != " ") break;
      pos += p.consumed;
    }
  }
  if (pos == input.size()) return;  // nothing, or nothing but spaces

  Writer writer(out, alignment, flags_.escape_whitespaces);
  if (flags_.add_dummy_prefix) writer.space(pos);

  // Whether the last piece written ended in a space; only ever true when
  // folding, where it starts true so that no piece's spaces lead.
  bool after_space = fold;
  const char* s = input.data();
  const std::size_t n = input.size();
  while (pos < n) {
    if constexpr (kUseTable) {
      const auto c = static_cast<unsigned char>(s[pos]);
      if (c < 0x80 && (pos + 1 == n || static_cast<unsigned char>(s[pos + 1]) < 0x80)) {
        const AsciiRule rule = ascii_[c];
        if (rule.action == AsciiAction::kSame) {
          // The run of such bytes, less its last one when a non-ASCII byte
          // follows it (that one needs the general path). The first one
          // stays in: the check above saw its next byte.
          std::size_t end = pos + 1;
#if defined(__SSE2__)
          if (printable_same_) {
            // Bytes 0x80-0xFF compare as negative, so fail the first test.
            const __m128i above = _mm_set1_epi8(0x20), below = _mm_set1_epi8(0x7F);
            while (end + 16 <= n) {
              const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + end));
              const auto printable = static_cast<unsigned>(_mm_movemask_epi8(
                  _mm_and_si128(_mm_cmpgt_epi8(v, above), _mm_cmplt_epi8(v, below))));
              if (printable != 0xFFFF) {
                end += static_cast<std::size_t>(__builtin_ctz(~printable));
                break;
              }
              end += 16;
            }
          }
#endif
          while (end < n && same_[static_cast<unsigned char>(s[end])]) ++end;
          if (end < n && end > pos + 1 && static_cast<unsigned char>(s[end]) >= 0x80) --end;
          writer.span(input, pos, end);
          after_space = false;
          pos = end;
          continue;
        }
        if (rule.action == AsciiAction::kCopy) {
          writer.byte(rule.byte, pos);
          after_space = false;
          ++pos;
          continue;
        }
        if (rule.action == AsciiAction::kSpace) {
          if (!after_space) {
            writer.space(pos);
            after_space = fold;
          }
          ++pos;
          continue;
        }
        if (rule.action == AsciiAction::kDrop) {
          ++pos;
          continue;
        }
      }
      // A run of plain characters of 2 or 3 bytes: copied as they are.
      std::size_t end = pos;
      while (end < n) {
        const auto lead = static_cast<unsigned char>(s[end]);
        if (lead < 0xC2 || lead >= 0xF0) break;
        const std::size_t length = utf8::leading_char_length(input.substr(end));
        if (length < 2 || !plain(reinterpret_cast<const unsigned char*>(s + end), length)) break;
        end += length;
      }
      if (end != pos) {
        writer.characters(input, pos, end);
        after_space = false;
        pos = end;
        continue;
      }
    }
    const Piece piece = next_piece(input.substr(pos));
    std::string_view text = piece.text;
    if (after_space) {
      while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    }
    if (!text.empty()) {
      writer.text(text, pos);
      after_space = fold && text.back() == ' ';
    }
    pos += piece.consumed;
  }

  std::size_t end = n;
  if (fold) {
    const std::string_view space = flags_.escape_whitespaces ? SPACE_MARKER : " ";
    while (std::string_view(out).ends_with(space)) {
      const std::size_t kept = out.size() - space.size();
      out.erase(kept);
      if (alignment != nullptr) {
        end = (*alignment)[kept];
        alignment->resize(kept);
      }
    }
  }
  if (alignment != nullptr) alignment->push_back(end);
}

void Normalizer::normalize(std::string_view input, std::string& out,
                           std::vector<std::size_t>* alignment) const {
  run<true>(input, out, alignment);
}

void Normalizer::normalize_without_table(std::string_view input, std::string& out,
                                         std::vector<std::size_t>* alignment) const {
  run<false>(input, out, alignment);
}

}  // namespace zeq
