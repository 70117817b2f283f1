#include "tokenizer/vocab_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "tokenizer/utf8.h"
#include "tokenizer/options.h"

namespace zeq {
namespace {

constexpr std::size_t kBufferSize = 8192;
constexpr std::size_t kHeaderSize = 28;
constexpr std::size_t kRecordHeaderSize = 12;
// A text longer than this is read in steps that grow with what has been
// read, so that a length claimed by a corrupt file never allocates more
// than about twice the bytes the file really holds.
constexpr std::size_t kTextStep = std::size_t{1} << 20;
// Entry reservation for files whose size is unknown (pipes and the like).
constexpr std::size_t kUnknownSizeEntries = 4096;

// Closes the descriptor on every path out of read_vocab_file.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);  // a failed close of a read-only file loses nothing
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

// Read-ahead over a file, or a reader of bytes in memory: serves small
// fixed-size fields from one 8192-byte buffer (or the bytes themselves) and
// reads large ones from a file straight into their destination.
class Reader {
 public:
  explicit Reader(int fd) : fd_(fd), owned_(new unsigned char[kBufferSize]), buffer_(owned_.get()) {}
  explicit Reader(std::string_view data)
      : buffer_(reinterpret_cast<const unsigned char*>(data.data())), filled_(data.size()) {}

  // Fills dest[0, n) from the input, or fails with the file's error or
  // "failed to fill whole buffer" at its end. Abandon after an error.
  Result<void> read_exact(unsigned char* dest, std::size_t n) {
    if (filled_ - pos_ >= n) {
      std::memcpy(dest, buffer_ + pos_, n);
      pos_ += n;
      consumed_ += n;
      return {};
    }
    while (n > 0) {
      if (pos_ == filled_ && n >= kBufferSize) {
        pos_ = filled_ = 0;
        auto got = read_some(dest, n);
        if (!got) return std::unexpected(got.error());
        dest += *got;
        n -= *got;
        consumed_ += *got;
        continue;
      }
      if (pos_ == filled_) {
        auto got = read_some(owned_.get(), kBufferSize);
        if (!got) return std::unexpected(got.error());
        pos_ = 0;
        filled_ = *got;
      }
      const std::size_t take = std::min(filled_ - pos_, n);
      std::memcpy(dest, buffer_ + pos_, take);
      pos_ += take;
      dest += take;
      n -= take;
      consumed_ += take;
    }
    return {};
  }

  Result<std::uint32_t> read_u32() {
    unsigned char b[4];
    if (auto r = read_exact(b, 4); !r) return std::unexpected(r.error());
    return static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
           static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
  }

  // Everything left, up to the end of the input: what the input holds
  // decides the size, never a number read from it.
  Result<std::string> read_rest() {
    std::string rest(reinterpret_cast<const char*>(buffer_ + pos_), filled_ - pos_);
    consumed_ += filled_ - pos_;
    pos_ = filled_;
    if (fd_ < 0) return rest;
    for (;;) {
      const std::size_t old = rest.size();
      rest.resize(old + std::max(kBufferSize, old));
      auto got = read_some(reinterpret_cast<unsigned char*>(rest.data()) + old, rest.size() - old);
      if (!got) {
        rest.resize(old);
        if (got.error().is_unexpected_eof()) return rest;
        return std::unexpected(got.error());
      }
      rest.resize(old + *got);
      consumed_ += *got;
    }
  }

  // Bytes of the input delivered so far.
  std::uint64_t consumed() const { return consumed_; }

 private:
  // One read(2) of up to n bytes, repeated on EINTR; 0 bytes is an error.
  // Bytes in memory have nothing more to give.
  Result<std::size_t> read_some(unsigned char* dest, std::size_t n) {
    if (fd_ < 0) return std::unexpected(TokenizerError::unexpected_eof());
    for (;;) {
      const ssize_t got = ::read(fd_, dest, n);
      if (got > 0) return static_cast<std::size_t>(got);
      if (got == 0) return std::unexpected(TokenizerError::unexpected_eof());
      if (errno != EINTR) return std::unexpected(TokenizerError::os_error(errno));
    }
  }

  int fd_ = -1;
  std::unique_ptr<unsigned char[]> owned_;
  const unsigned char* buffer_;
  std::size_t pos_ = 0;
  std::size_t filled_ = 0;
  std::uint64_t consumed_ = 0;
};

Result<int> open_read_only(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) {
    return std::unexpected(TokenizerError::nul_in_path());
  }
  const std::string c_path(path);
  for (;;) {
    const int fd = ::open(c_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) return fd;
    if (errno != EINTR) return std::unexpected(TokenizerError::os_error(errno));
  }
}

// How many records the rest of a regular file can hold at most, so that a
// corrupt piece_count cannot reserve memory the file cannot fill.
std::size_t record_bound(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) {
    return kUnknownSizeEntries;
  }
  const auto size = static_cast<std::uint64_t>(st.st_size);
  return size <= kHeaderSize ? 0 : (size - kHeaderSize) / kRecordHeaderSize;
}

