// Encodes a text file with the core alone, no interpreter in the way: the
// fixed workload for instruction counts (valgrind --tool=callgrind) and a
// way to dump ids for comparisons.
//
//   encode_file VOCAB TEXT [--lines] [--dump] [--cache] [--repeat N] [--decode]
//
// --lines encodes one call per line (without the newline), otherwise the
// whole file is one call. --dump prints the ids, one line of ids per call.
// --cache keeps a word cache across calls, as the Python binding does.
// --decode encodes once, untimed, and then times decoding the ids of every
// call instead (--repeat times), into one reused buffer as the binding does.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "tokenizer/encode.h"
#include "tokenizer/model.h"
#include "tokenizer/vocab_file.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s VOCAB TEXT [--lines] [--dump] [--cache] [--repeat N] [--decode]\n",
                 argv[0]);
    return 2;
  }
  bool lines = false, dump = false, cached = false, decode = false;
  int repeat = 1;
  for (int i = 3; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--lines")) lines = true;
    else if (!std::strcmp(argv[i], "--dump")) dump = true;
    else if (!std::strcmp(argv[i], "--cache")) cached = true;
    else if (!std::strcmp(argv[i], "--decode")) decode = true;
    else if (!std::strcmp(argv[i], "--repeat") && i + 1 < argc) repeat = std::atoi(argv[++i]);
  }
  auto vocab = zeq::read_vocab_file(argv[1]);
  if (!vocab) {
    std::fprintf(stderr, "%s\n", vocab.error().to_string().c_str());
    return 1;
  }
  const zeq::Model tok = zeq::Model::from_vocab(std::move(*vocab));
  zeq::Lattice lattice;
  auto encode = [&](std::string_view call, zeq::WordCache* cache) {
    std::vector<zeq::TokenId> ids;
    zeq::encode_words(tok, call, zeq::FirstWord::Marked, cache, lattice, ids);
    return ids;
  };
  std::ifstream in(argv[2], std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  const std::string text = ss.str();
  std::vector<std::string_view> calls;
  if (lines) {
    std::size_t start = 0;
    while (start < text.size()) {
      std::size_t end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      calls.push_back(std::string_view(text).substr(start, end - start));
      start = end + 1;
    }
  } else {
    calls.push_back(text);
  }
  zeq::WordCache cache;
  if (decode) {
    std::vector<std::vector<zeq::TokenId>> all;
    std::size_t total_ids = 0;
    for (auto call : calls) {
      all.push_back(encode(call, &cache));
      total_ids += all.back().size();
    }
    std::string out;
    std::size_t out_bytes = 0;
    const auto t0 = std::chrono::steady_clock::now();
    for (int r = 0; r < repeat; ++r) {
      for (const auto& ids : all) {
        tok.decode_into(ids, out);
        out_bytes += out.size();
      }
    }
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::fprintf(stderr, "%zu ids x %d, %zu bytes out, %.3f s, %.1f M ids/s\n", total_ids, repeat,
                 out_bytes, secs, total_ids * double(repeat) / secs / 1e6);
    return 0;
  }
  std::size_t total_ids = 0;
  const auto t0 = std::chrono::steady_clock::now();
  for (int r = 0; r < repeat; ++r) {
    for (auto call : calls) {
      const auto ids = encode(call, cached ? &cache : nullptr);
      total_ids += ids.size();
      if (dump && r == 0) {
        for (std::size_t i = 0; i < ids.size(); ++i) std::printf(i ? " %u" : "%u", ids[i]);
        std::printf("\n");
      }
    }
  }
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::fprintf(stderr, "%zu bytes x %d, %zu ids, %.3f s, %.1f MB/s\n", text.size(), repeat,
               total_ids, secs, text.size() * double(repeat) / secs / 1e6);
  return 0;
}
