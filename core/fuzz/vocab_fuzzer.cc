// Fuzz target: arbitrary bytes as a vocabulary file.
//
// The input is written to an in-memory file and loaded through its
// /proc/self/fd path, as a user's file would be. The loader's verdict is
// compared with an independent parse of the same bytes: the exact error
// text for a broken file, the exact records for a good one. A file that
// loads becomes a tokenizer, which is compared with the reference model on
// texts and ids drawn from the input: the bytes after the last record, and
// sentences made of the vocabulary's own pieces, each encoded with and
// without a word cache. A second tokenizer over
// the same records renumbered by position checks decode(encode(t)) == t.
//
// The whole file is loaded again as the Encoder loads it, from the path and
// from the bytes: both must agree; nothing after the records means no
// options, anything else must be an options section or fail as one. A file
// with a section that loads is encoded through a Session, whose detailed
// encoding must agree with its plain one and whose spans must fit the text.
#include <sys/mman.h>
#include <unistd.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "reference.h"
#include "zeq/error.h"
#include "model_calls.h"
#include "tokenizer/model.h"
#include "tokenizer/vocab_file.h"
#include "zeq/tokenizer.h"

namespace {

using namespace zeq;
using namespace zeq::fuzz;

// Texts longer than this are cut for the comparisons: the reference model
// is slow, and nothing is found by length alone that short texts miss.
constexpr std::size_t kMaxText = 512;

std::uint32_t u32_at(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

std::string list_form(const std::uint8_t* b) {
  return "[" + std::to_string(b[0]) + ", " + std::to_string(b[1]) + ", " + std::to_string(b[2]) +
         ", " + std::to_string(b[3]) + "]";
}

// What the loader must make of `data`: the records and where they end, or
// the display text of the error.
struct Expected {
  bool ok = false;
  std::string error;
  std::vector<PieceEntry> pieces;
  std::uint32_t specials[4] = {};
  std::size_t end = 0;  // offset just past the last record
};

Expected parse(const std::uint8_t* data, std::size_t size) {
  Expected x;
  const std::string eof = "io error: failed to fill whole buffer";
  if (size < 4) return x.error = eof, x;
  if (std::memcmp(data, "ZEQZ", 4) != 0) {
    const std::uint8_t magic[4] = {'Z', 'E', 'Q', 'Z'};
    x.error = "invalid vocab file: bad magic: expected " + list_form(magic) + ", got " + list_form(data);
    return x;
  }
  if (size < 8) return x.error = eof, x;
  if (u32_at(data + 4) != 1) {
    x.error = "invalid vocab file: version mismatch: expected 1, got " + std::to_string(u32_at(data + 4));
    return x;
  }
  if (size < 28) return x.error = eof, x;
  const std::uint32_t count = u32_at(data + 8);
  for (int i = 0; i < 4; ++i) x.specials[i] = u32_at(data + 12 + 4 * i);
  std::size_t pos = 28;
  for (std::uint32_t i = 0; i < count; ++i) {
    if (size - pos < 12) return x.error = eof, x;
    const std::uint32_t id = u32_at(data + pos), bits = u32_at(data + pos + 4), len = u32_at(data + pos + 8);
    pos += 12;
    if (size - pos < len) return x.error = eof, x;
    std::string text(reinterpret_cast<const char*>(data + pos), len);
    pos += len;
    if (auto bad = utf8_error(text)) {
      x.error = "invalid vocab file: piece not utf-8: " + *bad;
      return x;
    }
    x.pieces.push_back(PieceEntry{std::move(text), id, std::bit_cast<float>(bits)});
  }
  x.ok = true;
  x.end = pos;
  return x;
}

// splitmix64: the choices below depend on the input only.
struct Rng {
  std::uint64_t state;
  std::uint64_t next() {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  std::size_t below(std::size_t n) { return n ? next() % n : 0; }
};

std::string cut(std::string s) {
  if (s.size() > kMaxText) s.resize(kMaxText);
  return std::string(utf8_prefix(s));
}

// Sentences of the vocabulary's own pieces, with their markers turned back
// into spaces some of the time, so that the pieces really match.
std::vector<std::string> sentences(const std::vector<PieceEntry>& pieces, Rng& rng) {
  static const char* const kGlue[] = {"", "", " ", "  ", "\t", "\xC3\xA9", "\xE2\x96\x81", "\xF0\x9F\x99\x82", "<0x41>", "\n"};
  std::vector<std::string> out;
  for (int n = 0; n < 3 && !pieces.empty(); ++n) {
    std::string s;
    const std::size_t k = 1 + rng.below(8);
    for (std::size_t j = 0; j < k; ++j) {
      std::string t = pieces[rng.below(pieces.size())].text;
      if (rng.below(3) != 0) {
        for (std::size_t at; (at = t.find(kMarker)) != std::string::npos;) t.replace(at, 3, " ");
      }
      s += t;
      s += kGlue[rng.below(std::size(kGlue))];
    }
    out.push_back(cut(std::move(s)));
  }
  return out;
}

// The file loaded whole, as zeqtools.Encoder loads it, checked as the
// header comment says. `records_ok` tells whether the records loaded.
void check_whole_file(const std::string& path, const std::uint8_t* data, std::size_t size,
                      bool records_ok, std::size_t records_end, const std::vector<std::string>& texts,
                      const std::vector<TokenId>& ids) {
  Result<Tokenizer> from_path = Tokenizer::load(path);
  Result<Tokenizer> from_bytes =
      Tokenizer::load_from_bytes(std::string_view(reinterpret_cast<const char*>(data), size));
  if (from_path.has_value() != from_bytes.has_value()) fail("loading from a path and from bytes disagree");
  if (!from_path) {
    const std::string a = from_path.error().to_string(), b = from_bytes.error().to_string();
    if (a != b) fail("load errors from a path and from bytes differ", a + "\n" + b);
    if (records_ok) {
      const bool section = size - records_end >= 4 && std::memcmp(data + records_end, "ZEQO", 4) == 0;
      if (!a.starts_with(section ? "invalid vocab file: options section: "
                                 : "invalid vocab file: " + std::to_string(size - records_end) +
                                       " bytes after the last record are not an options section")) {
        fail("a file whose records load failed for another reason", a);
      }
    }
    return;
  }
  if (!records_ok) fail("a file whose records do not load loaded whole");
  const Tokenizer& tok = *from_path;
  if (tok.has_options() != (size > records_end)) fail("options present without a section, or missing with one");
  if (!tok.has_options()) return;
  Session session(tok);
  std::vector<TokenId> plain;
  TokenSpans detailed;
  std::string out;
  for (const std::string& t : texts) {
    session.encode(t, plain);
    session.encode_detailed(t, detailed);
    if (plain != detailed.ids) fail("detailed encoding differs from the plain one", hex(t));
    const std::size_t n = session.normalized().size();
    std::size_t at = 0, last_begin = 0, last_end = 0;
    for (std::size_t i = 0; i < detailed.ids.size(); ++i) {
      const Span s = detailed.normalized[i], src = detailed.source[i];
      if (s.begin != at || s.end <= s.begin) fail("normalised spans do not tile the text", hex(t));
      at = s.end;
      if (src.begin > src.end || src.end > t.size() || src.begin < last_begin || src.end < last_end) {
        fail("source spans out of the text or going back", hex(t));
      }
      last_begin = src.begin;
      last_end = src.end;
    }
    if (at != n) fail("normalised spans do not cover the text", hex(t));
    session.normalize(t, out);
    if (out != session.normalized()) fail("normalize differs from the text encoding read", hex(t));
    tok.decode_into(plain, out);
  }
  tok.decode_into(ids, out);
}

int memfd() {
  static const int fd = [] {
    const int f = memfd_create("vocab", MFD_CLOEXEC);
    if (f < 0) fail("memfd_create failed");
    return f;
  }();
  return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const int fd = memfd();
  if (ftruncate(fd, 0) != 0) fail("ftruncate failed");
  for (std::size_t done = 0; done < size;) {
    const ssize_t n = pwrite(fd, data + done, size - done, static_cast<off_t>(done));
    if (n <= 0) fail("pwrite failed");
    done += static_cast<std::size_t>(n);
  }
  const std::string path = "/proc/self/fd/" + std::to_string(fd);

  const Expected x = parse(data, size);
  Result<Vocab> loaded = read_vocab_file(path);
  {
    // Texts for the whole-file check, from the pieces and the input itself.
    Rng rng{0xF11E};
    for (std::size_t i = 0; i < size; ++i) rng.state = (rng.state ^ data[i]) * 0x100000001B3ull;
    std::vector<std::string> texts = sentences(x.pieces, rng);
    const std::string whole(reinterpret_cast<const char*>(data), size);
    texts.push_back(cut(utf8_lossy(whole.substr(size / 2))));
    texts.push_back(cut(whole.substr(size / 3)));  // not UTF-8, often: the normaliser repairs it
    std::vector<TokenId> ids;
    for (std::size_t i = 0; i + 4 <= size && ids.size() < 64; i += 4) ids.push_back(u32_at(data + i));
    check_whole_file(path, data, size, x.ok, x.end, texts, ids);
  }
  if (!loaded) {
    const std::string text = loaded.error().to_string();
    if (text.empty() || text.find('\n') != std::string::npos) fail("error text empty or not one line", text);
    if (x.ok || text != x.error) fail("load error differs from the expected one", "got:  " + text + "\nwant: " + (x.ok ? std::string("success") : x.error));
    return 0;
  }
  if (!x.ok) fail("a broken file loaded", "want: " + x.error);

  const Vocab& v = *loaded;
  if (v.size() != x.pieces.size() || v.pad_id() != x.specials[0] || v.unk_id() != x.specials[1] ||
      v.bos_id() != x.specials[2] || v.eos_id() != x.specials[3]) {
    fail("loaded header differs from the file");
  }
  for (std::size_t i = 0; i < x.pieces.size(); ++i) {
    const PieceEntry &a = v.pieces()[i], &b = x.pieces[i];
    if (a.text != b.text || a.id != b.id ||
        std::bit_cast<std::uint32_t>(a.score) != std::bit_cast<std::uint32_t>(b.score)) {
      fail("loaded record differs from the file", std::to_string(i));
    }
  }

  // Texts and ids from the bytes after the records, and made of pieces.
  const std::string tail(reinterpret_cast<const char*>(data + x.end), size - x.end);
  Rng rng{0x5EED};
  for (std::size_t i = 0; i < size; ++i) rng.state = (rng.state ^ data[i]) * 0x100000001B3ull;
  std::vector<std::string> texts = sentences(x.pieces, rng);
  texts.push_back(cut(utf8_lossy(tail)));
  texts.push_back(cut(std::string(utf8_prefix(tail))));
  std::vector<TokenId> ids;
  for (std::size_t i = 0; i + 4 <= tail.size(); i += 4) ids.push_back(u32_at(data + x.end + i));
  for (const PieceEntry& e : x.pieces) {
    if (ids.size() > 64) break;
    ids.push_back(e.id);
  }
  const auto n = static_cast<TokenId>(x.pieces.size());
  for (TokenId id : {TokenId{0}, n - 1, n, n + 1, TokenId{0xFFFFFFFF}, x.specials[0], x.specials[1],
                     x.specials[2], x.specials[3]}) {
    ids.push_back(id);
  }

  // The tokenizer as loaded, against the reference model of the same file.
  const Model tok = Model::from_vocab(std::move(*loaded));
  const Reference ref(x.pieces, x.specials[0], x.specials[1], x.specials[2], x.specials[3]);
  if (tok.trie().node_count() != ref.node_count()) fail("trie node count differs from the reference");
  if (std::bit_cast<std::uint32_t>(tok.min_score()) != std::bit_cast<std::uint32_t>(ref.min_score())) {
    fail("min_score differs from the reference");
  }
  for (int b = 0; b < 256; ++b) {
    const auto byte = static_cast<unsigned char>(b);
    const auto& want = ref.byte_fallback()[b];
    if (tok.byte_fallback().has(byte) != want.has_value() || (want && tok.byte_fallback().id(byte) != *want)) {
      fail("byte-fallback table differs from the reference", std::to_string(b));
    }
    if (want && tok.byte_token(*want) != ref.byte_token(*want)) fail("byte token map differs from the reference");
  }
  for (const PieceEntry& e : x.pieces) {
    if (tok.piece_to_id(e.text) != ref.piece_to_id(e.text)) fail("piece_to_id differs from the reference", hex(e.text));
    const std::string miss = e.text + "\x01";
    if (tok.piece_to_id(miss) != ref.piece_to_id(miss)) fail("piece_to_id differs from the reference", hex(miss));
  }
  WordCache cache;  // one per tokenizer, shared by all of its texts
  for (const std::string& t : texts) check_against(tok, ref, t, ids, &cache);

  // The same records carrying their positions as ids: decode(encode(t)) == t.
  std::vector<PieceEntry> renumbered = x.pieces;
  for (std::size_t i = 0; i < renumbered.size(); ++i) renumbered[i].id = static_cast<TokenId>(i);
  const Model tok2 = Model::from_vocab(
      Vocab::from_entries(renumbered, x.specials[0], x.specials[1], x.specials[2], x.specials[3]));
  const Reference ref2(std::move(renumbered), x.specials[0], x.specials[1], x.specials[2], x.specials[3]);
  WordCache cache2;
  for (const std::string& t : texts) {
    check_against(tok2, ref2, t, ids, &cache2);
    check_round_trip(tok2, ref2, t);
  }
  return 0;
}
