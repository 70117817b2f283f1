// The public face of the core (zeq/tokenizer.h) over its model.
#include "zeq/tokenizer.h"

#include "tokenizer/encode.h"
#include "tokenizer/model.h"
#include "tokenizer/session_state.h"
#include "tokenizer/vocab_file.h"
#include "tokenizer/word_cache.h"

namespace zeq {
namespace {

Result<Tokenizer> with_options(Result<VocabFile> file, auto make) {
  if (!file) return std::unexpected(std::move(file.error()));
  if (!file->options) return make(Model::from_vocab(std::move(file->vocab)));
  const std::uint64_t count = file->vocab.size();
  auto model = Model::from_vocab(std::move(file->vocab), std::move(*file->options));
  if (!model) {
    TokenizerError::Place place;
    place.part = TokenizerError::Place::Part::Options;
    place.piece_count = place.records_read = count;
    return std::unexpected(std::move(TokenizerError::invalid_vocab(model.error()).at(place)));
  }
  return make(std::move(*model));
}

}  // namespace

Tokenizer::Tokenizer(std::unique_ptr<const Model> model) : model_(std::move(model)) {}
Tokenizer::Tokenizer(Tokenizer&&) noexcept = default;
Tokenizer& Tokenizer::operator=(Tokenizer&&) noexcept = default;
Tokenizer::~Tokenizer() = default;

Result<Tokenizer> Tokenizer::load_records(std::string_view path) {
  auto vocab = read_vocab_file(path);
  if (!vocab) return std::unexpected(std::move(vocab.error()));
  return Tokenizer(std::make_unique<const Model>(Model::from_vocab(std::move(*vocab))));
}

Result<Tokenizer> Tokenizer::load(std::string_view path) {
  return with_options(read_model_file(path), [](Model model) {
    return Tokenizer(std::make_unique<const Model>(std::move(model)));
  });
}

Result<Tokenizer> Tokenizer::load_from_bytes(std::string_view data) {
  return with_options(read_model_bytes(data), [](Model model) {
    return Tokenizer(std::make_unique<const Model>(std::move(model)));
  });
}

std::uint64_t Tokenizer::vocab_size() const { return model_->vocab_size(); }
TokenId Tokenizer::pad_id() const { return model_->vocab().pad_id(); }
TokenId Tokenizer::unk_id() const { return model_->vocab().unk_id(); }
TokenId Tokenizer::bos_id() const { return model_->vocab().bos_id(); }
TokenId Tokenizer::eos_id() const { return model_->vocab().eos_id(); }
bool Tokenizer::has_options() const { return model_->source() != nullptr; }

std::optional<std::string_view> Tokenizer::id_to_piece(TokenId id) const {
  return model_->id_to_piece(id);
}
std::optional<TokenId> Tokenizer::piece_to_id(std::string_view piece) const {
  return model_->piece_to_id(piece);
}
std::string_view Tokenizer::piece_or_unk(TokenId id) const { return model_->piece_or_unk(id); }

void Tokenizer::decode_into(std::span<const TokenId> ids, std::string& out) const {
  model_->decode_into(ids, out);
}

std::string Tokenizer::decode(std::span<const TokenId> ids) const {
  std::string text;
  model_->decode_into(ids, text);
  return text;
}

DecodePrefetch Tokenizer::decode_prefetch() const {
  return model_->decode_prefetch();
}

// --- Session ---

Session::Session(const Tokenizer& tokenizer)
    : state_(std::make_unique<SessionState>(tokenizer.model())) {}
Session::Session(Session&&) noexcept = default;
Session& Session::operator=(Session&&) noexcept = default;
Session::~Session() = default;

void Session::encode(std::string_view text, std::vector<TokenId>& ids) {
  state_->encode(text, ids);
}

void Session::encode_detailed(std::string_view text, TokenSpans& out) {
  state_->encode_detailed(text, out);
}

void Session::normalize(std::string_view text, std::string& out) {
  state_->normalize(text, out, nullptr);
}

std::string_view Session::normalized() const { return state_->normalized; }

void Session::trim() { state_->trim(); }

}  // namespace zeq
