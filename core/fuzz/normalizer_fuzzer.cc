// Fuzz target: a normaliser made from the input, on text from the input.
//
// Input: one mode byte, a u32 section length, the section, a verbatim text
// count byte and that many texts (u8 length, bytes), then the text. The
// mode's bits 0-2 are the flags (add_dummy_prefix, remove_extra_whitespaces,
// escape_whitespaces); bits 3-4 say what the section is:
//   0  a character map blob, taken as it is: it must be refused with a
//      one-line reason exactly when its layout is broken
//   1  a blob whose header and last byte are mended, so that its trie units
//      (hostile ones too) are what reaches the lookups
//   2  rules (u8 key length, key, u8 replacement length, replacement),
//      built into a trie; the result must equal a slow reference
//      normaliser's, written from the rules without any trie
//   3  no character map
// Always: the ASCII table gives what the general path gives, the alignment
// has one entry per output byte plus one (or none, with no output) and
// never decreases, reused buffers give the same result, and with a rule
// set and verbatim texts of well-formed UTF-8 the output is well-formed.
#include <algorithm>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "../tests/charsmap_builder.h"
#include "reference.h"
#include "tokenizer/normalizer.h"
#include "tokenizer/types.h"
#include "tokenizer/utf8.h"

namespace {

using namespace zeq;
using zeq::fuzz::fail;
using zeq::fuzz::hex;
using Alignment = std::vector<std::size_t>;

constexpr std::size_t kMaxText = 4096;
constexpr std::size_t kMaxVerbatim = 8;
// Rules beyond this many key bytes are ignored: the builder spends a block
// of 256 units per trie node.
constexpr std::size_t kMaxRuleKeyBytes = 256;

// Reads the input front to back; a field cut by the end is cut short.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size)
      : rest_(reinterpret_cast<const char*>(data), size) {}
  std::uint8_t byte() {
    if (rest_.empty()) return 0;
    const auto b = static_cast<std::uint8_t>(rest_[0]);
    rest_.remove_prefix(1);
    return b;
  }
  std::string_view take(std::size_t n) {
    const std::string_view s = rest_.substr(0, n);
    rest_.remove_prefix(s.size());
    return s;
  }
  std::uint32_t u32() {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(byte()) << (8 * i);
    return v;
  }
  std::string_view rest() const { return rest_; }

 private:
  std::string_view rest_;
};

// The layout rules of a blob, restated: whether CharsMap must accept it.
bool layout_ok(std::string_view blob) {
  if (blob.size() <= 4) return false;
  std::uint32_t trie = 0;
  for (int i = 0; i < 4; ++i) trie |= static_cast<std::uint32_t>(static_cast<unsigned char>(blob[i])) << (8 * i);
  return trie >= 1024 && trie % 1024 == 0 && std::size_t{trie} + 4 < blob.size() && blob.back() == '\0';
}

std::string mend(std::string blob) {
  if (blob.size() < 4 + 1024 + 1) blob.resize(4 + 1024 + 1);
  const std::uint32_t trie = static_cast<std::uint32_t>((blob.size() - 5) / 1024 * 1024);
  for (int i = 0; i < 4; ++i) blob[i] = static_cast<char>(trie >> (8 * i));
  blob.back() = '\0';
  return blob;
}

// Length of the well-formed character `rest` starts with, 0 if none: the
// shortest prefix that validates whole.
std::size_t char_length(std::string_view rest) {
  for (std::size_t k = 1; k <= 4 && k <= rest.size(); ++k) {
    if (!utf8::validate(rest.substr(0, k))) return k;
  }
  return 0;
}

std::size_t longest_prefix(const std::set<std::string>& keys, std::string_view rest) {
  std::size_t best = 0;
  for (const auto& k : keys) {
    if (k.size() > best && rest.starts_with(k)) best = k.size();
  }
  return best;
}

