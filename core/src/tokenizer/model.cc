#include "tokenizer/model.h"

#include <algorithm>
#include <cfloat>
#include <limits>

#include "tokenizer/segment.h"

namespace zeq {
namespace {

// The score the source gives a user-defined piece of `length` bytes so that
// it beats any split of it: length times the greatest ordinary score (at
// least FLT_MIN), less 0.1, worked out as SentencePiece does (the product in
// single precision, the difference in double).
float user_defined_score(std::size_t length, float greatest) {
  const float product = static_cast<float>(length) * greatest;
  return static_cast<float>(static_cast<double>(product) - 0.1);
}

}  // namespace

std::string byte_piece_text(unsigned char b) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  return std::string{'<', '0', 'x', kHex[b >> 4], kHex[b & 0xF], '>'};
}

Model Model::from_vocab(Vocab vocab) {
  Model m(std::move(vocab));
  m.build({});
  return m;
}

std::expected<Model, std::string> Model::from_vocab(Vocab vocab, ModelOptions options) {
  Model m(std::move(vocab));
  const Vocab& v = m.vocab_;
  std::vector<PieceKind> kinds;
  std::vector<std::string> verbatim;
  if (!options.kinds.empty()) {
    kinds.assign(v.size(), PieceKind::Ordinary);
    for (const auto& [position, kind] : options.kinds) {
      kinds[position] = kind;  // positions were checked against the record count
      const std::string& text = v.pieces()[position].text;
      if (kind == PieceKind::UserDefined && !text.empty()) verbatim.push_back(text);
    }
  }
  auto normalizer = Normalizer::create(options.charsmap, options.normalizer, verbatim);
  if (!normalizer) return std::unexpected("options section: " + normalizer.error());
  m.source_.emplace(SourceRules{std::move(*normalizer), options.normalizer, options.byte_fallback,
                                options.merge_unknown_runs, std::move(kinds),
                                std::move(options.unknown_surface)});
  m.build(m.source_->kinds);
  m.build_source_steps();
  return m;
}

void Model::build_source_steps() {
  const SourceRules& rules = *source_;
  const float fallback = min_score_ - FALLBACK_PENALTY;
  float greatest = FLT_MIN;
  for (std::size_t pos = 0; pos < vocab_.size(); ++pos) {
    const PieceEntry& e = vocab_.pieces()[pos];
    if (!vocab_.is_special(e.id) && rules.kind(pos) == PieceKind::Ordinary && e.score > greatest) {
      greatest = e.score;
    }
  }
  source_steps_.resize(vocab_.size());
  for (std::size_t pos = 0; pos < vocab_.size(); ++pos) {
    const PieceEntry& e = vocab_.pieces()[pos];
    SourceStep& step = source_steps_[pos];
    step = {e.score, true};
    if (static_cast<TokenId>(pos) == unk_id_) {
      step.score = fallback;
    } else if (rules.kind(pos) == PieceKind::UserDefined) {
      step.score = user_defined_score(e.text.size(), greatest);
    } else if (rules.byte_fallback) {
      if (auto b = byte_token(static_cast<TokenId>(pos))) step = {fallback, (*b & 0xC0) != 0x80};
    }
  }
}

float Model::source_score_after(float score, std::span<const TokenId> ids) const {
  const float fallback = min_score_ - FALLBACK_PENALTY;
  for (const TokenId id : ids) {
    const SourceStep step = id < source_steps_.size() ? source_steps_[id] : SourceStep{fallback, true};
    if (step.counts) score += step.score;
  }
  return score;
}

void Model::build(const std::vector<PieceKind>& kinds) {
  const Vocab& v = vocab_;
  auto kind_of = [&](std::size_t pos) {
    return pos < kinds.size() ? kinds[pos] : PieceKind::Ordinary;
  };

  // The running minimum starts at the largest finite float, and only a
  // strictly smaller score replaces it, so NaN never does. The greatest
  // ordinary score, for user-defined pieces, starts at FLT_MIN as the
  // source's does.
  constexpr float kLargest = std::numeric_limits<float>::max();
  float least = kLargest;
  float greatest = FLT_MIN;
  for (std::size_t pos = 0; pos < v.size(); ++pos) {
    const PieceEntry& e = v.pieces()[pos];
    if (v.is_special(e.id) || kind_of(pos) != PieceKind::Ordinary) continue;
    if (e.score < least) least = e.score;
    if (e.score > greatest) greatest = e.score;
  }
  min_score_ = (least == kLargest) ? 0.0f : least;

  // Trie keys: every record whose stored id is not special, in file order,
  // but for those that never match text.
  std::vector<ByteTrie::Key> keys;
  keys.reserve(v.size());
  for (std::size_t pos = 0; pos < v.size(); ++pos) {
    const PieceEntry& e = v.pieces()[pos];
    if (v.is_special(e.id)) continue;
    switch (kind_of(pos)) {
      case PieceKind::Ordinary:
        keys.push_back({e.text, e.id, e.score});
        break;
      case PieceKind::UserDefined:
        keys.push_back({e.text, e.id, user_defined_score(e.text.size(), greatest)});
        break;
      case PieceKind::Control:
      case PieceKind::Unused:
      case PieceKind::Byte:
        break;
    }
  }
  trie_ = ByteTrie::build(std::move(keys));

  // Byte pieces are found by their exact text, so the id is that of the
  // last record carrying it; a shared id maps back to the largest byte.
  for (int b = 0; b < 256; ++b) {
    const auto byte = static_cast<unsigned char>(b);
    if (auto id = v.find(byte_piece_text(byte))) {
      byte_fallback_.set(byte, *id);
      auto it = std::find_if(byte_tokens_.begin(), byte_tokens_.end(),
                             [&](const auto& p) { return p.first == *id; });
      if (it != byte_tokens_.end()) it->second = byte;
      else byte_tokens_.emplace_back(*id, byte);
    }
  }
  std::sort(byte_tokens_.begin(), byte_tokens_.end());

  // Decode's rules in their order: special ids add nothing, byte tokens
  // their byte, every other position its piece text.
  for (std::size_t pos = 0; pos < v.size(); ++pos) {
    const auto id = static_cast<TokenId>(pos);
    if (v.is_special(id)) {
      decode_table_.add_nothing();
    } else if (auto b = byte_token(id)) {
      decode_table_.add_byte(*b);
    } else {
      decode_table_.add_piece(v.pieces()[pos].text);
    }
  }
  decode_table_.finish();

  unk_id_ = v.unk_id();
  word_start_ = find_word_start(*this);
}

std::optional<unsigned char> Model::byte_token(TokenId id) const {
  auto it = std::lower_bound(byte_tokens_.begin(), byte_tokens_.end(), id,
                             [](const auto& p, TokenId v) { return p.first < v; });
  if (it == byte_tokens_.end() || it->first != id) return std::nullopt;
  return it->second;
}

}  // namespace zeq
