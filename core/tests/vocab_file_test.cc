#include "tokenizer/vocab_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>

namespace zeq {
namespace {

std::string u32(std::uint32_t v) {
  return std::string{static_cast<char>(v), static_cast<char>(v >> 8),
                     static_cast<char>(v >> 16), static_cast<char>(v >> 24)};
}

std::string header(std::uint32_t count) {
  return "ZEQZ" + u32(1) + u32(count) + u32(0) + u32(1) + u32(2) + u32(3);
}

std::string record(const std::string& text, std::uint32_t id) {
  return u32(id) + u32(0xBFC00000u) + u32(static_cast<std::uint32_t>(text.size())) + text;
}

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/zeq-core-test-XXXXXX";
    path_ = ::mkdtemp(tmpl);
  }
  ~TempDir() { std::system(("rm -rf " + path_).c_str()); }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A pipe delivers the file in small pieces: every read returns short, the
// size is unknown up front, and the reader must still assemble each field.
TEST(ReadVocabFile, ReadsFromAFifoInSmallPieces) {
  TempDir dir;
  const std::string path = dir.file("fifo");
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  std::string data = header(3) + record("a", 0) + record(std::string(20000, 'x'), 1) +
                     record("\xE2\x96\x81", 2);
  std::thread writer([&] {
    const int fd = ::open(path.c_str(), O_WRONLY);
    for (std::size_t i = 0; i < data.size(); i += 7) {
      const std::size_t n = std::min<std::size_t>(7, data.size() - i);
      ASSERT_EQ(::write(fd, data.data() + i, n), static_cast<ssize_t>(n));
    }
    ::close(fd);
  });
  auto vocab = read_vocab_file(path);
  writer.join();
  ASSERT_TRUE(vocab.has_value()) << vocab.error().to_string();
  ASSERT_EQ(vocab->size(), 3u);
  EXPECT_EQ(vocab->pieces()[1].text, std::string(20000, 'x'));
  EXPECT_EQ(vocab->pieces()[1].score, -1.5f);
  EXPECT_EQ(vocab->pieces()[2].text, "\xE2\x96\x81");
  EXPECT_EQ(vocab->unk_id(), 1u);
}

TEST(ReadVocabFile, HugeClaimsFailWithoutHugeAllocations) {
  TempDir dir;
  const std::string path = dir.file("v");
  for (const std::string& data : {header(0xFFFFFFFFu) + record("a", 0),
                                  header(1) + u32(0) + u32(0) + u32(0xFFFFFFFFu) + "abc"}) {
    FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(data.data(), 1, data.size(), f);
    std::fclose(f);
    auto vocab = read_vocab_file(path);
    ASSERT_FALSE(vocab.has_value());
    EXPECT_EQ(vocab.error().to_string(), "io error: failed to fill whole buffer");
  }
}

TEST(ReadVocabFile, ErrorKinds) {
  auto missing = read_vocab_file("/nonexistent/zeq.vocab.bin");
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().kind(), TokenizerError::Kind::Io);
  EXPECT_EQ(missing.error().to_string(), "io error: No such file or directory (os error 2)");
  auto nul = read_vocab_file(std::string_view("a\0b", 3));
  ASSERT_FALSE(nul.has_value());
  EXPECT_EQ(nul.error().to_string(), "io error: file name contained an unexpected NUL byte");
  EXPECT_EQ(TokenizerError::invalid_vocab("x").kind(), TokenizerError::Kind::InvalidVocab);
}

}  // namespace
}  // namespace zeq