// The normaliser as SentencePiece states it, on rules held in a map.
void reference(const std::map<std::string, std::string>& rules, const std::set<std::string>& verbatim,
               NormalizerFlags f, std::string_view input, std::string& out, Alignment& align) {
  out.clear();
  align.clear();
  std::set<std::string> keys;
  for (const auto& [k, v] : rules) keys.insert(k);
  auto piece = [&](std::string_view rest) -> std::pair<std::string, std::size_t> {
    if (std::size_t n = longest_prefix(verbatim, rest)) return {std::string(rest.substr(0, n)), n};
    if (std::size_t n = longest_prefix(keys, rest)) return {rules.at(std::string(rest.substr(0, n))), n};
    if (std::size_t n = char_length(rest)) return {std::string(rest.substr(0, n)), n};
    return {"\xEF\xBF\xBD", 1};
  };
  std::size_t pos = 0;
  while (f.remove_extra_whitespaces && pos < input.size()) {
    auto [text, n] = piece(input.substr(pos));
    if (text != " ") break;
    pos += n;
  }
  if (pos == input.size()) return;
  const std::string space = f.escape_whitespaces ? std::string(SPACE_MARKER) : " ";
  auto put = [&](const std::string& s, std::size_t at) {
    out += s;
    align.insert(align.end(), s.size(), at);
  };
  if (f.add_dummy_prefix) put(space, pos);
  bool prev_space = f.remove_extra_whitespaces;
  while (pos < input.size()) {
    auto [text, n] = piece(input.substr(pos));
    while (prev_space && !text.empty() && text[0] == ' ') text.erase(0, 1);
    for (const char c : text) put(c == ' ' ? space : std::string(1, c), pos);
    if (!text.empty()) prev_space = text.back() == ' ';
    if (!f.remove_extra_whitespaces) prev_space = false;
    pos += n;
  }
  std::size_t end = input.size();
  while (f.remove_extra_whitespaces && std::string_view(out).ends_with(space)) {
    end = align[out.size() - space.size()];
    out.resize(out.size() - space.size());
    align.resize(out.size());
  }
  align.push_back(end);
}

void check_shape(std::string_view text, const std::string& out, const Alignment& align) {
  if (align.empty()) {
    if (!out.empty()) fail("output without alignment", hex(text));
    return;
  }
  if (align.size() != out.size() + 1) fail("alignment size is not output size + 1", hex(text));
  if (!std::is_sorted(align.begin(), align.end())) fail("alignment decreases", hex(text));
  if (align.back() > text.size()) fail("alignment points past the text", hex(text));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  const std::uint8_t mode = in.byte();
  const NormalizerFlags flags{(mode & 1) != 0, (mode & 2) != 0, (mode & 4) != 0};
  const int map_kind = (mode >> 3) & 3;
  const std::string_view section = in.take(in.u32());
  std::vector<std::string> verbatim;
  for (std::size_t k = std::min<std::size_t>(in.byte(), kMaxVerbatim); k > 0; --k) {
    verbatim.emplace_back(in.take(in.byte()));
  }
  const std::string_view text = in.rest().substr(0, kMaxText);

  std::string blob;
  std::map<std::string, std::string> rules;
  if (map_kind == 0) {
    blob = section;
  } else if (map_kind == 1) {
    blob = mend(std::string(section));
  } else if (map_kind == 2) {
    Input r(reinterpret_cast<const std::uint8_t*>(section.data()), section.size());
    std::vector<testing::CharsMapRule> list;
    std::size_t key_bytes = 0;
    while (!r.rest().empty()) {
      std::string key(r.take(r.byte()));
      key_bytes += key.size();
      if (key_bytes > kMaxRuleKeyBytes) break;
      std::string value(r.take(r.byte()));
      if (value.find('\0') != std::string::npos) value.resize(value.find('\0'));
      if (key.empty() || key.find('\0') != std::string::npos) continue;
      list.push_back({key, value});
      rules[key] = value;
    }
    blob = testing::charsmap_blob(list);
  }

  auto made = Normalizer::create(blob, flags, verbatim);
  const bool must_load = blob.empty() || layout_ok(blob);
  if (made.has_value() != must_load) fail("blob verdict differs from its layout", hex(blob));
  if (!made) {
    const std::string& why = made.error();
    if (!why.starts_with("character map: ") || why.find('\n') != std::string::npos) {
      fail("refusal is not a one-line character map reason", why);
    }
    return 0;
  }
  const Normalizer& n = *made;

  std::string out, again, slow;
  Alignment align, align_again, align_slow;
  n.normalize(text, out, &align);
  check_shape(text, out, align);
  n.normalize_without_table(text, slow, &align_slow);
  if (out != slow || align != align_slow) fail("ASCII table and general path differ", hex(text));
  again = "stale";
  align_again = {1, 2, 3};
  n.normalize(text, again, nullptr);
  n.normalize(text, again, &align_again);
  if (again != out || align_again != align) fail("reused buffers change the result", hex(text));

  if (map_kind >= 2) {
    std::string want;
    Alignment want_align;
    reference(rules, std::set<std::string>(verbatim.begin(), verbatim.end()), flags, text, want, want_align);
    if (out != want || align != want_align) {
      fail("differs from the reference", hex(text) + "\nours " + hex(out) + "\nwant " + hex(want));
    }
    bool texts_valid = std::all_of(verbatim.begin(), verbatim.end(),
                                   [](const std::string& v) { return !utf8::validate(v); });
    for (const auto& [k, v] : rules) texts_valid = texts_valid && !utf8::validate(v);
    if (texts_valid && utf8::validate(out)) fail("ill-formed UTF-8 out of well-formed rules", hex(out));
  }
  return 0;
}
