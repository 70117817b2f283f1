// Threads sharing one core Tokenizer, built with ThreadSanitizer: eight
// threads encode (with and without a word cache of their own), encode to
// pieces, decode and look up, all at once on one tokenizer, and must get the
// results of one thread, with no data race reported. The Python module holds
// the interpreter lock on every call, so this is the only place where the
// core's promise that any number of threads may read one instance is tried.
//
//   threads_check [VOCAB_FILE]     (default: a vocabulary built in memory)
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "model_calls.h"
#include "tokenizer/model.h"
#include "tokenizer/vocab_file.h"
#include "tokenizer/word_cache.h"

namespace {

using namespace zeq;

constexpr int kThreads = 8;
constexpr int kRounds = 20;

Model built_in() {
  std::vector<PieceEntry> v = {{"<unk>", 0, 0.0f}, {"<s>", 1, 0.0f}, {"</s>", 2, 0.0f}, {"<pad>", 3, 0.0f}};
  for (int b = 0; b < 256; ++b) v.push_back({byte_piece_text(static_cast<unsigned char>(b)), static_cast<TokenId>(v.size()), 0.0f});
  const char* words[] = {"\xE2\x96\x81", "\xE2\x96\x81the", "the", "\xE2\x96\x81" "a", "a", "b", "ab", "\xE2\x96\x81of",
                         "ing", "\xE2\x96\x81" "and", "er", "\xC3\xA9", "\xE6\x97\xA5\xE6\x9C\xAC", ".", ","};
  float score = -2.0f;
  for (const char* w : words) v.push_back({w, static_cast<TokenId>(v.size()), score -= 0.5f});
  return Model::from_vocab(Vocab::from_entries(std::move(v), 3, 0, 1, 2));
}

std::vector<std::string> texts() {
  const char* parts[] = {"the ", "a ", "of ", "and ", "bring ", "caf\xC3\xA9 ", "\xE6\x97\xA5\xE6\x9C\xAC ", "x", "  ",
                         "\xF0\x9F\x99\x82", ".", ",", "\t", "\xE2\x96\x81", "abab", "Zebra "};
  std::vector<std::string> out;
  std::uint64_t state = 42;
  for (int i = 0; i < 400; ++i) {
    std::string t;
    const int n = 1 + i % 40;
    for (int k = 0; k < n; ++k) {
      state = state * 6364136223846793005ull + 1442695040888963407ull;
      t += parts[(state >> 33) % std::size(parts)];
    }
    out.push_back(t);
  }
  return out;
}

struct Expected {
  std::vector<TokenId> ids;
  std::vector<std::string_view> pieces;
  std::string decoded;
};

}  // namespace

int main(int argc, char** argv) {
  std::optional<Model> loaded;
  if (argc > 1) {
    auto vocab = read_vocab_file(argv[1]);
    if (!vocab) {
      std::fprintf(stderr, "%s\n", vocab.error().to_string().c_str());
      return 2;
    }
    loaded.emplace(Model::from_vocab(std::move(*vocab)));
  } else {
    loaded.emplace(built_in());
  }
  const Model& tok = *loaded;
  const std::vector<std::string> all = texts();
  std::vector<Expected> expected;
  for (const std::string& t : all) {
    auto ids = testing::encode(tok, t);
    expected.push_back({ids, testing::encode_pieces(tok, t), testing::decode(tok, ids)});
  }

  std::atomic<long> wrong{0}, calls{0};
  std::vector<std::thread> threads;
  for (int k = 0; k < kThreads; ++k) {
    threads.emplace_back([&, k] {
      WordCache cache;  // a cache belongs to one thread
      for (int round = 0; round < kRounds; ++round) {
        for (std::size_t j = 0; j < all.size(); ++j) {
          const std::size_t i = (j * 7 + static_cast<std::size_t>(k) * 53) % all.size();
          const Expected& e = expected[i];
          const bool cached = (round + k) % 2 == 0;
          const auto ids = testing::encode(tok, all[i], cached ? &cache : nullptr);
          bool ok = ids == e.ids && testing::encode_pieces(tok, all[i], cached ? &cache : nullptr) == e.pieces &&
                    testing::decode(tok, ids) == e.decoded;
          for (TokenId id : ids) {
            const auto text = tok.id_to_piece(id);
            ok = ok && (!text || tok.piece_to_id(*text).has_value());
          }
          if (!ok) ++wrong;
          ++calls;
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  std::printf("%d threads, %ld texts encoded, decoded and looked up, %ld results differ from one thread's\n",
              kThreads, calls.load(), wrong.load());
  return wrong == 0 ? 0 : 1;
}
