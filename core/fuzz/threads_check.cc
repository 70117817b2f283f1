// Threads sharing one Tokenizer, built with ThreadSanitizer, through the
// public API only:
//   - eight threads, each with a Session of its own, encode (plainly and in
//     detail), decode and look up, all at once;
//   - four threads at once run batch calls on crews of three threads that
//     take their sessions from one shared pool;
// and every result must be one thread's, with no data race reported. The
// Python module zeq holds the interpreter lock on every call, and the batch
// calls of zeqtools.Encoder release it: this is where the promise that any
// number of threads may read one tokenizer, with a session each, is tried.
//
//   threads_check [VOCAB_FILE]     (default: a vocabulary built in memory,
//                                   once without and once with options)
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "zeq/batch.h"
#include "zeq/tokenizer.h"

namespace {

using namespace zeq;

constexpr int kThreads = 8;
constexpr int kRounds = 20;
constexpr int kBatchCallers = 4;
constexpr unsigned kCrew = 3;

void put_u32(std::string& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

// The bytes of a vocabulary file: specials, the 256 byte pieces, some words;
// with `options`, a section that folds white space and merges unknown runs.
std::string built_in(bool options) {
  std::vector<std::string> texts = {"<unk>", "<s>", "</s>", "<pad>"};
  static const char* const kHex = "0123456789ABCDEF";
  for (int b = 0; b < 256; ++b) texts.push_back(std::string("<0x") + kHex[b >> 4] + kHex[b & 15] + ">");
  for (const char* w : {"\xE2\x96\x81", "\xE2\x96\x81the", "the", "\xE2\x96\x81" "a", "a", "b", "ab",
                        "\xE2\x96\x81of", "ing", "\xE2\x96\x81" "and", "er", "\xC3\xA9", "\xE6\x97\xA5\xE6\x9C\xAC",
                        ".", ","}) {
    texts.push_back(w);
  }
  std::string out = "ZEQZ";
  for (std::uint32_t v : {1u, static_cast<std::uint32_t>(texts.size()), 3u, 0u, 1u, 2u}) put_u32(out, v);
  float score = -2.0f;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    put_u32(out, static_cast<std::uint32_t>(i));
    std::uint32_t bits;
    const float s = i < 260 ? 0.0f : (score -= 0.5f);
    std::memcpy(&bits, &s, 4);
    put_u32(out, bits);
    put_u32(out, static_cast<std::uint32_t>(texts[i].size()));
    out += texts[i];
  }
  if (options) {
    out += "ZEQO";
    put_u32(out, 1);  // version
    put_u32(out, 2);  // fields
    put_u32(out, 1);  // normaliser: flags, no character map
    put_u32(out, 4);
    put_u32(out, 7);
    put_u32(out, 2);  // segmentation: merge unknown runs
    put_u32(out, 4);
    put_u32(out, 2);
  }
  return out;
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
  std::string decoded;
};

// One tokenizer tried both ways; returns the number of wrong results.
long check(const Tokenizer& tok, const char* name) {
  const std::vector<std::string> all = texts();
  std::vector<Expected> expected;
  {
    Session session(tok);
    for (const std::string& t : all) {
      std::vector<TokenId> ids;
      session.encode(t, ids);
      expected.push_back({ids, tok.decode(ids)});
    }
  }

  std::atomic<long> wrong{0}, calls{0};
  std::vector<std::thread> threads;
  for (int k = 0; k < kThreads; ++k) {
    threads.emplace_back([&, k] {
      Session session(tok);  // a session serves one thread
      std::vector<TokenId> ids;
      TokenSpans detailed;
      for (int round = 0; round < kRounds; ++round) {
        for (std::size_t j = 0; j < all.size(); ++j) {
          const std::size_t i = (j * 7 + static_cast<std::size_t>(k) * 53) % all.size();
          const Expected& e = expected[i];
          session.encode(all[i], ids);
          bool ok = ids == e.ids && tok.decode(ids) == e.decoded;
          if ((round + k) % 4 == 0) {
            session.encode_detailed(all[i], detailed);
            ok = ok && detailed.ids == e.ids;
          }
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
  threads.clear();

  // Batch calls from several threads at once, crews sharing one pool.
  SessionPool pool(tok, 4);
  std::vector<std::string_view> views(all.begin(), all.end());
  std::atomic<long> batch_wrong{0};
  for (int k = 0; k < kBatchCallers; ++k) {
    threads.emplace_back([&] {
      for (int round = 0; round < 3; ++round) {
        Crew crew(tok, pool, kCrew);
        auto encode = Batch::encode(views);
        crew.post(*encode);
        crew.wait(*encode, std::chrono::milliseconds(5), [] { return true; });
        std::vector<std::vector<TokenId>> lists;
        std::size_t i = 0;
        encode->for_each_encoded([&](std::span<const TokenId> ids, std::span<const std::size_t> counts) {
          for (std::size_t n : counts) {
            lists.emplace_back(ids.begin(), ids.begin() + n);
            ids = ids.subspan(n);
            if (lists.back() != expected[i++].ids) ++batch_wrong;
          }
        });
        std::vector<std::span<const TokenId>> spans(lists.begin(), lists.end());
        auto decode = Batch::decode(std::move(spans));
        crew.post(*decode);
        crew.wait(*decode, std::chrono::milliseconds(5), [] { return true; });
        i = 0;
        decode->for_each_decoded([&](std::string_view text, std::span<const std::size_t> lengths) {
          for (std::size_t n : lengths) {
            if (text.substr(0, n) != expected[i++].decoded) ++batch_wrong;
            text.remove_prefix(n);
          }
        });
      }
    });
  }
  for (auto& t : threads) t.join();
  std::printf("%s: %d threads, %ld texts encoded, decoded and looked up; %d callers of batches on crews of %u; "
              "%ld results differ from one thread's\n",
              name, kThreads, calls.load(), kBatchCallers, kCrew, wrong.load() + batch_wrong.load());
  return wrong.load() + batch_wrong.load();
}

}  // namespace

int main(int argc, char** argv) {
  long wrong = 0;
  if (argc > 1) {
    auto tok = Tokenizer::load(argv[1]);
    if (!tok) {
      std::fprintf(stderr, "%s\n", tok.error().to_string().c_str());
      return 2;
    }
    wrong += check(*tok, argv[1]);
  } else {
    for (bool options : {false, true}) {
      auto tok = Tokenizer::load_from_bytes(built_in(options));
      if (!tok) {
        std::fprintf(stderr, "built-in vocabulary: %s\n", tok.error().to_string().c_str());
        return 2;
      }
      wrong += check(*tok, options ? "built-in, with options" : "built-in");
    }
  }
  return wrong == 0 ? 0 : 1;
}
