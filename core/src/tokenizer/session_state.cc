#include "tokenizer/session_state.h"

#include <algorithm>

#include "tokenizer/encode.h"
#include "tokenizer/types.h"
#include "tokenizer/utf8.h"

namespace zeq {
namespace {

// At most the lattice of a word this long (a 12-byte cell per byte, 48 KiB)
// stays with a session between calls, and at most this much normalised text
// and alignment: a pool of sessions must not keep one huge call's buffers
// each.
constexpr std::size_t kKeptWordBytes = std::size_t{1} << 12;
constexpr std::size_t kKeptTextBytes = std::size_t{1} << 20;

// How the first word of a normalised text is read.
FirstWord first_word(const SourceRules* source) {
  return source != nullptr && !source->flags.add_dummy_prefix ? FirstWord::Bare : FirstWord::Marked;
}

// zeq's own normalisation, spelled out: a marker in front unless the text
// begins with a space or a marker, every space a marker. The marker put in
// front comes from offset 0, a space's marker from the space, and every
// byte of a character from where the character starts.
void normalize_plain(std::string_view text, std::string& out, std::vector<std::size_t>* alignment) {
  out.clear();
  if (alignment != nullptr) alignment->clear();
  if (text.empty()) {
    if (alignment != nullptr) alignment->push_back(0);
    return;
  }
  auto put = [&](std::string_view s, std::size_t from) {
    out += s;
    if (alignment != nullptr) alignment->insert(alignment->end(), s.size(), from);
  };
  if (!text.starts_with(' ') && !text.starts_with(SPACE_MARKER)) put(SPACE_MARKER, 0);
  // Every byte of a character comes from where the character starts.
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t n = std::min(utf8::char_length(static_cast<unsigned char>(text[i])), text.size() - i);
    put(text[i] == ' ' ? SPACE_MARKER : text.substr(i, n), i);
    i += n;
  }
  if (alignment != nullptr) alignment->push_back(text.size());
}

// Merges each run of unknown tokens, with their spans, into its first.
void merge_unknown_spans(TokenSpans& t, TokenId unk) {
  std::size_t w = 0;
  for (std::size_t r = 0; r < t.ids.size(); ++r) {
    if (w > 0 && t.ids[r] == unk && t.ids[w - 1] == unk) {
      t.normalized[w - 1].end = t.normalized[r].end;
      continue;
    }
    t.ids[w] = t.ids[r];
    t.normalized[w] = t.normalized[r];
    ++w;
  }
  t.ids.resize(w);
  t.normalized.resize(w);
}

}  // namespace

void SessionState::normalize(std::string_view text, std::string& out,
                             std::vector<std::size_t>* alignment) {
  if (const SourceRules* source = model.source()) {
    source->normalizer.normalize(text, out, alignment);
  } else {
    normalize_plain(text, out, alignment);
  }
}

void SessionState::encode(std::string_view text, std::vector<TokenId>& ids) {
  const SourceRules* source = model.source();
  if (source == nullptr) {
    // Words straight from the caller's text: no normalised copy of it.
    encode_words(model, text, FirstWord::Marked, &cache, lattice, ids);
  } else {
    source->normalizer.normalize(text, normalized, nullptr);
    encode_words(model, normalized, first_word(source), &cache, lattice, ids);
    if (source->merge_unknown_runs) merge_unknown_runs(ids, model.unk_id());
  }
  trim();
}

void SessionState::encode_detailed(std::string_view text, TokenSpans& out) {
  out.clear();
  normalize(text, normalized, &alignment);
  const SourceRules* source = model.source();
  encode_words_with_lengths(model, normalized, first_word(source), lattice, out.ids, lengths);
  out.normalized.reserve(lengths.size());
  std::size_t at = 0;
  for (const std::uint32_t length : lengths) {
    out.normalized.push_back({at, at + length});
    at += length;
  }
  if (at != normalized.size()) throw InternalFault("token lengths do not add up to the text");
  if (source != nullptr && source->merge_unknown_runs) merge_unknown_spans(out, model.unk_id());

  // A token's source is the smallest stretch of `text` whose normalisation
  // holds it: from where its first byte comes from to where the source of
  // its last byte ends, which is where the next source begins (the
  // alignment only grows). `ends` holds that for every byte.
  const std::size_t n = normalized.size();
  std::vector<std::size_t>& ends = alignment_ends_;
  ends.resize(n);
  for (std::size_t i = n; i-- > 0;) {
    ends[i] = (i + 1 == n || alignment[i + 1] > alignment[i]) ? alignment[i + 1] : ends[i + 1];
  }
  out.source.reserve(out.normalized.size());
  for (const Span& s : out.normalized) out.source.push_back({alignment[s.begin], ends[s.end - 1]});
  lattice.release_over(kKeptWordBytes);  // the text stays: normalized() reads it
}

void SessionState::trim() {
  lattice.release_over(kKeptWordBytes);
  if (normalized.capacity() > kKeptTextBytes) std::string().swap(normalized);
  if (alignment.capacity() * sizeof(std::size_t) > kKeptTextBytes) {
    std::vector<std::size_t>().swap(alignment);
    std::vector<std::size_t>().swap(alignment_ends_);
  }
  if (lengths.capacity() * sizeof(std::uint32_t) > kKeptTextBytes) std::vector<std::uint32_t>().swap(lengths);
}

}  // namespace zeq