std::string list_form(const unsigned char* b) {
  std::string s = "[";
  for (int i = 0; i < 4; ++i) {
    if (i) s += ", ";
    s += std::to_string(b[i]);
  }
  return s + "]";
}

// Reads a text of `len` bytes. Short texts are allocated at once; long ones
// grow step by step as their bytes arrive.
Result<std::string> read_text(Reader& reader, std::uint32_t len) {
  std::string text;
  std::size_t done = 0;
  while (done < len) {
    const std::size_t step = std::min<std::size_t>(len - done, std::max(kTextStep, done));
    text.resize(done + step);
    auto r = reader.read_exact(reinterpret_cast<unsigned char*>(text.data()) + done, step);
    if (!r) return std::unexpected(r.error());
    done += step;
  }
  return text;
}

// The header and records, in file order; `bound` caps the entries reserved
// up front. Errors carry the place where reading stopped.
Result<Vocab> read_records(Reader& reader, std::size_t bound) {
  TokenizerError::Place place;
  auto failed = [&](TokenizerError error) {
    place.bytes_read = reader.consumed();
    return std::unexpected(std::move(error.at(place)));
  };

  static constexpr unsigned char kMagic[4] = {'Z', 'E', 'Q', 'Z'};
  unsigned char magic[4];
  if (auto r = reader.read_exact(magic, 4); !r) return failed(r.error());
  if (std::memcmp(magic, kMagic, 4) != 0) {
    return failed(TokenizerError::invalid_vocab(
        "bad magic: expected " + list_form(kMagic) + ", got " + list_form(magic)));
  }
  auto version = reader.read_u32();
  if (!version) return failed(version.error());
  if (*version != 1) {
    return failed(TokenizerError::invalid_vocab(
        "version mismatch: expected 1, got " + std::to_string(*version)));
  }
  std::uint32_t header[5];  // piece_count, pad_id, unk_id, bos_id, eos_id
  for (auto& field : header) {
    auto v = reader.read_u32();
    if (!v) return failed(v.error());
    field = *v;
  }
  const std::uint32_t piece_count = header[0];
  place.part = TokenizerError::Place::Part::Records;
  place.piece_count = piece_count;

  std::vector<PieceEntry> entries;
  entries.reserve(std::min<std::size_t>(piece_count, bound));
  for (std::uint32_t i = 0; i < piece_count; ++i) {
    place.records_read = i;
    auto id = reader.read_u32();
    if (!id) return failed(id.error());
    auto score_bits = reader.read_u32();
    if (!score_bits) return failed(score_bits.error());
    auto len = reader.read_u32();
    if (!len) return failed(len.error());
    place.in_text = true;
    auto text = read_text(reader, *len);
    if (!text) return failed(text.error());
    place.in_text = false;
    if (auto bad = utf8::validate(*text)) {
      return failed(TokenizerError::invalid_vocab("piece not utf-8: " + bad->to_string()));
    }
    entries.push_back(PieceEntry{std::move(*text), *id, std::bit_cast<float>(*score_bits)});
  }
  return Vocab::from_entries(std::move(entries), header[1], header[2], header[3], header[4]);
}

// The records, then the options section if anything follows them.
Result<VocabFile> read_whole(Reader& reader, std::size_t bound) {
  auto vocab = read_records(reader, bound);
  if (!vocab) return std::unexpected(std::move(vocab.error()));
  TokenizerError::Place place;
  place.part = TokenizerError::Place::Part::Options;
  place.piece_count = place.records_read = vocab->size();
  auto rest = reader.read_rest();
  place.bytes_read = reader.consumed();
  if (!rest) return std::unexpected(std::move(rest.error().at(place)));
  VocabFile file{std::move(*vocab), std::nullopt};
  if (rest->empty()) return file;
  auto options = parse_options(*rest, file.vocab.size());
  if (!options) {
    return std::unexpected(std::move(TokenizerError::invalid_vocab(options.error()).at(place)));
  }
  file.options = std::move(*options);
  return file;
}

}  // namespace

Result<Vocab> read_vocab_file(std::string_view path) {
  auto fd = open_read_only(path);
  if (!fd) return std::unexpected(fd.error());
  FileDescriptor file(*fd);
  Reader reader(file.get());
  return read_records(reader, record_bound(file.get()));
}

Result<VocabFile> read_model_file(std::string_view path) {
  auto fd = open_read_only(path);
  if (!fd) return std::unexpected(fd.error());
  FileDescriptor file(*fd);
  Reader reader(file.get());
  return read_whole(reader, record_bound(file.get()));
}

Result<VocabFile> read_model_bytes(std::string_view data) {
  Reader reader(data);
  const std::size_t bound = data.size() <= kHeaderSize ? 0 : (data.size() - kHeaderSize) / kRecordHeaderSize;
  return read_whole(reader, bound);
}

}  // namespace zeq
