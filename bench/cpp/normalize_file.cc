// Normalises a text file with the core's normaliser alone, one call per
// line (without the newline): the throughput measure of the normaliser and
// the dump that tools/check_normalizer.py compares with SentencePiece.
//
//   normalize_file CHARSMAP TEXT [--flags DRE] [--verbatim FILE] [--align]
//                  [--without-table] [--repeat N] [--dump]
//
// CHARSMAP is a file holding a precompiled_charsmap blob ("-" for none).
// --flags names the flags that are on: any of d (add_dummy_prefix),
// r (remove_extra_whitespaces), e (escape_whitespaces); "-" for none; all
// three by default. --verbatim reads verbatim texts, one per line.
// --align asks for the alignment too. --without-table takes the general
// path for ASCII as well. --dump writes, for each line, to stdout: u32 output
// length, the output, u32 alignment length, the alignment as u32s (all
// little-endian), and times nothing. Otherwise the timing is reported twice:
// by the wall clock and by the process's CPU time, which a machine shared
// with other work does not inflate.
#include <chrono>
#include <ctime>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tokenizer/normalizer.h"

namespace {

bool read_file(const char* path, std::string& data) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::stringstream ss;
  ss << in.rdbuf();
  data = ss.str();
  return true;
}

std::vector<std::string_view> split_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

void put_u32(std::uint32_t v) {
  const unsigned char b[4] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
                              static_cast<unsigned char>(v >> 16),
                              static_cast<unsigned char>(v >> 24)};
  std::fwrite(b, 1, 4, stdout);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr,
                 "usage: %s CHARSMAP TEXT [--flags DRE] [--verbatim FILE] [--align] "
                 "[--without-table] [--repeat N] [--dump]\n",
                 argv[0]);
    return 2;
  }
  zeq::NormalizerFlags flags;
  std::vector<std::string> verbatim;
  bool align = false, dump = false, without_table = false;
  int repeat = 1;
  for (int i = 3; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--flags") && i + 1 < argc) {
      const std::string f = argv[++i];
      flags.add_dummy_prefix = f.find('d') != std::string::npos;
      flags.remove_extra_whitespaces = f.find('r') != std::string::npos;
      flags.escape_whitespaces = f.find('e') != std::string::npos;
    } else if (!std::strcmp(argv[i], "--verbatim") && i + 1 < argc) {
      std::string data;
      if (!read_file(argv[++i], data)) {
        std::fprintf(stderr, "cannot read %s\n", argv[i]);
        return 1;
      }
      for (auto line : split_lines(data)) verbatim.emplace_back(line);
    } else if (!std::strcmp(argv[i], "--align")) {
      align = true;
    } else if (!std::strcmp(argv[i], "--dump")) {
      dump = align = true;
    } else if (!std::strcmp(argv[i], "--without-table")) {
      without_table = true;
    } else if (!std::strcmp(argv[i], "--repeat") && i + 1 < argc) {
      repeat = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "unknown argument: %s\n", argv[i]);
      return 2;
    }
  }
  std::string blob, text;
  if (std::strcmp(argv[1], "-") != 0 && !read_file(argv[1], blob)) {
    std::fprintf(stderr, "cannot read %s\n", argv[1]);
    return 1;
  }
  if (!read_file(argv[2], text)) {
    std::fprintf(stderr, "cannot read %s\n", argv[2]);
    return 1;
  }
  auto normalizer = zeq::Normalizer::create(blob, flags, verbatim);
  if (!normalizer) {
    std::fprintf(stderr, "%s\n", normalizer.error().c_str());
    return 1;
  }
  const std::vector<std::string_view> lines = split_lines(text);
  std::string out;
  std::vector<std::size_t> alignment;
  std::vector<std::size_t>* want = align ? &alignment : nullptr;
  auto run = [&](std::string_view line) {
    if (without_table) {
      normalizer->normalize_without_table(line, out, want);
    } else {
      normalizer->normalize(line, out, want);
    }
  };
  if (dump) {
    for (auto line : lines) {
      run(line);
      put_u32(static_cast<std::uint32_t>(out.size()));
      std::fwrite(out.data(), 1, out.size(), stdout);
      put_u32(static_cast<std::uint32_t>(alignment.size()));
      for (std::size_t a : alignment) put_u32(static_cast<std::uint32_t>(a));
    }
    return 0;
  }
  std::size_t in_bytes = 0, out_bytes = 0;
  for (auto line : lines) in_bytes += line.size();
  const std::clock_t c0 = std::clock();
  const auto t0 = std::chrono::steady_clock::now();
  for (int r = 0; r < repeat; ++r) {
    for (auto line : lines) {
      run(line);
      out_bytes += out.size();
    }
  }
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  const double cpu_secs = double(std::clock() - c0) / CLOCKS_PER_SEC;
  const double mb = in_bytes * double(repeat) / 1e6;
  std::fprintf(stderr, "%zu lines, %zu bytes x %d, %zu bytes out, %.3f s, %.1f MB/s (CPU time %.3f s, %.1f MB/s)\n",
               lines.size(), in_bytes, repeat, out_bytes, secs, mb / secs, cpu_secs, mb / cpu_secs);
  return 0;
}
